#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# A private PulseAudio server for tests and CI: a null sink "sonolab_null" as the default sink, and
# its monitor source "sonolab_null.monitor" to capture back what was played. Works as root, without a
# display and without sound hardware.
#
#   eval "$(scripts/pulse-server.sh start)"     # or: scripts/pulse-server.sh start ENVFILE; . ENVFILE
#   ...
#   scripts/pulse-server.sh stop
#
# start prints the lines to eval (export XDG_RUNTIME_DIR=..., export PULSE_SERVER=...), or writes
# them to ENVFILE; it exports nothing itself. When a server already answers, it starts none, only
# adds the null sink if that server lacks it, and prints nothing. stop stops only a server that
# start started, as remembered in the state file ($SONOLAB_PULSE_STATE, by default
# ${TMPDIR:-/tmp}/sonolab-pulse-UID.state).
set -euo pipefail

command=${1:-}
envfile=${2:-}
state=${SONOLAB_PULSE_STATE:-${TMPDIR:-/tmp}/sonolab-pulse-$(id -u).state}

emit() {
  if [ -n "$envfile" ]; then
    printf '%s\n' "$@" >"$envfile"
  else
    printf '%s\n' "$@"
  fi
}

exports_of() { # runtime dir
  emit "export XDG_RUNTIME_DIR=$1" "export PULSE_SERVER=unix:$1/pulse/native"
}

case "$command" in
start)
  # A server this script started before, still running: reuse it.
  if [ -f "$state" ]; then
    dir=$(cat "$state")
    if [ -d "$dir" ] && XDG_RUNTIME_DIR="$dir" PULSE_SERVER="unix:$dir/pulse/native" pactl info >/dev/null 2>&1; then
      exports_of "$dir"
      exit 0
    fi
    rm -f "$state"
  fi
  if pactl info >/dev/null 2>&1; then
    if ! pactl list short sinks | grep -q $'\tsonolab_null\t'; then
      pactl load-module module-null-sink sink_name=sonolab_null >/dev/null
    fi
    [ -n "$envfile" ] && : >"$envfile"
    exit 0
  fi
  dir=$(mktemp -d "${TMPDIR:-/tmp}/sonolab-pulse.XXXXXX")
  # No realtime scheduling: as root the server would give its sink thread SCHED_RR under a 200 ms
  # RLIMIT_RTTIME, and on a loaded shared machine the kernel kills it outright, mid-test, with no
  # word in the log. No shared memory: with memfd blocks, clients that come and go by the hundred (as
  # the tests' do) make 16.1 lose track of its imported blocks and abort on an assertion.
  # SONOLAB_PULSE_REALTIME=yes starts it as a desktop does, at real-time priority and with shared
  # memory, for the few clients of the live benchmark.
  desktop=no
  [ "${SONOLAB_PULSE_REALTIME:-}" = yes ] && desktop=yes
  disable_shm=yes
  [ $desktop = yes ] && disable_shm=no
  XDG_RUNTIME_DIR="$dir" pulseaudio -n --daemonize=yes --exit-idle-time=-1 --disallow-exit \
    --realtime=$desktop --high-priority=$desktop --disable-shm=$disable_shm --load="module-null-sink sink_name=sonolab_null" --load=module-native-protocol-unix \
    --log-time=yes --log-target=file:"$dir/pulseaudio.log"
  for _ in $(seq 1 50); do
    if XDG_RUNTIME_DIR="$dir" PULSE_SERVER="unix:$dir/pulse/native" pactl info >/dev/null 2>&1; then
      break
    fi
    sleep 0.1
  done
  XDG_RUNTIME_DIR="$dir" PULSE_SERVER="unix:$dir/pulse/native" pactl set-default-sink sonolab_null
  echo "$dir" >"$state"
  exports_of "$dir"
  ;;
stop)
  [ -f "$state" ] || exit 0
  dir=$(cat "$state")
  if [ -d "$dir" ]; then
    XDG_RUNTIME_DIR="$dir" pulseaudio --kill 2>/dev/null || true
    # The server removes its own files while it exits: let it finish first.
    for _ in $(seq 1 50); do
      XDG_RUNTIME_DIR="$dir" pulseaudio --check 2>/dev/null || break
      sleep 0.1
    done
    rm -rf "$dir"
  fi
  rm -f "$state"
  ;;
*)
  echo "usage: $0 start [ENVFILE] | stop" >&2
  exit 2
  ;;
esac
