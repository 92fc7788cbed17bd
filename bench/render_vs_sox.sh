#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Renders a 10-minute 44100 Hz stereo 16-bit file through the five-filter chain (low-pass, high-pass,
# equaliser, echo, reverberation, all at their defaults) with sonolab-render, and in the same run through
# sox's nearest chain (a 513-tap sinc low-pass and high-pass at 1000 Hz, 20 peaking bands at the
# equaliser's centres, echo, reverb). Prints both wall times and their ratio.
#
#   bash bench/render_vs_sox.sh [BUILD_DIR] [SECONDS]
set -euo pipefail
build=${1:-build}
seconds=${2:-600}
render="$build/sonolab-render"
[ -x "$render" ] || { echo "no $render: build first (cmake --build --preset release)" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

sox -n -r 44100 -c 2 -b 16 "$work/in.wav" synth "$seconds" pinknoise gain -10

now() { date +%s.%N; }

t0=$(now)
"$render" "$work/in.wav" "$work/sonolab.wav" --add 0 --add 1 --add 4 --add 9 --add 11 >"$work/render.txt"
t1=$(now)

bands=""
for hz in 50 100 200 300 400 500 600 700 800 1000 2000 3000 4000 5000 6000 8000 10000 12000 14000 16000; do
  bands="$bands equalizer $hz 1q 0"
done
t2=$(now)
# shellcheck disable=SC2086
sox "$work/in.wav" "$work/sox.wav" sinc -n 513 -1000 sinc -n 513 1000 $bands echo 1 1 100 0.5 reverb
t3=$(now)

sonolab=$(echo "$t1 - $t0" | bc -l)
soxtime=$(echo "$t3 - $t2" | bc -l)
printf 'sound: %s s of 44100 Hz stereo 16-bit\n' "$seconds"
printf 'sonolab-render: %.2f s   (%s)\n' "$sonolab" "$(cat "$work/render.txt")"
printf 'sox:            %.2f s\n' "$soxtime"
printf 'sox / sonolab-render: %.2f\n' "$(echo "$soxtime / $sonolab" | bc -l)"
