#!/usr/bin/env bash
# Builds the packages into out/ and checks them.
#
# - The Debian package: a Release build in build-pkg (installed under /usr,
#   hardened as Debian builds its own packages), then lintian (no errors
#   allowed), and from the package unpacked with dpkg-deb -x: kdtool
#   --version, kdtool --virtual list, one update through fwdownload-sim, the
#   manual pages through groff, the udev rule (named to come before
#   systemd's 73-seat-late.rules) and the bash completions (one per program).
# - The Windows zip: the mingw-w64 cross build in build-pkg-win (or in the
#   Release build named by FW_PKG_WIN_BUILD, which scripts/test.sh points at
#   the one its Windows part made), then its contents, the four .exe among
#   them. Skipped with FW_LINUX_ONLY=1.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-deps.sh

jobs=$(nproc)
out=$PWD/out
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

failures=0
check() {  # check DESCRIPTION CONDITION...
  local what=$1
  shift
  if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; failures=$((failures + 1)); fi
}

# The page that flashes from a browser goes into both packages
# (FW_NO_WEB=1 leaves it out); its download stays within 2 MB compressed.
web_args=(-DFW_WEB_DIR=)
if [ "${FW_NO_WEB:-0}" != 1 ]; then
  echo "== The page"
  scripts/web.sh build
  web_args=(-DFW_WEB_DIR="$PWD/out/web")
  web_gz=$(cat out/web/* | gzip -9 | wc -c)
  check "the page is at most 2 MB compressed ($web_gz bytes)" test "$web_gz" -le 2000000
fi

version=$(sed -n 's/.*KDTOOL_VERSION\[\] = "\([0-9.]*\)".*/\1/p' src/app/version.h)

echo "== Debian package"
check "packaging/changelog starts with version $version" \
  grep -q "^fwdownload ($version) " <(head -n 1 packaging/changelog)
for page in man/*.1; do
  check "$page names version $version" grep -q "^\.TH .* \"fwdownload $version\"" "$page"
done
cmake -S . -B build-pkg -DCMAKE_BUILD_TYPE=Release -DFW_BUILD_TESTS=OFF -DCMAKE_INSTALL_PREFIX=/usr "${web_args[@]}" \
  -DCMAKE_CXX_FLAGS="-D_FORTIFY_SOURCE=2 -fstack-protector-strong -Wformat -Werror=format-security" \
  -DCMAKE_EXE_LINKER_FLAGS="-Wl,-z,relro -Wl,-z,now" >/dev/null
cmake --build build-pkg -j"$jobs"
rm -f build-pkg/*.deb
(cd build-pkg && cpack -G DEB >/dev/null)
deb=$(ls build-pkg/fwdownload_"$version"_*.deb)
cp "$deb" "$out/"
deb=$out/$(basename "$deb")
echo "$deb"

# lintian exits non-zero on an error; warnings are shown and let through.
lintian_rc=0
lintian --fail-on error "$deb" >"$work/lintian" 2>&1 || lintian_rc=$?
grep -v 'running with root privileges' "$work/lintian" || true
check "lintian finds no error in the package" test "$lintian_rc" -eq 0
for script in postinst postrm; do
  check "the package reloads the udev rules in its $script" \
    sh -c "dpkg-deb -I '$deb' $script | grep -q 'udevadm control --reload-rules'"
done
check "the package's dependencies come from dpkg-shlibdeps" \
  sh -c "dpkg-deb -f '$deb' Depends | grep -q libhidapi-hidraw0"

root=$work/root
dpkg-deb -x "$deb" "$root"
bin=$root/usr/bin
for program in fwdownload fwdownload-sim kdtool hex2c; do
  check "$program is in /usr/bin with its manual page" \
    test -x "$bin/$program" -a -f "$root/usr/share/man/man1/$program.1.gz"
done

check "the unpacked kdtool --version names the package's version" \
  sh -c "'$bin/kdtool' --version | grep -qF '$version'"
rc=0
KDSIM_BRIDGE=both "$bin/kdtool" --virtual list >"$work/out" 2>&1 </dev/null || rc=$?
check "the unpacked kdtool --virtual list ends with 0" test "$rc" -eq 0
check "the unpacked kdtool --virtual list shows both virtual bridges" \
  sh -c "grep -q BOARDSIM0001 '$work/out' && grep -q CP2112SIM0001 '$work/out'"

if [ "${FW_NO_WEB:-0}" != 1 ]; then
  for file in index.html page.js engine.js kdtool.js kdtool.wasm; do
    check "the package holds the page's $file" test -f "$root/usr/share/fwdownload/web/$file"
  done
fi

head -c 114688 /dev/urandom >"$work/fw.bin"
rc=0
KDSIM_FLASH_OUT="$work/flash.bin" "$bin/fwdownload-sim" "$work/fw.bin" 1209 7750 0102 0003 0010 34 \
  >"$work/out" 2>&1 </dev/null || rc=$?
check "the unpacked fwdownload-sim updates the virtual controller and ends with 0" test "$rc" -eq 0
check "the unpacked fwdownload-sim says the flash was written" grep -qxF "Flash Writing Complete!!!" "$work/out"
check "the unpacked fwdownload-sim leaves the image in the virtual flash" \
  cmp -s <(tail -c +16385 "$work/flash.bin") "$work/fw.bin"

for page in "$root"/usr/share/man/man1/*.1.gz; do
  zcat "$page" | groff -man -ww -z 2>"$work/groff"
  check "groff -man -ww finds nothing to say about $(basename "$page")" test ! -s "$work/groff"
  cat "$work/groff"
done

# systemd's 73-seat-late.rules acts on the uaccess tag: our rule must come
# before it (udev runs the files in the C order of their names).
rules=("$root"/lib/udev/rules.d/*fwdownload*.rules)
check "the package holds one udev rule for the bridges" test "${#rules[@]}" -eq 1
rules=${rules[0]}
first=$(printf '%s\n' "$(basename "$rules")" 73-seat-late.rules | LC_ALL=C sort | head -n 1)
check "the udev rule $(basename "$rules") comes before systemd's 73-seat-late.rules" test "$first" != 73-seat-late.rules
check "every line of the udev rule keeps MODE 0660" \
  test "$(grep -c '^KERNEL' "$rules")" -eq "$(grep -c '^KERNEL.*MODE="0660"' "$rules")"
for pair in 10c4:ea90 1209:7750; do
  check "the udev rule gives the logged-in user the bridge $pair" \
    grep -q "ATTRS{idVendor}==\"${pair%:*}\", ATTRS{idProduct}==\"${pair#*:}\".*TAG+=\"uaccess\"" "$rules"
done

# The completion offers the serials that `kdtool --json list` shows.
completion=$root/usr/share/bash-completion/completions/kdtool
serials=$(PATH="$bin:$PATH" KDSIM_BRIDGE=both bash -c '
  source "$1"
  COMP_WORDS=(kdtool --virtual --serial ""); COMP_CWORD=3
  _kdtool; echo "${COMPREPLY[*]}"' _ "$completion")
check "the bash completion offers the bridges' serials" test "$serials" = "BOARDSIM0001 CP2112SIM0001"
# Each program has its completion, found under its own name.
for program in "$root"/usr/bin/*; do
  name=$(basename "$program")
  check "the bash completion of $name completes $name" \
    bash -c 'source "$1" && complete -p "$2" >/dev/null' _ "$root/usr/share/bash-completion/completions/$name" "$name"
done

if [ "${FW_LINUX_ONLY:-0}" != 1 ]; then
  echo "== Windows zip"
  win=${FW_PKG_WIN_BUILD:-build-pkg-win}
  if [ ! -f "$win/CMakeCache.txt" ]; then
    cmake -S . -B "$win" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=Release \
      -DFW_BUILD_TESTS=OFF >/dev/null
  fi
  cmake -S . -B "$win" "${web_args[@]}" >/dev/null
  cmake --build "$win" -j"$jobs" --target fwdownload fwdownload-sim kdtool hex2c
  rm -f "$win"/fwdownload-*-win64.zip
  (cd "$win" && cpack -G ZIP >/dev/null)
  zip=$(ls "$win"/fwdownload-"$version"-win64.zip)
  cp "$zip" "$out/"
  zip=$out/$(basename "$zip")
  echo "$zip"
  cmake -E tar tf "$zip" | sort | tee "$work/zip"
  top=fwdownload-$version-win64
  for file in fwdownload.exe fwdownload-sim.exe kdtool.exe hex2c.exe README-windows.txt README.md docs/windows.md; do
    check "the zip holds $file" grep -qxF "$top/$file" "$work/zip"
  done
  check "the zip holds nothing else (no test or library files)" \
    sh -c "! grep -vE '^$top/((fwdownload|fwdownload-sim|kdtool|hex2c)\.exe|README(-windows\.txt|\.md)|docs/([^/]+\.md)?|web/([^/]+\.(html|js|css|wasm))?)\$' '$work/zip'"
  if [ "${FW_NO_WEB:-0}" != 1 ]; then
    for file in web/index.html web/kdtool.wasm; do
      check "the zip holds $file" grep -qxF "$top/$file" "$work/zip"
    done
  fi
fi

if [ "$failures" -ne 0 ]; then
  echo "$failures package check(s) failed"
  exit 1
fi
echo "All package checks passed."
