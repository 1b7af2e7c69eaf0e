#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a short while
# (FUZZ_SECONDS, default 60) from its seed corpus. A crash fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

seconds=${FUZZ_SECONDS:-60}
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DDRVVZT_BUILD_FUZZ=ON -DDRVVZT_BUILD_SHELL=OFF -DDRVVZT_BUILD_TESTS=OFF -DDRVVZT_BUILD_BENCH=OFF
cmake --build build-fuzz

for target in build-fuzz/fuzz/*_fuzz; do
  name=$(basename "$target")
  corpus=fuzz/corpus/${name%_fuzz}
  work=$(mktemp -d)
  mkdir -p "$corpus"
  echo "fuzz: $name for ${seconds}s"
  (cd "$work" && "$OLDPWD/$target" -max_total_time="$seconds" -print_final_stats=1 \
      "$work" "$OLDPWD/$corpus" 2>&1 | tail -n 12)
  rm -rf "$work"
done
