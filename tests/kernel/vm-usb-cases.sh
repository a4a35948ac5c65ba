# The cases of the test machine that only the keyboard as a real USB device can show
# (kestrune-usb-keyboard on dummy_hcd's six controllers, each its own bus with one port: 1-1, 2-1,
# ... 6-1), for vm-init.sh: the keyboard back at other ports (flash --all and the station: in
# vm-init.sh), and the transfer errors of USB, each with what the user is told.

# An update that follows the keyboard to 2-1 after the switch into firmware-upload mode and to 3-1
# after the upload: three real enumerations.
case_usb_flash_at_other_ports() {
    start_keyboard --firmware V1.7 --controller dummy_udc.0,dummy_udc.1,dummy_udc.2 ||
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

# usb_fault_case NAME REASON-REGEX [kestrune-usb-keyboard options]: an upload the USB keyboard
# breaks off; it must end with status 1, its reason, and no finish sent.
usb_fault_case() {
    name=$1
    words=$2
    shift 2
    start_keyboard --firmware V1.7 --controller dummy_udc.0 "$@" || { fail "$name" "no USB keyboard"; return; }
    cli flash "$FW/small.bin" --yes --timeout 30
    stop_keyboard
    if [ "$CLI_STATUS" -ne 1 ]; then
        fail "$name" "status $CLI_STATUS after ${CLI_TIME} s, expected 1"
    elif ! out_has "$words"; then
        fail "$name" "status 1 without its reason ($words): $(grep -i fail "$W/cli.out" | head -n 1)"
    elif [ "$(kb finish)" != 0 ]; then
        fail "$name" "the keyboard was sent the finish command after the failure"
    else
        pass "$name" "status 1 after ${CLI_TIME} s, $(kb blocks) blocks taken: $(grep -i -E "$words" "$W/cli.out" | head -n 1)"
    fi
}

run_usb_cases() {
    case_usb_flash_at_other_ports
    # Unplugged right after block 5: the next request fails at once (EPROTO).
    usb_fault_case unplug-mid-upload "failed after 5 of .*: the keyboard left \(unplugged" --leave-after-block 5
    # Block 3 refused: the keyboard stalls the read of its answer (EPIPE).
    usb_fault_case usb-stalled-block "failed after 2 of .*: the keyboard refused the report" --refuse-block 3
    # Block 4 taken, its answer never sent: usbhid gives up after 5 s (ETIMEDOUT).
    usb_fault_case usb-no-answer "failed after 3 of .*: the keyboard did not answer" --no-answer-block 4
}
