#!/usr/bin/env bash
# The Windows part of the tests: the mingw-w64 cross build of the four
# executables and the test suite, then under wine the suite (all but the tests
# that need a pseudo-terminal or POSIX processes) and end-to-end runs of the
# Windows executables: updates through fwdownload-sim.exe over the virtual
# custom board and the virtual CP2112, hex2c.exe on a HEX file, and the exit
# codes of fwdownload.exe for a bad command line and for "Device Not Found.";
# kdtool.exe's list and update on the virtual hardware, its refusals, and
# remove-device up to its question (never a removal); update --all on three
# boards, with one that fails, stopped by Ctrl+C, and outliving its parent; a
# station shift of two fixtures, and one ended by Ctrl+C with its units in
# flight finished and recorded; a
# file and an executable under a Korean folder name, and the writes that carry
# the output. Last, the whole suite once more in one process in a shuffled
# order.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-deps.sh

jobs=$(nproc)
build=build-win

cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=Release \
  -DFW_BUILD_TESTS=ON >/dev/null
cmake --build "$build" -j"$jobs"

export PATH="/usr/lib/wine:$PATH"
export WINEPREFIX="$PWD/$build/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
work=$(mktemp -d)
cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
# wine's background processes are started here, once, with their output going
# nowhere: started by a test they would inherit ctest's output pipe, and ctest
# would wait for them to end after every test.
mkdir -p "$WINEPREFIX"  # wineserver refuses a prefix that does not exist yet
wineserver -p >/dev/null 2>&1 </dev/null || true  # one may run for this prefix already
wine64 wineboot >/dev/null 2>&1 </dev/null

(cd "$build" && ctest -j"$jobs" --output-on-failure)

failures=0
check() {  # check DESCRIPTION CONDITION...
  local what=$1
  shift
  if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; failures=$((failures + 1)); fi
}
winpath() { printf 'Z:%s' "${1//\//\\}"; }
# Runs a Windows executable with the key waits answered by end of input; the
# exit code goes to $rc, stdout to $work/out.raw and, without CRs, $work/out.
run() {
  rc=0
  wine64 "$@" </dev/null >"$work/out.raw" 2>"$work/err" || rc=$?
  tr -d '\r' <"$work/out.raw" >"$work/out"
}
has() { grep -qxF -- "$1" "$work/out"; }

echo "== end-to-end runs under wine"
head -c 114688 /dev/urandom >"$work/fw.bin"
for bridge in custom cp2112; do
  rm -f "$work/flash.bin"
  KDSIM_BRIDGE=$bridge KDSIM_FLASH_OUT="$(winpath "$work/flash.bin")" \
    run "$build/fwdownload-sim.exe" "$(winpath "$work/fw.bin")" 1209 7750 0102 0003 0010 34
  check "update over the virtual $bridge bridge ends with 0" test "$rc" -eq 0
  check "update over the virtual $bridge bridge says the flash was written" has "Flash Writing Complete!!!"
  check "update over the virtual $bridge bridge leaves the image in the flash" \
    cmp -s <(tail -c +16385 "$work/flash.bin") "$work/fw.bin"
  check "lines end in CR LF on Windows" grep -q $'Terminated\r$' "$work/out.raw"
done

# Names outside the ANSI code page (wine's is 1252): the manifest's UTF-8 code
# page and the wide command line carry them; the output of a run goes out in
# one write per line at most (wine's file trace counts the writes), never one
# per byte, and a Korean text comes out whole.
korean="$work/펌웨어"
mkdir "$korean"
cp "$work/fw.bin" "$korean/fw.bin"
cp "$build/fwdownload-sim.exe" "$korean/fwdownload-sim.exe"
rm -f "$work/flash.bin"
KDSIM_FLASH_OUT="$(winpath "$work/flash.bin")" \
  run "$build/fwdownload-sim.exe" "$(winpath "$korean/fw.bin")" 1209 7750 0102 0003 0010 34
check "an update from an image in a folder named 펌웨어 ends with 0" test "$rc" -eq 0
check "that update leaves the image in the flash" cmp -s <(tail -c +16385 "$work/flash.bin") "$work/fw.bin"
rc=0
WINEDEBUG=-all,trace+file wine64 "$korean/fwdownload-sim.exe" </dev/null >"$work/out.raw" 2>"$work/err" || rc=$?
usage="Usage: $(winpath "$korean/fwdownload-sim.exe") IMAGE VID PID CORE_VER APP_VER PARA_VER SLAVE_ADDR"
check "the usage names the program in its Korean folder, byte for byte" test "$(cat "$work/out.raw")" = \
  "$usage"$'\r\n  all numbers hexadecimal; SLAVE_ADDR 0 selects 0x34\r'
