#!/usr/bin/env bash
# Renders the demo window, with the simulated keyboard found, to docs/demo-window.png, and in
# each language of po/ to docs/demo-window-LANG.png (with Debian's Noto CJK fonts for Japanese and
# Chinese).
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh
tools/build.sh
mkdir -p docs
tools/ensure-packages.sh --no-recommends fonts-noto-cjk
QT_QPA_PLATFORM=offscreen build/window/kestrune-loader-demo --screenshot docs/demo-window.png
for po in po/*.po; do
  language=$(basename "$po" .po)
  LANGUAGE=$language LANG=C.UTF-8 QT_QPA_PLATFORM=offscreen build/window/kestrune-loader-demo \
    --screenshot "docs/demo-window-$language.png"
done
echo "docs/demo-window.png and docs/demo-window-*.png written"
