#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in their own build directory and
# runs each for a bounded time on a copy of its seed corpus:
#   fuzz_hex_reader             HEX files                  (fuzz/corpus/hex)
#   fuzz_hex_image              HEX files as flat images   (fuzz/corpus/hex_image)
#   fuzz_hid_report_descriptor  HID report descriptors     (fuzz/corpus/report_descriptor)
#   fuzz_hidboard_read          custom board input reports (fuzz/corpus/hidboard)
#   fuzz_cp2112_smbus           CP2112 input and feature reports (fuzz/corpus/cp2112)
#   fuzz_diag_poll              diagnostic console polls on any register bytes (fuzz/corpus/diag)
#   fuzz_station_record         lines of a station record file (fuzz/corpus/station_record)
# Exits non-zero on any crash, leak, timeout or sanitizer report; the input
# that caused it is kept under the build directory and shown as a hex dump.
#
# usage: scripts/fuzz.sh [SECONDS]    seconds per target (default: $FUZZ_SECONDS, else 30)
# FW_FUZZ_BUILD_DIR overrides the build directory (default build-fuzz).
set -euo pipefail

seconds="${1:-${FUZZ_SECONDS:-30}}"
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || [ "$seconds" -eq 0 ]; then
  echo "usage: $0 [SECONDS]" >&2
  exit 2
fi

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${FW_FUZZ_BUILD_DIR:-$root/build-fuzz}"
targets=(fuzz_hex_reader fuzz_hex_image fuzz_hid_report_descriptor fuzz_hidboard_read fuzz_cp2112_smbus fuzz_diag_poll
         fuzz_station_record)

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DFW_BUILD_FUZZ=ON -DFW_BUILD_TESTS=OFF -DFW_WITH_HIDAPI=OFF >/dev/null
cmake --build "$build" -j2 --target "${targets[@]}"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

failed=0
for target in "${targets[@]}"; do
  case "$target" in
    fuzz_hex_reader) corpus=hex; extra=(-max_len=8192 -dict="$root/fuzz/hex.dict") ;;
    fuzz_hex_image) corpus=hex_image; extra=(-max_len=8192 -dict="$root/fuzz/hex.dict") ;;
    fuzz_hid_report_descriptor) corpus=report_descriptor; extra=(-max_len=4096) ;;
    fuzz_hidboard_read) corpus=hidboard; extra=(-max_len=2048) ;;
    fuzz_cp2112_smbus) corpus=cp2112; extra=(-max_len=2048) ;;
    fuzz_diag_poll) corpus=diag; extra=(-max_len=4096) ;;
    fuzz_station_record) corpus=station_record; extra=(-max_len=4096) ;;
  esac
  cp -r "$root/fuzz/corpus/$corpus" "$work/$target.corpus"
  mkdir "$work/$target.artifacts"
  echo "$target: running for ${seconds} s"
  status=0
  "$build/fuzz/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 "${extra[@]}" \
    -artifact_prefix="$work/$target.artifacts/" -print_final_stats=1 \
    "$work/$target.corpus" >"$work/$target.log" 2>&1 || status=$?
  tail -n 12 "$work/$target.log"

  if [ "$status" -ne 0 ] || grep -qE "ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:" "$work/$target.log"; then
    echo "$target: FAILED (exit $status)" >&2
    failed=1
    mkdir -p "$build/artifacts"
    for input in "$work/$target.artifacts"/*; do
      [ -e "$input" ] || continue
      cp "$input" "$build/artifacts/$target-$(basename "$input")"
      echo "--- $(basename "$input") (kept in $build/artifacts)" >&2
      od -A x -t x1z "$input" | head -n 40 >&2
    done
  else
    echo "$target: no crash or sanitizer report in ${seconds} s"
  fi
done
exit "$failed"
