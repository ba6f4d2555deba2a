#!/usr/bin/env bash
# Builds and runs every test: the plain build, the same suite under
# AddressSanitizer + UndefinedBehaviorSanitizer, and a bounded fuzzing run of
# the HEX reader in between.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-deps.sh

jobs=$(nproc)

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFW_BUILD_TESTS=ON -DFW_BUILD_BENCH=ON >/dev/null
cmake --build build -j"$jobs"
(cd build && ctest -j"$jobs" --output-on-failure)

if [ -x scripts/fuzz.sh ]; then
  scripts/fuzz.sh "${FUZZ_SECONDS:-45}"  # seconds per target
fi

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DFW_SANITIZE=ON -DFW_BUILD_TESTS=ON >/dev/null
cmake --build build-asan -j"$jobs"
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest -j"$jobs" --output-on-failure)
