#!/usr/bin/env bash
# Builds the benchmarks in Release into build-bench/ and runs them: the
# per-frame path of every kernel set against the literal reference and the
# memory floor, the baseline frame and TRVSetSurvAreas. Ends with Markdown
# tables (ratios measured in the same run).
#
#   scripts/bench.sh             every case, 3 repetitions (a few minutes)
#   scripts/bench.sh --quick     every case once, briefly (about half a minute)
#   scripts/bench.sh [--quick] --benchmark_filter=1920x1080/lanes   some cases
#   scripts/bench.sh --tool [ROUNDS]   `tarvocoil run` against decoding alone
#
# --tool builds the tool in Release into build-bench-tool/, encodes a 24 s
# 1080p H.264 clip (testsrc2, libx264) once, and times, as whole processes
# in alternating rounds (5 by default), tarvocoil_decode_only (demuxing and
# decoding through FFmpeg's libraries with the tool's decoder settings)
# and `tarvocoil run` on the same clip with four lane coils. It prints the
# median wall and CPU (user + system) seconds of each and their ratios.
#
# Other arguments go to the benchmark program (Google Benchmark flags, or
# --pool-mb=N for the size of the frame pool, 96 MiB by default). Run it on
# a quiet machine: other load changes the figures.
set -euo pipefail
cd "$(dirname "$0")/.."

median() { sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }

if [ "${1:-}" = "--tool" ]; then
  rounds=${2:-5}
  bash scripts/install-deps.sh core tool
  cmake -S . -B build-bench-tool -DCMAKE_BUILD_TYPE=Release -DTARVOCOIL_TESTS=OFF -DTARVOCOIL_BENCH=OFF \
    -DTARVOCOIL_GST=OFF >/dev/null
  cmake --build build-bench-tool -j2 --target tarvocoil_cli tarvocoil_decode_only
  dir=build-bench-tool/tool-bench
  mkdir -p "$dir"
  clip=$dir/testsrc2-1080p25-24s.mp4
  if [ ! -s "$clip" ]; then
    ffmpeg -hide_banner -loglevel error -y -f lavfi -i testsrc2=s=1920x1080:r=25:d=24 \
      -c:v libx264 -preset fast -pix_fmt yuv420p "$clip.part.mp4"
    mv "$clip.part.mp4" "$clip"
  fi
  # Four lane coils across a band of the road, as a camera over a
  # carriageway sees them.
  cat >"$dir/lanes.json" <<'JSON'
{"areas": [
 {"name": "lane 1", "vertices": [[380, 640], [620, 640], [580, 760], [300, 760]], "threshold": 0.1},
 {"name": "lane 2", "vertices": [[660, 640], [900, 640], [880, 760], [620, 760]], "threshold": 0.1},
 {"name": "lane 3", "vertices": [[940, 640], [1180, 640], [1200, 760], [940, 760]], "threshold": 0.1},
 {"name": "lane 4", "vertices": [[1220, 640], [1460, 640], [1520, 760], [1260, 760]], "threshold": 0.1}
]}
JSON
  tools=build-bench-tool/tools
  timed() {  # appends "wall cpu" of one run of the command to file $1
    local out=$1
    shift
    local t
    t=$( { TIMEFORMAT='%R %U %S'; time "$@" >/dev/null 2>&1; } 2>&1 )
    echo "$t" | awk '{print $1, $2 + $3}' >>"$out"
  }
  : >"$dir/decode.times"
  : >"$dir/run.times"
  echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
  for ((i = 1; i <= rounds; i++)); do
    timed "$dir/decode.times" "$tools/tarvocoil_decode_only" "$clip"
    timed "$dir/run.times" "$tools/tarvocoil" run "$clip" --areas "$dir/lanes.json" --events /dev/null -q --no-progress
  done
  echo "load average after:  $(cut -d' ' -f1-3 /proc/loadavg)"
  dw=$(cut -d' ' -f1 "$dir/decode.times" | median); dc=$(cut -d' ' -f2 "$dir/decode.times" | median)
  rw=$(cut -d' ' -f1 "$dir/run.times" | median); rc=$(cut -d' ' -f2 "$dir/run.times" | median)
  echo
  echo "1920x1080 H.264, 600 frames, four lane coils; median of $rounds alternating rounds (whole processes)"
  echo
  echo "| | wall s | CPU s |"
  echo "|---|---:|---:|"
  echo "| decode only (FFmpeg's libraries) | $dw | $dc |"
  echo "| tarvocoil run | $rw | $rc |"
  awk -v a="$rw" -v b="$dw" -v c="$rc" -v d="$dc" 'BEGIN {printf "| ratio | %.3f | %.3f |\n", a / b, c / d}'
  exit 0
fi

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
