#!/usr/bin/env bash
# Configures and builds everything into build/. KESTRUNE_WERROR=ON in the environment makes
# warnings errors (the CI does that).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRUNE_WERROR="${KESTRUNE_WERROR:-OFF}" >/dev/null
cmake --build build -j"$(nproc)"
