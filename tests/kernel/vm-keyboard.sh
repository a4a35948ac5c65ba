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

# usb_node SERIAL PID: waits until usbhid has made the hidraw node of the USB keyboard with that
# serial number (its HID_UNIQ), whose program runs as PID; the node's name in USB_NODE.
usb_node() {
    i=0
    USB_NODE=""
    while [ -z "$USB_NODE" ]; do
        i=$((i + 1))
        if [ $i -gt 300 ] || ! kill -0 "$2" 2>/dev/null; then
            echo "  | the USB keyboard $1 did not come up"
            return 1
        fi
        sleep 0.05
        for u in /sys/class/hidraw/*/device/uevent; do
            grep -q "^HID_UNIQ=$1\$" "$u" 2>/dev/null || continue
            USB_NODE=${u#/sys/class/hidraw/}
            USB_NODE=${USB_NODE%%/*}
        done
    done
}

# start_usb_keyboard [kestrune-usb-keyboard options]: the keyboard as a USB device on the machine's
# dummy_hcd controllers instead, with serial number KB_SERIAL (default KT0001); waits for its node.
start_usb_keyboard() {
    rm -f "$W/ready" "$W/flash.out" "$W/kb.summary" "$W/kb.log" "$W/cli.out"
    # shellcheck disable=SC2086 # KB_USB_OPTIONS holds several words
    "${KB_USB_PROGRAM:-kestrune-usb-keyboard}" $KB_USB_OPTIONS --serial "${KB_SERIAL:-KT0001}" \
        --ready-file "$W/ready" --flash-out "$W/flash.out" ${VERBOSE:+--verbose} "$@" >"$W/kb.summary" 2>"$W/kb.log" &
    KB_PID=$!
    usb_node "${KB_SERIAL:-KT0001}" "$KB_PID" || { stop_keyboard; return 1; }
    KB_NODE=$USB_NODE
}

# start_unit N CONTROLLERS [kestrune-usb-keyboard options]: USB keyboard N beside the others
# (gadget kbN, serial KT000N) on the controllers given (see --controller); its files are
# $W/unitN.*, its node in UNIT_NODE.
start_unit() {
    n=$1
    controllers=$2
    shift 2
    rm -f "$W/unit$n".*
    # shellcheck disable=SC2086 # KB_USB_OPTIONS holds several words
    "${KB_USB_PROGRAM:-kestrune-usb-keyboard}" $KB_USB_OPTIONS --name "kb$n" --serial "KT000$n" \
        --controller "$controllers" --ready-file "$W/unit$n.ready" --flash-out "$W/unit$n.flash" \
        ${VERBOSE:+--verbose} "$@" >"$W/unit$n.summary" 2>"$W/unit$n.log" &
    echo $! >"$W/unit$n.pid"
    usb_node "KT000$n" "$(cat "$W/unit$n.pid")" || return 1
    UNIT_NODE=$USB_NODE
}

# stop_units N...: ends those keyboards; their counters are then in $W/unitN.summary.
stop_units() {
    for n in "$@"; do
        [ -f "$W/unit$n.pid" ] || continue
        pid=$(cat "$W/unit$n.pid")
        rm -f "$W/unit$n.pid"
        kill -TERM "$pid" 2>/dev/null
        (sleep 10 && kill -KILL "$pid" 2>/dev/null) &
        watchdog=$!
        wait "$pid"
        kill "$watchdog" 2>/dev/null
    done
}

# unit N VALUE-NAME: one counter of keyboard N's summary (after stop_units).
unit() { sed -n "s/^$2=//p" "$W/unit$1.summary"; }

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
