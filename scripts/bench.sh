#!/usr/bin/env bash
# Builds the benchmarks and runs the bus-timing benchmark: every update
# procedure and the ISP program and dump over the virtual bridges with the
# timing model on, against their protocol floor. About six minutes (the ISP
# dump alone takes five); pass Google Benchmark options to pick, e.g.
#   scripts/bench.sh --benchmark_filter='A_|B1|B2'
# Not part of CI: the figures are modelled time on the real clock.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFW_BUILD_BENCH=ON >/dev/null
cmake --build build -j"$(nproc)" --target bench_timing
build/bench/bench_timing --benchmark_counters_tabular=true "$@"
