# Host-side pieces shared by run-vm-tests.sh, run-wine-vm-tests.sh and run-web-vm-tests.sh
# (sourced by them).

# step TEXT: a line with TEXT and the seconds since the script started; die MESSAGE: the script's
# end on an error, with the verdict line.
started=$(date +%s.%N)
elapsed() { awk -v now="$(date +%s.%N)" -v start="$started" 'BEGIN { printf "%.1f", now - start }'; }
step() { echo "== $* ($(elapsed) s)"; }
die() {
    echo "$(basename "$0"): $*" >&2
    echo "0 passed, 1 failed"
    exit 1
}

# vm_options HELP-LINES ARGS...: the options of every runner: --work DIR, --timeout SECONDS,
# --verbose, --cases "A B" and --help (its lines 2 to HELP-LINES of the script's comment); each goes
# first to the runner's own vm_option, if it has one, which sets TOOK to the words it takes (0: not
# its own).
# Sets work (absolute, made), boot_timeout (when given) and kargs (kt.verbose and kt.cases for the
# machine's command line).
vm_options() {
    local help=$1
    shift
    work=${KESTRUNE_VM_WORK:-$repo/build-kernel}
    kargs=""
    while (($#)); do
        TOOK=0
        ! declare -F vm_option >/dev/null || vm_option "$@"
        if ((TOOK)); then
            shift "$TOOK"
            continue
        fi
        case $1 in
        --work) work=$2; shift 2 ;;
        --timeout) boot_timeout=$2; shift 2 ;;
        --verbose) kargs+=" kt.verbose"; shift ;;
        --cases) kargs+=" kt.cases=$(echo "$2" | tr ' ' ',')"; shift 2 ;;
        -h | --help) sed -n "2,${help}p" "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) echo "$(basename "$0"): unknown option $1" >&2; exit 2 ;;
        esac
    done
    mkdir -p "$work"
    work=$(cd "$work" && pwd)
}

# vm_console LOG: the machine's console, from standard input, without carriage returns and
# terminal controls, into LOG; its KT lines to the output.
vm_console() {
    sed -u -e 's/\r$//' -e 's/\x1b\[[0-9;?]*[A-Za-z]//g' -e 's/\x1bc//g' | tee "$1" |
        grep --line-buffered -E '^(KT|  \||KERNEL-TESTS)'
}

# busybox_root DIR: a root folder whose bin/ holds busybox and a link for each of its applets.
busybox_root() {
    mkdir -p "$1/bin"
    cp "$(command -v busybox)" "$1/bin/busybox"
    for applet in $("$1/bin/busybox" --list); do
        [ "$applet" = busybox ] || ln -s busybox "$1/bin/$applet"
    done
}

# report_verdict CONSOLE-LOG QEMU-STATUS: prints "N passed, M failed" from the machine's
# KT-RESULT lines and its KERNEL-TESTS verdict; succeeds only when nothing failed and the machine
# gave its verdict.
report_verdict() {
    local log=$1 qemu_status=$2 passed failed verdict
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
}

# vm_kernel WORK LOG: the kernel package and the test programs of run-vm-tests.sh in WORK (its
# output in LOG); sets deb (the kernel package) and kdir (its kernel image and modules).
vm_kernel() {
    "$(dirname "${BASH_SOURCE[0]}")/run-vm-tests.sh" --work "$1" --build-only >"$2" 2>&1 ||
        { tail -n 20 "$2"; die "run-vm-tests.sh --build-only failed"; }
    deb=$(ls "$1"/cache/linux-image-*.deb | head -n 1)
    kdir=$1/kernel/$(basename "$deb" .deb)
    [ -f "$kdir/vmlinuz" ] && ls "$kdir"/.unpacked-* >/dev/null 2>&1 ||
        die "run-vm-tests.sh left no unpacked kernel in $kdir"
}

