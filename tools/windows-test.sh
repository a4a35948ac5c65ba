#!/usr/bin/env bash
# Cross-builds the Windows programs with MinGW-w64 into build-windows/ and runs them under Wine:
# every test program, the command-line tool on the simulated keyboard and without a keyboard, and
# the native window program: both window .exe files must need no DLL beyond Windows' own, and
# kestrune-loader-demo.exe must complete one upload on its simulated keyboard through its real
# Win32 controls on a virtual display (Xvfb), which also gives docs/windows-demo-window.png.
# Installs the Debian packages it needs when they are missing. Ends with the line
# "N passed, M failed"; exits non-zero when anything failed.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build-windows
logs=$build/logs

tools/ensure-packages.sh --no-recommends cmake ninja-build googletest libcli11-dev \
  nlohmann-json3-dev g++-mingw-w64-x86-64-posix wine wine64 librsvg2-bin icoutils fonts-wine xvfb \
  xdotool imagemagick gettext || exit 1

passed=0
failed=0
pass() { echo "PASS  $1"; passed=$((passed + 1)); }
fail() { echo "FAIL  $1"; failed=$((failed + 1)); }
summary() { echo "$passed passed, $failed failed"; }

mkdir -p "$logs"
echo "Building into build-windows/ ..."
if ! cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
       -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRUNE_WERROR="${KESTRUNE_WERROR:-OFF}" \
       -DKESTRUNE_BUILD_BENCH=OFF >"$logs/configure.log" 2>&1; then
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

# The window programs need nothing but Windows' own DLLs: no compiler runtime, no toolkit.
system_dlls='^(kernel32|user32|gdi32|comctl32|comdlg32|shell32|ole32|advapi32|msvcrt|hid|setupapi)\.dll$'
for program in kestrune-loader kestrune-loader-demo; do
  exe=$build/window/$program.exe
  if [ ! -f "$exe" ]; then
    fail "$program.exe was not built"
    continue
  fi
  dlls=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr '\n' ' ')
  others=$(for dll in $dlls; do echo "$dll"; done | grep -viE "$system_dlls" | tr '\n' ' ')
  if [ -n "$dlls" ] && [ -z "$others" ]; then
    pass "$program.exe needs only system DLLs: $dlls"
  else
    fail "$program.exe needs DLLs beyond Windows' own: ${others:-(none listed)}"
  fi
done

# A virtual display for the window tests and the window program: Xvfb picks a free display number
# (other builds may run their own).
xvfb=""
rm -f "$build/xvfb-display"
Xvfb -displayfd 5 -screen 0 1024x768x24 -nolisten tcp 5>"$build/xvfb-display" >"$logs/xvfb.log" 2>&1 &
xvfb=$!
for _ in $(seq 100); do
  [ -s "$build/xvfb-display" ] && break
  sleep 0.1
done
unset WAYLAND_DISPLAY
if [ -s "$build/xvfb-display" ]; then
  export DISPLAY=":$(head -n 1 "$build/xvfb-display")"
else
  cat "$logs/xvfb.log"
  fail "virtual display (Xvfb)"
  unset DISPLAY
fi

