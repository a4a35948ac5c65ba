# Host-side pieces shared by run-vm-tests.sh and run-wine-vm-tests.sh (sourced by both).

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