# vm_9p_modules DEB DIR: the 9p file system over virtio and what it needs, from the kernel package
# DEB, as plain modules in DIR with DIR/order naming them each after its dependencies. Made once.
vm_9p_modules() {
    local deb=$1 mods=$2 src name members order=()
    [ ! -f "$mods/order" ] || return 0
    rm -rf "$mods"
    mkdir -p "$mods/tree"
    mapfile -t members < <(dpkg-deb -c "$deb" | awk '{ print $NF }' |
        grep -E '/kernel/(fs/9p|net/9p|fs/netfs|fs/fscache|drivers/virtio)/[^/]*\.ko(\.xz|\.zst|\.gz)?$' || true)
    ((${#members[@]})) || die "$(basename "$deb") has no 9p modules"
    dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$mods/tree" "${members[@]}"
    while IFS= read -r src; do
        name=$(basename "$src")
        name=${name%%.ko*}
        name=${name//-/_}
        case $src in
        *.xz) xz -dc "$src" >"$mods/$name.ko" ;;
        *.zst) zstd -qdc "$src" >"$mods/$name.ko" ;;
        *.gz) gzip -dc "$src" >"$mods/$name.ko" ;;
        *) cp "$src" "$mods/$name.ko" ;;
        esac
    done < <(find "$mods/tree" -name '*.ko*')
    rm -rf "$mods/tree"
    add_module() {
        local m=${1//-/_} dep
        for dep in "${order[@]}"; do [ "$dep" = "$m" ] && return 0; done
        [ -f "$mods/$m.ko" ] || die "module $m (needed by the 9p file system) is not in $(basename "$deb")"
        for dep in $(modinfo -F depends "$mods/$m.ko" | tr ',' ' '); do add_module "$dep"; done
        order+=("$m")
    }
    add_module 9p
    add_module 9pnet_virtio
    # The PCI transport of virtio, unless the kernel has it built in.
    [ -f "$mods/virtio_pci.ko" ] && add_module virtio_pci
    printf '%s\n' "${order[@]}" >"$mods/order.new"
    mv "$mods/order.new" "$mods/order"
}

# vm_udev CACHE DIR: Debian's own udevd, its package (fetched once into CACHE) unpacked into DIR,
# not installed on the host.
vm_udev() {
    local cache=$1 udev=$2 udeb
    [ ! -f "$udev/.unpacked" ] || return 0
    udeb=$(ls "$cache"/udev_*.deb 2>/dev/null | head -n 1 || true)
    if [ -z "$udeb" ]; then
        if ! (cd "$cache" && apt-get download -q -o APT::Sandbox::User=root udev >/dev/null 2>&1); then
            apt-get update -qq
            (cd "$cache" && apt-get download -q -o APT::Sandbox::User=root udev >/dev/null)
        fi
        udeb=$(ls "$cache"/udev_*.deb | head -n 1)
    fi
    rm -rf "$udev"
    mkdir -p "$udev"
    dpkg-deb -x "$udeb" "$udev"
    touch "$udev/.unpacked"
}

# vm_initramfs ROOT KDIR MODS INIT OUT: the initramfs OUT of a machine that shares the host's /usr
# and /etc: busybox, the 9p modules (MODS, from vm_9p_modules) and the HID ones (KDIR/modules),
# vm-root.sh, and INIT as /init. ROOT is where it is put together.
vm_initramfs() {
    local root=$1 kdir=$2 mods=$3 init=$4 out=$5 m
    rm -rf "$root"
    mkdir -p "$root"/{bin,dev,proc,sys,tmp,newroot,lib/modules}
    busybox_root "$root"
    cp "$kdir"/modules/*.ko "$root/lib/modules/"
    while read -r m; do cp "$mods/$m.ko" "$root/lib/modules/"; done <"$mods/order"
    # The HID modules, then the USB host and gadget side with six dummy_hcd controllers (each its
    # own bus with one port) for the USB keyboard; one module and its parameters a line.
    { cat "$mods/order"
      printf '%s\n' hid uhid hid-generic usb-common usbcore udc-core configfs libcomposite usb_f_fs usbhid \
          "dummy_hcd num=6"; } >"$root/lib/modules/order"
    install -m 0644 "$(dirname "${BASH_SOURCE[0]}")/vm-root.sh" "$root/lib/vm-root.sh"
    install -m 0755 "$init" "$root/init"
    (cd "$root" && find . | LC_ALL=C sort | cpio -o -H newc --quiet | gzip -1) >"$out"
}

# vm_boot TIMEOUT MEMORY-MB SHARE OUT KDIR INITRAMFS LOG [KERNEL-ARGS] [QEMU-OPTIONS...]: boots the
# kernel under QEMU (TCG, the host's clock) with the host's /usr and /etc, SHARE (read-only) and OUT
# (the machine's logs) over virtio-9p; the console goes to LOG, its KT lines to the output. Sets
# qemu_status. The machine's waits give up (kt.deadline) a minute before TIMEOUT, so that it still
# gives its verdict.
vm_boot() {
    local boot_timeout=$1 memory=$2 share=$3 out=$4 kdir=$5 initramfs=$6 log=$7 args=${8:-} deadline
    shift 8 || shift $#
    deadline=$((boot_timeout > 120 ? boot_timeout - 60 : boot_timeout / 2))
    virtfs() { echo "local,path=$1,mount_tag=$2,security_model=none,readonly=on,multidevs=remap"; }
    set +e
    timeout "$boot_timeout" qemu-system-x86_64 -accel tcg -m "$memory" "$@" -nographic -no-reboot -nic none \
        -virtfs "$(virtfs /usr usr)" -virtfs "$(virtfs /etc etc)" -virtfs "$(virtfs "$share" share)" \
        -virtfs "local,path=$out,mount_tag=out,security_model=none,multidevs=remap" \
        -kernel "$kdir/vmlinuz" -initrd "$initramfs" \
        -append "console=ttyS0 panic=-1 quiet loglevel=3 cryptomgr.notests kt.deadline=$deadline$args" </dev/null 2>&1 |
        vm_console "$log"
    qemu_status=${PIPESTATUS[0]}
    set -e
    if [ "$qemu_status" -eq 124 ]; then
        echo "the machine was stopped at the limit of $boot_timeout s (--timeout)" >&2
    fi
}
