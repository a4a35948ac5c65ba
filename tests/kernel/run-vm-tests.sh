#!/usr/bin/env bash
# Runs the programs against a real Linux kernel: boots Debian 12's own kernel in QEMU (TCG, no KVM
# needed) with the simulated keyboard as a USB device (kestrune-usb-keyboard on dummy_hcd's
# controllers) and runs one machine's cases there:
#   native  the static kestrune (vm-init.sh; one case on a uhid keyboard, which is on no USB bus)
#   wine    kestrune.exe and kestrune-loader.exe under Debian's Wine (vm-wine-init.sh): every
#           report goes through Wine's HID stack (hid.dll, hidclass, winebus with its hidraw backend)
#   web     the web page in Debian's headless Chromium driven by puppeteer-core (vm-web-init.sh,
#           vm-web-cases.mjs): every report goes through WebHID; the keyboard is granted to the
#           page by Chromium's managed policy (headless Chromium has no device chooser)
#
#   tests/kernel/run-vm-tests.sh [--machine native|wine|web] [--work DIR] [--timeout SECONDS]
#                                [--verbose] [--cases "A B"] [--realtime] [--bench] [--page DIR]
#
# --machine M     which machine (default native)
# --work DIR      where the kernel package, the builds and the machines' files go (default:
#                 build-kernel/ at the top of the repository; $KESTRUNE_VM_WORK)
# --timeout S     limit for the whole boot (default: native 240, wine 1800, web 1200); the
#                 machine's own waits end a minute before it, so that it still gives its verdict
# --verbose       every case shows its logs as a failing one does (the keyboard's log of each
#                 request; udev's events, Wine's traces, Chromium's console)
# --cases "A B"   wine and web: only these cases (names as in vm-wine-init.sh and vm-web-cases.mjs)
# --realtime      native: the host's clock instead of counted instructions (slower, and its
#                 throughput figures vary with whatever else the host is doing)
# --bench         web: also the upload of a 64 KiB image by the page against a bare loop of WebHID
#                 calls on the same keyboard (KT-BENCH lines)
# --page DIR      web: serve this folder instead of building the web page (build-web/web)
#
# Installs what is missing (apt-get through sudo when not root), downloads the kernel package once
# into DIR/cache, builds static test programs and a static kestrune, and for wine and web the
# Windows programs (build-windows/), a slim Wine prefix, the web page (build-web/), puppeteer-core
# (npm ci in tests/web) and Debian's udevd (not installed on the host). The native machine holds
# everything in its initramfs and counts instructions for its clock (8 ns each, idle time skipped:
# the waits of the flash command cost no real time, and throughput figures are the same on every
# run). The wine and web machines share the host's /usr and /etc read-only over virtio-9p (Wine,
# node and Chromium run from there) and run on the host's clock: the counted clock would jump ahead
# while they wait for their files. Exits 0 only when every case passed (a Wine case marked XFAIL
# fails for a reason outside the program, and says so); the last line is "N passed, M failed".
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
started=$(date +%s.%N)
elapsed() { awk -v now="$(date +%s.%N)" -v start="$started" 'BEGIN { printf "%.1f", now - start }'; }
step() { echo "== $* ($(elapsed) s)"; }
die() {
    echo "$(basename "$0"): $*" >&2
    echo "0 passed, 1 failed"
    exit 1
}
usage() { echo "$(basename "$0"): $*" >&2; exit 2; }

machine=native
work=${KESTRUNE_VM_WORK:-$repo/build-kernel}
boot_timeout=""
kargs=""
# shellcheck disable=SC2054 # one option and its value
clock=(-icount shift=3,sleep=off)
page=""
while (($#)); do
    case $1 in
    --machine) machine=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    --timeout) boot_timeout=$2; shift 2 ;;
    --verbose) kargs+=" kt.verbose"; shift ;;
    --cases) kargs+=" kt.cases=$(echo "$2" | tr ' ' ',')"; shift 2 ;;
    --realtime) clock=(); shift ;;
    --bench) kargs+=" kt.bench"; shift ;;
    --page) page=$(cd "$2" && pwd); shift 2 ;;
    -h | --help) sed -n '2,/^set -euo/p' "$0" | sed -e '$d' -e 's/^# \{0,1\}//'; exit 0 ;;
    *) usage "unknown option $1" ;;
    esac