# Wine: a prefix of its own inside the build folder, no debug chatter, and no offer to install Mono
# or Gecko. Its windows open in a Wine desktop of the screen's size, which draws their frames and
# captions itself (there is no window manager on the virtual display). One wineserver serves every
# run and is ended on the way out, with the virtual display, so nothing is left running and no
# output pipe is held open.
export WINEPREFIX=$build/wine-prefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64
# English, whatever the user's language (Wine takes the display language from the locale): the
# checks below read the tool's words, and one asks for German itself.
unset LANGUAGE LC_ALL LC_MESSAGES
export LANG=C.UTF-8
wine=$(command -v wine || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
mkdir -p "$WINEPREFIX"
trap '"$wineserver" -k >/dev/null 2>&1 || true; [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null' EXIT
"$wineserver" -p </dev/null >/dev/null 2>&1
if ! timeout 300 "$wine" wineboot --init </dev/null >"$logs/wineboot.log" 2>&1; then
  cat "$logs/wineboot.log"
  fail "Wine prefix"
  summary
  exit 1
fi
# Wine's own fonts (Tahoma for the windows and dialogs, Marlett for the caption buttons) where Wine
# looks for Windows fonts: Debian's fonts-wine puts them in a folder this Wine does not read.
mkdir -p "$WINEPREFIX/drive_c/windows/Fonts"
cp -n /usr/share/wine/fonts/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null
desktop=$(timeout 60 "$wine" reg query 'HKCU\Software\Wine\Explorer\Desktops' /v Default </dev/null 2>/dev/null)
if ! grep -q 1024x768 <<<"$desktop"; then
  timeout 60 "$wine" reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f </dev/null >/dev/null 2>&1
  timeout 60 "$wine" reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1024x768 /f \
    </dev/null >/dev/null 2>&1
  # The desktop is made when Wine starts: start it again, with its services (started by the first
  # program otherwise, they would hold that program's output open, and ctest would wait for it).
  "$wineserver" -k >/dev/null 2>&1
  "$wineserver" -w >/dev/null 2>&1
  "$wineserver" -p </dev/null >/dev/null 2>&1
  timeout 300 "$wine" wineboot </dev/null >>"$logs/wineboot.log" 2>&1
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

# 16 bytes at 0x1200, the default start address: the firmware file of the uploads below.
printf ':10120000000102030405060708090A0B0C0D0E0F66\r\n:00000001FF\r\n' >"$build/kestrune-sim.hex"

# The command-line tool.
kestrune=$build/cli/kestrune.exe
if [ -f "$kestrune" ]; then
  # The path is relative: the tool takes a Windows-style "/name" argument for an option.
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
  run 0 flash-utf8-name flash Größe-ë.hex --simulate --yes
  if ! grep -q 'File: *Größe-ë.hex' "$logs/flash-utf8-name.log"; then
    cat "$logs/flash-utf8-name.log"
    fail "kestrune.exe shows the file name Größe-ë.hex as it is"
  fi
  # In the user's language (LANGUAGE, as on Linux), from the catalogs inside the program.
  LANGUAGE=de run 0 flash-german flash kestrune-sim.hex --simulate --yes
  if ! grep -q 'Firmware aktualisiert: Die Tastatur meldet' "$logs/flash-german.log"; then
    cat "$logs/flash-german.log"
    fail "kestrune.exe speaks German with LANGUAGE=de"
  fi
  run 3 info-no-keyboard info
  # Several keyboards at once: one worker thread each; the station's log written through.
  run 0 flash-all flash kestrune-sim.hex --all --simulate --simulate-count 3 --yes
  rm -f "$build/units.jsonl"
  run 1 station station kestrune-sim.hex --simulate --simulate-count 2 --simulate-fault refuse-block:1@2 --log units.jsonl
  if [ "$(grep -c '"result":"success"' "$build/units.jsonl" 2>/dev/null)" != 2 ]; then
    cat "$build/units.jsonl" "$logs/station.log"
    fail "kestrune.exe station: two units passed in units.jsonl (one after its replug)"
  fi
else
  echo "(no kestrune.exe in this build: command-line checks left out)"
fi

# The window program.
demo=$build/window/kestrune-loader-demo.exe
loader=$build/window/kestrune-loader.exe
if [ -f "$loader" ]; then
  version=$(cd "$build" && timeout 60 "$wine" "$loader" --version </dev/null 2>/dev/null | tr -d '\r')
  if [ "$version" = "kestrune-loader $(sed -n 's/^project(KestruneLoader VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)" ]; then
    pass "kestrune-loader.exe --version prints \"$version\" on the console it was started from"
  else
    fail "kestrune-loader.exe --version printed \"$version\""
  fi
fi
if [ -f "$demo" ] && [ -n "${DISPLAY:-}" ]; then
  # One whole upload through the window's own controls: the program's --self-test clicks Upload
  # Firmware, answers each message box with its OK button and reads the status bar and the device
  # list back; it reports PASS once the rescan after the upload shows "Firmware updated.".
  log=$logs/demo-self-test.log
  (cd "$build" && exec timeout 180 "$wine" "$demo" --self-test kestrune-sim.hex) </dev/null >"$log" 2>&1 &
  demo_pid=$!
  for _ in $(seq 1500); do
    grep -qE '(PASS|FAIL):' "$log" && break
    kill -0 "$demo_pid" 2>/dev/null || break
    sleep 0.1
  done
  if grep -q 'PASS:' "$log"; then
    # The window as it stands after the upload, then closed the way a person would: Alt+X (Exit).
    sleep 0.5
    window=$(xdotool search --name '^Kestrune Loader' 2>/dev/null | head -n 1)
    if [ -n "$window" ] && import -window "$window" "$build/windows-demo-window.png" 2>>"$logs/screenshot.log"; then
      mkdir -p docs
      cp "$build/windows-demo-window.png" docs/windows-demo-window.png
      pass "screenshot of the window after the upload: docs/windows-demo-window.png"
    else
      fail "screenshot of the window after the upload"
    fi
    [ -n "$window" ] && timeout 20 xdotool windowfocus --sync "$window" key alt+x >/dev/null 2>&1
  fi
  for _ in $(seq 100); do
    kill -0 "$demo_pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -0 "$demo_pid" 2>/dev/null && (cd "$build" && timeout 30 "$wine" taskkill /im kestrune-loader-demo.exe \
                                        </dev/null >/dev/null 2>&1)
  wait "$demo_pid"
  status=$?
  sed 's/^/    /' "$log"
  if [ "$status" -eq 0 ] && grep -q 'PASS:' "$log"; then
    pass "kestrune-loader-demo.exe: one upload through the Win32 window ended with \"Firmware updated.\" (exit 0)"
  else
    fail "kestrune-loader-demo.exe: the upload through the Win32 window (exit $status)"
  fi
else
  echo "(no kestrune-loader-demo.exe or no display: the window's upload check left out)"
fi

summary
[ "$failed" -eq 0 ]
