#!/usr/bin/env bash
# The cost of one suspension of the web page's module (ASYNCIFY, as the page is built): builds
# bench/web/AsyncCallBench.cpp with Debian's emscripten and the page's flags, runs it RUNS times
# under node (V8, Chromium's engine) and prints the median.
#   bench/web-async-call.sh [RUNS]   (default 7)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
runs=${1:-7}
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
NODE_PATH=/usr/share/nodejs em++ -O3 -std=c++20 -fexceptions -sASYNCIFY=1 -sASYNCIFY_STACK_SIZE=65536 \
    "$here/web/AsyncCallBench.cpp" -o "$out/bench.js"
for _ in $(seq "$runs"); do
    node --no-experimental-fetch "$out/bench.js" 20000 | awk '{ print $2 }'
done | sort -n | awk '{ v[NR] = $1 } END { printf "one suspension: %.2f us (median of %d runs; min %.2f, max %.2f)\n", v[int((NR + 1) / 2)], NR, v[1], v[NR] }'
