#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing.
set -euo pipefail

packages=(cmake make g++ pkg-config libgtest-dev libgmock-dev libhidapi-dev libbenchmark-dev
          clang libclang-rt-14-dev srecord nlohmann-json3-dev libcli11-dev)
# The check of kdtool's JSON against docs/schema (tests/validate_json.py).
packages+=(python3 python3-jsonschema)
# The Debian package and its checks (scripts/package.sh): dpkg-shlibdeps and
# file for its dependencies, lintian, groff for the manual pages.
packages+=(dpkg-dev file lintian groff-base)
# The Windows cross build and wine (scripts/test-windows.sh).
if [ "${FW_LINUX_ONLY:-0}" != 1 ]; then
  packages+=(g++-mingw-w64-x86-64-posix googletest wine64)
fi
# The page that flashes from a browser (scripts/web.sh, scripts/test-web.sh):
# Emscripten builds the engine, Chromium runs the browser tests; npm comes
# with nodejs where node is not Debian's own.
if [ "${FW_NO_WEB:-0}" != 1 ]; then
  packages+=(emscripten chromium)
  command -v node >/dev/null || packages+=(nodejs)
  command -v npm >/dev/null || packages+=(npm)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "Run as root or install sudo: missing ${missing[*]}" >&2; exit 1; }
  sudo=sudo
fi
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
