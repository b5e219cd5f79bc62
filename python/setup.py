"""Builds the tobble package: the extension tobble._tobble, compiled together
with the library's own sources, so that nothing is downloaded and no
prebuilt library is needed:

    /usr/bin/python3 -m pip install ./python --no-build-isolation

The library's sources are the ones cmake/sources.txt lists, the file CMake
reads them from too, so that the two builds cannot drift apart.
"""
import glob
import os

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

# The groups of cmake/sources.txt that make up the library.
LIBRARY_GROUPS = ("filters", "lib")


def read_sources():
    """cmake/sources.txt as {group: [(path, [option, ...]), ...]}: a path a
    line with the options of that file alone after it, under "NAME:" lines,
    with blank lines and "#" comments."""
    groups = {}
    group = None
    with open(os.path.join(ROOT, "cmake", "sources.txt"), encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            words = line.split()
            if not words or words[0].startswith("#"):
                continue
            if len(words) == 1 and words[0].endswith(":"):
                group = groups.setdefault(words[0][:-1], [])
            elif group is None:
                raise SystemExit(f"setup.py: cmake/sources.txt:{number}: a path before a group")
            else:
                group.append((words[0], words[1:]))
    missing = [name for name in LIBRARY_GROUPS if not groups.get(name)]
    if missing:
        raise SystemExit(f"setup.py: cmake/sources.txt has no sources in {missing}")
    return groups


def library_sources():
    groups = read_sources()
    return [os.path.join(ROOT, path) for name in LIBRARY_GROUPS for path, _ in groups[name]]


def source_options():
    """The compile options cmake/sources.txt gives single files (the
    transcoders, each built for its own instruction set), by path."""
    return {
        os.path.normpath(os.path.join(ROOT, path)): options
        for name in LIBRARY_GROUPS
        for path, options in read_sources()[name]
        if options
    }


class BuildExtension(build_ext):
    """Compiles each source with the options CMake gives it as well."""

    def build_extension(self, ext):
        options = source_options()
        compile_one = self.compiler._compile

        def compile_with_options(obj, src, src_ext, cc_args, extra_postargs, pp_opts):
            extra = list(extra_postargs) + options.get(os.path.normpath(src), [])
            return compile_one(obj, src, src_ext, cc_args, extra, pp_opts)

        self.compiler._compile = compile_with_options
        try:
            super().build_extension(ext)
        finally:
            del self.compiler._compile


with open(os.path.join(ROOT, "VERSION"), encoding="utf-8") as f:
    VERSION = f.read().strip()

extension = Extension(
    "tobble._tobble",
    sources=sorted(glob.glob(os.path.join(HERE, "src", "*.cpp"))) + library_sources(),
    include_dirs=[ROOT],
    define_macros=[("TOBBLE_STATIC", "1"), ("TOBBLE_VERSION", f'"{VERSION}"')],
    extra_compile_args=[
        "-std=c++17",
        "-O3",  # as the release build; vectorizes the str scans
        "-fvisibility=hidden",
        "-Wall",
        "-Wextra",
        "-Wpedantic",
        "-Werror",
    ],
    # Every header the sources include: a change to any of them (the
    # conversions' loops live in headers) builds the extension again.
    depends=[os.path.join(ROOT, "include", "tobble.h")]
    + sorted(glob.glob(os.path.join(HERE, "src", "*.h")))
    + sorted(glob.glob(os.path.join(ROOT, "lib", "**", "*.h"), recursive=True))
    + sorted(glob.glob(os.path.join(ROOT, "filters", "**", "*.h"), recursive=True)),
    language="c++",
)

setup(
    name="tobble",
    version=VERSION,
    description="Text conversions: \\u escapes, HTML character references and "
    "percent-encoding, exact for every string",
    license="MIT",
    python_requires=">=3.10",
    packages=["tobble"],
    package_data={"tobble": ["py.typed", "*.pyi"]},
    ext_modules=[extension],
    cmdclass={"build_ext": BuildExtension},
    zip_safe=False,
)
