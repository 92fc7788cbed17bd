#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Dropouts of the live path beside a build-like load, on PulseAudio and on PipeWire.
#
# For each server (a private one of the project's scripts, started at real-time priority as a desktop
# starts it), a load runs throughout: a build of this project from scratch with 4 jobs in a folder of
# its own (processor, memory and disk at once; started again whenever it ends) and 4 busy loops.
# Beside it, for each build directory given, in the same run:
#   pacat --latency-msec=40 feeds a tone into the null sink   (the baseline: a plain client holding
#                                                              what the ring holds at the server)
#   sonolab-render --capture <its monitor> --seconds S --add 0 --add 1 --add 4 --add 9 --add 11
#                  --play <the sink> out.wav
# and on PipeWire the same render again on the native devices (--pw-capture, --pw-play: server
# "pipewire-native"), after the first, with the same baseline beside it;
# and the table gives the load average (1 min, before and after), the render's dropouts (and per
# minute), the baseline's underruns while the render ran, the recording's length and the wall clock
# the render took (start-up and play-out included), and, where the render tells them (--verbose), the
# seconds of input after its first second against the wall clock over the same span (equal within a
# block when lost input is kept as silence), and how its threads were scheduled. "rt_late" is the
# worst lateness in ms of a thread scheduled as the sound threads are, sleeping 1 ms at a time beside
# the render (bench/wake_lateness, when built), and how many of its wakes were 40 ms late or more. "source"
# is the name of the folder that holds the build directory.
#
#   bash bench/live_under_load.sh [--seconds S] [--servers "pulseaudio pipewire"] [--jobs N] [--busy N]
#                                 [--block-frames N] [BUILD_DIR ...]
#
# --block-frames N runs the render with blocks of N frames (sonolab-render --block-frames N) and the
# baseline with what such a ring holds at the server instead of 40 ms (40 ms scaled by the block's
# length against 50 ms, as for a block of at least 15 ms).
#
# BUILD_DIR defaults to build; give two (e.g. a build of main and one of a branch) to compare them
# under the same load. Everything lives in a temporary folder; the servers and the load are stopped
# at the end, by their ids.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=60
servers="pulseaudio pipewire"
jobs=4
busy=4
block=""
builds=()
while [ $# -gt 0 ]; do
  case "$1" in
  --seconds) seconds=$2 && shift 2 ;;
  --servers) servers=$2 && shift 2 ;;
  --jobs) jobs=$2 && shift 2 ;;
  --busy) busy=$2 && shift 2 ;;
  --block-frames) block=$2 && shift 2 ;;
  -*) echo "unknown option $1" >&2 && exit 2 ;;
  *) builds+=("$1") && shift ;;
  esac