check "the two lines of the usage go out in at most two writes" test "$(grep -c 'NtWriteFile (' "$work/err")" -le 2

printf ':0301000021460194\r\n:00020000FE\r\n:020000040800F2\r\n:0103000009F3\r\n:00000001FF\r\n' >"$work/fw.hex"
mkdir "$work/c"
run "$build/hex2c.exe" "$(winpath "$work/fw.hex")" "$(winpath "$work/c/fw.c")"
check "hex2c.exe ends with 0" test "$rc" -eq 0
printf '%s' $'\r\nINTEL_HEX_RECORD_INFO fw_info = {\r\n\r\n\t0x0005,\t\t// nRecord_cournt ( Count of data records )\r\n' \
  $'\t0x0006,\t\t// nTotal_bytes\r\n\t0x0301,\t\t// nLast_address\r\n};\r\n\r\n\r\nINTEL_HEX_RECORD fw[] = {\r\n\r\n' \
  $'{\r\n\t0x03,\r\n\t0x0100,\r\n\t0x00,\r\n\t{0x21,0x46,0x01,}\r\n},\r\n' \
  $'{\r\n\t0x00,\r\n\t0x0200,\r\n\t0x00,\r\n\t{}\r\n},\r\n' \
  $'{\r\n\t0x02,\r\n\t0x0000,\r\n\t0x04,\r\n\t{0x08,0x00,}\r\n},\r\n' \
  $'{\r\n\t0x01,\r\n\t0x0300,\r\n\t0x00,\r\n\t{0x09,}\r\n},\r\n' \
  $'{\r\n\t0x00,\r\n\t0x0000,\r\n\t0x01,\r\n\t{}\r\n},\r\n};\r\n\r\n' >"$work/expected.c"
check "hex2c.exe writes the C source byte for byte, named after the file" cmp -s "$work/c/fw.c" "$work/expected.c"
run "$build/hex2c.exe" --print "$(winpath "$work/fw.hex")"
check "hex2c.exe --print prints the leading data records" test "$(cat "$work/out")" = $'\n0100  21 46 01\n0200 '

run "$build/fwdownload.exe" "$(winpath "$work/fw.bin")" 1209 7750
check "fwdownload.exe with a short command line ends with 2" test "$rc" -eq 2
# No bridge under wine (its own virtual mouse and keyboard are not ours).
run "$build/fwdownload.exe" "$(winpath "$work/fw.bin")" 1234 5678 0102 0003 0010 34
check "fwdownload.exe without a bridge ends with 3" test "$rc" -eq 3
check "fwdownload.exe without a bridge says \"Device Not Found.\"" has "Device Not Found."

notice="kdtool: VIRTUAL hardware (KDSIM_* settings): no real bridge or controller is used."
KDSIM_BRIDGE=both run "$build/kdtool.exe" --virtual list
check "kdtool.exe --virtual list shows both virtual bridges" test "$(cat "$work/out")" = \
  "$notice"$'\ncustom  1209:7750  BOARDSIM0001  virtual:0  ok\ncp2112  10c4:ea90  CP2112SIM0001  virtual:1  ok'
rm -f "$work/flash.bin"
KDSIM_BRIDGE=both KDSIM_FLASH_OUT="$(winpath "$work/flash.bin")" \
  run "$build/kdtool.exe" --virtual --serial BOARDSIM0001 update "$(winpath "$work/fw.bin")" 0102 0003 0010
check "kdtool.exe update over the virtual custom board ends with 0" test "$rc" -eq 0
check "kdtool.exe update says the flash was written" has "Flash Writing Complete!!!"
check "kdtool.exe update leaves the image in the flash" cmp -s <(tail -c +16385 "$work/flash.bin") "$work/fw.bin"
KDSIM_BRIDGE=custom run "$build/kdtool.exe" --virtual --bridge cp2112 update "$(winpath "$work/fw.bin")" 0102 0003 0010
check "kdtool.exe without the bridge asked for ends with 3" test "$rc" -eq 3
run "$build/kdtool.exe" --addr 80 info
check "kdtool.exe with a bad address ends with 2" test "$rc" -eq 2
run "$build/kdtool.exe" remove-device ""
check "kdtool.exe remove-device refuses the empty text with 2" test "$rc" -eq 2
rc=0
echo no | wine64 "$build/kdtool.exe" remove-device VID_10C4 >"$work/out.raw" 2>"$work/err" || rc=$?
tr -d '\r' <"$work/out.raw" >"$work/out"
check "kdtool.exe remove-device removes nothing without a yes and ends with 1" test "$rc" -eq 1
check "kdtool.exe remove-device says nothing was removed" grep -qF "[yes/no] Nothing removed." "$work/out"

