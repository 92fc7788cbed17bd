# SPDX-License-Identifier: GPL-3.0-or-later
# Sourced by the live benchmarks: a private PulseAudio or PipeWire of their own in "$work", with its
# real-time threads as a user's desktop has them. Needs $root (the checkout) and $work (a scratch folder).

server_started=""

start_server() { # pulseaudio | pipewire
  unset PULSE_SERVER
  export XDG_RUNTIME_DIR="$work/runtime"
  mkdir -p "$XDG_RUNTIME_DIR"
  chmod 700 "$XDG_RUNTIME_DIR"
  case "$1" in
  pulseaudio)
    SONOLAB_PULSE_STATE="$work/pulse.state" SONOLAB_PULSE_REALTIME=yes \
      bash "$root/scripts/pulse-server.sh" start "$work/server.env"
    ;;
  pipewire)
    SONOLAB_PIPEWIRE_STATE="$work/pipewire.state" SONOLAB_PIPEWIRE_QUANTUM="" \
      bash "$root/scripts/pipewire-server.sh" start "$work/server.env"
    ;;
  esac
  server_started=$1
  # shellcheck disable=SC1091
  . "$work/server.env"
}

stop_server() {
  case "$server_started" in
  pulseaudio) SONOLAB_PULSE_STATE="$work/pulse.state" bash "$root/scripts/pulse-server.sh" stop ;;
  pipewire) SONOLAB_PIPEWIRE_STATE="$work/pipewire.state" bash "$root/scripts/pipewire-server.sh" stop ;;
  esac
  server_started=""
}
