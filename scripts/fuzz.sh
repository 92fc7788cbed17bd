#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the libFuzzer targets (clang, AddressSanitizer + UndefinedBehaviorSanitizer), writes the seed
# corpus and runs every target for FUZZ_SECONDS seconds (default 60). Fails when a target crashes,
# leaks, times out or runs out of memory; the input that did it is kept in build-fuzz/artifacts/.
#
#   bash scripts/fuzz.sh                  # every target, 60 s each
#   FUZZ_SECONDS=3600 bash scripts/fuzz.sh wave_reader
#
# Targets: wave_reader sound_file flt_loader lst_loader convert_audio. The corpus each run grows is kept in
# build-fuzz/corpus/<target> and reused by the next run; the seeds are rewritten every time.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BUILD=${FUZZ_BUILD_DIR:-$ROOT/build-fuzz}
SECONDS_EACH=${FUZZ_SECONDS:-60}
JOBS=${FUZZ_JOBS:-$(nproc)}
ALL_TARGETS=(wave_reader sound_file flt_loader lst_loader convert_audio)
if [ $# -gt 0 ]; then TARGETS=("$@"); else TARGETS=("${ALL_TARGETS[@]}"); fi

# The leak suppressions name library functions: without a symbolizer LeakSanitizer cannot match them.
if ! command -v llvm-symbolizer >/dev/null 2>&1; then
  echo "$0: llvm-symbolizer is not installed (package llvm; bash scripts/install-deps.sh)" >&2
  exit 1
fi
export ASAN_SYMBOLIZER_PATH=${ASAN_SYMBOLIZER_PATH:-$(command -v llvm-symbolizer)}

echo "== Fuzz build (clang, libFuzzer + ASan + UBSan) =="
cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" \
  -DCMAKE_CXX_COMPILER=clang++ \
  -DSONOLAB_FUZZ=ON -DSONOLAB_GUI=OFF -DSONOLAB_TESTS=OFF -DSONOLAB_BENCH=OFF -DSONOLAB_WERROR=ON >/dev/null
cmake --build "$BUILD" -j "$JOBS" --target sonolab_fuzzers

rm -rf "$BUILD/seeds"
python3 "$ROOT/scripts/make-fuzz-corpus.py" "$BUILD/seeds"
mkdir -p "$BUILD/artifacts"

failed=()
for target in "${TARGETS[@]}"; do
  binary="$BUILD/fuzz/fuzz_$target"
  if [ ! -x "$binary" ]; then
    echo "no fuzz target $target (known: ${ALL_TARGETS[*]})" >&2
    exit 2
  fi
  corpus="$BUILD/corpus/$target"
  mkdir -p "$corpus"
  log="$BUILD/fuzz-$target.log"
  echo "== fuzz_$target for ${SECONDS_EACH}s (log: $log) =="
  # New inputs go to the first folder only; the seeds stay as generated. A single input that takes
  # more than 10 s or 2 GiB is a failure like a crash.
  if ASAN_OPTIONS="detect_leaks=1:allocator_may_return_null=0" LSAN_OPTIONS="suppressions=$ROOT/scripts/lsan.supp" \
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
    "$binary" "$corpus" "$BUILD/seeds/$target" -max_total_time="$SECONDS_EACH" -timeout=10 \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$BUILD/artifacts/$target-" >"$log" 2>&1; then
    grep -E "^(Done|stat::number_of_executed_units|stat::new_units_added)" "$log" | tr '\n' ' '
    echo
  else
    echo "fuzz_$target FAILED; the end of its log:" >&2
    grep -v "^#" "$log" | tail -40 >&2
    failed+=("$target")
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "== Fuzzing found failures in: ${failed[*]} (inputs in $BUILD/artifacts/) ==" >&2
  exit 1
fi
echo "== Fuzzing passed: ${TARGETS[*]} =="
