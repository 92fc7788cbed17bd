#!/usr/bin/env bash
# Through-latency of the live path, from a null sink's monitor through a pipe back into the sink, at
# every rate of the format table (stereo, 16 bits), for two pipes in the same run:
#   sonolab-render --capture <monitor> --play <sink>   (16-slot rings of one block each)
#   parec <monitor> | pacat <sink>                      (one block of capture fragment, two of playback)
# A tone burst played into the sink reaches its monitor at once, and again after one trip through
# the pipe; both are in one recording of the monitor, so their distance, found by cross-correlation
# around the two onsets, is the through-latency, free of any clock offset between recordings. The
# design's figure is three blocks: one to fill a capture slot, two of lead in the playback ring.
#
#   bash bench/through_latency.sh [BUILD_DIR] [REPEATS]
#
# SONOLAB_LATENCY_RATES="44100 8000" measures only those rates.
# Needs a sound server (eval "$(bash scripts/pulse-server.sh start)" or scripts/pipewire-server.sh);
# the script adds a null sink of its own at each rate and removes it again.
set -euo pipefail
build=${1:-build}
repeats=${2:-3}
render="$build/sonolab-render"
[ -x "$render" ] || {
  echo "no $render: build first (cmake --build --preset release)" >&2
  exit 1
}
pactl info >/dev/null || {
  echo "no sound server answers (scripts/pulse-server.sh start)" >&2
  exit 1
}
work=$(mktemp -d)
module=""
pids=()
cleanup() {
  for pid in "${pids[@]}"; do
    kill "$pid" 2>/dev/null || true
  done
  [ -n "$module" ] && pactl unload-module "$module" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

sink=sonolab_latency
table=(8000 11025 12000 16000 22050 24000 32000 44100 48000) # the format table's rates, in order
read -r -a rates <<<"${SONOLAB_LATENCY_RATES:-${table[*]}}"
server=$(pactl info | sed -n 's/^Server Name: //p')

# The place of a name in the server's list of sinks or sources: the index --play and --capture take.
index_of() { # sinks|sources name
  pactl list short "$1" | awk -v name="$2" '$2 == name { print NR - 1; exit }'
}

block_frames() { # rate: the largest power of two not above a tenth of it
  local frames=1
  while [ $((frames * 2)) -le $(($1 / 10)) ]; do
    frames=$((frames * 2))
  done
  echo "$frames"
}

# One trip: starts the pipe, lets it settle, records the monitor while one burst is played, stops.
measure() { # rate pipe-kind -> the latency in ms on stdout
  local rate=$1 kind=$2 frames ms capture play
  frames=$(block_frames "$rate")
  ms=$((frames * 1000 / rate))
  case "$kind" in
  sonolab)
    capture=$(index_of sources "$sink.monitor")
    play=$(index_of sinks "$sink")
    local format=$(($(printf '%s\n' "${table[@]}" | grep -nx "$rate" | cut -d: -f1) * 4 - 1))
    "$render" --capture "$capture" --in-format "$format" --play "$play" --seconds 30 >"$work/render.out" &
    pids=($!)
    ;;
  pipe)
    rm -f "$work/pipe"
    mkfifo "$work/pipe"
    parec -d "$sink.monitor" --rate="$rate" --channels=2 --format=s16le --latency-msec="$ms" >"$work/pipe" &
    pids=($!)
    pacat -d "$sink" --rate="$rate" --channels=2 --format=s16le --latency-msec=$((2 * ms)) <"$work/pipe" &
    pids+=($!)
    ;;
  esac
  sleep 2
  parec -d "$sink.monitor" --rate="$rate" --channels=2 --format=s16le --latency-msec=10 >"$work/rec.raw" &
  local recorder=$!
  sleep 0.5
  pacat -d "$sink" --rate="$rate" --channels=2 --format=s16le "$work/burst-$rate.raw"
  sleep 1.2
  kill "$recorder" 2>/dev/null || true
  wait "$recorder" 2>/dev/null || true
  for pid in "${pids[@]}"; do
    kill -INT "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  pids=()
  python3 - "$work/rec.raw" "$rate" <<'EOF'
import struct, sys
path, rate = sys.argv[1], int(sys.argv[2])
data = open(path, "rb").read()
x = [l for l, _ in struct.iter_unpack("<hh", data[: len(data) // 4 * 4])]
burst = int(0.02 * rate)
threshold = 0.3 * max(abs(v) for v in x)
def onset(start):
    for n in range(start, len(x)):
        if abs(x[n]) > threshold:
            return n
    return None
first = onset(0)
second = onset(first + 2 * burst) if first is not None else None
if second is None:
    print("nan")
    sys.exit(0)
# Refine the distance by cross-correlating the second arrival with the first, +-5 ms around it.
ref = x[first - burst // 4 : first + burst]
span = int(0.005 * rate)
def score(lag):
    at = first - burst // 4 + lag
    return sum(a * b for a, b in zip(ref, x[at : at + len(ref)]))
best = max(range(second - first - span, second - first + span + 1), key=score)
print(f"{best * 1000 / rate:.1f}")
EOF
}

echo "server: $server; $repeats trips per pipe and rate; latency in ms"
printf '%-6s %-6s %-9s %-22s %-22s\n' rate block "3 blocks" "sonolab-render" "parec | pacat"
for rate in "${rates[@]}"; do
  module=$(pactl load-module module-null-sink sink_name=$sink rate="$rate" format=s16le channels=2 \
    sink_properties=device.description=Sonolab-latency)
  sleep 0.5
  # A 20 ms burst of 1 kHz (a fifth of the rate at 8 kHz: low enough for every rate), half scale.
  python3 - "$work/burst-$rate.raw" "$rate" <<'EOF'
import math, struct, sys
path, rate = sys.argv[1], int(sys.argv[2])
n = int(0.02 * rate)
with open(path, "wb") as f:
    for i in range(n):
        v = int(16000 * math.sin(2 * math.pi * 1000 * i / rate) * math.sin(math.pi * i / n))
        f.write(struct.pack("<hh", v, v))
EOF
  frames=$(block_frames "$rate")
  design=$(awk -v f="$frames" -v r="$rate" 'BEGIN { printf "%.1f", 3 * f * 1000 / r }')
  results=()
  for kind in sonolab pipe; do
    values=()
    for _ in $(seq 1 "$repeats"); do
      values+=("$(measure "$rate" "$kind")")
    done
    results+=("$(
      IFS=' '
      echo "${values[*]}"
    )")
  done
  printf '%-6s %-6s %-9s %-22s %-22s\n' "$rate" "$frames" "$design" "${results[0]}" "${results[1]}"
  pactl unload-module "$module"
  module=""
done
