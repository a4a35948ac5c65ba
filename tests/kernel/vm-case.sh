# The case helpers of the test machines (sourced by vm-init.sh from the initramfs, busybox sh, and
# by vm-wine-init.sh and vm-web-init.sh from /share, the host's /bin/sh in the chroot). The
# sourcing script sets W (its scratch folder) and defines show_logs (what a failing case prints).
passed=0
failed=0
failures=""
VERBOSE=""
grep -q "kt.verbose" /proc/cmdline && VERBOSE=1

now() { cut -d' ' -f1 /proc/uptime; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.1f", b - a }'; }
CASE_START=0
begin() { CASE_START=$(now); }
took() { echo "KT-TIME: $1 $(since "$CASE_START")"; }

# The run's deadline, in seconds of uptime (kt.deadline on the kernel command line: the host's
# --timeout less a margin). Every wait below is for a condition, bounded by its own limit and by
# the deadline, so that a run on a slow or loaded host waits as long as things take, and a run in
# which something never comes still ends with its verdict.
DEADLINE=$(tr ' ' '\n' </proc/cmdline | sed -n 's/^kt\.deadline=//p')
[ -n "$DEADLINE" ] || DEADLINE=1740

# until_in SECONDS: the uptime SECONDS from now, or the deadline if that comes first.
until_in() { awk -v n="$(now)" -v s="$1" -v d="$DEADLINE" 'BEGIN { t = n + s; if (t > d) t = d; print t }'; }
# before UPTIME: that moment has not come yet.
before() { awk -v n="$(now)" -v t="$1" 'BEGIN { exit !(n < t) }'; }
# limit SECONDS: SECONDS, or the whole seconds left before the deadline if fewer (at least 1); for
# the timeout of a command.
limit() {
    awk -v n="$(now)" -v s="$1" -v d="$DEADLINE" 'BEGIN { l = int(d - n); if (l < s) s = l; if (s < 1) s = 1; print s }'
}

# wait_for SECONDS COMMAND...: runs COMMAND every half second until it succeeds; fails when it
# still has not after SECONDS (or at the deadline).
wait_for() {
    wf_end=$(until_in "$1")
    shift
    while ! "$@"; do
        before "$wf_end" || return 1
        sleep 0.5
    done
}

pass() {
    passed=$((passed + 1))
    echo "KT-RESULT: PASS $1${2:+ - $2}"
    [ -z "$VERBOSE" ] || show_logs
}

fail() {
    failed=$((failed + 1))
    failures="$failures $1"
    echo "KT-RESULT: FAIL $1${2:+ - $2}"
    show_logs
}

# show_files FILE...: the end of each file that is not empty (25 lines; all with kt.verbose).
show_files() {
    sf_lines=25
    [ -z "$VERBOSE" ] || sf_lines=1000
    for sf in "$@"; do
        [ -s "$sf" ] || continue
        echo "  | --- ${sf#$W/} (last $sf_lines lines)"
        tail -n "$sf_lines" "$sf" | tr -d '\r' | sed 's/^/  | /'
    done
}

# verdict [XFAILED]: the run's counts and its verdict, the last lines the host reads.
verdict() {
    echo "KT-COUNT: $passed $failed${1:+ $1}"
    if [ "$failed" -eq 0 ]; then
        echo "KERNEL-TESTS: PASS"
    else
        echo "KERNEL-TESTS: FAIL$failures"
    fi
}

# start_udevd: Debian's systemd-udevd (unpacked by the host into /share/udev) as a daemon; sets
# UDEVD when its control socket came. udevadm is udevd when called by that name; systemd's tools
# do nothing in a chroot unless told.
UDEVD=""
start_udevd() {
    begin
    export SYSTEMD_IGNORE_CHROOT=1
    ln -s /share/udev/bin/udevadm /run/systemd-udevd
    /run/systemd-udevd --daemon >"$W/udevd.log" 2>&1
    if wait_for 120 test -S /run/udev/control; then
        UDEVD=1
        took udevd
    else
        fail udevd "systemd-udevd did not start within $(since "$CASE_START") s: $(tail -n 3 "$W/udevd.log" | tr '\n' ' ')"
    fi
}

# stop_udevd: asks udevd to end (before the machine powers off).
stop_udevd() { [ -z "$UDEVD" ] || /share/udev/bin/udevadm control --exit >/dev/null 2>&1; }
