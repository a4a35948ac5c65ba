#!/usr/bin/env bash
# Runs kestrune against a real Linux kernel: boots Debian 12's own kernel in QEMU (TCG, no KVM
# needed) with a tiny initramfs in which the simulated keyboard stands in for the Kestrune keyboard
# as a USB device (kestrune-usb-keyboard on dummy_hcd; two cases on a uhid one, uhid_keyboard), and
# runs the cases of vm-init.sh there.
#
#   tests/kernel/run-vm-tests.sh [--work DIR] [--timeout SECONDS] [--verbose] [--realtime] [--build-only]
#
# --work DIR      where the kernel package, the builds and the machine's files go
#                 (default: build-kernel/ at the top of the repository; $KESTRUNE_VM_WORK)
# --timeout S     limit for the whole boot (default 240)
# --verbose       every case shows kestrune's output and the keyboard's log of each request
# --realtime      run the machine on the host's clock instead of counted instructions (slower,
#                 and its throughput figures vary with whatever else the host is doing)
# --build-only    stop once the kernel and the programs are ready in DIR (run-wine-vm-tests.sh)
#
# Installs what is missing (apt-get through sudo when not root), downloads the kernel package
# once into DIR/cache, builds static test programs and a static kestrune, and exits 0 only when
# every case passed. The last line of the output is "N passed, M failed".
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/kernel/vm-host.sh
. "$here/vm-host.sh"
repo=$(cd "$here/../.." && pwd)
boot_timeout=240
build_only=""
# By default the machine's clock counts instructions (8 ns each) and skips idle time: the waits
# of the flash command cost no real time, and throughput figures come out the same on every run.
clock=(-icount shift=3,sleep=off)
vm_option() {
    case $1 in
    --realtime) clock=(); TOOK=1 ;;
    --build-only) build_only=1; TOOK=1 ;;
    --cases) echo "run-vm-tests.sh: --cases: this machine runs every case" >&2; exit 2 ;;
    esac
}
vm_options 19 "$@"
cache=$work/cache
mkdir -p "$cache"

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
apt_updated=0
apt_update_once() {
    if [ "$apt_updated" -eq 0 ]; then
        $sudo apt-get update -qq
        apt_updated=1
    fi
}

# ---- packages -----------------------------------------------------------------------------------
# The machine: qemu-system-x86, busybox-static, cpio, kmod. The builds: a C++ compiler with static
# libraries, CMake and Ninja, and the header-only libraries of the command-line tool.
"$repo/tools/ensure-packages.sh" --no-recommends qemu-system-x86 busybox-static cpio kmod xz-utils \
    g++ cmake ninja-build libcli11-dev nlohmann-json3-dev
step "packages ready"

# ---- the kernel ---------------------------------------------------------------------------------
# The package that linux-image-amd64 depends on (linux-image-6.1.0-N-amd64), fetched once.
kernel_package() {
    apt-cache depends linux-image-amd64 2>/dev/null |
        awk '/Depends: linux-image-[0-9]/ { print $2; exit }'
}
kpkg=$(kernel_package || true)
if [ -z "$kpkg" ]; then
    apt_update_once
    kpkg=$(kernel_package || true)
fi
if [ -n "$kpkg" ]; then
    deb=$(ls "$cache/${kpkg}"_*.deb 2>/dev/null | head -n 1 || true)
    if [ -z "$deb" ]; then
        echo "Downloading $kpkg"
        if ! (cd "$cache" && apt-get download -q -o APT::Sandbox::User=root "$kpkg" >/dev/null); then
            apt_update_once
            (cd "$cache" && apt-get download -q -o APT::Sandbox::User=root "$kpkg" >/dev/null)
        fi
        deb=$(ls "$cache/${kpkg}"_*.deb | head -n 1)
        # Older kernels are of no further use.
        find "$cache" -maxdepth 1 -name 'linux-image-*.deb' ! -name "$(basename "$deb")" -delete
    fi
else
    # No package lists to ask: use whatever kernel is cached.
    deb=$(ls "$cache"/linux-image-*.deb 2>/dev/null | head -n 1 || true)
    [ -n "$deb" ] || die "cannot tell which kernel package linux-image-amd64 needs"
fi

kdir=$work/kernel/$(basename "$deb" .deb)
# Only the kernel image and the modules the machine loads, not the whole package: the HID ones
# (the uhid keyboard), and the USB host, gadget and FunctionFS ones (the USB keyboard on
# dummy_hcd's controllers). The marker names the list: another list unpacks again.
modules=(hid uhid hid-generic usb-common usbcore udc-core configfs libcomposite usb_f_fs usbhid dummy_hcd)
marker=$kdir/.unpacked-$(printf '%s ' "${modules[@]}" | cksum | cut -d' ' -f1)
if [ ! -f "$marker" ]; then
    rm -rf "$kdir"
    mkdir -p "$kdir/modules"
    pattern=$(IFS='|'; echo "${modules[*]}")
    mapfile -t members < <(dpkg-deb -c "$deb" | awk '{ print $NF }' |
        grep -E "^\./boot/vmlinuz-|/kernel/.*/($pattern)\.ko(\.xz|\.zst|\.gz)?\$" || true)
    ((${#members[@]} == ${#modules[@]} + 1)) || die "$(basename "$deb") lacks the kernel image or one of ${modules[*]}"
    dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$kdir" "${members[@]}"
    for m in "${modules[@]}"; do
        src=$(find "$kdir" -path "*/kernel/*/$m.ko*" | head -n 1)
        [ -n "$src" ] || die "$m.ko is not in $(basename "$deb")"
        # busybox insmod takes plain modules only.
        case $src in
        *.xz) xz -dc "$src" >"$kdir/modules/$m.ko" ;;
        *.zst) zstd -qdc "$src" >"$kdir/modules/$m.ko" ;;
        *.gz) gzip -dc "$src" >"$kdir/modules/$m.ko" ;;
        *) cp "$src" "$kdir/modules/$m.ko" ;;
        esac
    done
    # The machine loads exactly these; a kernel whose modules need more is not for us.
    for m in "${modules[@]}"; do
        for dep in $(modinfo -F depends "$kdir/modules/$m.ko" | tr ',' ' '); do
            case " ${modules[*]} " in
            *" $dep "*) ;;
            *) die "$m.ko needs $dep, which the test machine does not load" ;;
            esac
        done
    done
    cp "$(find "$kdir/boot" -name 'vmlinuz-*' | head -n 1)" "$kdir/vmlinuz"
    touch "$marker"
