# The cases of the test machine that only the keyboard as a real USB device can show
# (kestrune-usb-keyboard on dummy_hcd's six controllers, each its own bus with one port: 1-1, 2-1,
# ... 6-1), for vm-init.sh: the keyboard back at other ports, and the transfer errors of USB (an
# unplug mid-upload, EPROTO, is vm-init.sh's unplug-mid-upload).

# An update that follows the keyboard to 2-1 after the switch into firmware-upload mode and to 3-1
# after the upload: three real enumerations.
case_usb_flash_at_other_ports() {
    start_usb_keyboard --firmware V1.7 --controller dummy_udc.0,dummy_udc.1,dummy_udc.2 ||
        { fail usb-flash-other-ports "no USB keyboard"; return; }
    cli flash "$FW/small.hex" --yes --timeout 30
    status=$CLI_STATUS
    time=$CLI_TIME
    cli info --json
    info=$CLI_STATUS
    stop_keyboard
    if [ "$status" -ne 0 ]; then
        fail usb-flash-other-ports "kestrune flash: status $status after $time s"
    elif ! flash_matches small.hex; then
        fail usb-flash-other-ports "the keyboard's flash from 0x1200 differs from small.hex"
    elif [ "$info" -ne 0 ] || ! out_has '"port": *"3-1"' || ! out_has '"firmwareVersion": *"V2.0"'; then
        fail usb-flash-other-ports "after the upload, info --json: status $info, or not V2.0 at port 3-1"
    else
        pass usb-flash-other-ports "$(kb blocks) blocks over $(kb enumerations) enumerations (1-1, 2-1, 3-1), flash matches, back as V2.0, $time s"
    fi
}

# usb_fault_case NAME DETAIL-REGEX [kestrune-usb-keyboard options]: an upload the USB keyboard
# breaks off; it must end with status 1, its reason, and no finish sent.
usb_fault_case() {
    name=$1
    words=$2
    shift 2
    start_usb_keyboard --firmware V1.7 --controller dummy_udc.0 "$@" || { fail "$name" "no USB keyboard"; return; }
    cli flash "$FW/small.bin" --yes --timeout 30
    stop_keyboard
    if [ "$CLI_STATUS" -ne 1 ]; then
        fail "$name" "status $CLI_STATUS after ${CLI_TIME} s, expected 1"
    elif ! out_has "$words"; then
        fail "$name" "status 1 without a word of the failure"
    elif [ "$(kb finish)" != 0 ]; then
        fail "$name" "the keyboard was sent the finish command after the failure"
    else
        pass "$name" "status 1 after ${CLI_TIME} s, $(kb blocks) blocks taken: $(grep -i -E "$words" "$W/cli.out" | head -n 1)"
    fi
}

