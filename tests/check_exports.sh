#!/bin/sh
# The shared library exports exactly the functions include/tobble.h declares:
# each of them, and no other symbol of its own (hidden visibility).
#
# Usage: check_exports.sh LIBTOBBLE_SO TOBBLE_H
set -eu
library=$1
header=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Defined dynamic symbols, less the linker's own markers.
nm -D --defined-only "$library" | awk '{print $NF}' |
  grep -v -x -e _init -e _fini -e _edata -e _end -e __bss_start | sort >"$work/exported"
grep -o 'tobble_[a-z0-9_]*(' "$header" | tr -d '(' | sort -u >"$work/declared"
if ! cmp -s "$work/exported" "$work/declared"; then
  echo "$library exports other symbols than $header declares:"
  diff "$work/declared" "$work/exported" | sed -n 's/^> /  extra:   /p; s/^< /  missing: /p'
  exit 1
fi
echo "$library exports the $(wc -l <"$work/declared") functions of $(basename "$header") and nothing else"
