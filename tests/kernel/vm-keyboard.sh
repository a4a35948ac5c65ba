# The keyboard inside the test machine, for the case scripts that source this file (busybox sh or
# the host's /bin/sh). They set W (their scratch folder) and may set KB_PROGRAM and KB_OPTIONS (the
# USB keyboard, and options every one gets; default: kestrune-usb-keyboard on PATH) and VERBOSE.

# start_uhid_keyboard [uhid_keyboard options]: a keyboard on no USB bus (uhid_keyboard on PATH);
# waits for its hidraw node.
start_uhid_keyboard() {
    rm -f "$W/ready" "$W/flash.out" "$W/kb.summary" "$W/kb.log" "$W/cli.out"
    uhid_keyboard --ready-file "$W/ready" --flash-out "$W/flash.out" ${VERBOSE:+--verbose} "$@" \
        >"$W/kb.summary" 2>"$W/kb.log" &
    KB_PID=$!
    wait_for 10 test -f "$W/ready" || { echo "  | the uhid keyboard did not come up"; stop_keyboard; return 1; }
    KB_NODE=$(cut -d' ' -f1 "$W/ready")
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

# start_keyboard [kestrune-usb-keyboard options]: the keyboard as a USB device on the machine's
# dummy_hcd controllers instead, with serial number KB_SERIAL (default KT0001); waits for its node.
start_keyboard() {
    rm -f "$W/ready" "$W/flash.out" "$W/kb.summary" "$W/kb.log" "$W/cli.out"
    # shellcheck disable=SC2086 # KB_OPTIONS holds several words
    "${KB_PROGRAM:-kestrune-usb-keyboard}" $KB_OPTIONS --serial "${KB_SERIAL:-KT0001}" \
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
    # shellcheck disable=SC2086 # KB_OPTIONS holds several words
    "${KB_PROGRAM:-kestrune-usb-keyboard}" $KB_OPTIONS --name "kb$n" --serial "KT000$n" \
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
        end_program "$pid"
    done
}

# unit N VALUE-NAME: one counter of keyboard N's summary (after stop_units).
unit() { sed -n "s/^$2=//p" "$W/unit$1.summary"; }

# stop_keyboard: ends the keyboard; its flash is then in $W/flash.out, its counters in kb.summary.
stop_keyboard() {
    [ -z "$KB_PID" ] || end_program "$KB_PID"
    KB_PID=""
}

# end_program PID: asks it to end and waits; a keyboard stuck in the kernel is killed after 10 s,
# so that it cannot stop the whole run.
end_program() {
    kill -TERM "$1" 2>/dev/null
    (sleep 10 && kill -KILL "$1" 2>/dev/null) &
    ep_watchdog=$!
    wait "$1"
    kill "$ep_watchdog" 2>/dev/null
}

# kb VALUE-NAME: one counter of the keyboard's summary (after stop_keyboard).
kb() { sed -n "s/^$1=//p" "$W/kb.summary"; }