# start_usb_unit N CONTROLLERS [kestrune-usb-keyboard options]: keyboard N as a USB device
# (gadget kbN, serial KT000N) on the controllers given, with the files of start_unit, so that
# stop_units, unit and unit_holds serve both.
start_usb_unit() {
    n=$1
    controllers=$2
    shift 2
    rm -f "$W/unit$n".*
    kestrune-usb-keyboard --name "kb$n" --serial "KT000$n" --controller "$controllers" \
        --ready-file "$W/unit$n.ready" --flash-out "$W/unit$n.flash" ${VERBOSE:+--verbose} "$@" \
        >"$W/unit$n.summary" 2>"$W/unit$n.log" &
    echo $! >"$W/unit$n.pid"
    i=0
    UNIT_NODE=""
    while [ -z "$UNIT_NODE" ]; do
        i=$((i + 1))
        if [ $i -gt 300 ] || ! kill -0 "$(cat "$W/unit$n.pid")" 2>/dev/null; then
            echo "  | USB keyboard $n did not come up"
            return 1
        fi
        sleep 0.05
        for u in /sys/class/hidraw/*/device/uevent; do
            grep -q "^HID_UNIQ=KT000$n\$" "$u" 2>/dev/null || continue
            UNIT_NODE=${u#/sys/class/hidraw/}
            UNIT_NODE=${UNIT_NODE%%/*}
        done
    done
}

# flash --all on two USB keyboards that each come back at other ports, after the switch and after
# the upload: both updated once, one success row each, by serial number.
case_usb_flash_all_other_ports() {
    if ! start_usb_unit 1 dummy_udc.0,dummy_udc.2,dummy_udc.4 --firmware V1.6 ||
        ! start_usb_unit 2 dummy_udc.1,dummy_udc.3,dummy_udc.5 --firmware V1.7; then
        fail usb-flash-all-other-ports "the USB keyboards did not come up"
        stop_units 1 2
        return
    fi
    cli_split flash --all --yes "$FW/small.bin"
    stop_units 1 2
    row() { grep -c -E "^ *[0-9]-1 +KT000$1 .* success " "$W/cli.out"; }
    if [ "$CLI_STATUS" -ne 0 ]; then
        fail usb-flash-all-other-ports "status $CLI_STATUS"
    elif ! unit_holds 1 small.bin || ! unit_holds 2 small.bin; then
        fail usb-flash-all-other-ports "keyboard 1 took $(unit 1 blocks) blocks, keyboard 2 $(unit 2 blocks): a flash does not hold small.bin"
    elif [ "$(row 1)" != 1 ] || [ "$(row 2)" != 1 ] || [ "$(unit 1 enumerations)" != 3 ] || [ "$(unit 2 enumerations)" != 3 ]; then
        fail usb-flash-all-other-ports "not one success row per keyboard, or not three enumerations each"
    else
        pass usb-flash-all-other-ports "status 0, both back at other ports twice, both flashes hold small.bin, one success row each"
    fi
}

# station: a USB keyboard plugged in, back at another port after the switch and after the upload,
# is one unit: updated once, one record, one PASS line.
case_usb_station_other_ports() {
    rm -f "$W/station.jsonl" "$W/station.out"
    kestrune station "$FW/small.bin" --log "$W/station.jsonl" >"$W/station.out" 2>&1 &
    station=$!
    sleep 1
    start_usb_unit 3 dummy_udc.0,dummy_udc.1,dummy_udc.2 --firmware V1.7 ||
        { fail usb-station-other-ports "no USB keyboard"; kill -KILL "$station"; return; }
    i=0
    while ! grep -q '"result": *"success"' "$W/station.jsonl" 2>/dev/null; do
        i=$((i + 1))
        if [ $i -gt 600 ] || ! kill -0 "$station" 2>/dev/null; then break; fi
        sleep 0.1
    done
    sleep 2  # time for a wrong second unit to show
    kill -INT "$station" 2>/dev/null
    wait "$station"
    status=$?
    stop_units 3
    cp "$W/station.out" "$W/cli.out"
    if [ "$status" -ne 0 ]; then
        fail usb-station-other-ports "status $status after SIGINT"
    elif [ "$(grep -c . "$W/station.jsonl")" != 1 ] || ! grep -q '"serial": *"KT0003"' "$W/station.jsonl" ||
        ! grep -q '"result": *"success"' "$W/station.jsonl"; then
        fail usb-station-other-ports "the log does not hold one success record for KT0003"
    elif ! unit_holds 3 small.bin || [ "$(grep -c '^PASS' "$W/station.out")" != 1 ] || [ "$(unit 3 enumerations)" != 3 ]; then
        fail usb-station-other-ports "the keyboard took $(unit 3 blocks) blocks over $(unit 3 enumerations) enumerations, or no single PASS line"
    else
        pass usb-station-other-ports "one unit over three ports: $(grep '^PASS' "$W/station.out")"
    fi
}

run_usb_cases() {
    case_usb_flash_at_other_ports
    # Block 3 refused: the keyboard stalls the read of its answer (EPIPE).
    usb_fault_case usb-stalled-block "fail|refus" --refuse-block 3
    # Block 4 taken, its answer never sent: usbhid gives up after 5 s (ETIMEDOUT).
    usb_fault_case usb-no-answer "fail" --no-answer-block 4
    case_usb_flash_all_other_ports
    case_usb_station_other_ports
}
