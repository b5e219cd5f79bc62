#!/bin/sh
# Runs one Windows test program under Wine for ctest, and passes it only when
# the program shows that it really ran: status 0 and its own success line.
# Wine can fail to start a program and still end with status 0, so the status
# alone proves nothing.
#   gtest  "[  PASSED  ] N tests." with N above zero, and no failed test
#   bench  at least one measurement, and {"done":0} as the last line
# When the Wine side the program needs is missing (tools/wine-run --check),
# the test is skipped with the reason: status 77, which the build gives ctest
# as the tests' SKIP_RETURN_CODE. Any failure of the program itself is 1.
#
# Usage: run_under_wine.sh gtest|bench PROGRAM [ARGUMENT...]
set -u
top=$(cd "$(dirname "$0")/.." && pwd)
wine_run=$top/tools/wine-run
if [ $# -lt 2 ]; then
  echo "usage: $0 gtest|bench PROGRAM [ARGUMENT...]" >&2
  exit 2
fi
kind=$1
shift
case $kind in
  gtest | bench) ;;
  *)
    echo "$0: unknown kind of test program: $kind" >&2
    exit 2
    ;;
esac

if ! reason=$("$wine_run" --check "$1" 2>&1); then
  echo "SKIPPED: $reason"
  exit 77
fi

raw=$(mktemp)
out=$(mktemp)
trap 'rm -f "$raw" "$out"' EXIT
"$wine_run" "$@" >"$raw"
status=$?
cat "$raw"
if [ $status -ne 0 ]; then
  echo "run_under_wine.sh: $1 failed with status $status"
  exit 1
fi
# The program ends its lines with CR LF.
tr -d '\r' <"$raw" >"$out"

case $kind in
  gtest)
    passed=$(sed -n 's/^\[  PASSED  \] \([0-9][0-9]*\) tests\{0,1\}\.$/\1/p' "$out" | tail -n 1)
    if [ -z "$passed" ] || [ "$passed" -eq 0 ] || grep -q '^\[  FAILED  \]' "$out"; then
      echo "run_under_wine.sh: $1 ended with status 0 but without GoogleTest's" \
        "\"[  PASSED  ] N tests.\" line with N above zero: it did not really run"
      exit 1
    fi
    ;;
  bench)
    if ! grep -q '"filter_s":' "$out" || [ "$(tail -n 1 "$out")" != '{"done":0}' ]; then
      echo "run_under_wine.sh: $1 ended with status 0 without a measurement and" \
        "{\"done\":0} as its last line: it did not really run"
      exit 1
    fi
    ;;
esac
