#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# A private PipeWire for tests and CI, serving the PulseAudio protocol through pipewire-pulse: a null
# sink "sonolab_null" as the default sink, and its monitor source "sonolab_null.monitor" to capture
# back what was played. Works as root, without a display, a user session or sound hardware: it starts
# its own session bus, pipewire, wireplumber and pipewire-pulse in a runtime folder of its own.
#
#   eval "$(scripts/pipewire-server.sh start)"     # or: scripts/pipewire-server.sh start ENVFILE; . ENVFILE
#   ...
#   scripts/pipewire-server.sh stop
#
# start prints the lines to eval (export XDG_RUNTIME_DIR=..., export PULSE_SERVER=...), or writes
# them to ENVFILE; it exports nothing itself. Unlike scripts/pulse-server.sh it always starts its own
# server, even when another one answers, so that the tests can run against PipeWire after PulseAudio.
# A server that start started before and that still answers is reused. stop stops only what start
# started, as remembered in the state file ($SONOLAB_PIPEWIRE_STATE, by default
# ${TMPDIR:-/tmp}/sonolab-pipewire-UID.state); its processes are ended by their ids. A start that
# fails prints the daemons' logs, stops what it started and exits 1.
set -euo pipefail

command=${1:-}
envfile=${2:-}
state=${SONOLAB_PIPEWIRE_STATE:-${TMPDIR:-/tmp}/sonolab-pipewire-$(id -u).state}

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

answers() { # runtime dir
  XDG_RUNTIME_DIR="$1" PULSE_SERVER="unix:$1/pulse/native" pactl info >/dev/null 2>&1
}

has_null_sink() { # runtime dir
  XDG_RUNTIME_DIR="$1" PULSE_SERVER="unix:$1/pulse/native" pactl list short sinks 2>/dev/null |
    grep -q $'\tsonolab_null\t'
}

is_default_sink() { # runtime dir
  XDG_RUNTIME_DIR="$1" PULSE_SERVER="unix:$1/pulse/native" pactl get-default-sink 2>/dev/null |
    grep -qx sonolab_null
}

