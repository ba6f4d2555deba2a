#!/usr/bin/env bash
# The page against kdtool: the update (with --verify) over each virtual bridge
# under the bus-timing model (KDSIM_TIMING=fullspeed), in headless Chromium and
# natively, in the same run; prints both times and their ratio per bridge.
# Not a timed test: a few minutes. Needs build/kdtool and out/web/
# (scripts/web.sh build) and web/test's packages (scripts/test-web.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
[ -x build/kdtool ] || { echo "bench-web.sh: build/kdtool is missing (build the native tree first)" >&2; exit 1; }
[ -f out/web/kdtool.wasm ] || scripts/web.sh build
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
head -c $((0x1C000)) /dev/urandom > "$work/fw.bin"

declare -A native
for kind in custom cp2112; do
  native[$kind]=$(cd "$work" && KDSIM_BRIDGE=$kind KDSIM_TIMING=fullspeed "$OLDPWD/build/kdtool" --virtual --json \
                   update fw.bin 0102 0003 0010 --verify 2>/dev/null | python3 -c '
import json, sys
end = [json.loads(l) for l in sys.stdin if l.startswith("{")][-1]
assert end["type"] == "end" and end["ok"], end
print(end["elapsed_s"])')
done
printf '%-8s %10s %10s %7s\n' bridge native_s page_s ratio
while read -r kind page; do
  python3 -c "import sys; k, n, p = sys.argv[1], float(sys.argv[2]), float(sys.argv[3]); print(f'{k:<8} {n:10.2f} {p:10.2f} {p / n:7.2f}')" \
    "$kind" "${native[$kind]}" "$page"
done < <(node web/test/bench.mjs out/web "$work/fw.bin")