done
case $machine in
native) : "${boot_timeout:=240}"; [[ $kargs != *kt.cases* && $kargs != *kt.bench* ]] ||
    usage "--cases and --bench: the native machine runs every case" ;;
wine) : "${boot_timeout:=1800}" ;;
web) : "${boot_timeout:=1200}" ;;
*) usage "--machine: native, wine or web" ;;
esac
mkdir -p "$work/cache"
work=$(cd "$work" && pwd)
cache=$work/cache
mwork=$work/$machine
[ "$machine" != native ] || mwork=$work
mkdir -p "$mwork"
# Two machines may run side by side (CI runs the native one beside the Wine one): what they share
# (the packages, the kernel, the test programs) is made by one at a time.
exec 9>"$work/.prepare.lock"
flock 9

# ---- packages -----------------------------------------------------------------------------------
# The machine: qemu-system-x86, busybox-static, cpio, kmod. The builds: a C++ compiler with static
# libraries, CMake and Ninja, and the header-only libraries of the command-line tool.
packages=(qemu-system-x86 busybox-static cpio kmod xz-utils g++ cmake ninja-build libcli11-dev nlohmann-json3-dev gettext)
[ "$machine" != wine ] || packages+=(g++-mingw-w64-x86-64-posix wine wine64)
[ "$machine" != web ] || packages+=(chromium)
[ "$machine" != web ] || [ -n "$page" ] || packages+=(emscripten)
"$repo/tools/ensure-packages.sh" --no-recommends "${packages[@]}"
[ "$machine" != web ] || { command -v node >/dev/null && command -v npm >/dev/null; } ||
    "$repo/tools/ensure-packages.sh" nodejs npm
step "packages ready"

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
# apt_get_download PACKAGE: its .deb into the cache, reading the package lists first if need be.
apt_get_download() {
    (cd "$cache" && apt-get download -q -o APT::Sandbox::User=root "$1" >/dev/null 2>&1) && return 0
    $sudo apt-get update -qq
    (cd "$cache" && apt-get download -q -o APT::Sandbox::User=root "$1" >/dev/null)
}

# unpack_modules DEB DIR NAME...: the kernel modules NAME (- or _ alike) from DEB as plain
# modules in DIR (busybox insmod takes no compressed ones).
unpack_modules() {
    local deb=$1 dir=$2 pattern members src name
    shift 2
    pattern=$(IFS='|'; echo "$*" | sed 's/[-_]/[-_]/g')
    mapfile -t members < <(dpkg-deb -c "$deb" | awk '{ print $NF }' |
        grep -E "/kernel/.*/($pattern)\.ko(\.xz|\.zst|\.gz)?\$" || true)
    ((${#members[@]} == $#)) || die "$(basename "$deb") lacks one of $*"
    mkdir -p "$dir/tree"
    dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$dir/tree" "${members[@]}"
    for src in "${members[@]}"; do
        name=$(basename "$src")
        name=${name%%.ko*}
        case $src in
        *.xz) xz -dc "$dir/tree/$src" ;;
        *.zst) zstd -qdc "$dir/tree/$src" ;;
        *.gz) gzip -dc "$dir/tree/$src" ;;
        *) cat "$dir/tree/$src" ;;
        esac >"$dir/${name//-/_}.ko"
    done
    rm -rf "$dir/tree"
}

