#!/usr/bin/env bash
# Checks the packages as a user meets them. Builds them (tools/package.sh), builds them again from
# the same build folders (the programs linked anew) and compares the two byte for byte, then:
#   all:     the SHA-256 sums beside the packages;
#   Linux:   runs lintian on dist/kestrune_*.deb (no error or warning), installs it with apt-get on
#            this machine, runs the installed programs, validates the installed desktop entry,
#            AppStream metadata, icons, man pages and bash completion, removes the package and
#            checks that none of its files is left in /usr;
#   Windows: checks the version resource, icon and manifest of every .exe in the zip and the CR LF
#            line ends of its text files, runs the installer silently under Wine (/S), checks the
#            installed files, Start-menu entries and uninstall record, runs the installed
#            kestrune.exe; checks that an installer run while a Kestrune program runs fails and
#            changes nothing, that an edited PIDDef.txt survives an upgrade and the uninstaller,
#            and that the uninstaller leaves nothing else;
#   Web:     the zip holds the page's one static folder, with every file its pages load.
# Must run as root (or with sudo for apt-get) on Debian 12 / amd64; needs no display. Ends with
# the line "N passed, M failed"; exits non-zero when anything failed.
# --no-build tests the packages already in dist/.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
work=$root/build-package-test
logs=$work/logs
rm -rf "$logs"
mkdir -p "$logs"

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
apt_get() { $sudo env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=300 "$@"; }

passed=0
failed=0
pass() { echo "PASS  $1"; passed=$((passed + 1)); }
fail() { echo "FAIL  $1"; failed=$((failed + 1)); }
summary() { echo "$passed passed, $failed failed"; }
# check NAME COMMAND...: passes when the command succeeds; its output goes to the log (shown on
# failure).
check() {
  local name=$1 log
  shift
  log=$logs/$(echo "$name" | tr -c 'A-Za-z0-9._-' '_').log
  if "$@" >"$log" 2>&1; then
    pass "$name"
  else
    sed 's/^/      /' "$log" | tail -n 30
    fail "$name"
  fi
}
# expect NAME EXPECTED-OUTPUT COMMAND...: the command succeeds and its first line of output
# (CR removed) is EXPECTED-OUTPUT.
expect() {
  local name=$1 expected=$2 out status
  shift 2
  out=$("$@" 2>&1)
  status=$?
  local first
  first=$(printf '%s\n' "$out" | head -n 1 | tr -d '\r')
  if [ "$status" -eq 0 ] && [ "$first" = "$expected" ]; then
    pass "$name"
  else
    printf '%s\n' "$out" | sed 's/^/      /' | tail -n 10
    fail "$name (exit $status, first line \"$first\", expected \"$expected\")"
  fi
}

