#!/usr/bin/env bash
# Builds Sonolab and runs every test: the optimised build with the GUI (offscreen) and a private
# PulseAudio server; the GUI tests again on a private X server with a window manager; then the tests
# under ThreadSanitizer and under AddressSanitizer with UndefinedBehaviorSanitizer (of the GUI tests
# only the worker against its window: Qt itself is not instrumented); then the fuzz targets for a
# bounded time (SONOLAB_SKIP_FUZZ=1 skips them).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
JOBS=$(nproc)

export QT_QPA_PLATFORM=offscreen
export SONOLAB_REQUIRE_PULSE=1

# A private sound server when none is reachable; stopped again on exit.
PULSE_ENV=$(mktemp)
bash scripts/pulse-server.sh start "$PULSE_ENV"
# shellcheck disable=SC1090
source "$PULSE_ENV"
trap 'bash "$ROOT/scripts/pulse-server.sh" stop "$PULSE_ENV"; rm -f "$PULSE_ENV"' EXIT

# After a failed run: whether the private sound server still answers, and the end of its log.
report_sound_server() {
  local log=${XDG_RUNTIME_DIR:-}/pulseaudio.log
  [ -f "$log" ] || return 0
  if pactl info >/dev/null 2>&1; then
    echo "== The test sound server still answers. The end of its log:"
  else
    echo "== The test sound server no longer answers. The end of its log:"
  fi
  tail -n 40 "$log"
}

run_ctest() {
  local dir=$1
  shift
  if ! ctest --test-dir "$dir" --output-on-failure --timeout 900 -j "$JOBS" "$@"; then
    report_sound_server
    return 1
  fi
}

echo "== Build (RelWithDebInfo, GUI) =="
cmake --preset release
cmake --build --preset release -j "$JOBS"
run_ctest build

echo "== GUI tests on an X server (Xvfb, openbox) =="
# One at a time: on a desktop the windows of two test programs would take the focus from each other.
if ! bash scripts/x-session.sh ctest --test-dir build --output-on-failure --timeout 900 -L gui; then
  report_sound_server
  exit 1
fi

if [ "${SONOLAB_SKIP_SANITIZERS:-0}" != "1" ]; then
  echo "== ThreadSanitizer =="
  cmake --preset tsan
  cmake --build --preset tsan -j "$JOBS"
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$ROOT/scripts/tsan.supp" run_ctest build-tsan

  echo "== AddressSanitizer + UndefinedBehaviorSanitizer =="
  cmake --preset asan
  cmake --build --preset asan -j "$JOBS"
  ASAN_OPTIONS="detect_leaks=1" UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" run_ctest build-asan
fi

if [ "${SONOLAB_SKIP_FUZZ:-0}" != "1" ]; then
  # libFuzzer targets (clang): the WAVE reader, the settings-file loaders and the format conversion,
  # FUZZ_SECONDS each (default 60).
  bash scripts/fuzz.sh
fi
echo "== All tests passed =="
