#!/usr/bin/env bash
# serve_capacity.sh - how many 25 fps H.264 cameras one `tarvocoil serve`
# carries on this machine with no frame dropped.
#
#   bench/serve_capacity.sh [--max N] [--counts N,N,...] [--seconds S] [--sizes 1280x720,1920x1080]
#
# For each picture size (both by default), encodes a 30 s 25 fps H.264
# clip once, then for N = 1, 2, ... serves N streams of it with `ffmpeg
# -re -stream_loop -1 -c copy` (MPEG-TS over HTTP on 127.0.0.1), runs
# `tarvocoil serve` on a site of N cameras (four lane coils each, nobody
# watching the page), lets it settle for 10 s and then reads /api/status
# at the start and the end of S seconds (60 by default). N passes when
# every camera is running, processed at least 24.5 frames per second over
# those S seconds and dropped no frame in them. It stops at the first N
# that fails, or after --max (16 by default); --counts tries only the
# counts listed, in order, up to the first that fails. Each step is bounded (its
# processes get SIGTERM after S + 40 s at the latest) and every process
# it started is ended on exit. The load average is printed with each
# step: other load on the machine changes the figures. Uses
# build/tools/tarvocoil (TARVOCOIL=... for another).
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/live_streams.sh

max=16
counts=
seconds=60
sizes=1280x720,1920x1080
while [ $# -gt 0 ]; do
  case $1 in
    --max) max=$2; shift 2 ;;
    --counts) counts=$2; shift 2 ;;
    --seconds) seconds=$2; shift 2 ;;
    --sizes) sizes=$2; shift 2 ;;
    *) echo "usage: $0 [--max N] [--counts N,N,...] [--seconds S] [--sizes WxH,...]" >&2; exit 2 ;;
  esac
done
tool=${TARVOCOIL:-build/tools/tarvocoil}
dir=build/serve-bench
settle=10
mkdir -p "$dir"
serve_pid=
cleanup() {
  if [ -n "$serve_pid" ]; then
    kill -TERM "$serve_pid" 2>/dev/null || true
    wait "$serve_pid" 2>/dev/null || true
    serve_pid=
  fi
  stop_streams
}
trap cleanup EXIT
trap 'exit 130' INT TERM

status() { curl -s --max-time 5 "http://127.0.0.1:$1/api/status" || echo '{}'; }

# step SIZE N: prints one result line; returns 1 when the step failed.
step() {
  local size=$1 n=$2 w h clip base listen i cams=""
  w=${size%x*}
  h=${size#*x}
  clip=$(clip_of "$dir" "$w" "$h")
  lanes_of "$dir/lanes-$size.json" "$w" "$h"
  base=$(free_port_base $((n + 1)))
  listen=$((base + n))
  for ((i = 0; i < n; i++)); do
    start_stream "$clip" $((base + i))
    cams+="${cams:+,}{\"name\": \"cam$i\", \"source\": \"http://127.0.0.1:$((base + i))/live.ts\","
    cams+=" \"areas\": \"lanes-$size.json\"}"
  done
  echo "{\"listen\": \"127.0.0.1:$listen\", \"cameras\": [$cams]}" >"$dir/capacity-site.json"
  "$tool" serve "$dir/capacity-site.json" >"$dir/capacity-serve.log" 2>&1 &
  serve_pid=$!
  local load
  load=$(cut -d' ' -f1-3 /proc/loadavg)
  sleep "$settle"
  status "$listen" >"$dir/capacity-start.json"
  local t0 t1
  t0=$(date +%s.%N)
  sleep "$seconds"
  status "$listen" >"$dir/capacity-end.json"
  t1=$(date +%s.%N)
  kill -TERM "$serve_pid" 2>/dev/null || true
  # Bounded: a service that does not end within 30 s is killed.
  for ((i = 0; i < 300; i++)); do kill -0 "$serve_pid" 2>/dev/null || break; sleep 0.1; done
  kill -KILL "$serve_pid" 2>/dev/null || true
  wait "$serve_pid" 2>/dev/null || true
  serve_pid=
  stop_streams
  python3 - "$dir/capacity-start.json" "$dir/capacity-end.json" "$t0" "$t1" "$size" "$n" "$load" <<'PY'
import json, sys
a, b = (json.load(open(p)) for p in sys.argv[1:3])
span = float(sys.argv[4]) - float(sys.argv[3])
size, n, load = sys.argv[5], int(sys.argv[6]), sys.argv[7]
before = {c["name"]: c for c in a.get("cameras", [])}
fps, dropped, ok = [], 0, len(b.get("cameras", [])) == n
for c in b.get("cameras", []):
    s = before.get(c["name"], {"frames": 0, "frames_dropped": 0})
    f = (c["frames"] - s["frames"]) / span
    d = c["frames_dropped"] - s["frames_dropped"]
    fps.append(f)
    dropped += d
    ok = ok and c["state"] == "running" and f >= 24.5 and d == 0
lo = min(fps) if fps else 0.0
print(f"{size} N={n}: {'pass' if ok else 'FAIL'}  slowest camera {lo:.2f} fps, "
      f"frames dropped {dropped} in {span:.0f} s  (load average at start {load})")
sys.exit(0 if ok else 1)
PY
}

echo "tarvocoil serve capacity: 25 fps H.264 streams, four lane coils per camera, $seconds s per step"
IFS=, read -r -a size_list <<<"$sizes"
for size in "${size_list[@]}"; do
  carried=0
  if [ -n "$counts" ]; then
    IFS=, read -r -a count_list <<<"$counts"
  else
    count_list=($(seq 1 "$max"))
  fi
  for n in "${count_list[@]}"; do
    if step "$size" "$n"; then carried=$n; else break; fi
  done
  echo "$size: $carried cameras with no frame dropped$([ "$carried" = "$max" ] && echo " (the --max limit)")"
done
