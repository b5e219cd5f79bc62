#!/bin/sh
# Checks a 64-bit Windows program for moves of 32-byte values that need
# 32-byte alignment: the Windows stack is only 16-byte aligned, so such a
# move of a value kept there faults. Also checks that the program has
# 32-byte vector code at all, so that a build that lost the AVX2
# transcoder does not pass.
#
# Usage: check_vector_moves.sh OBJDUMP PROGRAM
set -eu
objdump=$1 program=$2
dump=$("$objdump" -d "$program")
if ! echo "$dump" | grep -q '%ymm'; then
  echo "$program has no 32-byte vector code"
  exit 1
fi
aligned=$(echo "$dump" | grep -E '\svmov(dqa|aps|apd|nt[a-z]*)\s.*%ymm' || true)
if [ -n "$aligned" ]; then
  echo "moves of 32-byte values that need 32-byte alignment in $program:"
  echo "$aligned" | head -20
  exit 1
fi
