"""Builds the tobble package: the extension tobble._tobble, compiled together
with the library's own sources, so that nothing is downloaded and no
prebuilt library is needed:

    /usr/bin/python3 -m pip install ./python --no-build-isolation

The library's sources are the ones CMakeLists.txt lists for it, read from
there so that the two builds cannot drift apart.
"""
import glob
import os
import re

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

# The CMake lists that make up the library, in CMakeLists.txt.
LIBRARY_LISTS = ("TOBBLE_CORE_SOURCES", "TOBBLE_LIB_SOURCES")


def cmake_list(text, name):
    """The words of `set(NAME ...)` in a CMake file's text, with the lists
    it names as ${OTHER} expanded."""
    match = re.search(r"^set\(" + name + r"\s(.*?)\)", text, re.S | re.M)
    if not match:
        raise SystemExit(f"setup.py: CMakeLists.txt has no set({name} ...)")
    words = []
    for word in re.sub(r"#[^\n]*", "", match.group(1)).split():
        inner = re.fullmatch(r"\$\{(\w+)\}", word)
        words += cmake_list(text, inner.group(1)) if inner else [word]
    return words


def cmake_text():
    with open(os.path.join(ROOT, "CMakeLists.txt"), encoding="utf-8") as f:
        return f.read()


def library_sources():
    text = cmake_text()
    return [os.path.join(ROOT, s) for name in LIBRARY_LISTS for s in cmake_list(text, name)]


def source_options():
    """The compile options CMakeLists.txt gives single files (the
    transcoders, each built for its own instruction set), by path."""
    text = cmake_text()
    options = {}
    pattern = r"^set_source_files_properties\((\S+) PROPERTIES COMPILE_OPTIONS (.*?)\)"
    for path, value in re.findall(pattern, text, re.M):
        inner = re.fullmatch(r'"?\$\{(\w+)\}"?', value.strip())
        words = cmake_list(text, inner.group(1)) if inner else value.split()
        options[os.path.normpath(os.path.join(ROOT, path))] = words
    return options


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
    depends=[os.path.join(ROOT, "include", "tobble.h")]
    + sorted(glob.glob(os.path.join(HERE, "src", "*.h"))),
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
