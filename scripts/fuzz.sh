#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in their own build directory and
# runs the HEX reader fuzzer for a bounded time on a copy of the seed corpus,
# then the diagnostic console poll fuzzer for the same time.
# Exits non-zero on any crash, leak, timeout or sanitizer report; the input
# that caused it is kept under the build directory and shown as a hex dump.
#
# usage: scripts/fuzz.sh [SECONDS]    (default 60)
# FW_FUZZ_BUILD_DIR overrides the build directory (default build-fuzz).
set -euo pipefail

seconds="${1:-60}"
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || [ "$seconds" -eq 0 ]; then
  echo "usage: $0 [SECONDS]" >&2
  exit 2
fi

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${FW_FUZZ_BUILD_DIR:-$root/build-fuzz}"

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DFW_BUILD_FUZZ=ON -DFW_BUILD_TESTS=OFF -DFW_WITH_HIDAPI=OFF >/dev/null
cmake --build "$build" -j2 --target fuzz_hex_reader

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cp -r "$root/fuzz/corpus/hex" "$work/corpus"
mkdir "$work/artifacts"

echo "fuzz_hex_reader: running for ${seconds} s"
status=0
"$build/fuzz/fuzz_hex_reader" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=8192 \
  -dict="$root/fuzz/hex.dict" -artifact_prefix="$work/artifacts/" -print_final_stats=1 \
  "$work/corpus" >"$work/fuzz.log" 2>&1 || status=$?
tail -n 25 "$work/fuzz.log"

if [ "$status" -ne 0 ] || grep -qE "ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:" "$work/fuzz.log"; then
  echo "fuzz_hex_reader: FAILED (exit $status)" >&2
  mkdir -p "$build/artifacts"
  for input in "$work"/artifacts/*; do
    [ -e "$input" ] || continue
    cp "$input" "$build/artifacts/"
    echo "--- $(basename "$input") (kept in $build/artifacts)" >&2
    od -A x -t x1z "$input" | head -n 40 >&2
  done
  exit 1
fi
echo "fuzz_hex_reader: no crash or sanitizer report in ${seconds} s"

# The diagnostic console's polls on fuzzed register contents (no seed corpus:
# any bytes are a valid input).
cmake --build "$build" -j2 --target fuzz_diag_poll
mkdir "$work/diag_corpus" "$work/diag_artifacts"
echo "fuzz_diag_poll: running for ${seconds} s"
status=0
"$build/fuzz/fuzz_diag_poll" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=4096 \
  -artifact_prefix="$work/diag_artifacts/" -print_final_stats=1 "$work/diag_corpus" >"$work/diag.log" 2>&1 || status=$?
tail -n 25 "$work/diag.log"
if [ "$status" -ne 0 ] || grep -qE "ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:" "$work/diag.log"; then
  echo "fuzz_diag_poll: FAILED (exit $status)" >&2
  mkdir -p "$build/artifacts"
  for input in "$work"/diag_artifacts/*; do
    [ -e "$input" ] || continue
    cp "$input" "$build/artifacts/"
    echo "--- $(basename "$input") (kept in $build/artifacts)" >&2
    od -A x -t x1z "$input" | head -n 40 >&2
  done
  exit 1
fi
echo "fuzz_diag_poll: no crash or sanitizer report in ${seconds} s"