# kdtool.exe COMMAND --all: one child process per board, their JSON Lines
# read side by side. $work/all/SERIAL.bin is each board's flash.
# The results in the one summary object of a --json run, "SERIAL:RESULT ...".
results() {
  python3 -c 'import json, sys
objects = [json.loads(l) for l in open(sys.argv[1]) if l.startswith("{")]
summaries = [o for o in objects if o["type"] == "summary"]
print(" ".join(b["bridge"]["serial"] + ":" + b["result"] for b in summaries[0]["boards"]) if len(summaries) == 1 else "")' "$work/out"
}
holds_image() { cmp -s <(tail -c +16385 "$work/all/$1.bin" | head -c 114688) "$work/fw.bin"; }
boards=(BOARDSIM0001 CP2112SIM0001 CP2112SIM0002)
export KDSIM_BRIDGES=custom:1,cp2112:2 KDSIM_FLASH_OUT="$(winpath "$work/all/%s.bin")"
all_args=(--virtual update --all "$(winpath "$work/fw.bin")" 0102 0003 0010)
rm -rf "$work/all" && mkdir "$work/all"
run "$build/kdtool.exe" --json "${all_args[@]}" --log-dir "$(winpath "$work/all/logs")"
check "kdtool.exe --json update --all on three boards ends with 0" test "$rc" -eq 0
check "it writes a log per board, its lines ended by LF alone" \
  test "$(ls "$work/all/logs" | wc -l)" -eq 3 -a "$(cat "$work/all/logs"/* | grep -c $'\r')" -eq 0
check "its one summary has the three boards ok" test "$(results)" = \
  "BOARDSIM0001:ok CP2112SIM0001:ok CP2112SIM0002:ok"
for board in "${boards[@]}"; do check "update --all leaves the image in the flash of $board" holds_image "$board"; done
rm -rf "$work/all" && mkdir "$work/all"
KDSIM_CP2112SIM0002_VANISH_AFTER=200 run "$build/kdtool.exe" --json "${all_args[@]}"
check "update --all with a board whose controller vanishes ends with 1" test "$rc" -eq 1
check "that board failed, the others ok" test "$(results)" = \
  "BOARDSIM0001:ok CP2112SIM0001:ok CP2112SIM0002:failed"
check "the failed board lacks the image" test "$(holds_image CP2112SIM0002 || echo no)" = no
# The children's command lines carry a name with a blank and Hangul whole.
rm -rf "$work/all" && mkdir "$work/all" "$work/펌 웨어"
cp "$work/fw.bin" "$work/펌 웨어/fw.bin"
KDSIM_BRIDGES=custom:1 run "$build/kdtool.exe" --virtual update --all "$(winpath "$work/펌 웨어/fw.bin")" 0102 0003 0010
check "update --all of an image in a folder named '펌 웨어' ends with 0" test "$rc" -eq 0
check "and leaves the image in the flash" holds_image BOARDSIM0001
# wine turns a SIGINT into the console's Ctrl+C for the process it reaches:
# sent to the whole process group, as a terminal's Ctrl+C is, it reaches the
# parent and every child.
rm -rf "$work/all" && mkdir "$work/all"
setsid wine64 "$build/kdtool.exe" "${all_args[@]}" </dev/null >"$work/out.raw" 2>"$work/err" &
parent=$!
started() { for board in "${boards[@]}"; do grep -qF "$board: 0 %" "$work/out.raw" || return 1; done; }
for _ in $(seq 300); do
  started && break
  sleep 0.1
done
kill -INT -- -"$parent" || true
rc=0
wait "$parent" || rc=$?
tr -d '\r' <"$work/out.raw" >"$work/out"
check "Ctrl+C to update --all ends it with 1" test "$rc" -eq 1
check "every board ends its update, interrupted by Ctrl+C" test "$(grep -c ': Update interrupted (Ctrl+C)' "$work/out")" -eq 3
check "the summary names the stop" grep -qF "3 interrupted); stopped by Ctrl+C" "$work/out"
for board in "${boards[@]}"; do check "$board's flash was written out" test -s "$work/all/$board.bin"; done
# While a board takes its time to end after Ctrl+C (its flash goes into a FIFO
# that nobody reads), the parent waits for it without spinning.
rm -rf "$work/all" && mkdir "$work/all"
mkfifo "$work/all/flash.fifo"
exec 7<>"$work/all/flash.fifo"
KDSIM_BRIDGES=custom:1 KDSIM_FLASH_OUT="$(winpath "$work/all/flash.fifo")" setsid wine64 "$build/kdtool.exe" \
  "${all_args[@]}" </dev/null >"$work/out.raw" 2>"$work/err" &
