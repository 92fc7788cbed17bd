#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Whether wave-audio output plays a sound to its end: files of the given lengths (1000 Hz, the last
# 50 ms at 2000 Hz) played with `sonolab-render F.wav --wave-out 0` into the sound server's null sink
# "sonolab_null" while `parec` records its monitor; for each run the render's exit status and how much of
# the final 2000 Hz reached the monitor (zero crossings in 2.5 ms windows, counted back from the end).
#
#   bash bench/wave_out_ends.sh BUILD_DIR RUNS SECONDS...
#   bash bench/wave_out_ends.sh build 4 0.0929 0.3 0.5 1.0 1.5 2.0
#
# Needs a server (scripts/pulse-server.sh start), sox, parec and python3.
set -euo pipefail

if [ $# -lt 3 ]; then
  echo "usage: $0 BUILD_DIR RUNS SECONDS..." >&2
  exit 2
fi
render="$1/sonolab-render"
runs=$2
shift 2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for seconds in "$@"; do
  file="$work/end-$seconds.wav"
  head=$(python3 -c "print($seconds - 0.05)")
  sox -n -r 44100 -c 2 -b 16 "$work/head.wav" synth "$head" sine 1000 vol 0.5
  sox -n -r 44100 -c 2 -b 16 "$work/tail.wav" synth 0.05 sine 2000 vol 0.5
  sox "$work/head.wav" "$work/tail.wav" "$file"
  for run in $(seq "$runs"); do
    parec --device=sonolab_null.monitor --format=s16le --rate=44100 --channels=2 --latency-msec=10 \
      >"$work/heard.raw" &
    recorder=$!
    sleep 0.3
    status=0
    "$render" "$file" --wave-out 0 >/dev/null 2>"$work/render.err" || status=$?
    sleep 0.4
    kill "$recorder"
    wait "$recorder" 2>/dev/null || true
    heard=$(python3 - "$work/heard.raw" <<'PY'
import array, sys
raw = open(sys.argv[1], 'rb').read()
left = array.array('h')
left.frombytes(raw[:len(raw) // 4 * 4])
left = left[0::2]
loud = [i for i, v in enumerate(left) if abs(v) > 1000]
if not loud:
    print('nothing')
    raise SystemExit
window, windows, at = 110, 0, loud[-1] + 1 - 110
while at > 0:
    part = left[at:at + window]
    crossings = sum(1 for i in range(1, len(part)) if (part[i - 1] < 0) != (part[i] < 0))
    if abs(crossings / 2 / (window / 44100.0) - 2000) > 300:
        break
    windows += 1
    at -= window
print('%.1f ms' % (windows * 2.5))
PY
)
    echo "seconds=$seconds run=$run status=$status end_heard=$heard $(head -c 120 "$work/render.err" | tr '\n' ' ')"
  done
done
