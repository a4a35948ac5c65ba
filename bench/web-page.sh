#!/usr/bin/env bash
# The web page's weight and its time to the first paint: the sizes of the module's .wasm and .js
# (as served, and compressed with gzip -9, about what a web server's compression sends), and the
# time from the start of the navigation to the window's first paint (kestrune.firstPaintMs) in
# headless Chromium, for demo.html and index.html, RUNS interleaved runs each, every run in a fresh
# browser context (nothing cached); prints the median, the fastest and the slowest run, and the
# machine's load average before and after.
#
#   bench/web-page.sh [FOLDER] [--runs N]
#
# FOLDER is the built static folder (default build-web/web: emcmake cmake --preset web, then
# cmake --build build-web). Needs tests/web's npm packages (npm ci --prefix tests/web).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/.." && pwd)
folder=$repo/build-web/web
runs=7
while (($#)); do
    case $1 in
    --runs) runs=$2; shift 2 ;;
    -h | --help) sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) folder=$(cd "$1" && pwd); shift ;;
    esac
done
for file in kestrune-loader.wasm kestrune-loader.js demo.html; do
    [ -f "$folder/$file" ] || { echo "web-page.sh: no $file in $folder" >&2; exit 2; }
done
[ -d "$repo/tests/web/node_modules/puppeteer-core" ] || { echo "web-page.sh: run npm ci --prefix tests/web first" >&2; exit 2; }

echo "Page weight ($folder)"
printf '  %-22s %10s %10s\n' file bytes "gzip -9"
total=0
total_gzip=0
for file in kestrune-loader.wasm kestrune-loader.js; do
    bytes=$(stat -c %s "$folder/$file")
    gzip_bytes=$(gzip -9 -c "$folder/$file" | wc -c)
    total=$((total + bytes))
    total_gzip=$((total_gzip + gzip_bytes))
    printf '  %-22s %10d %10d\n' "$file" "$bytes" "$gzip_bytes"
done
printf '  %-22s %10d %10d\n' "together" "$total" "$total_gzip"

echo
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
# puppeteer-core is found from tests/web, where npm installed it.
cd "$repo/tests/web"
node --input-type=module - "$folder" "$runs" <<'EOF'
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { launchChromium } from './chromium.mjs';
import { serve } from './serve.mjs';

const [folder, runs] = [process.argv[2], Number(process.argv[3])];
const { server, url } = await serve(folder);
const browser = await launchChromium();
const pages = ['demo.html', 'index.html'];
const times = Object.fromEntries(pages.map((p) => [p, []]));
// One run of each page in turn, so that a change in the machine's load falls on both alike.
for (let run = 0; run < runs; ++run) {
  for (const name of pages) {
    const context = await browser.createBrowserContext();
    const page = await context.newPage();
    await page.goto(url + name);
    await page.evaluate(() => window.kestrune.ready);
    times[name].push(await page.evaluate(() => window.kestrune.firstPaintMs));
    await context.close();
  }
}
await browser.close();
server.close();
const median = (v) => { const s = [...v].sort((a, b) => a - b); const m = s.length >> 1; return s.length % 2 ? s[m] : (s[m - 1] + s[m]) / 2; };
console.log(`First paint (ms from the navigation's start), ${runs} runs each`);
console.log(`  ${'page'.padEnd(12)} ${'median'.padStart(8)} ${'fastest'.padStart(8)} ${'slowest'.padStart(8)}`);
for (const name of pages) {
  const v = times[name];
  console.log(`  ${name.padEnd(12)} ${median(v).toFixed(1).padStart(8)} ${Math.min(...v).toFixed(1).padStart(8)} ${Math.max(...v).toFixed(1).padStart(8)}`);
}
EOF
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
