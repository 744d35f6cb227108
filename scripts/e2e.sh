#!/usr/bin/env bash
# Runs the browser tests: headless Chromium against qzhost's WebTool with simulated players, and
# against qzmaster's fleet panel.
# Usage: scripts/e2e.sh [build dir]   (default: build/native; qzhost and qzsv.so must be built)
# Screens are saved as PNG files in tests/e2e/output/.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/native}

for tool in node npm; do
  command -v "$tool" >/dev/null || { echo "e2e.sh: $tool is missing (run scripts/deps.sh)" >&2; exit 1; }
done
chromium=${CHROMIUM:-/usr/bin/chromium}
[ -x "$chromium" ] || { echo "e2e.sh: $chromium is missing (run scripts/deps.sh)" >&2; exit 1; }
[ -x "$build/qzhost" ] || { echo "e2e.sh: $build/qzhost is not built" >&2; exit 1; }
major=$(node -p 'process.versions.node.split(".")[0]')
[ "$major" -ge 18 ] || { echo "e2e.sh: Node.js 18 or later is needed (found $(node --version))" >&2; exit 1; }

if [ ! -d tests/e2e/node_modules/playwright-core ]; then
  (cd tests/e2e && npm ci --no-audit --no-fund --loglevel=error)
fi
CHROMIUM="$chromium" node tests/e2e/webtool.e2e.mjs "$build/qzhost"
# The fleet panel's browser test, when qzmaster is built with the panel.
if [ -x "$build/qzmaster" ] && "$build/qzmaster" panel-admin --help 2>&1 | grep -q "password is read"; then
  CHROMIUM="$chromium" node tests/e2e/panel.e2e.mjs "$build/qzmaster"
fi
