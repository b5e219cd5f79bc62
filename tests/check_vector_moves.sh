#!/bin/sh
# Checks a 64-bit Windows program for moves of 32- or 64-byte values that
# need that alignment: the Windows stack is only 16-byte aligned, so such a
# move of a value kept there faults. Also checks that the program has 32-
# and 64-byte vector code at all, so that a build that lost its AVX2 or
# AVX-512 code does not pass.
#
# Usage: check_vector_moves.sh OBJDUMP PROGRAM
set -eu
objdump=$1 program=$2
dump=$("$objdump" -d "$program")
if ! echo "$dump" | grep -q '%ymm'; then
  echo "$program has no 32-byte vector code"
  exit 1
fi
if ! echo "$dump" | grep -q '%zmm'; then
  echo "$program has no 64-byte vector code"
  exit 1
fi
aligned=$(echo "$dump" | grep -E '\svmov(dqa(32|64)?|aps|apd|nt[a-z]*)\s.*%[yz]mm' || true)
if [ -n "$aligned" ]; then
  echo "moves of 32- or 64-byte values that need that alignment in $program:"
  echo "$aligned" | head -20
  exit 1
fi
