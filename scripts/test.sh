#!/usr/bin/env bash
# Builds and runs every test: the plain build (GCC) and its suite, once per
# test and once in one process in a random order; bounded fuzzing of every
# fuzz target; the Windows part (scripts/test-windows.sh: cross build, suite
# and end-to-end runs under wine; skipped with FW_LINUX_ONLY=1); the packages
# (scripts/package.sh); and last the suite built with Clang under
# AddressSanitizer + UndefinedBehaviorSanitizer, so the run closes on a test
# summary. Warnings are errors in every build here (FW_WERROR).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-deps.sh

jobs=$(nproc)

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFW_WERROR=ON -DFW_BUILD_TESTS=ON -DFW_BUILD_BENCH=ON >/dev/null
cmake --build build -j"$jobs"
# Most of the slow tests wait on the paced virtual bus rather than compute:
# twice as many at once as there are cores.
(cd build && ctest -j"$((jobs * 2))" --output-on-failure)
# ctest gives every test a process of its own; once more in one process, in a
# random order, so that no test depends on what an earlier one left behind.
# The runs of the executables are left out: they are processes of their own.
slow=$(sed -n 's/^set(FW_SLOW_TESTS "\(.*\)")$/\1/p' tests/CMakeLists.txt)
seed=$((RANDOM % 99999 + 1))
if ! timeout 600 build/tests/fw_tests --gtest_shuffle --gtest_random_seed="$seed" --gtest_brief=1 \
     --gtest_filter="-$slow" >build/shuffled.log 2>&1; then
  grep -E 'Failure|FAILED' build/shuffled.log | head -n 60
  echo "The suite failed in one process in a random order (build/shuffled.log; again with --gtest_random_seed=$seed)." >&2
  exit 1
fi

if [ -x scripts/fuzz.sh ]; then
  scripts/fuzz.sh "${FUZZ_SECONDS:-15}"  # seconds per target
fi

if [ "${FW_LINUX_ONLY:-0}" != 1 ]; then
  scripts/test-windows.sh
fi

# The page in headless Chromium (scripts/test-web.sh; skipped with FW_NO_WEB=1).
[ "${FW_NO_WEB:-0}" = 1 ] || scripts/test-web.sh

# The Debian package with its checks, and the Windows zip from the Windows
# part's Release build (scripts/package.sh; no zip with FW_LINUX_ONLY=1).
FW_PKG_WIN_BUILD=build-win scripts/package.sh

# The sanitizer build is also the Clang build: the code must compile warning-free with both compilers.
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ -DFW_WERROR=ON -DFW_SANITIZE=ON \
  -DFW_BUILD_TESTS=ON >/dev/null
cmake --build build-asan -j"$jobs"
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest -j"$((jobs * 2))" --output-on-failure)
