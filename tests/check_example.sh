#!/bin/sh
# The library as another program meets it: installed below a DESTDIR, the
# example examples/tobble_filter.c built with cc and `pkg-config --cflags
# --libs tobble` alone, and again by a small CMake project through
# find_package(tobble); both run against the installed tool on random texts
# (valid and broken) with every filter, compared byte for byte with the same
# exit status.
#
# Usage: check_example.sh SOURCE_DIR BUILD_DIR
set -eu
src=$(cd "$1" && pwd)
build=$(cd "$2" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=/opt/tobble
stage=$work/stage
root=$stage$prefix

DESTDIR=$stage cmake --install "$build" --prefix "$prefix" >/dev/null

# pkg-config alone: the .pc file below the DESTDIR, its paths moved there.
export PKG_CONFIG_PATH="$root/lib/pkgconfig" PKG_CONFIG_SYSROOT_DIR="$stage"
[ "$(pkg-config --modversion tobble)" = "$(cat "$src/VERSION")" ]
# shellcheck disable=SC2046
cc -std=c99 -Wall -Wextra -Wpedantic -Werror "$src/examples/tobble_filter.c" \
  $(pkg-config --cflags --libs tobble) -o "$work/tobble_filter"

# find_package(tobble) from a project of its own, with each library.
mkdir "$work/project"
cat >"$work/project/CMakeLists.txt" <<CMAKE
cmake_minimum_required(VERSION 3.16)
project(uses_tobble C)
find_package(tobble $(cat "$src/VERSION") REQUIRED)
add_executable(tobble_filter "$src/examples/tobble_filter.c")
target_link_libraries(tobble_filter tobble::tobble)
add_executable(tobble_filter_static "$src/examples/tobble_filter.c")
target_link_libraries(tobble_filter_static tobble::tobble_static)
CMAKE
cmake -S "$work/project" -B "$work/project/build" -DCMAKE_PREFIX_PATH="$root" >/dev/null
cmake --build "$work/project/build" >/dev/null

export LD_LIBRARY_PATH="$root/lib"
if ldd "$work/project/build/tobble_filter_static" | grep -q libtobble; then
  echo "tobble::tobble_static links the shared library"
  exit 1
fi
python3 - "$root/bin/tobble" "$work/tobble_filter" "$work/project/build/tobble_filter" \
  "$work/project/build/tobble_filter_static" <<'PYTHON'
import random
import subprocess
import sys

tool, examples = sys.argv[1], sys.argv[2:]
filters = [line.split()[0] for line in
           subprocess.run([tool, '--list'], capture_output=True, check=True).stdout.decode().splitlines()]
assert len(filters) == 9, filters
parts = [b'a', b' ', b'\r\n', b'\\u3042', b'\\U0001F600', b'\\ud83d\\ude00', b'\\ud800', b'&amp;',
         b'&#x41;', b'&notin', b'%E3%81%82', b'%zz', b'+', b'<p>', 'é'.encode(), 'あ'.encode(),
         '😀'.encode(), b'0123456789' * 20]
broken = [b'\x80', b'\xe3\x81', b'\xed\xa0\x80', b'\xff']
rng = random.Random(20261209)
failures = runs = 0
for round_ in range(60):
    text = b''.join(rng.choice(parts) for _ in range(rng.randrange(0, 400)))
    if round_ % 4 == 3:
        at = rng.randrange(0, len(text) + 1)
        text = text[:at] + rng.choice(broken) + text[at:]
    for name in filters:
        wanted = subprocess.run([tool, name], input=text, capture_output=True)
        for example in examples:
            got = subprocess.run([example, name], input=text, capture_output=True)
            runs += 1
            if (got.returncode, got.stdout) != (wanted.returncode, wanted.stdout):
                failures += 1
                if failures <= 5:
                    print(f'{example} {name} on {text[:80]!r}: exit {got.returncode}, '
                          f'{got.stdout[:80]!r}; the tool: exit {wanted.returncode}, '
                          f'{wanted.stdout[:80]!r}')
# Mistakes on the command line.
for example in examples:
    for args in ([], ['nofilter'], ['tobbleJ', '--bogus']):
        status = subprocess.run([example] + args, input=b'', capture_output=True).returncode
        if status != 2:
            failures += 1
            print(f'{example} {args}: exit {status}, not 2')
print(f'{runs} runs of the example against the tool, {failures} differences')
sys.exit(1 if failures else 0)
PYTHON
