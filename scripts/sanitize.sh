#!/usr/bin/env bash
# Builds the test suite with AddressSanitizer + UndefinedBehaviorSanitizer and
# with ThreadSanitizer (separate build directories) and runs it in both.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

run_suite() {  # build-dir sanitizers
  local dir=$1 sanitize=$2
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DDRVVZT_SANITIZE="$sanitize" \
    -DDRVVZT_BUILD_BENCH=OFF
  cmake --build "$dir"
  ctest --test-dir "$dir" --output-on-failure -j2 --timeout 600
}

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/scripts/tsan.supp"

run_suite build-asan address,undefined
run_suite build-tsan thread
