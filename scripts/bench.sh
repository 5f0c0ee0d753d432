#!/usr/bin/env bash
# Builds the benchmarks in Release into build-bench/ and runs them: the
# per-frame path of every kernel set against the literal reference and the
# memory floor, the baseline frame and TRVSetSurvAreas. Ends with Markdown
# tables (ratios measured in the same run).
#
#   scripts/bench.sh             every case, 3 repetitions (a few minutes)
#   scripts/bench.sh --quick     every case once, briefly (about half a minute)
#   scripts/bench.sh [--quick] --benchmark_filter=1920x1080/lanes   some cases
#
# Other arguments go to the benchmark program (Google Benchmark flags, or
# --pool-mb=N for the size of the frame pool, 96 MiB by default). Run it on
# a quiet machine: other load changes the figures.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh core
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DTARVOCOIL_TESTS=OFF -DTARVOCOIL_TOOLS=OFF >/dev/null
cmake --build build-bench -j2 --target tarvocoil_bench
args=(--benchmark_min_time=0.25 --benchmark_repetitions=3 --benchmark_report_aggregates_only=true)
if [ "${1:-}" = "--quick" ]; then
  shift
  args=(--quick)
fi
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
exec build-bench/bench/tarvocoil_bench "${args[@]}" "$@"
