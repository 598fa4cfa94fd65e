#!/usr/bin/env bash
# Installs the browser driver from the committed lock file (never a browser: Debian's chromium is
# used) and runs the home page test against the given corvid binary.
#   run_home_page_test.sh <corvid binary> <output folder>
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
corvid=$1
out=$2
for tool in node npm /usr/bin/chromium; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "SKIP: $tool is not installed"
    exit 77
  fi
done
# One install at a time, and only when the installed tree does not match the lock file.
(
  flock 9
  if ! cmp -s "$here/package-lock.json" "$here/node_modules/.corvid-lock" 2>/dev/null; then
    (cd "$here" && PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --ignore-scripts --no-audit --no-fund)
    cp "$here/package-lock.json" "$here/node_modules/.corvid-lock"
  fi
) 9>"${TMPDIR:-/tmp}/corvid-web-npm-$(id -u).lock"
exec node "$here/home_page_test.mjs" --corvid "$corvid" --out "$out"
