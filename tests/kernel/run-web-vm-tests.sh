#!/usr/bin/env bash
# Runs the web page against a real HID device: index.html (the web build, build-web/web) in
# Debian's headless Chromium, driven by puppeteer-core, inside the QEMU machine of run-vm-tests.sh
# (Debian's kernel, the USB keyboard on dummy_hcd), so that every feature report goes through
# Chromium's WebHID and the kernel's hidraw, usbhid and USB drivers to the simulated keyboard.
# The keyboard is granted to the page by Chromium's managed policy (headless Chromium has no device
# chooser).
#
#   tests/kernel/run-web-vm-tests.sh [--work DIR] [--timeout SECONDS] [--verbose] [--cases "A B"]
#                                    [--bench] [--page DIR]
#
# --work DIR      the folder of run-vm-tests.sh (default: build-kernel/ at the top of the
#                 repository; $KESTRUNE_VM_WORK); this script's own files go to DIR/web
# --timeout S     limit for the whole boot (default 1200); the machine's own waits end a minute
#                 before it, so that it still gives its verdict
# --verbose       every case shows its logs as a failing one does, with Chromium's console
# --cases "A B"   only these cases (names as in vm-web-cases.mjs: list flash-hex-old flash-bin-new
#                 other-ports unplug-mid-upload refused-block plug-in returned-keyboard-prompt)
# --bench         also the upload of a 64 KiB image by the page against a bare loop of WebHID
#                 calls on the same keyboard (KT-BENCH lines)
# --page DIR      serve this folder instead of building the web page (build-web/web)
#
# Reuses what is there and makes what is missing: the kernel package and the test programs (through
# run-vm-tests.sh --build-only), the web page (the "web" preset), puppeteer-core (npm ci in
# tests/web) and Debian's udevd. The machine shares the host's /usr and /etc read-only over
# virtio-9p (Chromium and node run from there) and runs on the host's clock. Exits 0 only when
# every case passed; the last line of the output is "N passed, M failed".
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/kernel/vm-host.sh
. "$here/vm-host.sh"
repo=$(cd "$here/../.." && pwd)
boot_timeout=1200
bench=""
page=""
vm_option() {
    case $1 in
    --bench) bench=" kt.bench"; TOOK=1 ;;
    --page) page=$(cd "$2" && pwd); TOOK=2 ;;
    esac
}
vm_options 27 "$@"
wwork=$work/web
share=$wwork/share
mkdir -p "$wwork" "$work/cache"

# ---- packages -----------------------------------------------------------------------------------
"$repo/tools/ensure-packages.sh" --no-recommends qemu-system-x86 busybox-static cpio kmod xz-utils \
    g++ cmake ninja-build libcli11-dev nlohmann-json3-dev chromium
[ -n "$page" ] || "$repo/tools/ensure-packages.sh" --no-recommends emscripten
command -v node >/dev/null && command -v npm >/dev/null || "$repo/tools/ensure-packages.sh" nodejs npm
step "packages ready"

# ---- the kernel and the test programs of run-vm-tests.sh ----------------------------------------
vm_kernel "$work" "$wwork/build-only.log"
mods=$wwork/modules/$(basename "$deb" .deb)
vm_9p_modules "$deb" "$mods"
step "kernel $(basename "$deb") and test programs"

# ---- the page and its driver --------------------------------------------------------------------
if [ -z "$page" ]; then
    wbuild=$repo/build-web
    mkdir -p "$wbuild/logs"
    if [ ! -f "$wbuild/CMakeCache.txt" ]; then
        (cd "$repo" && emcmake cmake --preset web -B "$wbuild") >"$wbuild/logs/configure.log" 2>&1 ||
            { tail -n 30 "$wbuild/logs/configure.log"; die "configuring the web build failed"; }
    fi
    cmake --build "$wbuild" -j2 >"$wbuild/logs/web-vm-build.log" 2>&1 ||
        { grep -v '^\[' "$wbuild/logs/web-vm-build.log" | tail -n 30; die "building the web page failed"; }
    page=$wbuild/web
fi
[ -f "$page/index.html" ] || die "$page has no index.html"
# puppeteer-core only: it drives the system's Chromium and downloads no browser.
npm ci --prefix "$repo/tests/web" --no-audit --no-fund --loglevel=error >"$wwork/npm.log" 2>&1 ||
    { tail -n 20 "$wwork/npm.log"; die "npm ci in tests/web failed"; }
step "page $page and puppeteer-core ready"

udev=$wwork/udev
vm_udev "$work/cache" "$udev"

# ---- the shared folder and the initramfs ----------------------------------------------------------
rm -rf "$share"
mkdir -p "$share/bin" "$share/fw" "$share/driver"
cp "$work/bin/kestrune-usb-keyboard" "$share/bin/"
"$work/bin/make_firmware" "$share/fw"
cp -a "$page" "$share/page"
cp -a "$udev" "$share/udev"
# The driver beside its node_modules, so that node finds puppeteer-core from it.
cp -a "$repo/tests/web/node_modules" "$repo/tests/web/package.json" "$repo/tests/web/serve.mjs" \
    "$repo/tests/web/chromium.mjs" "$repo/tests/web/page-helpers.mjs" "$share/driver/"
install -m 0644 "$here/vm-web-cases.mjs" "$share/driver/"
install -m 0755 "$here/vm-web-init.sh" "$share/vm-web-init.sh"
install -m 0644 "$here/vm-case.sh" "$share/"
vm_initramfs "$wwork/initramfs" "$kdir" "$mods" "$here/vm-web-init.sh" "$wwork/initramfs.cpio.gz"
step "initramfs $(du -h "$wwork/initramfs.cpio.gz" | cut -f1)"

# ---- the boot -----------------------------------------------------------------------------------
log=$wwork/console.log
rm -rf "$wwork/out"
mkdir -p "$wwork/out"
echo "Booting $(basename "$deb") under QEMU (TCG, the host's clock); console in $log, the machine's logs in $wwork/out"
# Chromium runs several processes: two virtual CPUs run them on two host threads.
vm_boot "$boot_timeout" 3072 "$share" "$wwork/out" "$kdir" "$wwork/initramfs.cpio.gz" "$log" "$kargs$bench" -smp 2
step "machine off (qemu status $qemu_status)"

report_verdict "$log" "$qemu_status"
