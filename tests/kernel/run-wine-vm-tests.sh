#!/usr/bin/env bash
# Runs the Windows build against a real HID device: kestrune.exe and kestrune-loader.exe under
# Debian's Wine, inside the QEMU machine of run-vm-tests.sh (Debian's kernel, the USB keyboard on
# dummy_hcd), so that every feature report goes through Wine's HID stack (hid.dll, hidclass,
# winebus with its hidraw backend) and the kernel's hidraw, usbhid and USB drivers to the
# simulated keyboard.
#
#   tests/kernel/run-wine-vm-tests.sh [--work DIR] [--timeout SECONDS] [--verbose] [--cases "A B"]
#
# --work DIR      the folder of run-vm-tests.sh (default: build-kernel/ at the top of the
#                 repository; $KESTRUNE_VM_WORK); this script's own files go to DIR/wine
# --timeout S     limit for the whole boot (default 1800); the machine's own waits end a minute
#                 before it, so that it still gives its verdict
# --verbose       every case shows its logs as a failing one does, with udev's events and
#                 Wine's HID and plug-and-play traces
# --cases "A B"   only these cases (names as in vm-wine-init.sh: no-keyboard list-info flash-hex-old
#                 flash-bin-new unplug-mid-upload refused-block device-by-serial no-permission window-upload
#                 window-plug-in)
#
# Reuses what is there and makes what is missing: the kernel package and the test programs (through
# run-vm-tests.sh --build-only), kestrune.exe and kestrune-loader.exe (build-windows/, as
# tools/windows-test.sh configures it), a slim Wine prefix and Debian's udevd (in DIR/wine). The
# machine shares the host's /usr and /etc read-only over virtio-9p and runs on the host's clock:
# Wine loads its files from the host, and the instruction-counted clock of run-vm-tests.sh would
# jump ahead while it waits for them. Exits 0 only when every case passed (a case marked XFAIL
# fails on Wine for a reason outside the program, and says so); the last line of the output is
# "N passed, M failed".
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/kernel/vm-host.sh
. "$here/vm-host.sh"
repo=$(cd "$here/../.." && pwd)
boot_timeout=1800
vm_options 27 "$@"
wwork=$work/wine
share=$wwork/share
mkdir -p "$wwork" "$work/cache"

# ---- packages -----------------------------------------------------------------------------------
"$repo/tools/ensure-packages.sh" --no-recommends qemu-system-x86 busybox-static cpio kmod xz-utils \
    g++ cmake ninja-build libcli11-dev nlohmann-json3-dev g++-mingw-w64-x86-64-posix wine wine64
step "packages ready"

# ---- the kernel and the test programs of run-vm-tests.sh ----------------------------------------
vm_kernel "$work" "$wwork/build-only.log"
step "kernel $(basename "$deb") and test programs"

mods=$wwork/modules/$(basename "$deb" .deb)
vm_9p_modules "$deb" "$mods"

# ---- the Windows programs -----------------------------------------------------------------------
wbuild=$repo/build-windows
mkdir -p "$wbuild/logs"
if [ ! -f "$wbuild/CMakeCache.txt" ]; then
    cmake -S "$repo" -B "$wbuild" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-w64-x86_64.cmake" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRUNE_WERROR="${KESTRUNE_WERROR:-OFF}" \
        -DKESTRUNE_BUILD_BENCH=OFF >"$wbuild/logs/configure.log" 2>&1 ||
        { tail -n 30 "$wbuild/logs/configure.log"; die "configuring the Windows build failed"; }
fi
cmake --build "$wbuild" -j"$(nproc)" --target kestrune kestrune-loader >"$wbuild/logs/wine-vm-build.log" 2>&1 ||
    { grep -v '^\[' "$wbuild/logs/wine-vm-build.log" | tail -n 30; die "building the Windows programs failed"; }
[ -f "$wbuild/cli/kestrune.exe" ] && [ -f "$wbuild/window/kestrune-loader.exe" ] ||
    die "the Windows build made no kestrune.exe or kestrune-loader.exe"
step "Windows programs built"

# ---- udevd --------------------------------------------------------------------------------------
# Debian's own udevd (not installed on the host): winebus follows the devices through it.
udev=$wwork/udev
vm_udev "$work/cache" "$udev"

