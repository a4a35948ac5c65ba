#!/usr/bin/env bash
# The web page's upload against a bare JavaScript loop of WebHID calls, on the same uhid keyboard
# in firmware-upload mode, in Chromium inside the QEMU machine of tests/kernel (a real kernel's
# hidraw and uhid): after a warm-up upload and a minute's rest (the browser compiles the module's
# optimised code meanwhile), seven interleaved pairs (the order alternating from pair to pair): the page uploads a 64 KiB image to a fresh
# keyboard (its whole flow, the core in WebAssembly), then a loop of
# sendFeatureReport/receiveFeatureReport in another page sends another fresh keyboard the same
# reports. The rates are the keyboard's own count of write-blocks per second between the first and
# the last one; prints their medians, each pair's ratio (the page over the loop) and, last, the
# median of those ratios.
#
#   bench/web-upload.sh [tests/kernel/run-vm-tests.sh options]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=$(mktemp)
trap 'rm -f "$out"' EXIT
"$here/../tests/kernel/run-vm-tests.sh" --machine web --cases bench --bench "$@" | tee "$out" | grep -E '^(KT-RESULT|KT-TIME: bench|[0-9]+ passed)' || true
grep '^KT-BENCH:' "$out" | sed 's/^KT-BENCH: //' | grep . || { echo "web-upload.sh: no figures (see above)" >&2; exit 1; }
