# live_streams.sh - sourced by the serve benchmarks: test clips, live
# streams served from them on 127.0.0.1, lane coils, CPU seconds.
#
# A stream is `ffmpeg -re -stream_loop -1 -c copy` of a pre-encoded H.264
# clip as MPEG-TS over HTTP: copying costs ffmpeg next to nothing, so the
# CPU the machine spends is the reader's. ffmpeg serves one client, then
# exits.

# The process ids of the streams started, for stop_streams.
STREAM_PIDS=()

# clip_of DIR WIDTH HEIGHT: prints the path of a 30 s 25 fps H.264 clip of
# that size (testsrc2, libx264), encoded once into DIR.
clip_of() {
  local dir=$1 w=$2 h=$3
  local clip=$dir/testsrc2-${w}x${h}p25-30s.mp4
  if [ ! -s "$clip" ]; then
    mkdir -p "$dir"
    ffmpeg -hide_banner -loglevel error -nostdin -y -f lavfi -i "testsrc2=s=${w}x${h}:r=25:d=30" \
      -c:v libx264 -preset fast -pix_fmt yuv420p -g 50 "$clip.part.mp4"
    mv "$clip.part.mp4" "$clip"
  fi
  echo "$clip"
}

# lanes_of FILE WIDTH HEIGHT: four lane coils across a band of the road at
# two thirds of the picture's height, as a camera over a carriageway sees
# them (the same coils as `scripts/bench.sh --tool`, scaled).
lanes_of() {
  local file=$1 w=$2 h=$3
  awk -v w="$w" -v h="$h" 'BEGIN {
    split("380 620 580 300|660 900 880 620|940 1180 1200 940|1220 1460 1520 1260", lanes, "|")
    printf "{\"areas\": [\n"
    for (i = 1; i <= 4; i++) {
      split(lanes[i], x, " ")
      printf " {\"name\": \"lane %d\", \"vertices\": [[%d, %d], [%d, %d], [%d, %d], [%d, %d]], \"threshold\": 0.1}%s\n", i,
        x[1] * w / 1920, 640 * h / 1080, x[2] * w / 1920, 640 * h / 1080,
        x[3] * w / 1920, 760 * h / 1080, x[4] * w / 1920, 760 * h / 1080, (i < 4) ? "," : ""
    }
    printf "]}\n"
  }' >"$file"
}

# listening PORT: whether a socket listens on 127.0.0.1:PORT (read from
# /proc/net/tcp, not by connecting: a connection would be ffmpeg's one
# client).
listening() {
  local hex
  hex=$(printf '0100007F:%04X' "$1")
  awk -v a="$hex" '$2 == a && $4 == "0A" {found = 1} END {exit !found}' /proc/net/tcp
}

# start_stream CLIP PORT: serves the clip in a loop at its own pace on
# http://127.0.0.1:PORT/live.ts and waits (at most 10 s) until it listens.
start_stream() {
  local clip=$1 port=$2
  ffmpeg -hide_banner -loglevel error -nostdin -re -stream_loop -1 -i "$clip" -c copy \
    -f mpegts -listen 1 "http://127.0.0.1:$port/live.ts" </dev/null >/dev/null 2>&1 &
  STREAM_PIDS+=($!)
  local i
  for ((i = 0; i < 100; i++)); do
    listening "$port" && return 0
    sleep 0.1
  done
  echo "ffmpeg does not listen on 127.0.0.1:$port" >&2
  return 1
}

# stop_streams: ends every stream started (by its process id).
stop_streams() {
  local p
  for p in "${STREAM_PIDS[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${STREAM_PIDS[@]}"; do wait "$p" 2>/dev/null || true; done
  STREAM_PIDS=()
}

# free_port_base N: the first of N consecutive ports nothing listens on.
free_port_base() {
  local n=$1 base p ok
  for base in $(seq 18800 100 28800); do
    ok=1
    for ((p = base; p < base + n; p++)); do
      if listening "$p"; then
        ok=0
        break
      fi
    done
    [ $ok = 1 ] && { echo "$base"; return 0; }
  done
  return 1
}

# cpu_of_children: user + system CPU seconds of the waited-for children of
# this (sub)shell, from the `times` builtin.
cpu_of_children() {
  # `times` into a file, not a pipe: a pipe would run it in a fork of its own.
  local f
  f=$(mktemp)
  times >"$f"
  awk 'NR == 2 {
    split($1, u, /[ms]/); split($2, s, /[ms]/)
    printf "%.2f\n", u[1] * 60 + u[2] + s[1] * 60 + s[2]
  }' "$f"
  rm -f "$f"
}

median() { sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
