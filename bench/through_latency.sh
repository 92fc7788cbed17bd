#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Through-latency of the live path, from a null sink's monitor through a pipe back into the sink, at
# every rate of the format table (stereo, 16 bits), for these pipes in the same run:
#   sonolab-render --capture <monitor> --play <sink>   (16-slot rings of one block each)
#   parec <monitor> | pacat <sink>                      (one block of capture fragment, two of playback)
# and on PipeWire also
#   sonolab-render --pw-capture <monitor> --pw-play <sink>   (the graph's own cycle, a quantum of the block)
#   pw-cat --record <monitor> | pw-cat --playback <sink>     (node.latency of the block, both ends)
# A noise burst played into the sink reaches its monitor at once, and again after one trip through
# the pipe; both are in one recording of the monitor, so their distance, found by cross-correlation
# around the two onsets, is the through-latency, free of any clock offset between recordings. The
# design's figure is three blocks: one to fill a capture slot, two of lead in the playback ring.
#
#   bash bench/through_latency.sh [--block-frames LIST] [BUILD_DIR] [REPEATS]
#
# --block-frames "64 256 default" measures each rate at those blocks (sonolab-render --block-frames N;
# "default" is the block-size rule, the only one without the option), the pipe at matching buffers.
# SONOLAB_LATENCY_RATES="44100 8000" measures only those rates.
# Needs a sound server (eval "$(bash scripts/pulse-server.sh start)" or scripts/pipewire-server.sh);
# the script adds a null sink of its own at each rate and removes it again. SONOLAB_LATENCY_PIPES="native
# pwcat" measures only those pipes (sonolab, pipe, native, pwcat).
set -euo pipefail
blocks=(default)
positional=()
while [ $# -gt 0 ]; do
  case "$1" in
  --block-frames)
    read -r -a blocks <<<"${2//,/ }"
    shift 2
    ;;
  *)
    positional+=("$1")
    shift
    ;;
  esac
done
build=${positional[0]:-build}
repeats=${positional[1]:-3}
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
kinds=(sonolab pipe)
if grep -q 'on PipeWire' <<<"$server"; then
  kinds+=(native pwcat)
fi
read -r -a kinds <<<"${SONOLAB_LATENCY_PIPES:-${kinds[*]}}"

# The place of a name in the server's list of sinks or sources: the index --play and --capture take.
index_of() { # sinks|sources name
  pactl list short "$1" | awk -v name="$2" '$2 == name { print NR - 1; exit }'
}

# The number --pw-capture or --pw-play takes for a node of the PipeWire graph, by its list text.
pw_index_of() { # option text
  "$render" --list-devices | awk -F'\t' -v option="$1" -v text="$2 (PipeWire)" \
    '$2 == text && index($1, option " ") == 1 { print substr($1, length(option) + 2); exit }'
}

block_frames() { # rate: the largest power of two not above a tenth of it
  local frames=1
  while [ $((frames * 2)) -le $(($1 / 10)) ]; do
    frames=$((frames * 2))
  done
  echo "$frames"
}

# One trip: starts the pipe, lets it settle, records the monitor while one burst is played, stops.
measure() { # rate block pipe-kind -> the latency in ms on stdout
  local rate=$1 block=$2 kind=$3 frames capture play option=()
  if [ "$block" = default ]; then
    frames=$(block_frames "$rate")
  else
    frames=$block
    option=(--block-frames "$block")
  fi
  case "$kind" in
  sonolab)
    capture=$(index_of sources "$sink.monitor")
    play=$(index_of sinks "$sink")
    local format=$(($(printf '%s\n' "${table[@]}" | grep -nx "$rate" | cut -d: -f1) * 4 - 1))
    "$render" --capture "$capture" --in-format "$format" --play "$play" --seconds 30 "${option[@]}" \
      >"$work/render.out" &
    pids=($!)
    ;;
  native)
    capture=$(pw_index_of --pw-capture "Монитор Sonolab-latency")
    play=$(pw_index_of --pw-play Sonolab-latency)
    local format=$(($(printf '%s\n' "${table[@]}" | grep -nx "$rate" | cut -d: -f1) * 4 - 1))
    "$render" --pw-capture "$capture" --in-format "$format" --pw-play "$play" --seconds 30 "${option[@]}" \
      >"$work/render.out" &
    pids=($!)
    ;;
  pwcat)
    # Both ends ask the graph for a quantum of the block, as the native devices do.
    rm -f "$work/pipe"
    mkfifo "$work/pipe"
    pw-cat --record --target "$sink" -P '{ stream.capture.sink = true }' --rate "$rate" --channels 2 \
      --format s16 --latency "$frames" - >"$work/pipe" 2>/dev/null &
    pids=($!)
    pw-cat --playback --target "$sink" --rate "$rate" --channels 2 --format s16 --latency "$frames" - \
      <"$work/pipe" 2>/dev/null &
    pids+=($!)
    ;;
  pipe)
    # The same buffers in bytes (4 to a frame): one block of capture fragment, two of playback.
    rm -f "$work/pipe"
    mkfifo "$work/pipe"
    parec -d "$sink.monitor" --rate="$rate" --channels=2 --format=s16le --latency=$((4 * frames)) >"$work/pipe" &
    pids=($!)
    pacat -d "$sink" --rate="$rate" --channels=2 --format=s16le --latency=$((8 * frames)) <"$work/pipe" &
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
  # pw-cat may not end on SIGINT while one end waits on the other: a few seconds, then SIGKILL.
  for pid in "${pids[@]}"; do
    kill -INT "$pid" 2>/dev/null || true
  done
  for pid in "${pids[@]}"; do
    for _ in $(seq 1 50); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  pids=()
  python3 - "$work/rec.raw" "$work/burst-$rate.raw" "$rate" <<'EOF'
