#!/usr/bin/env bash
# Benchmark (not a test): `kdtool station` on four virtual fixtures of one
# kind, twenty modules each, under the bus-timing model
# (KDSIM_TIMING=fullspeed). An operator who never dawdles takes each module
# out when its verdict shows and puts the next one in as soon as the station
# has seen the fixture empty. Reports:
#   - units per hour against the ideal: four fixtures x 3600 s / the time of
#     one unit's update (a lone `kdtool update --verify`, timed first);
#   - the time from a module put in to its first unit written (the median
#     and the worst of the station's "writing" events);
#   - the station's own CPU while every fixture waits for a module.
#   scripts/bench-station.sh [KIND [MODULES]]   KIND custom (default) or cp2112
set -euo pipefail
cd "$(dirname "$0")/.."
kind=${1:-custom}
modules=${2:-20}
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target kdtool >/dev/null
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
head -c 114688 /dev/zero | tr '\000' '\232' >"$tmp/fw.bin"
export KDSIM_TIMING=fullspeed

# One unit alone, as the station runs it.
start=$(date +%s.%N)
KDSIM_BRIDGES="$kind:1" build/kdtool --virtual update --verify "$tmp/fw.bin" 0102 0003 0010 >"$tmp/one.txt" 2>&1 ||
  { cat "$tmp/one.txt" >&2; exit 1; }
one=$(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN { print b - a }')

# The station's CPU while four fixtures wait for a module (ticks of
# /proc/PID/stat over ten seconds, after two to settle).
KDSIM_BRIDGES="$kind:4" KDSIM_FIXTURE="$tmp/idle-%s" build/kdtool --virtual station "$tmp/fw.bin" 0102 0003 0010 \
  >/dev/null 2>&1 &
idle=$!
sleep 2
a=$(awk '{ print $14 + $15 }' "/proc/$idle/stat")
sleep 10
b=$(awk '{ print $14 + $15 }' "/proc/$idle/stat")
kill -INT "$idle"
wait "$idle" || true
cpu=$(awk -v t="$((b - a))" -v hz="$(getconf CLK_TCK)" 'BEGIN { print 100 * t / hz / 10 }')

# The shift.
python3 - "$tmp" "$kind" "$modules" "$one" "$cpu" <<'EOF'
import json, os, statistics, subprocess, sys, time

tmp, kind, modules, one, cpu = sys.argv[1], sys.argv[2], int(sys.argv[3]), float(sys.argv[4]), float(sys.argv[5])
serials = [("BOARDSIM%04d" if kind == "custom" else "CP2112SIM%04d") % i for i in range(1, 5)]
left = {s: modules for s in serials}


def put(serial, line):
    path = os.path.join(tmp, serial + ".fixture")
    with open(path + ".new", "w") as f:
        f.write(line + "\n")
    os.replace(path + ".new", path)


def next_module(serial):
    n = modules - left[serial] + 1
    left[serial] -= 1
    put(serial, "module %s-%02d.bin" % (serial, n))


for s in serials:
    next_module(s)
env = dict(os.environ, KDSIM_BRIDGES="%s:4" % kind, KDSIM_FIXTURE=os.path.join(tmp, "%s.fixture"))
station = subprocess.Popen(
    ["build/kdtool", "--virtual", "--json", "station", os.path.join(tmp, "fw.bin"), "0102", "0003", "0010",
     "--count", str(4 * modules), "--record", os.path.join(tmp, "shift.jsonl")],
    env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
found, first_write, verdicts = {}, [], 0
for line in station.stdout:
    event = json.loads(line)
    if event.get("type") != "slot":
        continue
    serial, state = event["bridge"]["serial"], event["state"]
    if state == "flashing":
        found[serial] = event["t_s"]
    elif state == "writing":
        first_write.append(event["t_s"] - found[serial])
    elif state in ("pass", "fail"):
        verdicts += 1
        if state == "fail":
            print("unit failed:", event["detail"], file=sys.stderr)
        put(serial, "empty")
    elif state == "waiting" and left[serial] > 0:
        next_module(serial)
station.wait()
summary = subprocess.run(["build/kdtool", "--json", "station", "--summary", os.path.join(tmp, "shift.jsonl")],
                         capture_output=True, text=True, check=True)
totals = json.loads(summary.stdout)
ideal = 4 * 3600 / one
print("%s, %d cores: one unit alone %.2f s; %d units, %d passed" % (kind, os.cpu_count(), one, totals["units"],
                                                                    totals["passed"]))
print("units per hour %.0f against the ideal %.0f (4 x 3600 s / %.2f s): %.3f (goal >= 0.95)"
      % (totals["units_per_hour"], ideal, one, totals["units_per_hour"] / ideal))
print("module answering -> first unit written: median %.2f s, worst %.2f s (goal <= 0.6 s)"
      % (statistics.median(first_write), max(first_write)))
print("station CPU while four fixtures wait: %.2f %% of a core (goal < 2 %%)" % cpu)
EOF
