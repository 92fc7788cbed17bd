#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Renders the same sound (44100 Hz stereo 16-bit pink noise) from WAVE to WAVE, from FLAC to FLAC and
# across, with an empty chain (the cost of the files alone) and through the five-filter chain, all in
# one run, and prints each render's processor time (user + system, which the machine's other load
# disturbs less than the wall time) with its ratio to the WAVE render of the same chain, and the wall
# time.
#
#   bash bench/flac_vs_wave.sh [BUILD_DIR] [SECONDS]
set -euo pipefail
build=${1:-build}
seconds=${2:-600}
render="$build/sonolab-render"
[ -x "$render" ] || { echo "no $render: build first (cmake --build --preset release)" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

sox -n -r 44100 -c 2 -b 16 "$work/in.wav" synth "$seconds" pinknoise gain -10
sox "$work/in.wav" "$work/in.flac"

five=(--add 0 --add 1 --add 4 --add 9 --add 11)
TIMEFORMAT='%R %U %S'

printf 'sound: %s s of 44100 Hz stereo 16-bit pink noise (WAVE %s bytes, FLAC %s bytes)\n' "$seconds" \
  "$(stat -c %s "$work/in.wav")" "$(stat -c %s "$work/in.flac")"
for chain in empty five; do
  args=()
  [ "$chain" = five ] && args=("${five[@]}")
  base=""
  for pair in wav:wav flac:flac flac:wav wav:flac wav:ogg; do
    in=${pair%%:*}
    out=${pair##*:}
    rm -f "$work/out.$out"
    read -r wall user sys < <({ time "$render" --quiet "$work/in.$in" "$work/out.$out" "${args[@]}"; } 2>&1)
    cpu=$(echo "$user + $sys" | bc -l)
    [ -z "$base" ] && base=$cpu
    printf '%-5s chain, %4s -> %-4s: processor %6.2f s (%.2f x the WAVE render, %4.0f x real time), wall %6.2f s\n' \
      "$chain" "$in" "$out" "$cpu" "$(echo "$cpu / $base" | bc -l)" "$(echo "$seconds / $cpu" | bc -l)" "$wall"
  done
done