fi
step "kernel $(basename "$deb")"

# ---- the programs -------------------------------------------------------------------------------
bin=$work/bin
mkdir -p "$bin"
cxx=(g++ -std=c++20 -O2 -static -s -Wall -Wextra -I"$repo")

# build OUT SOURCES...: compiles when OUT is missing or older than a source or a header of
# sim/ or common/.
build() {
    local out=$1
    shift
    local f
    for f in "$@" "$repo"/sim/*.h "$repo"/common/*.h; do
        if [ ! -e "$out" ] || [ "$f" -nt "$out" ]; then
            "${cxx[@]}" -o "$out.tmp" "$@" && mv "$out.tmp" "$out"
            return
        fi
    done
}
build "$bin/uhid_keyboard" "$here/uhid_keyboard.cpp" "$repo/sim/SimKeyboard.cpp" \
    "$repo/common/Clock.cpp" "$repo/common/NumberText.cpp" &
p1=$!
build "$bin/feature_loop" "$here/feature_loop.cpp" &
p2=$!
wait $p1 || die "building uhid_keyboard failed"
wait $p2 || die "building feature_loop failed"
build "$bin/vm_run" "$here/vm_run.cpp" || die "building vm_run failed"
build "$bin/kestrune-usb-keyboard" "$repo/sim/usb_keyboard.cpp" "$repo/sim/UsbGadget.cpp" \
    "$repo/sim/SimKeyboard.cpp" "$repo/common/Clock.cpp" "$repo/common/NumberText.cpp" ||
    die "building kestrune-usb-keyboard failed"
build "$bin/make_firmware" "$here/make_firmware.cpp" || die "building make_firmware failed"

# The command-line tool, linked statically, from its own build folder.
cli_build=$work/cli-build
[ -f "$repo/cli/CMakeLists.txt" ] || die "there is no command-line tool (cli/) to test"
if [ ! -f "$cli_build/CMakeCache.txt" ]; then
    cmake -S "$repo" -B "$cli_build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DKESTRUNE_BUILD_APP=OFF -DBUILD_TESTING=OFF -DKESTRUNE_BUILD_BENCH=OFF \
        -DCMAKE_EXE_LINKER_FLAGS=-static >"$work/cli-configure.log" 2>&1 ||
        { tail -n 30 "$work/cli-configure.log"; die "configuring kestrune failed"; }
fi
cmake --build "$cli_build" -j2 --target kestrune >"$work/cli-build.log" 2>&1 ||
    { grep -E 'error|Error' "$work/cli-build.log" | head -n 30; die "building kestrune failed"; }
kestrune=$(find "$cli_build" -type f -name kestrune -perm -u+x | head -n 1)
[ -n "$kestrune" ] || die "the build made no kestrune"
step "programs built"
[ -z "$build_only" ] || exit 0

# ---- the initramfs ------------------------------------------------------------------------------
root=$work/initramfs
rm -rf "$root"
mkdir -p "$root"/{bin,dev,proc,sys,tmp,fw,lib/modules}
busybox_root "$root"
cp "$kdir"/modules/*.ko "$root/lib/modules/"
cp "$bin/uhid_keyboard" "$bin/kestrune-usb-keyboard" "$bin/feature_loop" "$bin/vm_run" "$root/bin/"
strip -o "$root/bin/kestrune" "$kestrune"
"$bin/make_firmware" "$root/fw"
install -m 0755 "$here/vm-init.sh" "$root/init"
install -m 0644 "$here/vm-keyboard.sh" "$here/vm-case.sh" "$here/vm-usb-cases.sh" "$root/lib/"
(cd "$root" && find . | LC_ALL=C sort | cpio -o -H newc --quiet | gzip -1) >"$work/initramfs.cpio.gz"
step "initramfs $(du -h "$work/initramfs.cpio.gz" | cut -f1)"

# ---- the boot -----------------------------------------------------------------------------------
# cryptomgr.notests: the crypto self-tests would take half of the emulated boot.
log=$work/console.log
echo "Booting $(basename "$deb") under QEMU (TCG${clock:+, ${clock[*]}}); console in $log"
set +e
timeout "$boot_timeout" qemu-system-x86_64 -accel tcg "${clock[@]}" -m 512 -nographic -no-reboot -nic none \
    -kernel "$kdir/vmlinuz" -initrd "$work/initramfs.cpio.gz" \
    -append "console=ttyS0 panic=-1 quiet loglevel=3 cryptomgr.notests$kargs" </dev/null 2>&1 |
    vm_console "$log"
qemu_status=${PIPESTATUS[0]}
set -e
step "machine off (qemu status $qemu_status)"

report_verdict "$log" "$qemu_status"