parent=$!
for _ in $(seq 300); do
  grep -qF 'BOARDSIM0001: 0 %' "$work/out.raw" && break
  sleep 0.1
done
kill -INT -- -"$parent" || true
sleep 1
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$parent/stat" 2>/dev/null || echo 0; }
before=$(cpu_ticks)
sleep 3
check "update --all waits for a board still ending after Ctrl+C with under 0.3 s of CPU in 3 s" \
  test $(($(cpu_ticks) - before)) -lt 30
{ kill -KILL -- -"$parent" && wait "$parent"; } 2>/dev/null || true
exec 7>&-
# A board whose parent is killed ends its update in flight and stops (its
# flash written out without the whole image), paced as on real hardware.
rm -rf "$work/all" && mkdir "$work/all"
KDSIM_BRIDGES=custom:1 KDSIM_TIMING=fullspeed setsid wine64 "$build/kdtool.exe" "${all_args[@]}" </dev/null \
  >"$work/out.raw" 2>"$work/err" &
parent=$!
for _ in $(seq 300); do
  grep -qF 'BOARDSIM0001: 10 %' "$work/out.raw" && break
  sleep 0.1
done
{ kill -KILL "$parent" && wait "$parent"; } 2>/dev/null || true  # without the shell's "Killed"
for _ in $(seq 50); do
  [ -s "$work/all/BOARDSIM0001.bin" ] && break
  sleep 0.1
done
check "a board of a killed update --all stops within 5 s" test -s "$work/all/BOARDSIM0001.bin"
check "and leaves its update unfinished" test "$(holds_image BOARDSIM0001 || echo no)" = no
unset KDSIM_BRIDGES KDSIM_FLASH_OUT

# kdtool.exe station: two fixtures of a shift, their units in processes of
# their own; one module's controller vanishes. Then Ctrl+C to the whole
# process group, as a console's Ctrl+C: the units in flight are out of its
# reach, finish, and are recorded.
rm -rf "$work/all" && mkdir "$work/all"
printf 'module m1.bin\n' >"$work/all/BOARDSIM0001.fixture"
printf 'module m2.bin VANISH_AFTER=300\n' >"$work/all/BOARDSIM0002.fixture"
station_args=(--virtual station "$(winpath "$work/fw.bin")" 0102 0003 0010 --record "$(winpath "$work/all/shift.jsonl")")
export KDSIM_BRIDGES=custom:2 KDSIM_FIXTURE="$(winpath "$work/all/%s.fixture")"
run "$build/kdtool.exe" "${station_args[@]}" --count 2
check "kdtool.exe station with one failing module of two ends with 1" test "$rc" -eq 1
check "it says so in its verdict" has "Station FAILED: 1 of 2 units passed"
check "it records both units" test "$(grep -c '"type":"record"' "$work/all/shift.jsonl")" -eq 2
check "the passing module holds the image" cmp -s <(tail -c +16385 "$work/all/m1.bin") "$work/fw.bin"
printf 'module m3.bin\n' >"$work/all/BOARDSIM0002.fixture"
setsid wine64 "$build/kdtool.exe" "${station_args[@]}" </dev/null >"$work/out.raw" 2>"$work/err" &
parent=$!
for _ in $(seq 300); do
  [ "$(grep -c ': writing' "$work/out.raw")" -ge 2 ] && break
  sleep 0.1
done
kill -INT -- -"$parent" || true
rc=0
wait "$parent" || rc=$?
tr -d '\r' <"$work/out.raw" >"$work/out"
check "Ctrl+C to kdtool.exe station lets both units finish and ends with 0" test "$rc" -eq 0
check "it says it was stopped" has "Station OK: 2 of 2 units passed; stopped by Ctrl+C"
check "and appends both records" test "$(grep -c '"type":"record"' "$work/all/shift.jsonl")" -eq 4
unset KDSIM_BRIDGES KDSIM_FIXTURE

echo "== the suite in one process, in a shuffled order"
# ctest ran each test in a process of its own; here they share one, in an
# order that changes from run to run (the seed is named on failure), so a
# test that depends on what an earlier one left behind fails here.
rc=0
seed=$((RANDOM % 99999 + 1))
wine64 "$build/tests/fw_tests.exe" --gtest_shuffle --gtest_random_seed="$seed" --gtest_brief=1 </dev/null \
  >"$work/shuffled" 2>&1 || rc=$?
check "the suite passes in one process in a shuffled order (seed $seed)" test "$rc" -eq 0
[ "$rc" -eq 0 ] || grep -E "FAILED|Failure" "$work/shuffled" | head -40

if [ "$failures" -ne 0 ]; then
  echo "$failures end-to-end check(s) failed"
  exit 1
fi
echo "All end-to-end runs under wine passed."