# The daemons' logs, to standard error, then everything started is stopped.
fail() { # message
  echo "$0: $1; the daemons' logs:" >&2
  for log in "$dir"/*.log; do
    [ -f "$log" ] || continue
    echo "--- $(basename "$log")" >&2
    tail -n 30 "$log" >&2
  done
  stop_recorded
  exit 1
}

# Ends the processes listed in the state file, newest first, and removes the runtime folder.
stop_recorded() {
  local dir pids pid
  dir=$(sed -n 1p "$state")
  pids=$(sed -n '2,$p' "$state" | tac)
  for pid in $pids; do
    kill "$pid" 2>/dev/null || true
  done
  for pid in $pids; do
    for _ in $(seq 1 50); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -9 "$pid" 2>/dev/null || true
  done
  [ -n "$dir" ] && [ -d "$dir" ] && rm -rf "$dir"
  rm -f "$state"
}

case "$command" in
start)
  if [ -f "$state" ]; then
    dir=$(sed -n 1p "$state")
    if [ -d "$dir" ] && answers "$dir" && has_null_sink "$dir"; then
      exports_of "$dir"
      exit 0
    fi
    stop_recorded
  fi
  for program in dbus-daemon pipewire wireplumber pipewire-pulse pactl; do
    command -v "$program" >/dev/null || {
      echo "$0: $program is not installed (scripts/install-deps.sh)" >&2
      exit 1
    }
  done
  dir=$(mktemp -d "${TMPDIR:-/tmp}/sonolab-pipewire.XXXXXX")
  chmod 700 "$dir"
  mkdir -p "$dir/config" "$dir/state"
  echo "$dir" >"$state"
  # Everything the daemons read or keep stays in the folder: no user configuration, no stored
  # default devices from an earlier run.
  export XDG_RUNTIME_DIR="$dir" XDG_CONFIG_HOME="$dir/config" XDG_STATE_HOME="$dir/state"
  unset PULSE_SERVER PIPEWIRE_REMOTE
  # SONOLAB_PIPEWIRE_QUANTUM fixes the graph's quantum for every stream (the test command sets 1024):
  # a stream that joins with another latency otherwise makes the graph change its quantum, which
  # leaves a hole of one cycle in what the monitor records. Unset, the graph follows the streams'
  # latencies, as on a desktop (the latency benchmark measures that).
  if [ -n "${SONOLAB_PIPEWIRE_QUANTUM:-}" ]; then
    mkdir -p "$dir/config/pipewire/pipewire.conf.d"
    q=$SONOLAB_PIPEWIRE_QUANTUM
    printf 'context.properties = {\n  default.clock.quantum = %s\n  default.clock.min-quantum = %s\n  default.clock.max-quantum = %s\n}\n' \
      "$q" "$q" "$q" >"$dir/config/pipewire/pipewire.conf.d/quantum.conf"
  fi
  # No logind monitor in wireplumber (it exits where /run/systemd has no seats or sessions, as in a
  # container), and no bluetooth: a private server needs neither.
  mkdir -p "$dir/config/wireplumber/bluetooth.lua.d"
  printf '%s\n' 'bluez_monitor.properties["with-logind"] = false' 'bluez_monitor.enabled = false' \
    >"$dir/config/wireplumber/bluetooth.lua.d/80-sonolab-headless.lua"
  bus=$(dbus-daemon --session --fork --print-address=1 --print-pid=1)
  export DBUS_SESSION_BUS_ADDRESS
  DBUS_SESSION_BUS_ADDRESS=$(sed -n 1p <<<"$bus")
  sed -n 2p <<<"$bus" >>"$state"
  # As root, pipewire gives its data threads realtime priority without a CPU-time limit, so the
  # kernel never kills it on a loaded machine (as it does PulseAudio's, see pulse-server.sh).
  pipewire >"$dir/pipewire.log" 2>&1 &
  echo $! >>"$state"
  for _ in $(seq 1 50); do
    [ -S "$dir/pipewire-0" ] && break
    sleep 0.1
  done
  [ -S "$dir/pipewire-0" ] || fail "pipewire did not start"
  wireplumber >"$dir/wireplumber.log" 2>&1 &
  wireplumber=$!
  echo $wireplumber >>"$state"
  pipewire-pulse >"$dir/pipewire-pulse.log" 2>&1 &
  echo $! >>"$state"
  for _ in $(seq 1 100); do
    answers "$dir" && break
    sleep 0.1
  done
  answers "$dir" || fail "the PipeWire pulse server did not answer"
  export PULSE_SERVER="unix:$dir/pulse/native"
  pactl load-module module-null-sink sink_name=sonolab_null >"$dir/pactl.log" 2>&1 ||
    fail "the null sink could not be loaded ($(cat "$dir/pactl.log"))"
  for _ in $(seq 1 100); do
    has_null_sink "$dir" && break
    sleep 0.1
  done
  has_null_sink "$dir" || fail "the null sink did not appear"
  # pipewire-pulse answers "Not supported" until wireplumber has published the "default" metadata,
  # which may come after the sink itself on a busy or fresh machine: ask again until it takes.
  for _ in $(seq 1 300); do
    kill -0 "$wireplumber" 2>/dev/null || fail "wireplumber has exited"
    pactl set-default-sink sonolab_null >"$dir/pactl.log" 2>&1 && is_default_sink "$dir" && break
    sleep 0.1
  done
  is_default_sink "$dir" ||
    fail "the null sink could not be made the default ($(cat "$dir/pactl.log"))"
  kill -0 "$wireplumber" 2>/dev/null || fail "wireplumber has exited"
  rm -f "$dir/pactl.log"
  exports_of "$dir"
  ;;
stop)
  [ -f "$state" ] || exit 0
  stop_recorded
  ;;
*)
  echo "usage: $0 start [ENVFILE] | stop" >&2
  exit 2
  ;;
esac
