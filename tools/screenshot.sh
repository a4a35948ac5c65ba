#!/usr/bin/env bash
# Renders the demo window, with the simulated keyboard found, to docs/demo-window.png.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh
tools/build.sh
mkdir -p docs
QT_QPA_PLATFORM=offscreen build/window/kestrune-loader-demo --screenshot docs/demo-window.png
echo "docs/demo-window.png written"