# ---- the kernel ---------------------------------------------------------------------------------
# The package that linux-image-amd64 depends on (linux-image-6.1.0-N-amd64), fetched once.
kernel_package() { apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/ { print $2; exit }'; }
kpkg=$(kernel_package || true)
[ -n "$kpkg" ] || { $sudo apt-get update -qq; kpkg=$(kernel_package || true); }
if [ -n "$kpkg" ]; then
    deb=$(ls "$cache/${kpkg}"_*.deb 2>/dev/null | head -n 1 || true)
    if [ -z "$deb" ]; then
        echo "Downloading $kpkg"
        apt_get_download "$kpkg"
        deb=$(ls "$cache/${kpkg}"_*.deb | head -n 1)
        # Older kernels are of no further use.
        find "$cache" -maxdepth 1 -name 'linux-image-*.deb' ! -name "$(basename "$deb")" -delete
    fi
else
    # No package lists to ask: use whatever kernel is cached.
    deb=$(ls "$cache"/linux-image-*.deb 2>/dev/null | head -n 1 || true)
    [ -n "$deb" ] || die "cannot tell which kernel package linux-image-amd64 needs"
fi

# The kernel image and the modules every machine loads, in this order (a module and its parameters
# a line): the HID ones (hid-generic for the uhid keyboard), the USB host and gadget side, and six
# dummy_hcd controllers, each its own bus with one port, for the USB keyboard. The wine and web
# machines load the 9p file system over virtio before them. The marker names the lists: other
# lists unpack again.
modules=(hid uhid hid-generic usb-common usbcore udc-core configfs libcomposite usb_f_fs usbhid "dummy_hcd num=6")
kdir=$work/kernel/$(basename "$deb" .deb)
marker=$kdir/.unpacked-$(printf '%s ' "${modules[@]}" | cksum | cut -d' ' -f1)-9p
if [ ! -f "$marker" ]; then
    rm -rf "$kdir"
    mkdir -p "$kdir/modules" "$kdir/9p"
    unpack_modules "$deb" "$kdir/modules" "${modules[@]%% *}"
    # The machine loads exactly these; a kernel whose modules need more is not for us.
    for m in "$kdir"/modules/*.ko; do
        for dep in $(modinfo -F depends "$m" | tr ',' ' '); do
            [ -f "$kdir/modules/${dep//-/_}.ko" ] || die "$(basename "$m") needs $dep, which the test machine does not load"
        done
    done
    printf '%s\n' "${modules[@]//-/_}" >"$kdir/modules/order"
    # The 9p file system over virtio and what it needs, each after its dependencies.
    mapfile -t p9 < <(dpkg-deb -c "$deb" | awk '{ print $NF }' |
        sed -n -E 's#.*/kernel/(fs/9p|net/9p|fs/netfs|fs/fscache|drivers/virtio)/([^/]*)\.ko(\.xz|\.zst|\.gz)?$#\2#p')
    ((${#p9[@]})) || die "$(basename "$deb") has no 9p modules"
    unpack_modules "$deb" "$kdir/9p" "${p9[@]}"
    order=()
    add_module() {
        local m=${1//-/_} dep
        for dep in "${order[@]}"; do [ "$dep" = "$m" ] && return 0; done
        [ -f "$kdir/9p/$m.ko" ] || die "module $m (needed by the 9p file system) is not in $(basename "$deb")"
        for dep in $(modinfo -F depends "$kdir/9p/$m.ko" | tr ',' ' '); do add_module "$dep"; done
        order+=("$m")
    }
    add_module 9p
    add_module 9pnet_virtio
    # The PCI transport of virtio, unless the kernel has it built in.
    [ ! -f "$kdir/9p/virtio_pci.ko" ] || add_module virtio_pci
    printf '%s\n' "${order[@]}" >"$kdir/9p/order"
    dpkg-deb --fsys-tarfile "$deb" | tar -x -O --wildcards './boot/vmlinuz-*' >"$kdir/vmlinuz"
    touch "$marker"
fi
step "kernel $(basename "$deb")"

# ---- the test programs --------------------------------------------------------------------------
bin=$work/bin
mkdir -p "$bin"
cxx=(g++ -std=c++20 -O2 -static -s -Wall -Wextra -I"$repo")
# build OUT SOURCES...: compiles when OUT is missing or older than a source or a header of sim/ or
# common/.
build() {
    local out=$1 f
    shift
    for f in "$@" "$repo"/sim/*.h "$repo"/common/*.h; do
        if [ ! -e "$out" ] || [ "$f" -nt "$out" ]; then
            "${cxx[@]}" -o "$out.tmp" "$@" && mv "$out.tmp" "$out"
            return
        fi
    done
}
# The keyboards' programs speak English: the system's gettext, with no catalog.
keyboard_sources=("$repo/sim/SimKeyboard.cpp" "$repo/common/Clock.cpp" "$repo/common/NumberText.cpp"
                  "$repo/common/Translate.cpp" -DKESTRUNE_SYSTEM_GETTEXT -DKESTRUNE_BUILD_LOCALEDIR='"/nonexistent"')
build "$bin/kestrune-usb-keyboard" "$repo/sim/usb_keyboard.cpp" "$repo/sim/UsbGadget.cpp" "${keyboard_sources[@]}" &
p1=$!
build "$bin/uhid_keyboard" "$here/uhid_keyboard.cpp" "${keyboard_sources[@]}" || die "building uhid_keyboard failed"
wait $p1 || die "building kestrune-usb-keyboard failed"
for p in feature_loop vm_run make_firmware; do
    build "$bin/$p" "$here/$p.cpp" || die "building $p failed"
done
step "test programs built"
flock -u 9

# ---- the machine's own part ---------------------------------------------------------------------
root=$mwork/initramfs
rm -rf "$root" "$mwork/out"
mkdir -p "$root"/{bin,dev,proc,sys,tmp,fw,newroot,lib/modules} "$mwork/out"
share=$mwork/share
memory=512
qemu=()
case $machine in
native)
    # The command-line tool, linked statically, from its own build folder.
    cli_build=$work/cli-build
    if [ ! -f "$cli_build/CMakeCache.txt" ]; then
        cmake -S "$repo" -B "$cli_build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTRUNE_BUILD_APP=OFF \
            -DBUILD_TESTING=OFF -DKESTRUNE_BUILD_BENCH=OFF -DCMAKE_EXE_LINKER_FLAGS=-static \
            >"$work/cli-configure.log" 2>&1 || { tail -n 30 "$work/cli-configure.log"; die "configuring kestrune failed"; }
    fi
    cmake --build "$cli_build" -j2 --target kestrune >"$work/cli-build.log" 2>&1 ||
        { grep -E 'error|Error' "$work/cli-build.log" | head -n 30; die "building kestrune failed"; }
    strip -o "$root/bin/kestrune" "$(find "$cli_build" -type f -name kestrune -perm -u+x | head -n 1)" ||
        die "the build made no kestrune"
    cp "$bin"/{uhid_keyboard,kestrune-usb-keyboard,feature_loop,vm_run} "$root/bin/"
    "$bin/make_firmware" "$root/fw"
    install -m 0644 "$here"/vm-{keyboard,case,usb-cases}.sh "$root/lib/"
    init=$here/vm-init.sh
    share=""
    qemu=("${clock[@]}")
    ;;
wine)
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
    step "Windows programs built"
    # Made once on the host (wineboot takes minutes in the machine). wineboot copies Wine's builtin
    # DLLs into the prefix (about 700 MB); every copy that is byte for byte Wine's own file becomes a
    # symbolic link to it, which leaves about 2 MB to copy into the machine's memory.
    prefix=$mwork/prefix
    stamp="$(wine --version), SDL off, null display driver, service timeout, links"
    if [ "$(cat "$prefix.stamp" 2>/dev/null)" != "$stamp" ]; then
        rm -rf "$prefix" "$prefix.stamp"
        (
            export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
            unset DISPLAY WAYLAND_DISPLAY
            reg() { wine reg add "$@" /f </dev/null >>"$mwork/wineboot.log" 2>&1; }
            timeout 600 wine wineboot --init </dev/null >"$mwork/wineboot.log" 2>&1
            # Without libSDL2, winebus would count its SDL bus as started and never start the
            # udev/hidraw one.
            reg 'HKLM\System\CurrentControlSet\Services\winebus' /v 'Enable SDL' /t REG_DWORD /d 0
            # No X server in the machine: windows are drawn by Wine's null display driver.
            reg 'HKCU\Software\Wine\Drivers' /v Graphics /d null
            # services.exe gives a starting service (winedevice with winebus among them) 10 s to
            # report by default, then leaves it stopped for good: in the emulated machine on a
            # loaded host that takes longer. Wine reads the value as a string of milliseconds.
            reg 'HKLM\System\CurrentControlSet\Control' /v ServicesPipeTimeout /t REG_SZ /d 600000
            wineserver -w
        ) || { tail -n 20 "$mwork/wineboot.log"; die "making the Wine prefix failed"; }
        lib=/usr/lib/x86_64-linux-gnu/wine
        while IFS= read -r -d '' f; do
            name=$(basename "$f")
            for candidate in "$lib/x86_64-windows/$name" "$lib/i386-windows/$name" "/usr/share/wine/nls/$name" \
                "/usr/share/wine/fonts/$name"; do
                [ -f "$candidate" ] && cmp -s "$f" "$candidate" || continue
                case $f in
                */syswow64/*) [ "$candidate" = "$lib/x86_64-windows/$name" ] && continue ;;
                */system32/*) [ "$candidate" = "$lib/i386-windows/$name" ] && continue ;;
                esac
                ln -sf "$candidate" "$f"
                break
            done
        done < <(find "$prefix/drive_c" -type f -print0)
        # Where the wineserver of this host kept its socket: not where the machine's will.
        rm -f "$prefix/wineserver"
        echo "$stamp" >"$prefix.stamp"
    fi
    step "Wine prefix $(du -sh "$prefix" | cut -f1)"
    rm -rf "$share"
    mkdir -p "$share/win"
    cp "$wbuild/cli/kestrune.exe" "$wbuild/window/kestrune-loader.exe" "$share/win/"
    cp -a "$prefix" "$share/prefix"
    init=$here/vm-wine-init.sh
    memory=2048
    ;;
web)
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
    npm ci --prefix "$repo/tests/web" --no-audit --no-fund --loglevel=error >"$mwork/npm.log" 2>&1 ||
        { tail -n 20 "$mwork/npm.log"; die "npm ci in tests/web failed"; }
    step "page $page and puppeteer-core ready"
    rm -rf "$share"
    mkdir -p "$share/driver"
    cp -a "$page" "$share/page"
    # The driver beside its node_modules, so that node finds puppeteer-core from it.
    cp -a "$repo"/tests/web/{node_modules,package.json,serve.mjs,chromium.mjs,page-helpers.mjs} \
        "$here/vm-web-cases.mjs" "$share/driver/"
    init=$here/vm-web-init.sh
    memory=3072
    # Chromium runs several processes: two virtual CPUs run them on two host threads.
    qemu=(-smp 2)
    ;;
esac

if [ -n "$share" ]; then
    # Debian's own udevd, unpacked from its package (fetched once), not installed on the host:
    # winebus and Chromium follow the devices through it.
    udev=$work/udev
    if [ ! -f "$udev/.unpacked" ]; then
        ls "$cache"/udev_*.deb >/dev/null 2>&1 || apt_get_download udev
        rm -rf "$udev"
        dpkg-deb -x "$(ls "$cache"/udev_*.deb | head -n 1)" "$udev"
        touch "$udev/.unpacked"
    fi
    mkdir -p "$share/bin" "$share/fw"
    cp -a "$udev" "$share/udev"
    cp "$bin/kestrune-usb-keyboard" "$bin/vm_run" "$share/bin/"
    "$bin/make_firmware" "$share/fw"
    install -m 0644 "$here"/vm-{keyboard,case}.sh "$share/"
    install -m 0755 "$init" "$share/"
    cp "$kdir"/9p/*.ko "$root/lib/modules/"
    cat "$kdir/9p/order" >"$root/lib/modules/order"
fi

# ---- the initramfs and the boot -----------------------------------------------------------------
cp "$(command -v busybox)" "$root/bin/busybox"
for applet in $("$root/bin/busybox" --list); do
    [ "$applet" = busybox ] || ln -s busybox "$root/bin/$applet"
done
cp "$kdir"/modules/*.ko "$root/lib/modules/"
cat "$kdir/modules/order" >>"$root/lib/modules/order"
install -m 0644 "$here/vm-root.sh" "$root/lib/vm-root.sh"
install -m 0755 "$init" "$root/init"
(cd "$root" && find . | LC_ALL=C sort | cpio -o -H newc --quiet | gzip -1) >"$mwork/initramfs.cpio.gz"
step "initramfs $(du -h "$mwork/initramfs.cpio.gz" | cut -f1)"

log=$mwork/console.log
virtfs=()
if [ -n "$share" ]; then
    for tag in usr etc share; do
        dir=/$tag
        [ "$tag" != share ] || dir=$share
        virtfs+=(-virtfs "local,path=$dir,mount_tag=$tag,security_model=none,readonly=on,multidevs=remap")
    done
    virtfs+=(-virtfs "local,path=$mwork/out,mount_tag=out,security_model=none,multidevs=remap")
fi
# The wine and web machines' waits give up (kt.deadline, seconds of uptime) a minute before the
# limit; the native machine's uptime runs on the counted clock, not the host's.
[ -z "$share" ] || kargs=" kt.deadline=$((boot_timeout > 120 ? boot_timeout - 60 : boot_timeout / 2))$kargs"
echo "Booting $(basename "$deb") under QEMU (TCG${qemu:+, ${qemu[*]}}); console in $log"
# cryptomgr.notests: the crypto self-tests would take half of the emulated boot.
set +e
timeout "$boot_timeout" qemu-system-x86_64 -accel tcg -m "$memory" "${qemu[@]}" "${virtfs[@]}" -nographic \
    -no-reboot -nic none -kernel "$kdir/vmlinuz" -initrd "$mwork/initramfs.cpio.gz" \
    -append "console=ttyS0 panic=-1 quiet loglevel=3 cryptomgr.notests$kargs" </dev/null 2>&1 |
    sed -u -e 's/\r$//' -e 's/\x1b\[[0-9;?]*[A-Za-z]//g' -e 's/\x1bc//g' | tee "$log" |
    grep --line-buffered -E '^(KT|  \||KERNEL-TESTS)'
qemu_status=${PIPESTATUS[0]}
set -e
[ "$qemu_status" -ne 124 ] || echo "the machine was stopped at the limit of $boot_timeout s (--timeout)" >&2
step "machine off (qemu status $qemu_status)"

# "N passed, M failed" from the machine's KT-RESULT lines and its verdict.
passed=$(grep -c '^KT-RESULT: PASS' "$log" || true)
failed=$(grep -c '^KT-RESULT: FAIL' "$log" || true)
verdict=$(grep '^KERNEL-TESTS:' "$log" | tail -n 1 || true)
if [ -z "$verdict" ]; then
    echo "The machine ended without a verdict (qemu status $qemu_status); the end of the console:"
    tail -n 30 "$log"
    failed=$((failed + 1))
elif [ "$verdict" != "KERNEL-TESTS: PASS" ] && [ "$failed" -eq 0 ]; then
    failed=1
fi
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
