#!/bin/sh
# `make install` into temporary folders: with DESTDIR and PREFIX, and with
# PREFIX alone. The tool must run from where it lands, the manual page must
# be there and render without warnings, and the library must be there whole:
# both archives, the header, tobble.pc naming the prefix, the CMake package.
#
# Usage: check_install.sh SOURCE_DIR
set -eu
src=$(cd "$1" && pwd)
version=$(cat "$src/VERSION")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0

# Every file and link `make install` writes below the prefix.
expected_files="bin/tobble
include/tobble.h
lib/cmake/tobble/tobbleConfig.cmake
lib/cmake/tobble/tobbleConfigVersion.cmake
lib/cmake/tobble/tobbleTargets-release.cmake
lib/cmake/tobble/tobbleTargets.cmake
lib/libtobble.a
lib/libtobble.so -> libtobble.so.1
lib/libtobble.so.1 -> libtobble.so.$version
lib/libtobble.so.$version
lib/pkgconfig/tobble.pc
share/man/man1/tobble.1"

check() {  # check ROOT PREFIX: what was installed for PREFIX below ROOT
  tool=$1/bin/tobble
  man=$1/share/man/man1/tobble.1
  if [ ! -x "$tool" ] || [ "$("$tool" --version)" != "tobble $version" ]; then
    echo "$tool is missing or does not run"
    status=1
  fi
  if ! cmp -s "$man" "$src/cli/tobble.1"; then
    echo "$man is missing or differs from cli/tobble.1"
    status=1
  fi
  files=$(cd "$1" && find . ! -type d | sed 's|^\./||' | sort | while read -r f; do
    if [ -L "$1/$f" ]; then echo "$f -> $(readlink "$1/$f")"; else echo "$f"; fi
  done)
  if [ "$files" != "$expected_files" ]; then
    echo "make install into $1 wrote:"
    echo "$files"
    echo "instead of:"
    echo "$expected_files"
    status=1
  fi
  if ! grep -q -x "prefix=$2" "$1/lib/pkgconfig/tobble.pc"; then
    echo "$1/lib/pkgconfig/tobble.pc does not name the prefix $2"
    status=1
  fi
  if ! cmp -s "$1/include/tobble.h" "$src/include/tobble.h"; then
    echo "$1/include/tobble.h differs from include/tobble.h"
    status=1
  fi
}

make -s -C "$src" install DESTDIR="$work/stage" PREFIX=/opt/tobble >/dev/null
check "$work/stage/opt/tobble" /opt/tobble
if [ "$(find "$work/stage" ! -type d | grep -v -c "^$work/stage/opt/tobble/")" -ne 0 ]; then
  echo "make install with DESTDIR wrote outside DESTDIR/PREFIX:"
  find "$work/stage" ! -type d | grep -v "^$work/stage/opt/tobble/"
  status=1
fi
make -s -C "$src" install PREFIX="$work/prefix" >/dev/null
check "$work/prefix" "$work/prefix"

# The page is plain ASCII roff that renders without a warning.
if LC_ALL=C grep -q '[^ -~]' "$src/cli/tobble.1"; then
  echo "cli/tobble.1 holds characters other than printable ASCII"
  status=1
fi
if command -v groff >/dev/null; then
  warnings=$(groff -man -Tutf8 -ww -z "$src/cli/tobble.1" 2>&1)
  if [ -n "$warnings" ]; then
    echo "$warnings"
    status=1
  fi
fi

[ $status -eq 0 ] && echo "make install: the tool, its manual page and the library, with DESTDIR and PREFIX"
exit $status
