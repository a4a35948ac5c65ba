#!/usr/bin/env bash
# Sets everything up, builds, and starts the window on this computer's keyboards.
# Pass --demo to start it on the simulated keyboard instead.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh
tools/build.sh
if [ "${1:-}" = "--demo" ]; then
  shift
  exec build/window/kestrune-loader-demo "$@"
fi
exec build/window/kestrune-loader "$@"
