#!/bin/sh
# The test machine of run-vm-tests.sh --machine web, in two stages.
#
# /init (busybox, from the initramfs): vm-root.sh's enter_root, with the web page, its driver
# (vm-web-cases.mjs beside puppeteer-core), the firmware files and udevd in /share; it runs this
# same file in the chroot with the argument "cases".
#
# "cases" (the host's own /bin/sh, node and Chromium, in the chroot): brings up loopback and
# udevd, gives Chromium a writable /etc/chromium for its managed policy, serves the page on
# 127.0.0.1 and runs vm-web-cases.mjs, which starts Chromium and the USB keyboards.
#
# Console protocol read by run-vm-tests.sh --machine web (as in vm-init.sh):
#   KT-RESULT: PASS|FAIL <case> [- detail]         one per case
#   KT-TIME: <what> <seconds>                      where the time goes
#   KT-BENCH: <what> <value>                       with kt.bench
#   KERNEL-TESTS: PASS | KERNEL-TESTS: FAIL <case> ...   the verdict, last
PATH=/usr/sbin:/usr/bin:/sbin:/bin
export PATH

if [ "${1:-}" != cases ]; then
    . /lib/vm-root.sh
    enter_root /share/vm-web-init.sh
fi

# ---- stage 2: in the chroot ----------------------------------------------------------------------
S=/share
W=/tmp/kt
PORT=8080
mkdir -p $W
cd $W || exit 1
export HOME=/root
export LANG=C.UTF-8
# pass, fail, the waits bounded by the deadline, udevd.
. "$S/vm-case.sh"

show_logs() { show_files "$W/serve.log" "$W/cases.err" ${VERBOSE:+"$W/udevd.log"}; }

finish() {
    [ -z "$SERVER_PID" ] || kill "$SERVER_PID" 2>/dev/null
    cp "$W"/*.log "$W"/*.out "$W"/*.err "$W"/*.png /out/ 2>/dev/null
    stop_udevd
    # The cases' own results, counted with the ones of this script.
    passed=$((passed + $(grep -c '^KT-RESULT: PASS' "$W/cases.out" 2>/dev/null || true)))
    for c in $(sed -n 's/^KT-RESULT: FAIL \([^ ]*\).*/\1/p' "$W/cases.out" 2>/dev/null); do
        failed=$((failed + 1))
        failures="$failures $c"
    done
    verdict
    exit 0
}
SERVER_PID=""

# DevTools and the page's server are on loopback.
ip link set lo up

# Chromium's WebHID follows hidraw devices through udev.
start_udevd

# The host's /etc is read-only here: a tmpfs over /etc/chromium, with its files copied back, takes
# the managed policy that vm-web-cases.mjs writes (it grants the keyboard to the page's origin).
cp -a /etc/chromium $W/etc-chromium 2>/dev/null || mkdir -p $W/etc-chromium
mount -t tmpfs -o size=16m tmpfs /etc/chromium
cp -a $W/etc-chromium/. /etc/chromium/
mkdir -p /etc/chromium/policies/managed

begin
node "$S/driver/serve.mjs" "$S/page" "$PORT" >"$W/serve.log" 2>&1 &
SERVER_PID=$!
if ! wait_for 120 grep -q "^http:" "$W/serve.log"; then
    fail serve "the page's server did not start within $(since "$CASE_START") s"
    finish
fi
took serve

ONLY=$(tr ' ' '\n' </proc/cmdline | sed -n 's/^kt\.cases=//p')
BENCH=""
grep -q "kt.bench" /proc/cmdline && BENCH=--bench
# The cases print their KT lines on the console and into cases.out.
timeout "$(limit 3600)" node "$S/driver/vm-web-cases.mjs" --url "http://127.0.0.1:$PORT/" \
    --keyboard "$S/bin/kestrune-usb-keyboard" --firmware "$S/fw" --work "$W" \
    --policy /etc/chromium/policies/managed/kestrune.json --deadline "$DEADLINE" \
    ${ONLY:+--cases "$ONLY"} $BENCH ${VERBOSE:+--verbose} 2>"$W/cases.err" | tee "$W/cases.out"
status=$?
if ! grep -q '^KT-RESULT:' "$W/cases.out"; then
    fail cases "vm-web-cases.mjs gave no result (status $status)"
fi
finish
