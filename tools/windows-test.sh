#!/usr/bin/env bash
# Cross-builds the Windows programs with MinGW-w64 into build-windows/ and runs them under Wine:
# every test program, and the command-line tool on the simulated keyboard and without a keyboard.
# Installs the Debian packages it needs when they are missing. The window programs are not built
# (there is no Qt for Windows here). Ends with the line "N passed, M failed"; exits non-zero when
# anything failed.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build-windows
logs=$build/logs

tools/ensure-packages.sh --no-recommends cmake ninja-build googletest libcli11-dev \
  nlohmann-json3-dev g++-mingw-w64-x86-64-posix wine wine64 librsvg2-bin icoutils || exit 1

passed=0
failed=0
pass() { echo "PASS  $1"; passed=$((passed + 1)); }
fail() { echo "FAIL  $1"; failed=$((failed + 1)); }
summary() { echo "$passed passed, $failed failed"; }

mkdir -p "$logs"
echo "Building into build-windows/ ..."
if ! cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
       -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRUNE_WERROR="${KESTRUNE_WERROR:-OFF}" \
       -DKESTRUNE_BUILD_APP=OFF -DKESTRUNE_BUILD_BENCH=OFF >"$logs/configure.log" 2>&1; then
  cat "$logs/configure.log"
  fail "configure"
  summary
  exit 1
fi
if ! cmake --build "$build" -j"$(nproc)" >"$logs/build.log" 2>&1; then
  grep -v '^\[' "$logs/build.log" | tail -n 60
  fail "build"
  summary
  exit 1
fi

# Wine: a prefix of its own inside the build folder, no debug chatter, no window (console
# programs need none), and no offer to install Mono or Gecko. One wineserver serves every run and
# is ended on the way out, so nothing is left running and no output pipe is held open.
export WINEPREFIX=$build/wine-prefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64
unset DISPLAY WAYLAND_DISPLAY
wine=$(command -v wine || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
mkdir -p "$WINEPREFIX"
trap '"$wineserver" -k >/dev/null 2>&1 || true' EXIT
"$wineserver" -p </dev/null >/dev/null 2>&1
if ! timeout 300 "$wine" wineboot --init </dev/null >"$logs/wineboot.log" 2>&1; then
  cat "$logs/wineboot.log"
  fail "Wine prefix"
  summary
  exit 1
fi

# The test programs, as registered with ctest (each one run through Wine).
(cd "$build" && timeout 1800 ctest --output-on-failure --timeout 600 -j"$(nproc)" </dev/null) \
  >"$logs/ctest.log" 2>&1
tests=$(grep -Eo '[0-9]+ tests? failed out of [0-9]+' "$logs/ctest.log" | tail -n 1)
if [ -z "$tests" ]; then
  cat "$logs/ctest.log"
  fail "test programs (ctest gave no result)"
else
  total=${tests##* }
  bad=${tests%% *}
  grep -E '^ *[0-9]+/[0-9]+ Test' "$logs/ctest.log"
  [ "$bad" -gt 0 ] && cat "$logs/ctest.log"
  passed=$((passed + total - bad))
  failed=$((failed + bad))
fi

# The command-line tool.
kestrune=$build/cli/kestrune.exe
if [ -f "$kestrune" ]; then
  # 16 bytes at 0x1200, the default start address. The path is relative: the tool takes a
  # Windows-style "/name" argument for an option.
  printf ':10120000000102030405060708090A0B0C0D0E0F66\r\n:00000001FF\r\n' >"$build/kestrune-sim.hex"
  run() {  # expected-status name arguments...
    local expected=$1 name=$2 status
    shift 2
    (cd "$build" && timeout 300 "$wine" "$kestrune" "$@" </dev/null) >"$logs/$name.log" 2>&1
    status=$?
    if [ "$status" -eq "$expected" ]; then
      pass "kestrune.exe $* (exit $status)"
    else
      cat "$logs/$name.log"
      fail "kestrune.exe $* (exit $status, expected $expected)"
    fi
  }
  run 0 flash-simulated flash kestrune-sim.hex --simulate --yes
  # A file name outside ASCII reaches the tool as it is: from the wide command line, as UTF-8.
  cp "$build/kestrune-sim.hex" "$build/Größe-ë.hex"
  LC_ALL=C.UTF-8 run 0 flash-utf8-name flash Größe-ë.hex --simulate --yes
  if ! grep -q 'File: *Größe-ë.hex' "$logs/flash-utf8-name.log"; then
    cat "$logs/flash-utf8-name.log"
    fail "kestrune.exe shows the file name Größe-ë.hex as it is"
  fi
  run 3 info-no-keyboard info
else
  echo "(no kestrune.exe in this build: command-line checks left out)"
fi

summary
[ "$failed" -eq 0 ]
