#!/usr/bin/env bash
# Installs what the build and the tests need. On Debian and Ubuntu: the missing packages, with
# apt-get. Elsewhere: prints what to install (Fedora and Arch package names), checks the tools the
# build cannot do without and goes on when they are there.
set -euo pipefail
here=$(dirname "$0")

# Debian/Ubuntu names. The window: Qt 6 (qt6-base-dev, libgl-dev); the command-line tool: CLI11
# and nlohmann/json (header-only); tests and benchmarks: GoogleTest, Google Benchmark; icons and
# man pages: rsvg-convert, icotool, help2man; the catalogs of the user's languages: gettext, and Qt's
# own (qt6-translations-l10n); the number test's locale with a decimal comma, made by localedef: the
# locale sources.
debian=(cmake ninja-build g++ pkg-config binutils qt6-base-dev libgl-dev libcli11-dev
  nlohmann-json3-dev libgtest-dev libgmock-dev libbenchmark-dev help2man librsvg2-bin icoutils locales gettext
  qt6-translations-l10n)
fedora=(cmake ninja-build gcc-c++ pkgconf-pkg-config binutils qt6-qtbase-devel mesa-libGL-devel
  cli11-devel json-devel gtest-devel gmock-devel google-benchmark-devel help2man librsvg2-tools
  icoutils glibc-locale-source gettext)
arch=(cmake ninja gcc pkgconf binutils qt6-base cli11 nlohmann-json gtest benchmark help2man librsvg
  icoutils gettext)

# --web: also the web page's build and its browser tests (emscripten, Chromium, node; npm comes
# with node where node is not Debian's own, so it is installed only when missing).
if [ "${1:-}" = --web ]; then
  debian+=(emscripten chromium nodejs)
  command -v npm >/dev/null 2>&1 || debian+=(npm)
  fedora+=(emscripten chromium nodejs npm)
  arch+=(emscripten chromium nodejs npm)
fi

if command -v apt-get >/dev/null 2>&1 && command -v dpkg-query >/dev/null 2>&1; then
  exec "$here"/ensure-packages.sh "${debian[@]}"
fi

cat <<EOF
This is not a Debian or Ubuntu system: install these packages yourself.
  Debian/Ubuntu: apt-get install ${debian[*]}
  Fedora:        dnf install ${fedora[*]}
  Arch:          pacman -S --needed ${arch[*]}
(GoogleTest and Google Benchmark are needed only for the tests and benchmarks: configure with
-DBUILD_TESTING=OFF -DKESTRUNE_BUILD_BENCH=OFF without them.)
EOF
missing=()
for tool in cmake ninja c++ pkg-config; do
  command -v "$tool" >/dev/null 2>&1 || missing+=("$tool")
done
if ((${#missing[@]})); then
  echo "Missing: ${missing[*]}. Install them and run this again." >&2
  exit 1
fi
for tool in help2man rsvg-convert icotool; do
  command -v "$tool" >/dev/null 2>&1 || echo "(no $tool: the build goes on without what it makes)"
done
echo "cmake, ninja, a C++ compiler and pkg-config are there: going on."
