#!/usr/bin/env bash
# Builds the packages into dist/:
#   kestrune_<version>_amd64.deb                 Debian/Ubuntu (build-package/, Release)
#   kestrune-<version>-windows-x64.zip           Windows, portable (build-package-windows/, MinGW-w64)
#   kestrune-<version>-windows-x64-setup.exe     Windows installer, per user (makensis)
# Neither build has tests or benchmarks; KESTRUNE_WERROR=ON in the environment makes warnings
# errors. Installs the Debian packages it needs when they are missing. --linux or --windows makes
# only that platform's packages.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
dist=$root/dist
linux=1
windows=1
case "${1:-}" in
  --linux) windows=0 ;;
  --windows) linux=0 ;;
  "") ;;
  *) echo "usage: tools/package.sh [--linux | --windows]" >&2; exit 2 ;;
esac
jobs=$(nproc)
[ "$jobs" -gt 2 ] || jobs=2

tools=(cmake ninja-build pkg-config help2man librsvg2-bin icoutils dpkg-dev file)
((linux)) && tools+=(g++ qt6-base-dev libgl-dev libcli11-dev nlohmann-json3-dev)
((windows)) && tools+=(g++-mingw-w64-x86-64-posix libcli11-dev nlohmann-json3-dev nsis zip)
tools/ensure-packages.sh --no-recommends "${tools[@]}"
mkdir -p "$dist"

if ((linux)); then
  echo "Linux package: building into build-package/ ..."
  cmake -S . -B build-package -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
    -DKESTRUNE_BUILD_BENCH=OFF -DKESTRUNE_WERROR="${KESTRUNE_WERROR:-OFF}" >/dev/null
  cmake --build build-package -j"$jobs"
  rm -f "$dist"/kestrune_*.deb
  (cd build-package && cpack -G DEB -B "$root/build-package/cpack" >/dev/null)
  mv build-package/cpack/kestrune_*.deb "$dist/"
fi

if ((windows)); then
  # The window programs join the Windows build once they exist as native Windows programs
  # (window/win32/); until then the Windows packages hold the command-line tool. On Windows the
  # packages hold every program, the demo window too.
  window=OFF
  [ -f window/win32/CMakeLists.txt ] && window=ON
  echo "Windows packages: cross-building into build-package-windows/ ..."
  cmake -S . -B build-package-windows -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DKESTRUNE_BUILD_BENCH=OFF -DKESTRUNE_WERROR="${KESTRUNE_WERROR:-OFF}" \
    -DKESTRUNE_BUILD_APP=$window -DKESTRUNE_INSTALL_DEMO=ON >/dev/null
  cmake --build build-package-windows -j"$jobs"
  rm -f "$dist"/kestrune-*-windows-x64.zip "$dist"/kestrune-*-windows-x64-setup.exe
  (cd build-package-windows && cpack -G ZIP -B "$root/build-package-windows/cpack" >/dev/null)
  mv build-package-windows/cpack/kestrune-*-windows-x64.zip "$dist/"
  cmake --build build-package-windows --target windows-installer >/dev/null
  mv build-package-windows/kestrune-*-windows-x64-setup.exe "$dist/"
fi

echo "dist/:"
(cd "$dist" && ls -l --time-style=+ kestrune[-_]* | awk '{ printf "  %-45s %9d bytes\n", $NF, $5 }')