import struct, sys
path, burst_path, rate = sys.argv[1], sys.argv[2], int(sys.argv[3])
def left(raw):
    return [l for l, _ in struct.iter_unpack("<hh", raw[: len(raw) // 4 * 4])]
x = left(open(path, "rb").read())
ref = left(open(burst_path, "rb").read())
threshold = 0.3 * max(abs(v) for v in x)
first = next((n for n, v in enumerate(x) if abs(v) > threshold), None)
if first is None:
    print("nan")
    sys.exit(0)
# The noise burst correlates with itself only at lag 0: its first arrival within 3 ms of the onset,
# its second (through the pipe) the strongest match from 1 ms after that to 700 ms.
def score(at):
    return sum(a * b for a, b in zip(ref, x[at : at + len(ref)])) if at >= 0 else 0
span = int(0.003 * rate)
start = max(range(first - span, first + span + 1), key=score)
lags = range(start + max(int(0.001 * rate), 2), min(start + int(0.7 * rate), len(x) - len(ref)))
best = max(lags, key=score, default=None)
print("nan" if best is None or score(best) < 0.3 * score(start) else f"{(best - start) * 1000 / rate:.1f}")
EOF
}

declare -A title=([sonolab]="sonolab-render" [pipe]="parec | pacat" [native]="sonolab-render --pw"
  [pwcat]="pw-cat | pw-cat")
echo "server: $server; $repeats trips per pipe, rate and block; latency in ms"
printf '%-6s %-6s %-9s' rate block "3 blocks"
for kind in "${kinds[@]}"; do
  printf ' %-22s' "${title[$kind]}"
done
printf '\n'
for rate in "${rates[@]}"; do
  module=$(pactl load-module module-null-sink sink_name=$sink rate="$rate" format=s16le channels=2 \
    sink_properties=device.description=Sonolab-latency)
  sleep 0.5
  # A 4 ms burst of white noise, under half scale: its two arrivals stay apart at every block, and it
  # matches itself at one lag only.
  python3 - "$work/burst-$rate.raw" "$rate" <<'EOF'
import random, struct, sys
path, rate = sys.argv[1], int(sys.argv[2])
noise = random.Random(rate)
with open(path, "wb") as f:
    for _ in range(max(int(0.004 * rate), 16)):
        v = noise.randint(-12000, 12000)
        f.write(struct.pack("<hh", v, v))
EOF
  for block in "${blocks[@]}"; do
    frames=$block
    [ "$block" = default ] && frames=$(block_frames "$rate")
    design=$(awk -v f="$frames" -v r="$rate" 'BEGIN { printf "%.1f", 3 * f * 1000 / r }')
    results=()
    for kind in "${kinds[@]}"; do
      values=()
      for _ in $(seq 1 "$repeats"); do
        values+=("$(measure "$rate" "$block" "$kind")")
      done
      results+=("$(
        IFS=' '
        echo "${values[*]}"
      )")
    done
    printf '%-6s %-6s %-9s' "$rate" "$frames" "$design"
    for result in "${results[@]}"; do
      printf ' %-22s' "$result"
    done
    printf '\n'
  done
  pactl unload-module "$module"
  module=""
done
