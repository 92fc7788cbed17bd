#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds Sonolab and runs every test: the optimised build with the GUI (offscreen) and a private
# PulseAudio server, then its sound-server tests again against a private PipeWire with its pulse
# server, and the native PipeWire devices' tests against a private PipeWire whose graph follows their
# block (SONOLAB_SKIP_PIPEWIRE=1 skips both); the GUI tests again on a private X server with a
# window manager; then the tests under ThreadSanitizer, and those without a sound server under
# AddressSanitizer with UndefinedBehaviorSanitizer (of the GUI tests only the worker against its
# window: Qt itself is not instrumented); then the fuzz targets for a bounded time (SONOLAB_SKIP_FUZZ=1 skips them).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
JOBS=$(nproc)

export QT_QPA_PLATFORM=offscreen
export SONOLAB_REQUIRE_PULSE=1

# A private sound server when none is reachable; stopped again on exit.
PULSE_ENV=$(mktemp)
PIPEWIRE_ENV=$(mktemp)
bash scripts/pulse-server.sh start "$PULSE_ENV"
# shellcheck disable=SC1090
source "$PULSE_ENV"
trap 'bash "$ROOT/scripts/pulse-server.sh" stop; bash "$ROOT/scripts/pipewire-server.sh" stop; rm -f "$PULSE_ENV" "$PIPEWIRE_ENV"' EXIT

# After a failed run: whether the private sound server still answers, and the end of its logs.
report_sound_server() {
  local log
  if pactl info >/dev/null 2>&1; then
    echo "== The test sound server still answers."
  else
    echo "== The test sound server no longer answers."
  fi
  for log in "${XDG_RUNTIME_DIR:-/nonexistent}"/*.log; do
    [ -f "$log" ] || continue
    echo "== The end of $log:"
    tail -n 40 "$log"
  done
}

# Each stage's start, with the minutes since the run began: where the time of a run goes.
stage() {
  echo "== [$((SECONDS / 60)) min] $* =="
}

run_ctest() {
  local dir=$1
  shift
  if ! ctest --test-dir "$dir" --output-on-failure --timeout 900 -j "$JOBS" "$@"; then
    report_sound_server
    return 1
  fi
}

# The sound-server tests judge what reached a sink through a recorder in another process; on a loaded
# machine that recorder can lose a fragment the render never lost. A test that fails is run once more:
# a fault of the program fails twice.
run_sound_server_tests() {
  local dir=$1
  shift
  run_ctest "$dir" -L sound_server --repeat until-pass:2 "$@"
}

# Every test of a build: the sound-server tests last and on their own, so that no other test takes
# the processor from the server and the streams while they count dropouts. The native PipeWire tests
# run on their own server (run_pipewire_tests).
run_all_tests() {
  local dir=$1
  run_ctest "$dir" -LE 'sound_server|pipewire'
  run_sound_server_tests "$dir"
}

# The native PipeWire devices' tests (label pipewire) against a private PipeWire without a fixed
# quantum, so that the graph follows their block; they fail rather than skip without it.
run_pipewire_tests() {
  local dir=$1 tries=${2:-2}
  [ "${SONOLAB_SKIP_PIPEWIRE:-0}" != "1" ] || return 0
  SONOLAB_PIPEWIRE_QUANTUM="" bash scripts/pipewire-server.sh start "$PIPEWIRE_ENV"
  (
    # shellcheck disable=SC1090
    source "$PIPEWIRE_ENV"
    SONOLAB_REQUIRE_PIPEWIRE=1 run_ctest "$dir" -L pipewire --repeat until-pass:"$tries"
  )
  bash scripts/pipewire-server.sh stop
}

stage "Build (RelWithDebInfo, GUI)"
cmake --preset release
cmake --build --preset release -j "$JOBS"
run_all_tests build

echo "== The test that runs sonolab-render as another user, from a folder only root may enter =="
# As from a checkout under /root: the program copied into a fresh 0700 folder.
PRIVATE=$(mktemp -d)
cp build/sonolab-render "$PRIVATE/"
SONOLAB_RENDER="$PRIVATE/sonolab-render" run_ctest build -R '^RenderFiles\.FileErrorsNameTheFileAndGiveTheSystemsReasonOnce$'
rm -rf "$PRIVATE"

if [ "${SONOLAB_SKIP_PIPEWIRE:-0}" != "1" ]; then
  stage "Sound-server tests against PipeWire"
  SONOLAB_PIPEWIRE_QUANTUM=1024 bash scripts/pipewire-server.sh start "$PIPEWIRE_ENV"
  (
    # shellcheck disable=SC1090
    source "$PIPEWIRE_ENV"
    # The tests allow the server a hole of one cycle of this quantum.
    export SONOLAB_PIPEWIRE_QUANTUM=1024
    # The device and render tests; the window tests find the PulseAudio null sink's monitor by name.
    run_sound_server_tests build -LE gui
  )
  bash scripts/pipewire-server.sh stop
  stage "Native PipeWire device tests"
  run_pipewire_tests build
fi

stage "GUI tests on an X server (Xvfb, openbox)"
# One at a time: on a desktop the windows of two test programs would take the focus from each other.
if ! bash scripts/x-session.sh ctest --test-dir build --output-on-failure --timeout 900 -L gui; then
  report_sound_server
  exit 1
fi

if [ "${SONOLAB_SKIP_SANITIZERS:-0}" != "1" ]; then
  stage "ThreadSanitizer"
  cmake --preset tsan
  cmake --build --preset tsan -j "$JOBS"
  # The suppressions where the test that runs the renderer as another user can read them too: a
  # checkout under /root is closed to that user, and its sanitizer would stop before main().
  TSAN_SUPPRESSIONS=$(mktemp "${TMPDIR:-/tmp}/sonolab-tsan.XXXXXX")
  cp scripts/tsan.supp "$TSAN_SUPPRESSIONS"
  chmod 644 "$TSAN_SUPPRESSIONS"
  export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$TSAN_SUPPRESSIONS"
  run_ctest build-tsan -LE 'sound_server|pipewire'
  # Slowed several times over, the sound tests at 64 and 128 frames leave the threads little room on
  # a busy machine, and a server that misses a cycle there is not the program: a third try before a
  # failure counts.
  run_ctest build-tsan -L sound_server --repeat until-pass:3
  run_pipewire_tests build-tsan 3
  unset TSAN_OPTIONS
  rm -f "$TSAN_SUPPRESSIONS"

  stage "AddressSanitizer + UndefinedBehaviorSanitizer"
  cmake --preset asan
  cmake --build --preset asan -j "$JOBS"
  export ASAN_OPTIONS="detect_leaks=1" UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
  # The sound-server and native PipeWire tests run under ThreadSanitizer, for the threads they drive;
  # their memory is the same code the other tests cover here.
  run_ctest build-asan -LE 'sound_server|pipewire'
  unset ASAN_OPTIONS UBSAN_OPTIONS
fi

if [ "${SONOLAB_SKIP_FUZZ:-0}" != "1" ]; then
  # libFuzzer targets (clang): the WAVE reader, the libsndfile input, the settings-file loaders and the
  # format conversion, FUZZ_SECONDS each (default 60; 20 in CI, whose time is bounded).
  stage "Fuzz targets"
  if [ "${CI:-}" = "true" ]; then
    export FUZZ_SECONDS=${FUZZ_SECONDS:-20}
  fi
  bash scripts/fuzz.sh
fi
stage "All tests passed"