done
[ ${#builds[@]} -gt 0 ] || builds=(build)
for b in "${builds[@]}"; do
  [ -x "$b/sonolab-render" ] || {
    echo "no $b/sonolab-render: build first" >&2
    exit 1
  }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/sonolab-load.XXXXXX")
loads=()
stop_load() {
  for pid in "${loads[@]}"; do
    kill -- "-$pid" 2>/dev/null || true
  done
  for pid in "${loads[@]}"; do
    while kill -0 "$pid" 2>/dev/null; do sleep 0.1; done
  done
  loads=()
}
# shellcheck source=bench/private-server.sh
. "$root/bench/private-server.sh"
cleanup() {
  stop_load
  stop_server
  rm -rf "$work"
}
trap cleanup EXIT

# The load's build: configured once, without a compiler cache, so that every round compiles.
echo "configuring the load's build..." >&2
env -u CMAKE_CXX_COMPILER_LAUNCHER CCACHE_DISABLE=1 cmake -S "$root" -B "$work/load-build" -G Ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSONOLAB_TESTS=OFF -DSONOLAB_BENCH=OFF >"$work/configure.log" 2>&1

start_load() {
  setsid bash -c "while :; do CCACHE_DISABLE=1 ninja -C '$work/load-build' -j$jobs >/dev/null 2>&1; \
    ninja -C '$work/load-build' -t clean >/dev/null 2>&1; done" &
  loads+=($!)
  for _ in $(seq 1 "$busy"); do
    setsid bash -c 'while :; do :; done' &
    loads+=($!)
  done
}

# The place of a name in the server's list of sinks or sources: the index --play and --capture take.
index_of() { # sinks|sources name
  pactl list short "$1" | awk -v name="$2" '$2 == name { print NR - 1; exit }'
}

# A 440 Hz tone, half scale, as long as a run and a margin.
python3 - "$work/tone.raw" "$((seconds + 30))" <<'EOF'
import math, struct, sys
path, seconds = sys.argv[1], int(sys.argv[2])
rate = 44100
period = [int(16000 * math.sin(2 * math.pi * 440 * n / rate)) for n in range(rate)]
one = b"".join(struct.pack("<hh", v, v) for v in period)
with open(path, "wb") as f:
    for _ in range(seconds):
        f.write(one)
EOF

wave_seconds() { # file
  python3 -c 'import sys, wave; w = wave.open(sys.argv[1]); print(f"{w.getnframes() / w.getframerate():.3f}")' "$1"
}

# The number --pw-capture or --pw-play takes for a node of the PipeWire graph, by its list text.
pw_index_of() { # render option text
  "$1" --list-devices | awk -F'\t' -v option="$2" -v text="$3 (PipeWire)" \
    '$2 == text && index($1, option " ") == 1 { print substr($1, length(option) + 2); exit }'
}

measure() { # build [native]
  local build=$1 native=${2:-} render verbose="" out err feeder began ended wall recorded summary dropouts
  render="$build/sonolab-render"
  "$render" --help | grep -q -- --verbose && verbose=--verbose
  out="$work/out.wav"
  rm -f "$out"
  local held=(--latency-msec=40) blocks=()
  if [ -n "$block" ]; then
    local us=$((block * 1000000 / 44100))
    [ "$us" -lt 15000 ] && us=15000
    [ "$us" -gt 50000 ] && us=50000
    held=(--latency=$((40 * us / 50 * 44100 / 1000 * 4 / 1000)))
    blocks=(--block-frames "$block")
  fi
  pacat -v --raw "${held[@]}" --rate=44100 --channels=2 --format=s16le -d sonolab_null \
    <"$work/tone.raw" 2>"$work/pacat.err" &
  feeder=$!
  sleep 1
  local capture play load_before load_after devices label=$server
  capture=$(index_of sources sonolab_null.monitor)
  play=$(index_of sinks sonolab_null)
  devices=(--capture "$capture" --play "$play")
  if [ -n "$native" ]; then
    label=$server-native
    devices=(--pw-capture "$(pw_index_of "$render" --pw-capture "Монитор sonolab_null Audio/Sink sink")"
      --pw-play "$(pw_index_of "$render" --pw-play "sonolab_null Audio/Sink sink")")
  fi
  load_before=$(cut -d' ' -f1 /proc/loadavg)
  local underruns_before
  underruns_before=$(grep -c 'Stream underrun' "$work/pacat.err" || true)
  # Beside the render, for as long: how late a thread scheduled as the sound threads wakes (the
  # machine's own stalls, which no buffer shorter than them survives).
  local waker="" wake="-"
  if [ -x "$build/bench/wake_lateness" ]; then
    "$build/bench/wake_lateness" "$seconds" >"$work/wake.txt" 2>&1 &
    waker=$!
  fi
  began=$(date +%s.%N)
  "$render" $verbose "${blocks[@]}" "${devices[@]}" --seconds "$seconds" --add 0 --add 1 --add 4 --add 9 --add 11 \
    "$out" >"$work/render.out" 2>"$work/render.err" || true
  ended=$(date +%s.%N)
  load_after=$(cut -d' ' -f1 /proc/loadavg)
  local underruns
  underruns=$(($(grep -c 'Stream underrun' "$work/pacat.err" || true) - underruns_before))
  kill "$feeder" 2>/dev/null || true
  wait "$feeder" 2>/dev/null || true
  if [ -n "$waker" ]; then
    wait "$waker" || true
    wake=$(sed -n 's/.* worst_ms=\([0-9.]*\) .* late_40ms=\([0-9]*\) .*/\1\/\2/p' "$work/wake.txt")
  fi
  summary=$(grep '^blocks=' "$work/render.out" || true)
  if [ -z "$summary" ]; then
    echo "the render failed:" >&2
    cat "$work/render.err" >&2
    return
  fi
  dropouts=$(sed -n 's/.* dropouts=\([0-9]*\).*/\1/p' <<<"$summary")
  wall=$(awk -v a="$began" -v b="$ended" 'BEGIN { printf "%.3f", b - a }')
  recorded=$(wave_seconds "$out")
  local scheduled clock
  scheduled=$(sed -n 's/^Реальное время: //p' "$work/render.err" | head -1)
  # "Со входа после первой секунды: 58.978 с звука за 58.981 с по часам": the input's clock against the wall's
  clock=$(sed -n 's/^Со входа после первой секунды: \([0-9.]*\) с звука за \([0-9.]*\) с по часам$/\1\/\2/p' \
    "$work/render.err")
  printf '%-16s %-9s %-11s %-8s %-7s %-8s %-10s %-9s %-17s %-11s %s\n' "$label" "$(basename "$(dirname "$(realpath "$build")")")" \
    "$load_before-$load_after" "$dropouts" "$(awk -v d="$dropouts" -v s="$seconds" 'BEGIN { printf "%.1f", d * 60 / s }')" \
    "$underruns" "$recorded" "$wall" "${clock:--}" "${wake:--}" "${scheduled:-(not told)}"
  [ -s "$work/wake.txt" ] && sed 's/^/    wake_lateness: /' "$work/wake.txt" >&2
  grep -v '^Реальное время: \|^Со входа после первой секунды: ' "$work/render.err" | sed 's/^/    /' >&2 || true
  echo "    $summary" >&2
}

echo "seconds=$seconds jobs=$jobs busy=$busy cores=$(nproc) block=${block:-default}"
printf '%-16s %-9s %-11s %-8s %-7s %-8s %-10s %-9s %-17s %-11s %s\n' server source load dropouts per_min pacat_ur \
  recorded_s wall_s sound/clock_s rt_late realtime
for server in $servers; do
  start_server "$server"
  start_load
  sleep 5 # the load gets going
  for build in "${builds[@]}"; do
    measure "$build"
    if [ "$server" = pipewire ]; then
      measure "$build" native
    fi
  done
  stop_load
  stop_server
done
