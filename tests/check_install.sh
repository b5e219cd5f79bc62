#!/bin/sh
# `make install` into temporary folders: with DESTDIR and PREFIX, and with
# PREFIX alone. The tool must run from where it lands, and the manual page
# must be there and render without warnings.
#
# Usage: check_install.sh SOURCE_DIR
set -eu
src=$(cd "$1" && pwd)
version=$(cat "$src/VERSION")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0

check() {  # check ROOT: the installed tool and manual page below ROOT
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
}

make -s -C "$src" install DESTDIR="$work/stage" PREFIX=/opt/tobble >/dev/null
check "$work/stage/opt/tobble"
make -s -C "$src" install PREFIX="$work/prefix" >/dev/null
check "$work/prefix"
if [ "$(find "$work/stage" "$work/prefix" -type f | wc -l)" -ne 4 ]; then
  echo "make install left other files:"
  find "$work/stage" "$work/prefix" -type f
  status=1
fi

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

[ $status -eq 0 ] && echo "make install: bin/tobble and share/man/man1/tobble.1, with DESTDIR and PREFIX"
exit $status
