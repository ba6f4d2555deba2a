#!/usr/bin/env bash
# Benchmark (not a test): `kdtool update --all` on eight virtual boards
# against one board alone, under the bus-timing model (KDSIM_TIMING=fullspeed),
# alternating the two for a few rounds in the same run; prints each wall time
# and the ratio of the medians. The README's Performance section quotes it.
#   scripts/bench-all.sh [KIND [ROUNDS]]   KIND custom (default) or cp2112
set -euo pipefail
cd "$(dirname "$0")/.."
kind=${1:-custom}
rounds=${2:-3}
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target kdtool >/dev/null
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
# A fixed image, different from the erased flash, so every board is written.
head -c 114688 /dev/zero | tr '\000' '\132' >"$tmp/fw.bin"
export KDSIM_TIMING=fullspeed KDSIM_BRIDGES="$kind:8" KDSIM_FLASH_OUT="$tmp/%s.bin"
first=$([ "$kind" = custom ] && echo BOARDSIM0001 || echo CP2112SIM0001)

wall() {  # prints the wall time of the command in seconds; fails when it does
  local start end
  start=$(date +%s.%N)
  "$@" >"$tmp/out.txt" 2>&1 || { cat "$tmp/out.txt" >&2; return 1; }
  end=$(date +%s.%N)
  awk -v a="$start" -v b="$end" 'BEGIN { print b - a }'
}

median() { printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

ones=() eights=()
for round in $(seq "$rounds"); do
  one=$(wall build/kdtool --virtual --serial "$first" update "$tmp/fw.bin" 0102 0003 0010)
  eight=$(wall build/kdtool --virtual update --all "$tmp/fw.bin" 0102 0003 0010)
  grep -q '^8 ok, 0 failed' "$tmp/out.txt" || { cat "$tmp/out.txt" >&2; exit 1; }
  printf 'round %s: one board %.2f s, eight boards (--all) %.2f s\n' "$round" "$one" "$eight"
  ones+=("$one") eights+=("$eight")
done
one=$(median "${ones[@]}")
eight=$(median "${eights[@]}")
printf '%s, %s cores: one board %.2f s, eight boards %.2f s, ratio %.3f (medians of %s rounds)\n' \
  "$kind" "$(nproc)" "$one" "$eight" "$(awk -v a="$one" -v b="$eight" 'BEGIN { print b / a }')" "$rounds"
