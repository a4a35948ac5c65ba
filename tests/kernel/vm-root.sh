# Stage 1 of every test machine that run-vm-tests.sh boots (busybox sh, from the initramfs; sourced
# by its /init).

# load_modules: mounts /proc, /sys and /dev, puts the console on the standard streams, loads the
# modules in /lib/modules/order (dependencies first; a module and its parameters a line) and mounts
# configfs (for the USB keyboard). A module that does not load ends the run with its verdict.
load_modules() {
    mount -t proc proc /proc
    mount -t sysfs sysfs /sys
    mount -t devtmpfs devtmpfs /dev
    exec </dev/null >/dev/console 2>&1
    echo  # the firmware's last line ends without one
    while read -r m args; do
        # shellcheck disable=SC2086 # the module's parameters, one word each
        if ! insmod "/lib/modules/$m.ko" $args; then
            echo "KT-RESULT: FAIL insmod-$m - the module did not load"
            echo "KERNEL-TESTS: FAIL insmod-$m"
            poweroff -f
        fi
    done </lib/modules/order
    mount -t configfs none /sys/kernel/config
}

# enter_root SCRIPT: load_modules, then builds a root in memory whose /usr and /etc are the host's
# (read-only over virtio-9p), whose /share holds what the host prepared and whose /out goes back to
# the host, chroots into it and runs SCRIPT there with the argument "cases", then powers the
# machine off.
enter_root() {
    load_modules
    r=/newroot
    mkdir -p $r
    mount -t tmpfs -o size=1200m tmpfs $r
    mkdir -p $r/usr $r/etc $r/share $r/out $r/dev $r/proc $r/sys $r/tmp $r/run $r/root $r/var/tmp
    for tag in usr etc share; do
        if ! mount -t 9p -o trans=virtio,version=9p2000.L,ro,cache=loose,msize=512000 "$tag" "$r/$tag"; then
            echo "KT-RESULT: FAIL mount-$tag - the 9p share did not mount"
            echo "KERNEL-TESTS: FAIL mount-$tag"
            poweroff -f
        fi
    done
    mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000 out "$r/out"
    for l in bin sbin lib lib32 lib64; do
        [ -e "$r/usr/$l" ] && ln -s "usr/$l" "$r/$l"
    done
    echo "KT-TIME: boot $(cut -d' ' -f1 /proc/uptime)"
    mount --move /dev $r/dev
    mount --move /proc $r/proc
    mount --move /sys $r/sys
    mkdir -p $r/dev/shm $r/dev/pts
    mount -t tmpfs tmpfs $r/dev/shm
    mount -t devpts devpts $r/dev/pts
    chmod 1777 $r/tmp $r/var/tmp $r/dev/shm
    chroot $r /bin/sh "$1" cases
    sync
    poweroff -f
}
