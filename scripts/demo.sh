#!/usr/bin/env bash
# Builds fwdownload-sim and runs a whole firmware update against the built-in
# virtual bridge and controller, on a generated image.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-deps.sh >&2

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target fwdownload-sim >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
head -c 114688 /dev/urandom > "$work/image.bin"

set +e
KDSIM_FLASH_OUT="$work/flash.bin" build/fwdownload-sim "$work/image.bin" 1234 5678 0102 0003 0010 34 </dev/null
status=$?
set -e
echo "exit code: $status"
if [ -f "$work/flash.bin" ]; then
  if cmp -s <(tail -c +16385 "$work/flash.bin") "$work/image.bin"; then
    echo "virtual flash at 0x4000..0x1FFFF matches the image"
  else
    echo "virtual flash does NOT match the image"
    exit 1
  fi
fi
exit "$status"
