#!/usr/bin/env bash
# Builds the web page with emscripten into build-web/ (the "web" preset) and tests it: the core's
# and the window's test programs as WebAssembly under node, then the demo page in headless Chromium
# (tests/web/page-test.mjs, which also saves docs/web-demo-window.png). Installs the Debian packages
# it needs when they are missing, and the page test's npm packages (puppeteer-core, which drives
# Debian's Chromium; no browser is downloaded). Prints one "N passed, M failed" line for the test
# programs and one for the page; exits non-zero when anything failed.
set -uo pipefail
cd "$(dirname "$0")/.."
build=build-web
logs=$build/logs

packages=(cmake ninja-build googletest emscripten chromium nodejs gettext)
# npm comes with some builds of nodejs; Debian's own npm package only where it does not.
command -v npm >/dev/null 2>&1 || packages+=(npm)
tools/ensure-packages.sh --no-recommends "${packages[@]}" || exit 1

status=0
mkdir -p "$logs"
echo "Building into $build/ ..."
if ! emcmake cmake --preset web -DKESTRUNE_WERROR="${KESTRUNE_WERROR:-OFF}" >"$logs/configure.log" 2>&1; then
  cat "$logs/configure.log"
  echo "0 passed, 1 failed"
  exit 1
fi
if ! cmake --build "$build" -j"$(nproc)" >"$logs/build.log" 2>&1; then
  grep -v '^\[' "$logs/build.log" | tail -n 60
  echo "0 passed, 1 failed"
  exit 1
fi

# The test programs under node, as registered with ctest.
(cd "$build" && timeout 1800 ctest --output-on-failure --no-tests=error -j"$(nproc)" </dev/null) >"$logs/ctest.log" 2>&1
tests=$(grep -Eo '[0-9]+ tests? failed out of [0-9]+' "$logs/ctest.log" | tail -n 1)
if [ -z "$tests" ]; then
  cat "$logs/ctest.log"
  echo "0 passed, 1 failed"
  status=1
else
  total=${tests##* }
  bad=${tests%% *}
  grep -E '^ *[0-9]+/[0-9]+ Test' "$logs/ctest.log"
  [ "$bad" -gt 0 ] && { cat "$logs/ctest.log"; status=1; }
  echo "$((total - bad)) passed, $bad failed"
fi

# The page in Chromium: puppeteer-core as the lock file pins it, installed again only when that
# changes.
if [ ! -d tests/web/node_modules/puppeteer-core ] || [ tests/web/package-lock.json -nt tests/web/node_modules ]; then
  if ! npm ci --prefix tests/web --no-audit --no-fund >"$logs/npm.log" 2>&1; then
    cat "$logs/npm.log"
    echo "0 passed, 1 failed"
    exit 1
  fi
  touch tests/web/node_modules
fi
timeout 600 node tests/web/page-test.mjs --screenshot "$build/web" </dev/null || status=1
exit "$status"
