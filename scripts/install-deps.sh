#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs every Debian package that Sonolab's build, tests, benchmarks and program need.
set -euo pipefail
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update
$SUDO apt-get install -y --no-install-recommends \
  g++ cmake ninja-build pkg-config git \
  libgtest-dev libgmock-dev libbenchmark-dev \
  qt6-base-dev libqt6svg6 qt6-translations-l10n libgl-dev libxkbcommon-dev fonts-liberation \
  libpulse-dev libpipewire-0.3-dev libasound2-dev libsoxr-dev libsndfile1-dev libsystemd-dev liblilv-dev lv2-dev \
  swh-lv2 mda-lv2 \
  pulseaudio pulseaudio-utils libasound2-plugins alsa-utils sox libsox-fmt-mp3 opus-tools parallel procps \
  pipewire pipewire-pulse wireplumber dbus rtkit \
  clang libclang-rt-14-dev llvm clang-format \
  xvfb xauth openbox xdotool scrot bc python3 debootstrap
