#!/usr/bin/env bash
# The page's browser tests: installs what they need (Emscripten, Chromium,
# puppeteer-core from the lock file, no browser download), builds the page
# into out/web/ and runs web/test/run.mjs in headless Chromium. The
# screenshot of the page after a run goes to out/web-test/web-page.png.
set -euo pipefail
cd "$(dirname "$0")/.."
FW_LINUX_ONLY=1 scripts/setup-deps.sh
export NODE_PATH=${NODE_PATH:-/usr/share/nodejs}
(cd web/test && PUPPETEER_SKIP_DOWNLOAD=1 npm ci --no-audit --no-fund --loglevel=error >/dev/null)
scripts/web.sh build
node web/test/run.mjs out/web out/web-test
