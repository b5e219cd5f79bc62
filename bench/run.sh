#!/bin/sh
# Runs the four measurements and writes the report (make bench builds what
# this needs first):
#   1. the core into a reused buffer, beside memcpy      (build/release/core_bench)
#   2. the plug-in call under Wine, both DLLs, beside a
#      plain copy loop standing in for the filter        (build/win64|win32/plugin_bench.exe)
#   3. the tool end to end, beside peer programs and cat (bench/tool_bench.py, hyperfine)
#   4. the Python package, beside the standard library  (bench/python_bench.py)
#   5. the npm package in Node, beside entities, he and
#      V8's own functions, and without SIMD               (bench/node_bench.mjs)
# Results go to build/bench/, the report to docs/performance.md and
# docs/performance.svg.
#
# BENCH_QUICK=1: the 64 KiB corpora only and few repetitions, for fast
# iteration; its report goes to build/bench/ and leaves docs/ alone.
# TOBBLE_TOOL: the tool to measure (default dist/tobble).
set -eu
cd "$(dirname "$0")/.."
results=build/bench
tool=${TOBBLE_TOOL:-dist/tobble}

if [ "${BENCH_QUICK:-0}" = 1 ]; then
  sizes=64K
  core_flags="--benchmark_min_time=0.05"
  plugin_flags="--rounds=2 --min-time=0.05"
  quick=--quick
  report_dir=$results
else
  sizes=64K,16M
  core_flags="--benchmark_min_time=0.3 --benchmark_repetitions=5"
  core_flags="$core_flags --benchmark_enable_random_interleaving=true"
  plugin_flags="--rounds=5 --min-time=0.3"
  quick=
  report_dir=docs
fi

rm -rf $results
mkdir -p $results/corpus
echo "bench: corpora ($sizes)"
build/release/bench_corpus $results/corpus --sizes=$sizes >$results/corpus/manifest.tsv

echo "bench: 1/3 the core into a reused buffer"
# shellcheck disable=SC2086
build/release/core_bench --sizes=$sizes $core_flags --benchmark_report_aggregates_only=true \
  --benchmark_out=$results/core.json --benchmark_out_format=json

for bits in 64 32; do
  echo "bench: 2/3 the ${bits}-bit plug-in under Wine"
  [ $bits = 64 ] && plugin=build/win64/tobble.qnf64 || plugin=build/win32/tobble.qnf
  # shellcheck disable=SC2086
  tools/wine-run build/win$bits/plugin_bench.exe $plugin --sizes=$sizes $plugin_flags |
    tee $results/plugin$bits.jsonl
done

echo "bench: 3/3 the tool end to end"
python3 bench/tool_bench.py $results/corpus/manifest.tsv "$tool" $results/tool.json $quick

echo "bench: and the Python package beside the standard library"
PYTHONPATH=build/python/lib /usr/bin/python3 bench/python_bench.py \
  $results/corpus/manifest.tsv $results/python.json $quick

echo "bench: and the npm package in Node beside entities, he and V8's functions"
node --expose-gc bench/node_bench.mjs $results/corpus/manifest.tsv $results/node.json build/wasm/package \
  build/wasm/tobble-scalar.wasm $quick

python3 bench/report.py $results $report_dir $quick
