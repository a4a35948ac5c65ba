# The keyboard inside the test machine (uhid, or a USB device), for the case scripts that source
# this file (busybox sh). They set W (their scratch folder) and may set KB_PROGRAM (default: uhid_keyboard on PATH),
# KB_OPTIONS (options every keyboard gets), KB_USB_PROGRAM and KB_USB_OPTIONS (the same for the USB
# keyboard; default: kestrune-usb-keyboard on PATH) and VERBOSE.

# start_keyboard [uhid_keyboard options]: starts a fresh keyboard and waits for its hidraw node.
start_keyboard() {
    rm -f "$W/ready" "$W/flash.out" "$W/kb.summary" "$W/kb.log" "$W/cli.out"
    # shellcheck disable=SC2086 # KB_OPTIONS holds several words
    "${KB_PROGRAM:-uhid_keyboard}" $KB_OPTIONS --ready-file "$W/ready" --flash-out "$W/flash.out" \
        ${VERBOSE:+--verbose} "$@" >"$W/kb.summary" 2>"$W/kb.log" &
    KB_PID=$!
    i=0
    while [ ! -f "$W/ready" ]; do
        i=$((i + 1))
        if [ $i -gt 200 ] || ! kill -0 "$KB_PID" 2>/dev/null; then
            echo "  | the uhid keyboard did not come up"
            stop_keyboard
            return 1
        fi
        sleep 0.05
    done
    KB_NODE=$(cut -d' ' -f1 "$W/ready")
    return 0
}

# start_usb_keyboard [kestrune-usb-keyboard options]: the keyboard as a USB device on the machine's
# dummy_hcd controllers instead, with serial number KB_SERIAL (default KT0001); waits for the
# hidraw node usbhid makes for it (the serial is its HID_UNIQ).
start_usb_keyboard() {
    rm -f "$W/ready" "$W/flash.out" "$W/kb.summary" "$W/kb.log" "$W/cli.out"
    # shellcheck disable=SC2086 # KB_USB_OPTIONS holds several words
    "${KB_USB_PROGRAM:-kestrune-usb-keyboard}" $KB_USB_OPTIONS --serial "${KB_SERIAL:-KT0001}" \
        --ready-file "$W/ready" --flash-out "$W/flash.out" ${VERBOSE:+--verbose} "$@" >"$W/kb.summary" 2>"$W/kb.log" &
    KB_PID=$!
    i=0
    KB_NODE=""
    while [ -z "$KB_NODE" ]; do
        i=$((i + 1))
        if [ $i -gt 300 ] || ! kill -0 "$KB_PID" 2>/dev/null; then
            echo "  | the USB keyboard did not come up"
            stop_keyboard
            return 1
        fi
        sleep 0.05
        for u in /sys/class/hidraw/*/device/uevent; do
            grep -q "^HID_UNIQ=${KB_SERIAL:-KT0001}\$" "$u" 2>/dev/null || continue
            KB_NODE=${u#/sys/class/hidraw/}
            KB_NODE=${KB_NODE%%/*}
        done
    done
    return 0
}

# stop_keyboard: ends the keyboard; its flash is then in $W/flash.out, its counters in kb.summary.
stop_keyboard() {
    [ -n "$KB_PID" ] || return 0
    kill -TERM "$KB_PID" 2>/dev/null
    # A keyboard stuck in the kernel must not stop the whole run.
    (sleep 10 && kill -KILL "$KB_PID" 2>/dev/null) &
    watchdog=$!
    wait "$KB_PID"
    kill "$watchdog" 2>/dev/null
    KB_PID=""
}

# kb VALUE-NAME: one counter of the keyboard's summary (after stop_keyboard).
kb() { sed -n "s/^$1=//p" "$W/kb.summary"; }
