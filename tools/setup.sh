#!/usr/bin/env bash
# Installs the Debian 12 packages the build and the tests need (only those that are missing).
set -euo pipefail
packages=(cmake ninja-build g++ pkg-config binutils qt6-base-dev libgl-dev
          libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev nlohmann-json3-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  echo "Installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi
