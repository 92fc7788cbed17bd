#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Edits while a live set-up plays (bench/edit_while_playing.cpp), on a private PulseAudio and a private
# PipeWire (the project's scripts, started at real-time priority as a desktop starts them), for each
# build directory given: per filter type, the worker's longest wait for a filter's lock while the bars
# are dragged 30 times a second, and the dropouts over the same time.
#
#   bash bench/edit_while_playing.sh [--seconds S] [--block-frames N] [--servers "pulseaudio pipewire"]
#                                    [--types 0,1,...] [BUILD_DIR ...]
#
# A run of the last build without an edit comes first on each server: the dropouts the machine and the
# server make by themselves in as long. BUILD_DIR defaults to build; give two (a build of main with the waits measured the same way, and one
# of a branch) to compare them on the same servers: the builds take turns type by type, so that both meet
# the same load. Everything lives in a temporary folder; the servers are stopped at the end, by their ids.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=20
block=256
servers="pulseaudio pipewire"
types="0 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15"
builds=()
while [ $# -gt 0 ]; do
  case "$1" in
  --seconds) seconds=$2 && shift 2 ;;
  --block-frames) block=$2 && shift 2 ;;
  --servers) servers=$2 && shift 2 ;;
  --types) types=${2//,/ } && shift 2 ;;
  -*) echo "unknown option $1" >&2 && exit 2 ;;
  *) builds+=("$1") && shift ;;
  esac
done
[ ${#builds[@]} -gt 0 ] || builds=(build)
for b in "${builds[@]}"; do
  [ -x "$b/bench/edit_while_playing" ] || {
    echo "no $b/bench/edit_while_playing: build first" >&2
    exit 1
  }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/sonolab-edits.XXXXXX")
# shellcheck source=bench/private-server.sh
. "$root/bench/private-server.sh"
cleanup() {
  stop_server
  rm -rf "$work"
}
trap cleanup EXIT

echo "seconds=$seconds block=$block cores=$(nproc) load=$(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-10s %-10s %-4s %6s %12s %9s %13s %12s  %s\n' server source type edits wait_max_us in/out block_max_ms \
  edit_max_ms name
for server in $servers; do
  start_server "$server"
  # The same set-up without an edit, first: what the machine and the server lose by themselves.
  "${builds[-1]}/bench/edit_while_playing" --seconds "$seconds" --block-frames "$block" --types 0 \
    --edits-per-second 0 | tail -n +2 | sed "s/^/$(printf '%-10s %-10s ' "$server" "no-edits")/"
  for type in $types; do
    for build in "${builds[@]}"; do
      "$build/bench/edit_while_playing" --seconds "$seconds" --block-frames "$block" --types "$type" | tail -n +2 |
        sed "s/^/$(printf '%-10s %-10s ' "$server" "$(basename "$(dirname "$(realpath "$build")")")")/"
    done
  done
  stop_server
done
