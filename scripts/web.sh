#!/usr/bin/env bash
# The page that flashes from a browser (web/):
#   scripts/web.sh build          builds the engine's WebAssembly module with
#                                 Emscripten and puts the page into out/web/
#   scripts/web.sh serve [PORT]   builds, then serves out/web/ on
#                                 http://localhost:PORT (8000) until Ctrl+C
# FW_WEB_OPT sets the optimisation level (-O2).
set -euo pipefail
cd "$(dirname "$0")/.."

# Debian's Emscripten runs its tools with the system's node; one from
# elsewhere needs Debian's node modules on its path.
export NODE_PATH=${NODE_PATH:-/usr/share/nodejs}

build() {
  command -v emcmake >/dev/null || { echo "web.sh: emcmake not found (scripts/setup-deps.sh installs emscripten)" >&2; exit 1; }
  local launcher=()
  if command -v ccache >/dev/null; then
    export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$PWD} CCACHE_NOHASHDIR=1
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  fi
  emcmake cmake -S web -B out/web-build -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_CXX_FLAGS_RELEASE="${FW_WEB_OPT:--O2}" -DCMAKE_EXE_LINKER_FLAGS_RELEASE="${FW_WEB_OPT:--O2}" \
    -DCMAKE_EXE_LINKER_FLAGS= \
    "${launcher[@]}" >/dev/null
  nice cmake --build out/web-build -j2
  rm -rf out/web.new
  mkdir -p out/web.new
  cp out/web-build/kdtool.js out/web-build/kdtool.wasm web/index.html web/page.js web/page.css web/engine.js \
    out/web.new/
  rm -rf out/web
  mv out/web.new out/web
  echo "web.sh: the page is in out/web/ ($(du -sk out/web | cut -f1) KiB)"
}

case "${1:-}" in
  build) build ;;
  serve)
    port=${2:-8000}
    build
    echo "web.sh: serving out/web/ on http://localhost:$port/ (Ctrl+C ends)"
    exec python3 -m http.server "$port" --bind 127.0.0.1 --directory out/web
    ;;
  *)
    echo "usage: scripts/web.sh build | serve [PORT]" >&2
    exit 2
    ;;
esac
