#!/usr/bin/env bash
# Installs the Debian 12 packages the build and the tests need (only those that are missing).
set -euo pipefail
"$(dirname "$0")"/ensure-packages.sh cmake ninja-build g++ pkg-config binutils qt6-base-dev libgl-dev \
  libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev nlohmann-json3-dev