version=$(sed -n 's/^project(KestruneLoader VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "no version in CMakeLists.txt"; exit 1; }

if [ "${1:-}" != "--no-build" ]; then
  if tools/package.sh >"$logs/package.log" 2>&1; then
    pass "tools/package.sh"
    sed -n '/^dist\/:/,$p' "$logs/package.log"
  else
    tail -n 40 "$logs/package.log"
    fail "tools/package.sh"
    summary
    exit 1
  fi
  # Reproducible: the programs linked again (and everything made from them: man pages, packages)
  # give the same files, byte for byte.
  rm -rf "$work/first"
  mkdir -p "$work/first"
  cp -p dist/kestrune[-_]* "$work/first/"
  rm -f build-package/cli/kestrune build-package/window/kestrune-loader build-package-windows/cli/kestrune.exe \
    build-package-windows/window/kestrune-loader.exe build-package-windows/window/kestrune-loader-demo.exe \
    build-package-web/web/kestrune-loader.wasm build-package-web/web/kestrune-loader.js
  if tools/package.sh >"$logs/package-again.log" 2>&1; then
    same_packages() {
      local file bad=0
      for file in "$work"/first/*; do
        cmp "$file" "dist/$(basename "$file")" || bad=1
      done
      return $bad
    }
    check "the packages built twice are the same, byte for byte" same_packages
  else
    tail -n 40 "$logs/package-again.log"
    fail "tools/package.sh (again)"
  fi
fi
check "SHA-256 sums beside the packages" bash -c "cd dist && ls kestrune[-_]*.sha256 && sha256sum -c kestrune[-_]*.sha256"
tools/ensure-packages.sh --no-recommends desktop-file-utils appstream man-db bash-completion \
  file binutils icoutils unzip wine wine64 lintian >"$logs/ensure-packages.log" 2>&1 || {
  cat "$logs/ensure-packages.log"
  fail "installing the test tools"
  summary
  exit 1
}

revision=1  # the Debian revision
deb=$root/dist/kestrune_${version}-${revision}_amd64.deb
zip=$root/dist/kestrune-${version}-windows-x64.zip
setup=$root/dist/kestrune-${version}-windows-x64-setup.exe
top=kestrune-${version}-windows-x64  # the zip's folder
hexfile=$work/small.hex  # 16 bytes at 0x1200, the default start address
printf ':10120000000102030405060708090A0B0C0D0E0F66\r\n:00000001FF\r\n' >"$hexfile"

# ---------------------------------------------------------------------------------------------
echo "== Debian package: $(basename "$deb")"
if [ ! -f "$deb" ]; then
  fail "$(basename "$deb") exists"
else
  check "package name, version, section" \
    bash -c "dpkg-deb -f '$deb' Package Version Section Architecture | tr '\n' ' ' |
             grep -qx 'Package: kestrune Version: $version-$revision Section: utils Architecture: amd64 '"
  # No error or warning; lintian's informational tags are shown in the log.
  lintian_clean() {
    lintian --info "$deb"
    ! lintian "$deb" | grep -E '^[EW]: '
  }
  check "lintian: no error, no warning" lintian_clean
  check "Depends computed from the programs (libc6, Qt 6 Widgets)" \
    bash -c "dpkg-deb -f '$deb' Depends | grep -q 'libc6' && dpkg-deb -f '$deb' Depends | grep -q 'libqt6widgets6'"

  # The package's files, and which of their paths this machine has already (directories such as
  # /usr/bin): after the removal exactly those may remain.
  dpkg-deb -c "$deb" | awk '{ print $6 }' | sed 's|^\./|/|; s|/$||' | grep '^/usr' >"$work/paths"
  apt_get remove -y -qq kestrune >/dev/null 2>&1 || true
  : >"$work/existing"
  while read -r path; do [ -e "$path" ] && echo "$path" >>"$work/existing"; done <"$work/paths"

  check "apt-get install ./$(basename "$deb")" apt_get install -y -qq --no-install-recommends "$deb"

  expect "kestrune --version" "kestrune $version" kestrune --version
  check "kestrune: position-independent, C library linked dynamically, bound at start" bash -c \
    "file -L /usr/bin/kestrune | grep -q 'pie executable.*dynamically linked' &&
     readelf -d /usr/bin/kestrune | grep -q 'FLAGS.*BIND_NOW'"
  check "kestrune is /usr/bin/kestrune" test "$(command -v kestrune)" = /usr/bin/kestrune
  check "kestrune pids (the built-in table)" bash -c "kestrune pids | grep -q 'built-in table'"
  check "kestrune check small.hex" bash -c "kestrune check '$hexfile' | grep -q HEX"
  check "kestrune info without a keyboard: exit 3" bash -c "kestrune info; test \$? -eq 3"
  expect "kestrune-loader --version (no display)" "kestrune-loader $version" \
    env -u DISPLAY -u WAYLAND_DISPLAY kestrune-loader --version
  check "kestrune-loader --help (no display)" \
    bash -c "env -u DISPLAY -u WAYLAND_DISPLAY kestrune-loader --help | grep -qi usage"
  check "kestrune-loader-demo not installed" test ! -e /usr/bin/kestrune-loader-demo

  app=com.kestrune.Loader
  check "desktop-file-validate $app.desktop" desktop-file-validate /usr/share/applications/$app.desktop
  check "appstreamcli validate --no-net $app.metainfo.xml" \
    appstreamcli validate --no-net /usr/share/metainfo/$app.metainfo.xml
  check "desktop entry: Exec=kestrune-loader, Icon=$app" bash -c \
    "grep -qx Exec=kestrune-loader /usr/share/applications/$app.desktop &&
     grep -qx Icon=$app /usr/share/applications/$app.desktop"
  icons_ok() {
    local size
    [ -f /usr/share/icons/hicolor/scalable/apps/$app.svg ] || return 1
    for size in 16 24 32 48 64 128 256; do
      file "/usr/share/icons/hicolor/${size}x${size}/apps/$app.png" | grep -q "$size x $size" || return 1
    done
  }
  check "icons: SVG and PNG 16 ... 256 in hicolor" icons_ok
  check "a catalog in /usr/share/locale for each language of po/" bash -c \
    "for po in '$root'/po/*.po; do l=\$(basename \"\$po\" .po); test -s /usr/share/locale/\$l/LC_MESSAGES/kestrune.mo || exit 1; done"
  check "man -w kestrune" bash -c "man -w kestrune | grep -qx /usr/share/man/man1/kestrune.1.gz"
  check "man -w kestrune-loader" man -w kestrune-loader
  # Spaces as the page justifies its lines. The installed file itself is formatted: man-db may keep
  # a formatted copy of an earlier installation's page, which the page's fixed (reproducible) time
  # stamp does not make stale.
  check "man page of kestrune shows its commands" bash -c \
    "man -l -P cat /usr/share/man/man1/kestrune.1.gz 2>/dev/null | grep -qE 'flash +FILE' &&
     man -l -P cat /usr/share/man/man1/kestrune.1.gz 2>/dev/null | grep -qE 'station +FILE'"
  completes() {  # expected words...
    local expected=$1 reply
    shift
    reply=$(bash -c 'source /usr/share/bash-completion/bash_completion
      source /usr/share/bash-completion/completions/kestrune
      COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); COMP_LINE="$*"; COMP_POINT=${#COMP_LINE}
      _kestrune; echo "${COMPREPLY[*]}"' bash "$@")
    [ "$reply" = "$expected" ]
  }
  check "bash completion: kestrune fl<Tab> gives flash" completes flash kestrune fl
  check "bash completion: kestrune st<Tab> gives station" completes station kestrune st
  check "bash completion: kestrune flash --al<Tab> gives --all" completes --all kestrune flash --al
  check "udev rule: uaccess and group plugdev" bash -c \
    "grep -q 'TAG+=\"uaccess\"' /usr/lib/udev/rules.d/70-kestrune-keyboard.rules &&
     grep -q 'GROUP=\"plugdev\", MODE=\"0660\"' /usr/lib/udev/rules.d/70-kestrune-keyboard.rules"
  check "documents: README, LICENSE, THIRD-PARTY-NOTICES, changelog.gz, PIDDef.txt example" bash -c \
    "cd /usr/share/doc/kestrune && test -f README.md -a -f LICENSE -a -f THIRD-PARTY-NOTICES -a -f changelog.gz -a -f examples/PIDDef.txt"
  check "copyright (machine-readable) and changelog.Debian.gz" bash -c \
    "head -n 1 /usr/share/doc/kestrune/copyright | grep -q copyright-format/1.0 &&
     zcat /usr/share/doc/kestrune/changelog.Debian.gz | head -n 1 | grep -q '^kestrune ($version-$revision)'"
  check "the PIDDef.txt example gives the built-in table" bash -c \
    "test \"\$(kestrune pids --json | grep -o '\"entries\":\[[^]]*\]')\" = \
          \"\$(kestrune pids --json --pid-file /usr/share/doc/kestrune/examples/PIDDef.txt | grep -o '\"entries\":\[[^]]*\]')\""

  check "apt-get remove kestrune" apt_get remove -y -qq kestrune
  leftovers() {
    local path bad=0
    while read -r path; do
      grep -qxF "$path" "$work/existing" && continue
      if [ -e "$path" ]; then echo "left: $path"; bad=1; fi
    done <"$work/paths"
    return $bad
  }
  check "nothing of the package left in /usr" leftovers
fi

# ---------------------------------------------------------------------------------------------
echo "== Windows zip: $(basename "$zip")"
if [ ! -f "$zip" ]; then
  fail "$(basename "$zip") exists"
else
  rm -rf "$work/zip"
  mkdir -p "$work/zip"
  check "unzip" unzip -q "$zip" -d "$work/zip"
  check "zip holds kestrune.exe, the window programs, PIDDef.txt, README, LICENSE, notices" bash -c \
    "cd '$work/zip/$top' && test -f kestrune.exe -a -f kestrune-loader.exe -a -f kestrune-loader-demo.exe -a -f PIDDef.txt -a -f README.md -a -f LICENSE.txt -a -f THIRD-PARTY-NOTICES.txt"
  crlf() {  # every line of each text file ends in CR LF
    local file
    for file in PIDDef.txt README.md CHANGELOG.md LICENSE.txt THIRD-PARTY-NOTICES.txt; do
      [ "$(grep -c $'\r$' "$work/zip/$top/$file")" = "$(wc -l <"$work/zip/$top/$file")" ] || { echo "not CR LF: $file"; return 1; }
    done
  }
  check "text files with CR LF line ends" crlf
  record=$(echo "$version" | awk -F. '{ printf "%d.%02d.%04d", $1, $2, $3 }')  # 1.00.0008
  for exe in "$work/zip/$top"/*.exe; do
    check "$(basename "$exe"): version record $record, icon, manifest (DPI-aware)" bash -c \
      "wrestool -x --raw -t 16 '$exe' | strings -el | grep -qx '$record' &&
       wrestool -l -t 14 '$exe' | grep -q group_icon &&
       wrestool -x --raw -t 24 '$exe' | grep -q dpiAwareness"
  done
fi

# ---------------------------------------------------------------------------------------------
echo "== Windows installer under Wine: $(basename "$setup")"
if [ ! -f "$setup" ]; then
  fail "$(basename "$setup") exists"
else
  export WINEPREFIX=$root/build-package-windows/wine-prefix
  export WINEDEBUG=-all
  export WINEARCH=win64
  # No Mono or Gecko offers, and no menu entries on this machine for the Start-menu shortcuts.
  export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
  unset DISPLAY WAYLAND_DISPLAY
  wine=$(command -v wine || echo /usr/lib/wine/wine64)
  wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
  mkdir -p "$WINEPREFIX"
  trap '"$wineserver" -k >/dev/null 2>&1 || true' EXIT
  check "Wine prefix" timeout 300 "$wine" wineboot --init </dev/null
  "$wineserver" -w

  users=$WINEPREFIX/drive_c/users
  install_dir() { ls -d "$users"/*/AppData/Local/Programs/"Kestrune Loader" 2>/dev/null | head -n 1; }
  menu_dir() { ls -d "$users"/*/AppData/Roaming/Microsoft/Windows/"Start Menu"/Programs/"Kestrune Loader" 2>/dev/null | head -n 1; }
  key='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\KestruneLoader'

  installer() { timeout 300 "$wine" "$setup" /S </dev/null && "$wineserver" -w; }
  # The first program in a new prefix has once failed at once, silently, where a second run passed:
  # its status is shown, and it is run again once (a real failure fails both).
  first_install() {
    installer && return
    echo "installer /S: status $? in the new prefix; once more"
    "$wineserver" -w
    installer
  }
  check "installer /S" first_install
  dir=$(install_dir)
  check "installed into %LOCALAPPDATA%\\Programs\\Kestrune Loader" test -n "$dir"
  dir=${dir:-/nonexistent}
  check "installed files: kestrune.exe, PIDDef.txt, PIDDef.default.txt, README, LICENSE, notices, Uninstall.exe" bash -c \
    "cd '$dir' && test -f kestrune.exe -a -f PIDDef.txt -a -f PIDDef.default.txt -a -f README.md -a -f LICENSE.txt -a -f THIRD-PARTY-NOTICES.txt -a -f Uninstall.exe"
  check "Start-menu entry" bash -c "ls '$(menu_dir)'/*.lnk"
  check "Kestrune command line shortcut shows kestrune.exe's icon" bash -c \
    "strings -el '$(menu_dir)/Kestrune command line.lnk' | grep -qi 'Kestrune Loader.kestrune\.exe'"
  if [ -f "$work/zip/$top/kestrune-loader.exe" ]; then
    check "installed kestrune-loader.exe, Start-menu entry Kestrune Loader" bash -c \
      "test -f '$dir/kestrune-loader.exe' && test -f '$(menu_dir)/Kestrune Loader.lnk'"
  fi
  if [ -f "$work/zip/$top/kestrune-loader-demo.exe" ]; then
    check "installed kestrune-loader-demo.exe, Start-menu entry of the demo" bash -c \
      "test -f '$dir/kestrune-loader-demo.exe' && ls '$(menu_dir)'/*demo*.lnk"
  fi
  check "uninstall record in HKCU (Installed apps)" bash -c \
    "timeout 120 '$wine' reg query '$key' /v DisplayVersion </dev/null | tr -d '\r' | grep -q '$version'"
  check "uninstall record gives the size" bash -c \
    "timeout 120 '$wine' reg query '$key' /v EstimatedSize </dev/null | tr -d '\r' | grep -q 'REG_DWORD.*0x[1-9a-f]'"
  check "installer is DPI-aware" bash -c "wrestool -x --raw -t 24 '$setup' | grep -q dpiAware"
  expect "installed kestrune.exe --version" "kestrune $version" \
    bash -c "cd '$dir' && timeout 120 '$wine' ./kestrune.exe --version </dev/null"
  check "installed kestrune.exe pids reads the PIDDef.txt beside it" bash -c \
    "cd '$dir' && timeout 120 '$wine' ./kestrune.exe pids --json </dev/null | grep -q 'source.: .file.'"

  # An upgrade while a Kestrune program runs: the silent installer says so and fails, changing
  # nothing (the demo window; without a display Wine runs it invisibly).
  if [ -f "$dir/kestrune-loader-demo.exe" ]; then
    (cd "$dir" && exec "$wine" ./kestrune-loader-demo.exe </dev/null >/dev/null 2>&1) &
    demo=$!
    sleep 5
    touch -d @0 "$dir/kestrune.exe"
    refused() {
      local status
      timeout 300 "$wine" "$setup" /S </dev/null 2>"$work/refused.txt"
      status=$?
      cat "$work/refused.txt"
      [ "$status" -ne 0 ] && grep -q 'close the running program(s) kestrune-loader-demo.exe' "$work/refused.txt" &&
        [ "$(stat -c %Y "$dir/kestrune.exe")" = 0 ]
    }
    check "installer /S while the demo window runs: exit status not 0, a message, nothing changed" refused
    # The uninstaller runs as a copy of itself in the temporary folder (its own exit status is 0).
    refused_uninstall() {
      timeout 300 "$wine" "$dir/Uninstall.exe" /S </dev/null 2>"$work/refused-uninstall.txt"
      for _ in $(seq 120); do grep -q 'close the running' "$work/refused-uninstall.txt" && break; sleep 0.5; done
      cat "$work/refused-uninstall.txt"
      grep -q 'close the running program(s) kestrune-loader-demo.exe' "$work/refused-uninstall.txt" &&
        test -f "$dir/kestrune.exe" -a -f "$dir/Uninstall.exe"
    }
    check "uninstaller /S while the demo window runs: a message, nothing removed" refused_uninstall
    kill "$demo" 2>/dev/null
    wait "$demo" 2>/dev/null
    "$wineserver" -w
  fi

  # The user's PIDDef.txt: kept by an upgrade and by the uninstaller; the shipped one is removed.
  printf 'keyboard,99\r\n' >>"$dir/PIDDef.txt"
  check "upgrade (installer /S again)" installer
  check "upgrade keeps the edited PIDDef.txt" grep -q 'keyboard,99' "$dir/PIDDef.txt"
  uninstaller() { timeout 300 "$wine" "$dir/Uninstall.exe" /S </dev/null && "$wineserver" -w; }
  check "uninstaller /S" uninstaller
  check "uninstaller keeps the edited PIDDef.txt, and nothing else" bash -c \
    "grep -q 'keyboard,99' '$dir/PIDDef.txt' && test \"\$(ls -A '$dir')\" = PIDDef.txt"
  check "Start-menu entry removed" test -z "$(menu_dir)"
  check "uninstall record removed" bash -c "! timeout 120 '$wine' reg query '$key' </dev/null"
  check "installer /S over the kept PIDDef.txt keeps it" bash -c \
    "installer() { timeout 300 '$wine' '$setup' /S </dev/null && '$wineserver' -w; }; installer &&
     grep -q 'keyboard,99' '$dir/PIDDef.txt'"
  cp "$dir/PIDDef.default.txt" "$dir/PIDDef.txt"
  check "uninstaller /S with the shipped PIDDef.txt" uninstaller
  check "program folder removed" test ! -e "$dir"
fi

# The web page: one static folder, the page (index.html), the demo, the module and what they load.
web=$root/dist/kestrune-${version}-web.zip
echo "== Web page: $(basename "$web")"
rm -rf "$work/web"
mkdir -p "$work/web"
check "unzip" unzip -q "$web" -d "$work/web"
page=$work/web/kestrune-${version}-web
check "index.html, demo.html, the module (.js, .wasm), the style sheet, the icon and the sample firmware, nothing else" bash -c \
  "cd '$page' && test \"\$(LC_ALL=C ls | tr '\n' ' ')\" = 'demo.html index.html kestrune-loader.js kestrune-loader.svg kestrune-loader.wasm kestrune-sample.hex kestrune.css '"
check "every file the pages load is in the folder" bash -c \
  "cd '$page' && for f in \$(grep -ho '\(src\|href\)=\"[^\":]*\"' index.html demo.html | sed 's/.*=\"\(.*\)\"/\1/' | sort -u); do test -f \"\$f\" || { echo missing \$f; exit 1; }; done"
check "kestrune-loader.wasm is WebAssembly" bash -c "head -c 4 '$page/kestrune-loader.wasm' | od -An -tx1 | grep -q '00 61 73 6d'"
summary
[ "$failed" -eq 0 ]
