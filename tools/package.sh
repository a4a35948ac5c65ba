#!/usr/bin/env bash
# Builds the packages into dist/, each with its SHA-256 sum beside it (<package>.sha256):
#   kestrune_<version>-1_amd64.deb               Debian/Ubuntu (build-package/, Release)
#   kestrune-<version>-windows-x64.zip           Windows, portable (build-package-windows/, MinGW-w64)
#   kestrune-<version>-windows-x64-setup.exe     Windows installer, per user (makensis)
#   kestrune-<version>-web.zip                   the web page: one static folder (build-package-web/,
#                                                emscripten)
# No build has tests or benchmarks; KESTRUNE_WERROR=ON in the environment makes warnings
# errors. Installs the Debian packages it needs when they are missing. --linux, --windows or --web
# makes only that platform's packages. The same sources give the same packages, byte for byte: every
# time stamp in them is SOURCE_DATE_EPOCH (unless given: midnight UTC of the release date in
# CHANGELOG.md).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
dist=$root/dist
linux=1
windows=1
web=1
case "${1:-}" in
  --linux) windows=0; web=0 ;;
  --windows) linux=0; web=0 ;;
  --web) linux=0; windows=0 ;;
  "") ;;
  *) echo "usage: tools/package.sh [--linux | --windows | --web]" >&2; exit 2 ;;
esac
release=$(sed -n 's/^## [0-9.]* — \([0-9-]*\).*/\1/p' CHANGELOG.md | head -n 1)
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(date -u -d "${release:-1970-01-01} 00:00" +%s)}
jobs=$(nproc)
[ "$jobs" -gt 2 ] || jobs=2

tools=(cmake ninja-build pkg-config help2man librsvg2-bin icoutils dpkg-dev file gettext)
((linux)) && tools+=(g++ qt6-base-dev libgl-dev libcli11-dev nlohmann-json3-dev)
((windows)) && tools+=(g++-mingw-w64-x86-64-posix libcli11-dev nlohmann-json3-dev nsis zip)
((web)) && tools+=(emscripten nodejs zip)
tools/ensure-packages.sh --no-recommends "${tools[@]}"
mkdir -p "$dist"

if ((linux)); then
  echo "Linux package: building into build-package/ ..."
  cmake -S . -B build-package -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
    -DKESTRUNE_BUILD_BENCH=OFF -DKESTRUNE_WERROR="${KESTRUNE_WERROR:-OFF}" >/dev/null
  cmake --build build-package -j"$jobs"
  rm -f "$dist"/kestrune_*.deb "$dist"/kestrune_*.deb.sha256 build-package/cpack/kestrune_*
  (cd build-package && cpack -G DEB -B "$root/build-package/cpack" >/dev/null)
  mv build-package/cpack/kestrune_*.deb build-package/cpack/kestrune_*.deb.sha256 "$dist/"
fi

if ((windows)); then
  # On Windows the packages hold every program: the command-line tool, the window and the demo
  # window (native Win32 programs).
  echo "Windows packages: cross-building into build-package-windows/ ..."
  cmake -S . -B build-package-windows -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DKESTRUNE_BUILD_BENCH=OFF -DKESTRUNE_WERROR="${KESTRUNE_WERROR:-OFF}" \
    -DKESTRUNE_BUILD_APP=ON -DKESTRUNE_INSTALL_DEMO=ON >/dev/null
  cmake --build build-package-windows -j"$jobs"
  rm -f "$dist"/kestrune-*-windows-x64* build-package-windows/cpack/kestrune-*
  (cd build-package-windows && cpack -G ZIP -B "$root/build-package-windows/cpack" >/dev/null)
  mv build-package-windows/cpack/kestrune-*-windows-x64.zip build-package-windows/cpack/kestrune-*-windows-x64.zip.sha256 "$dist/"
  cmake --build build-package-windows --target windows-installer >/dev/null
  mv build-package-windows/kestrune-*-windows-x64-setup.exe "$dist/"
  (cd "$dist" && for setup in kestrune-*-windows-x64-setup.exe; do sha256sum "$setup" >"$setup.sha256"; done)
fi

if ((web)); then
  echo "Web page: building into build-package-web/ ..."
  emcmake cmake -S . -B build-package-web -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE=/usr/share/emscripten/cmake/Modules/Platform/Emscripten.cmake \
    -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DKESTRUNE_WERROR="${KESTRUNE_WERROR:-OFF}" >/dev/null
  cmake --build build-package-web -j"$jobs"
  version=$(sed -n 's/^project(KestruneLoader VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
  top=kestrune-$version-web
  rm -rf "build-package-web/$top" "$dist/$top.zip" "$dist/$top.zip.sha256"
  cp -r build-package-web/web "build-package-web/$top"
  # The same zip from the same sources: its files in name order, dated to the release.
  find "build-package-web/$top" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
  (cd build-package-web && find "$top" -type f | LC_ALL=C sort | zip -q -X -D "$dist/$top.zip" -@)
  (cd "$dist" && sha256sum "$top.zip" >"$top.zip.sha256")
fi

echo "dist/:"
(cd "$dist" && ls -l --time-style=+ kestrune[-_]* | grep -v '\.sha256$' |
  awk '{ printf "  %-45s %9d bytes\n", $NF, $5 }')
