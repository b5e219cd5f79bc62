#!/bin/sh
# tests/run_under_wine.sh passes a Windows test program only when it shows
# that it ran: each case below gives the status the wrapper must end with.
# The failing cases end with status 0 but without the success line, as Wine
# does when it cannot start a program at all.
#
# Usage: check_run_under_wine.sh SOURCE_DIR TOBBLE_EXE PLUGIN_TEST PLUGIN_BENCH PLUGIN CASES
#        ENTITIES FILTER
set -u
src=$1 tool=$2 plugin_test=$3 bench=$4 plugin=$5 cases=$6 entities=$7 filter=$8
wrapper=$src/tests/run_under_wine.sh
bench_args="--sizes=64K --rounds=1 --min-time=0"
status=0
count=0
# status kind program arguments...
while read -r expected kind program arguments; do
  # shellcheck disable=SC2086
  "$wrapper" "$kind" $program $arguments >/dev/null 2>&1
  got=$?
  count=$((count + 1))
  if [ "$got" != "$expected" ]; then
    echo "run_under_wine.sh $kind $program $arguments: status $got, $expected expected"
    status=1
  fi
done <<EOF2
1 gtest $tool --version
1 gtest $plugin_test $plugin $cases $entities --gtest_filter=NoSuchTest
1 gtest $plugin_test $src/nosuch.dll $cases $entities
0 gtest $plugin_test $plugin $cases $entities --gtest_filter=Queries.Constants
1 bench $bench $plugin --filters=NoSuchFilter $bench_args
1 bench $tool --version
0 bench $bench $plugin --filters=$filter $bench_args
EOF2
[ $status -eq 0 ] && echo "run_under_wine.sh: $count cases"
exit $status
