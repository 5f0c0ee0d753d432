#!/usr/bin/env bash
# serve_vs_run.sh - CPU seconds of one camera under `tarvocoil serve`
# against `tarvocoil run` on the same live stream.
#
#   bench/serve_vs_run.sh [ROUNDS] [SECONDS] [WIDTHxHEIGHT]
#
# Encodes a 25 fps H.264 clip (1280x720 by default) once, serves it in a
# loop with `ffmpeg -re -stream_loop -1 -c copy` as MPEG-TS over HTTP on
# 127.0.0.1, and in alternating rounds (5 by default) lets `run` and then
# a one-camera `serve` (nobody watching its page) read it for SECONDS (30
# by default) before SIGTERM. Four lane coils. Each figure is the user +
# system CPU seconds of the whole process; the medians and their ratio
# are printed with the load average before and after, since other load on
# the machine changes them. Uses build/tools/tarvocoil (TARVOCOIL=...
# for another); BASELINE=PATH also times `serve` of another build (an
# earlier commit's, say) in the same rounds.
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/live_streams.sh

rounds=${1:-5}
seconds=${2:-30}
size=${3:-1280x720}
w=${size%x*}
h=${size#*x}
tool=${TARVOCOIL:-build/tools/tarvocoil}
dir=build/serve-bench
mkdir -p "$dir"
trap stop_streams EXIT

clip=$(clip_of "$dir" "$w" "$h")
lanes_of "$dir/lanes-$size.json" "$w" "$h"
port=$(free_port_base 2)
url="http://127.0.0.1:$port/live.ts"
listen=$((port + 1))
cat >"$dir/site.json" <<JSON
{"listen": "127.0.0.1:$listen",
 "cameras": [{"name": "bench", "source": "$url", "areas": "lanes-$size.json"}]}
JSON

# "FRAMES DROPPED" of the camera in a status file.
frames_of() {
  python3 -c 'import json, sys; c = json.load(open(sys.argv[1]))["cameras"][0]; print(c["frames"], c["frames_dropped"])' \
    "$1" 2>/dev/null || echo "? ?"
}

# One process for `seconds`, then SIGTERM; prints its CPU seconds.
timed_run() {
  (
    "$tool" run "$url" --areas "$dir/lanes-$size.json" --events /dev/null -q --no-progress &
    local p=$!
    sleep "$seconds"
    kill -TERM "$p"
    wait "$p" || true
    cpu_of_children
  )
}
timed_serve() {
  local bin=${1:-$tool}
  (
    "$bin" serve "$dir/site.json" >/dev/null &
    local p=$!
    sleep "$seconds"
    curl -s "http://127.0.0.1:$listen/api/status" >"$dir/status.json" || true
    kill -TERM "$p"
    wait "$p" || true
    cpu_of_children
  )
}

: >"$dir/run.cpu"
: >"$dir/serve.cpu"
: >"$dir/baseline.cpu"
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
for ((i = 1; i <= rounds; i++)); do
  start_stream "$clip" "$port"
  timed_run >>"$dir/run.cpu"
  stop_streams
  start_stream "$clip" "$port"
  timed_serve >>"$dir/serve.cpu"
  stop_streams
  if [ -n "${BASELINE:-}" ]; then
    cp "$dir/status.json" "$dir/status-serve.json"
    start_stream "$clip" "$port"
    timed_serve "$BASELINE" >>"$dir/baseline.cpu"
    stop_streams
    mv "$dir/status.json" "$dir/status-baseline.json"
    mv "$dir/status-serve.json" "$dir/status.json"
  fi
  dropped=$(frames_of "$dir/status.json")
  echo "round $i: run $(tail -1 "$dir/run.cpu") s, serve $(tail -1 "$dir/serve.cpu") s (frames, dropped: $dropped)" \
    "${BASELINE:+, baseline serve $(tail -1 "$dir/baseline.cpu") s ($(frames_of "$dir/status-baseline.json"))}"
done
echo "load average after:  $(cut -d' ' -f1-3 /proc/loadavg)"
r=$(median <"$dir/run.cpu")
s=$(median <"$dir/serve.cpu")
echo
echo "$size 25 fps H.264, $seconds s of a live stream, four lane coils; median CPU (user + system) of $rounds rounds"
echo
echo "| | CPU s |"
echo "|---|---:|"
echo "| tarvocoil run | $r |"
echo "| tarvocoil serve, one camera | $s |"
awk -v a="$s" -v b="$r" 'BEGIN {printf "| serve / run | %.3f |\n", a / b}'
if [ -n "${BASELINE:-}" ]; then
  base=$(median <"$dir/baseline.cpu")
  echo "| serve of $BASELINE | $base |"
  awk -v a="$base" -v b="$r" 'BEGIN {printf "| that serve / run | %.3f |\n", a / b}'
fi