# ---- the Wine prefix ----------------------------------------------------------------------------
# Made once on the host (wineboot takes minutes in the machine). wineboot copies Wine's builtin
# DLLs into the prefix (about 700 MB); every copy that is byte for byte Wine's own file becomes a
# symbolic link to it, which leaves about 2 MB to copy into the machine's memory.
prefix=$wwork/prefix
stamp="$(wine --version), SDL off, null display driver, service timeout, links"
if [ "$(cat "$prefix.stamp" 2>/dev/null)" != "$stamp" ]; then
    rm -rf "$prefix" "$prefix.stamp"
    (
        export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
        unset DISPLAY WAYLAND_DISPLAY
        timeout 600 wine wineboot --init </dev/null >"$wwork/wineboot.log" 2>&1
        # Without libSDL2, winebus would count its SDL bus as started and never start the
        # udev/hidraw one.
        wine reg add 'HKLM\System\CurrentControlSet\Services\winebus' /v 'Enable SDL' /t REG_DWORD /d 0 /f \
            </dev/null >>"$wwork/wineboot.log" 2>&1
        # No X server in the machine: windows are drawn by Wine's null display driver.
        wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f </dev/null >>"$wwork/wineboot.log" 2>&1
        # services.exe gives a starting service (winedevice with winebus among them) 10 s to
        # report by default, then leaves it stopped for good: in the emulated machine on a loaded
        # host that takes longer. Wine reads the value as a string of milliseconds.
        wine reg add 'HKLM\System\CurrentControlSet\Control' /v ServicesPipeTimeout /t REG_SZ /d 600000 /f \
            </dev/null >>"$wwork/wineboot.log" 2>&1
        wineserver -w
    ) || { tail -n 20 "$wwork/wineboot.log"; die "making the Wine prefix failed"; }
    lib=/usr/lib/x86_64-linux-gnu/wine
    while IFS= read -r -d '' f; do
        name=$(basename "$f")
        for candidate in "$lib/x86_64-windows/$name" "$lib/i386-windows/$name" "/usr/share/wine/nls/$name" \
            "/usr/share/wine/fonts/$name"; do
            if [ -f "$candidate" ] && cmp -s "$f" "$candidate"; then
                case $f in
                */syswow64/*) [ "$candidate" = "$lib/x86_64-windows/$name" ] && continue ;;
                */system32/*) [ "$candidate" = "$lib/i386-windows/$name" ] && continue ;;
                esac
                ln -sf "$candidate" "$f"
                break
            fi
        done
    done < <(find "$prefix/drive_c" -type f -print0)
    # Where the wineserver of this host kept its socket: not where the machine's will.
    rm -f "$prefix/wineserver"
    echo "$stamp" >"$prefix.stamp"
fi
step "Wine prefix $(du -sh "$prefix" | cut -f1)"

# ---- the shared folder and the initramfs ----------------------------------------------------------
rm -rf "$share"
mkdir -p "$share/bin" "$share/fw" "$share/win"
cp "$work/bin/kestrune-usb-keyboard" "$work/bin/vm_run" "$share/bin/"
"$work/bin/make_firmware" "$share/fw"
cp "$wbuild/cli/kestrune.exe" "$wbuild/window/kestrune-loader.exe" "$share/win/"
cp -a "$prefix" "$share/prefix"
cp -a "$udev" "$share/udev"
install -m 0755 "$here/vm-wine-init.sh" "$share/vm-wine-init.sh"
install -m 0644 "$here/vm-keyboard.sh" "$here/vm-case.sh" "$share/"

vm_initramfs "$wwork/initramfs" "$kdir" "$mods" "$here/vm-wine-init.sh" "$wwork/initramfs.cpio.gz"
step "initramfs $(du -h "$wwork/initramfs.cpio.gz" | cut -f1)"

# ---- the boot -----------------------------------------------------------------------------------
log=$wwork/console.log
rm -rf "$wwork/out"
mkdir -p "$wwork/out"
echo "Booting $(basename "$deb") under QEMU (TCG, the host's clock); console in $log, the machine's logs in $wwork/out"
vm_boot "$boot_timeout" 2048 "$share" "$wwork/out" "$kdir" "$wwork/initramfs.cpio.gz" "$log" "$kargs"
step "machine off (qemu status $qemu_status)"

report_verdict "$log" "$qemu_status"
