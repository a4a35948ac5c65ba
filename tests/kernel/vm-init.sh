#!/bin/sh
# /init of the native test machine that run-vm-tests.sh boots: loads the HID and USB modules, then
# runs every case against the USB keyboard (kestrune-usb-keyboard on dummy_hcd; one case on a uhid
# keyboard, which is on no USB bus) and the static kestrune, and powers off.
#
# Console protocol read by run-vm-tests.sh:
#   KT-RESULT: PASS|FAIL <case> [- detail]     one per case
#   KT-PERF: <text>                            throughput figures
#   KERNEL-TESTS: PASS | KERNEL-TESTS: FAIL <case> ...   the verdict, last
PATH=/bin
export PATH
. /lib/vm-root.sh
load_modules
mount -t tmpfs tmpfs /tmp

FW=/fw
W=/tmp
KB_PID=""
KB_NODE=""
CLI_STATUS=0
CLI_TIME=0
LOOP_BEST=0
LOOP_RATES=""
FLASH_BEST=0
FLASH_RATES=""
FLASH_TIMES=""


# pass, fail and VERBOSE (kt.verbose on the kernel command line: the keyboard logs every request,
# and every case shows its logs as a failing one does).
. /lib/vm-case.sh

show_logs() {
    show_files "$W/cli.out" "$W/cli.err" "$W/kb.log" "$W/kb.summary" "$W"/unit[0-9].log "$W"/unit[0-9].summary
    echo "  | --- dmesg (last 10 lines)"
    dmesg | tail -n 10 | sed 's/^/  | /'
}

finish() {
    verdict
    sync
    poweroff -f
}

echo "KT: modules loaded at $(now) s, kernel $(uname -r)"

# start_keyboard, start_uhid_keyboard, stop_keyboard and kb: the USB or the uhid keyboard.
. /lib/vm-keyboard.sh

# cli [vm_run options --] ARGS: runs kestrune with a 60-second limit; sets CLI_STATUS, CLI_TIME.
cli() {
    vm_run --time "$W/cli.time" -- timeout 60 kestrune "$@" >"$W/cli.out" 2>&1
    CLI_STATUS=$?
    CLI_TIME=$(cat "$W/cli.time" 2>/dev/null || echo 0)
}

cli_as_user() {
    vm_run --uid 1000 --time "$W/cli.time" -- timeout 60 kestrune "$@" >"$W/cli.out" 2>&1
    CLI_STATUS=$?
    CLI_TIME=$(cat "$W/cli.time" 2>/dev/null || echo 0)
}

# out_has REGEX: kestrune's output matches the extended regular expression (case ignored).
out_has() { grep -q -i -E -e "$1" "$W/cli.out"; }

# flash_matches FILE: the keyboard's flash from 0x1200 holds FILE.expect.
flash_matches() {
    size=$(wc -c <"$FW/$1.expect")
    cmp -n "$size" "$W/flash.out" "$FW/$1.expect" 4608 0 >/dev/null 2>&1
}

# The cases on the USB keyboard.
. /lib/vm-usb-cases.sh

# ---- the hidraw path on its own --------------------------------------------------------------

case_hidraw_smoke() {
    start_keyboard --firmware V1.7 || { fail hidraw-smoke "no keyboard"; return; }
    uevent=/sys/class/hidraw/$KB_NODE/device/uevent
    if ! grep -q "HID_ID=0003:00002E5B:00000011" "$uevent"; then
        fail hidraw-smoke "unexpected HID_ID in $uevent: $(grep HID_ID "$uevent")"
    elif ! feature_loop --count 20 >"$W/cli.out" 2>&1; then
        fail hidraw-smoke "feature_loop failed"
    elif ! out_has 'version "V1.7"'; then
        fail hidraw-smoke "the version did not come back through the kernel"
    else
        pass hidraw-smoke "/dev/$KB_NODE, 20 exchanges"
    fi
    stop_keyboard
    loop_rate feature-loop-1
}

# ---- kestrune against the keyboard ------------------------------------------------------------

case_no_keyboard() {
    cli info
    if [ "$CLI_STATUS" -ne 3 ]; then
        fail no-keyboard "kestrune info without a keyboard: status $CLI_STATUS, expected 3"
        return
    fi
    cli flash "$FW/small.bin" --yes --timeout 5
    if [ "$CLI_STATUS" -ne 3 ]; then
        fail no-keyboard "kestrune flash without a keyboard: status $CLI_STATUS, expected 3"
        return
    fi
    pass no-keyboard "info and flash exit 3"
}

case_list() {
    start_keyboard --firmware V1.7 || { fail list "no keyboard"; return; }
    cli list
    if [ "$CLI_STATUS" -ne 0 ]; then
        fail list "status $CLI_STATUS"
    elif ! out_has "/dev/$KB_NODE" || ! out_has "0x2E5B:0x0011"; then
        fail list "/dev/$KB_NODE with 0x2E5B:0x0011 not listed"
    else
        cli list --json
        if [ "$CLI_STATUS" -ne 0 ] || ! out_has "/dev/$KB_NODE"; then
            fail list "list --json: status $CLI_STATUS, or /dev/$KB_NODE missing"
        else
            pass list "/dev/$KB_NODE listed (text and JSON)"
        fi
    fi
    stop_keyboard
}

case_info() {
    start_keyboard --firmware V1.7 || { fail info "no keyboard"; return; }
    cli info
    if [ "$CLI_STATUS" -ne 0 ]; then
        fail info "status $CLI_STATUS"
    elif ! out_has "11867" || ! out_has "\b17\b" || ! out_has "V1.7"; then
        fail info "vendor 11867, product 17 or version V1.7 missing"
    else
        cli info --json
        if [ "$CLI_STATUS" -ne 0 ] || ! out_has '"vendorId": *11867' || ! out_has '"productId": *17' \
            || ! out_has '"firmwareVersion": *"V1.7"'; then
            fail info "info --json: status $CLI_STATUS or fields missing"
        else
            pass info "vendor 11867, product 17, V1.7 (text and JSON)"
        fi
    fi
    stop_keyboard
}

# flash_case NAME FILE [keyboard options]: a fresh USB keyboard takes FILE.
flash_case() {
    name=$1
    file=$2
    shift 2
    start_keyboard --firmware V1.7 "$@" || { fail "$name" "no keyboard"; return 1; }
    cli flash "$FW/$file" --yes --timeout 30
    status=$CLI_STATUS
    FLASH_TIME=$CLI_TIME
    after=""
    if [ "$status" -eq 0 ]; then
        # Back in normal mode with the new firmware, as the kernel sees it now.
        cli info
        after="$CLI_STATUS"
        grep -q "V2.0" "$W/cli.out" || after="$after, no V2.0"
    fi
    stop_keyboard
    if [ "$status" -ne 0 ]; then
        fail "$name" "kestrune flash $file: status $status after ${FLASH_TIME} s"
        return 1
    fi
    if ! flash_matches "$file"; then
        fail "$name" "the keyboard's flash from 0x1200 differs from $file"
        return 1
    fi
    if [ "$after" != "0" ]; then
        fail "$name" "after the upload, kestrune info: $after"
        return 1
    fi
    pass "$name" "$(kb blocks) blocks, flash matches, back as V2.0, ${FLASH_TIME} s"
    return 0
}

# A device of another vendor (on another port), and an interface of the keyboard without the
# feature report (before the keyboard's own).
case_decoy() {
    flash_case decoy small.hex --decoy
    if [ "$(kb decoy_reports)" != "0" ]; then
        fail decoy-untouched "the other vendor's device got $(kb decoy_reports) reports"
    else
        pass decoy-untouched "no report sent to the other vendor's device"
    fi
}

case_two_interfaces() {
    flash_case two-interfaces small.bin --plain-first-interface
    if [ "$(kb plain_reports)" != "0" ]; then
        fail plain-interface-untouched "the interface without feature report got $(kb plain_reports) reports"
    else
        pass plain-interface-untouched "no report sent to the interface without feature report"
    fi
}

# A keyboard on no USB bus (over Bluetooth, say), the one case left to the uhid keyboard: named by
# its HID device (HID_PHYS for the port, HID_UNIQ for the serial) and followed by them.
case_not_on_usb() {
    uniq=5c:f3:70:8a:00:01
    start_uhid_keyboard --firmware V1.7 --phys bt-hci0 --uniq "$uniq" || { fail not-on-usb "no keyboard"; return; }
    cli list
    listed=$CLI_STATUS
    out_has "^/dev/$KB_NODE .*port bt-hci0, serial $uniq\$" || listed="$listed, /dev/$KB_NODE not named by bt-hci0 and $uniq"
    cli flash "$FW/small.bin" --device "$uniq" --yes --timeout 30
    status=$CLI_STATUS
    stop_keyboard
    if [ "$listed" != 0 ]; then
        fail not-on-usb "list: status $listed"
    elif [ "$status" -ne 0 ] || ! flash_matches small.bin; then
        fail not-on-usb "flash --device $uniq: status $status, or the keyboard's flash differs from small.bin"
    else
        pass not-on-usb "listed by its HID device, flashed by its unique ID over $(kb enumerations) enumerations"
    fi
}

case_no_permission() {
    start_keyboard --firmware V1.7 || { fail no-permission "no keyboard"; return; }
    cli_as_user info
    stop_keyboard
    if [ "$CLI_STATUS" -ne 3 ]; then
        fail no-permission "kestrune info as uid 1000 on a root-only node: status $CLI_STATUS, expected 3"
    elif ! out_has "permission|may not open"; then
        fail no-permission "status 3 without a word about permission"
    else
        pass no-permission "status 3: $(head -n 1 "$W/cli.out")"
    fi
}

case_bad_file() {
    start_keyboard --firmware V1.7 || { fail bad-file "no keyboard"; return; }
    cli flash "$FW/bad.hex" --yes
    bad_status=$CLI_STATUS
    cli flash
    usage_status=$CLI_STATUS
    stop_keyboard
    if [ "$bad_status" -ne 4 ]; then
        fail bad-file "kestrune flash bad.hex: status $bad_status, expected 4"
    elif [ "$usage_status" -ne 2 ]; then
        fail bad-file "kestrune flash without a file: status $usage_status, expected 2"
    elif [ "$(kb mode_switches)" != "0" ] || [ "$(kb blocks)" != "0" ]; then
        fail bad-file "the keyboard was switched or written although the file was refused"
    else
        pass bad-file "status 4 for a bad checksum, 2 for a missing file, keyboard untouched"
    fi
}

# ---- one writer at a time, signals during an exchange -------------------------------------------

# start_held [keyboard options]: a fresh keyboard that holds its answer to write-block 50;
# kestrune flash big.bin starts in the background (its PID in FLASH_PID, its output in a.out) and
# this returns once block 50 is in flight. release_hold lets the keyboard answer it.
start_held() {
    rm -f "$W/hold" "$W/a.out"
    start_keyboard --firmware V1.7 --hold-block 50 --hold-file "$W/hold" "$@" || return 1
    kestrune flash "$FW/big.bin" --yes --timeout 30 $FLASH_EXTRA >"$W/a.out" 2>&1 &
    FLASH_PID=$!
    i=0
    while [ ! -f "$W/hold" ]; do
        i=$((i + 1))
        if [ $i -gt 600 ] || ! kill -0 "$FLASH_PID" 2>/dev/null; then
            echo "  | block 50 never came"
            return 1
        fi
        sleep 0.05
    done
    return 0
}
release_hold() { rm -f "$W/hold"; }

# wait_flash: waits for the background flash; its status in FLASH_STATUS, its output in cli.out.
wait_flash() {
    wait "$FLASH_PID"
    FLASH_STATUS=$?
    cp "$W/a.out" "$W/cli.out"
}

case_two_flashes() {
    FLASH_EXTRA=""
    start_held || { fail two-flashes-at-once "no upload in flight"; stop_keyboard; return; }
    # A second flash while the first one's block is in flight: busy at once, nothing sent.
    cli flash "$FW/small.hex" --yes --timeout 30
    second=$CLI_STATUS
    cp "$W/cli.out" "$W/b.out"
    # info reads only: it needs no lock and runs during the upload (its exchange waits behind the
    # one in flight).
    kestrune info >"$W/info.out" 2>&1 &
    info_pid=$!
    sleep 0.2
    release_hold
    wait "$info_pid"
    info_status=$?
    wait_flash
    stop_keyboard
    if [ "$second" -ne 7 ] || ! grep -q -E "being updated by another program \(PID $FLASH_PID\); nothing was written" "$W/b.out"; then
        fail two-flashes-at-once "second flash: status $second: $(cat "$W/b.out" | tail -n 3)"
    elif [ "$FLASH_STATUS" -ne 0 ] || ! flash_matches big.bin; then
        fail two-flashes-at-once "first flash: status $FLASH_STATUS, or the flash does not match big.bin"
    elif [ "$(kb blocks)" != "513" ]; then
        fail two-flashes-at-once "the keyboard took $(kb blocks) blocks, expected 513"
    else
        pass two-flashes-at-once "the first took all 513 blocks, the second: $(grep -o 'The keyboard is being.*' "$W/b.out")"
    fi
    if [ "$info_status" -ne 0 ] || ! grep -q "Firmware Upload" "$W/info.out"; then
        cp "$W/info.out" "$W/cli.out"
        fail info-during-flash "kestrune info during the upload: status $info_status"
    else
        pass info-during-flash "status 0, $(grep Mode "$W/info.out")"
    fi

    # Two flashes of different files started together: one updates the keyboard with its file,
    # the other writes nothing: busy (7), no keyboard while the first one's switch is under way
    # (3), or no keyboard in firmware-upload mode for it within its --timeout (5).
    start_keyboard --firmware V1.7 || { fail two-flashes-together "no keyboard"; return; }
    kestrune flash "$FW/big.bin" --yes --timeout 10 >"$W/a.out" 2>&1 &
    a=$!
    kestrune flash "$FW/small.bin" --yes --timeout 10 >"$W/b.out" 2>&1 &
    b=$!
    wait "$a"
    sa=$?
    wait "$b"
    sb=$?
    stop_keyboard
    loser_ok() {
        case $1 in 3) grep -q "no keyboard found" "$2" ;; 5 | 7) grep -q "nothing was written" "$2" ;; *) false ;; esac
    }
    if [ "$sa" -eq 0 ] && loser_ok "$sb" "$W/b.out" && flash_matches big.bin; then
        pass two-flashes-together "big.bin 0, flash holds big.bin; small.bin $sb: $(grep kestrune: "$W/b.out" | head -n 1)"
    elif [ "$sb" -eq 0 ] && loser_ok "$sa" "$W/a.out" && flash_matches small.bin; then
        pass two-flashes-together "small.bin 0, flash holds small.bin; big.bin $sa: $(grep kestrune: "$W/a.out" | head -n 1)"
    else
        for f in a b; do
            echo "== $f.out"
            grep -E "^File:|Keyboard found|already|Uploading|busy|updated|fail|nothing|Waiting|kestrune:" "$W/$f.out"
        done >"$W/cli.out"
        fail two-flashes-together "statuses $sa and $sb"
    fi
}

# signal_case NAME SIGNALS...: the signals reach kestrune while block 50 is in flight.
signal_case() {
    name=$1
    shift
    start_held || { fail "$name" "no upload in flight"; stop_keyboard; return 1; }
    for sig in "$@"; do
        kill -"$sig" "$FLASH_PID"
        sleep 0.1
    done
    release_hold
    wait_flash
    stop_keyboard
    return 0
}

case_signals() {
    FLASH_EXTRA=""
    if signal_case sigint-once INT; then
        if [ "$FLASH_STATUS" -ne 0 ] || [ "$(kb blocks)" != "513" ] || ! flash_matches big.bin; then
            fail sigint-once "status $FLASH_STATUS, the keyboard took $(kb blocks) of 513 blocks"
        elif ! out_has "Press Ctrl\+C again"; then
            fail sigint-once "no warning"
        else
            pass sigint-once "warned, status 0, all 513 blocks, flash matches"
        fi
    fi
    if signal_case sigint-twice INT INT; then
        if [ "$FLASH_STATUS" -ne 5 ] || ! out_has "stopped after $(kb blocks) of 513 blocks"; then
            fail sigint-twice "status $FLASH_STATUS, the keyboard took $(kb blocks) blocks"
        else
            pass sigint-twice "status 5: $(grep -o 'stopped after [0-9]* of [0-9]* blocks' "$W/cli.out")"
        fi
    fi
    FLASH_EXTRA="--json"
    for sig in TERM HUP; do
        name=sigterm
        [ "$sig" = HUP ] && name=sighup
        signal_case "$name" "$sig" || continue
        if [ "$FLASH_STATUS" -ne 5 ] || ! out_has '"result": *"stopped"' || ! out_has '"exitStatus": *5' \
            || ! out_has "\"blocksSent\": *$(kb blocks)"; then
            fail "$name" "status $FLASH_STATUS, the keyboard took $(kb blocks) blocks"
        else
            pass "$name" "status 5, JSON result stopped after $(kb blocks) blocks"
        fi
    done
    FLASH_EXTRA=""
}

# The pace of kestrune's upload against the bare ioctl loop on the same kernel path, each the best
# of two runs: on the host's clock (--realtime) whatever else the host does slows some runs down.
# Both send the same write-block reports to a keyboard in firmware-upload mode, and both are timed
# alike: by the keyboard, from the first write-block report it gets to the last.
max() { awk -v a="$1" -v b="$2" 'BEGIN { print (a + 0 > b + 0 ? a : b) }'; }

# block_rate: write-block reports per second as the keyboard saw them (after stop_keyboard).
block_rate() { awk -v b="$(kb blocks)" -v us="$(kb block_us)" 'BEGIN { printf "%.1f", (us > 0 ? (b - 1) * 1000000 / us : 0) }'; }

loop_rate() {
    start_keyboard --firmware V1.7 --upload-mode || { fail "$1" "no keyboard"; return; }
    feature_loop --count 2000 >"$W/cli.out" 2>&1
    status=$?
    stop_keyboard
    if [ "$status" -eq 0 ] && [ "$(kb blocks)" = "2000" ]; then
        rate=$(block_rate)
        LOOP_RATES="$LOOP_RATES $rate"
        LOOP_BEST=$(max "$LOOP_BEST" "$rate")
        pass "$1" "$rate blocks/s as the keyboard saw them; $(cat "$W/cli.out")"
    else
        fail "$1" "feature_loop --count 2000: status $status, the keyboard took $(kb blocks) blocks"
    fi
}

case_throughput() {
    for run in 1 2; do
        flash_case "flash-64k-$run" big.bin || continue
        # The upload proper, from the first block to the last as the keyboard saw them; the whole
        # command also waits for the mode switch and 4 s after the finish command.
        rate=$(block_rate)
        FLASH_RATES="$FLASH_RATES $rate"
        FLASH_BEST=$(max "$FLASH_BEST" "$rate")
        FLASH_TIMES="$FLASH_TIMES $FLASH_TIME"
    done
    loop_rate feature-loop-2
    ratio=$(awk -v f="$FLASH_BEST" -v l="$LOOP_BEST" 'BEGIN { printf "%.2f", (l > 0 ? f / l : 0) }')
    echo "KT-PERF: bare ioctl loop of write-block reports $LOOP_BEST blocks/s (runs:$LOOP_RATES)"
    echo "KT-PERF: kestrune flash 64 KiB $FLASH_BEST blocks/s during the upload (runs:$FLASH_RATES; whole command:$FLASH_TIMES s)"
    echo "KT-PERF: ratio kestrune/loop $ratio"
}

# ---- several keyboards at once ---------------------------------------------------------------------

# unit_holds N FILE: keyboard N's flash from 0x1200 holds FILE.expect.
unit_holds() {
    size=$(wc -c <"$FW/$2.expect")
    cmp -n "$size" "$W/unit$1.flash" "$FW/$2.expect" 4608 0 >/dev/null 2>&1
}

# cli_split ARGS: kestrune with a 60-second limit, standard output in cli.out and standard error
# in cli.err; sets CLI_STATUS.
cli_split() {
    timeout 60 kestrune "$@" >"$W/cli.out" 2>"$W/cli.err"
    CLI_STATUS=$?
}

# Two keyboards, told apart by where they are attached and by their serial numbers.
case_two_keyboards() {
    node1=""
    if start_unit 1 dummy_udc.0 --firmware V1.6; then node1=$UNIT_NODE; fi
    if [ -z "$node1" ] || ! start_unit 2 dummy_udc.1 --firmware V1.7; then
        fail two-keyboards-list "the keyboards did not come up"
        stop_units 1 2
        return
    fi
    node2=$UNIT_NODE
    cli list
    if [ "$CLI_STATUS" -ne 0 ] || ! out_has "^/dev/$node1 .*port 1-1, serial KT0001\$" \
        || ! out_has "^/dev/$node2 .*port 2-1, serial KT0002\$"; then
        fail two-keyboards-list "status $CLI_STATUS, or /dev/$node1 at 1-1 (KT0001) and /dev/$node2 at 2-1 (KT0002) not listed"
    else
        cli list --json
        if [ "$CLI_STATUS" -ne 0 ] || ! out_has '"port": "1-1"' || ! out_has '"serial": "KT0001"' \
            || ! out_has '"port": "2-1"' || ! out_has '"serial": "KT0002"'; then
            fail two-keyboards-list "list --json: status $CLI_STATUS, or a port or serial missing"
        else
            pass two-keyboards-list "/dev/$node1 1-1 KT0001, /dev/$node2 2-1 KT0002 (text and JSON)"
        fi
    fi

    # Without --device, flash chooses neither; --device picks one by port or serial number.
    cli flash "$FW/small.bin" --yes --timeout 30
    unchosen=$CLI_STATUS
    cli info --device 2-1
    info=$CLI_STATUS
    if ! grep -q "V1.7" "$W/cli.out" || grep -q "V1.6" "$W/cli.out"; then info="$info, not V1.7 alone"; fi
    cli flash "$FW/small.bin" --device KT0002 --yes --timeout 30
    chosen=$CLI_STATUS
    stop_units 1 2
    if [ "$unchosen" -ne 9 ]; then
        fail flash-device "flash without --device: status $unchosen, expected 9"
    elif [ "$info" != "0" ]; then
        fail flash-device "info --device 2-1: status $info"
    elif [ "$chosen" -ne 0 ] || ! unit_holds 2 small.bin; then
        fail flash-device "flash --device KT0002: status $chosen, or keyboard 2's flash does not hold small.bin"
    elif [ "$(unit 1 blocks)" != "0" ] || [ "$(unit 1 mode_switches)" != "0" ] || [ "$(unit 2 version)" != "V2.0" ]; then
        fail flash-device "keyboard 1 took $(unit 1 blocks) blocks and $(unit 1 mode_switches) mode switches; keyboard 2 is $(unit 2 version)"
    else
        pass flash-device "9 without --device; --device KT0002: $(unit 2 blocks) blocks to keyboard 2, none to keyboard 1"
    fi
}

# flash --all: every keyboard at once, each back at other ports after the switch and after the
# upload (three enumerations), updated once, one row each in the summary on standard output.
case_flash_all() {
    if ! start_unit 1 dummy_udc.0,dummy_udc.2,dummy_udc.4 --firmware V1.6 ||
        ! start_unit 2 dummy_udc.1,dummy_udc.3,dummy_udc.5 --firmware V1.7; then
        fail flash-all "the keyboards did not come up"
        stop_units 1 2
        return
    fi
    cli_split flash --all --yes "$FW/big.bin"
    stop_units 1 2
    row() { grep -c -E "^ *$1-1 +KT000$1 .* success " "$W/cli.out"; }
    if [ "$CLI_STATUS" -ne 0 ]; then
        fail flash-all "status $CLI_STATUS"
    elif ! unit_holds 1 big.bin || ! unit_holds 2 big.bin; then
        fail flash-all "keyboard 1 took $(unit 1 blocks) blocks, keyboard 2 $(unit 2 blocks): a flash does not hold big.bin"
    elif ! grep -q -E "^ *PORT +SERIAL +OLD +NEW +RESULT +SECONDS *$" "$W/cli.out" || [ "$(row 1)" != 1 ] \
        || [ "$(row 2)" != 1 ]; then
        fail flash-all "the summary on standard output lacks its header or one success row per keyboard"
    elif [ "$(unit 1 enumerations)" != 3 ] || [ "$(unit 2 enumerations)" != 3 ]; then
        fail flash-all "the keyboards were plugged in $(unit 1 enumerations) and $(unit 2 enumerations) times, not 3"
    else
        pass flash-all "status 0, both back at two other ports, $(unit 1 blocks) and $(unit 2 blocks) blocks, both flashes hold big.bin, both rows success"
    fi
}

# station: a keyboard plugged in while it runs, back at two other ports after the switch and after
# the upload, is one unit: updated once and logged once; SIGINT ends the station with 0.
case_station() {
    rm -f "$W/station.jsonl" "$W/station.out"
    kestrune station "$FW/small.bin" --log "$W/station.jsonl" >"$W/station.out" 2>&1 &
    station=$!
    sleep 1
    start_unit 3 dummy_udc.2,dummy_udc.3,dummy_udc.4 --firmware V1.7 || { fail station "no keyboard"; kill -KILL "$station"; return; }
    i=0
    while ! grep -q '"result": *"success"' "$W/station.jsonl" 2>/dev/null; do
        i=$((i + 1))
        if [ $i -gt 600 ] || ! kill -0 "$station" 2>/dev/null; then break; fi
        sleep 0.1
    done
    sleep 2  # time for a wrong second unit to show
    kill -INT "$station" 2>/dev/null
    (sleep 20 && kill -KILL "$station" 2>/dev/null) &
    watchdog=$!
    wait "$station"
    status=$?
    kill "$watchdog" 2>/dev/null
    stop_units 3
    cp "$W/station.out" "$W/cli.out"
    sha=$(sha256sum "$FW/small.bin" | cut -d' ' -f1)
    record=$(cat "$W/station.jsonl" 2>/dev/null)
    has() { echo "$record" | grep -q -E "\"$1\": *$2"; }
    if [ "$status" -ne 0 ]; then
        fail station "status $status after SIGINT"
    elif [ "$(grep -c . "$W/station.jsonl")" != 1 ] || ! has port '"3-1"' || ! has serial '"KT0003"' \
        || ! has versionBefore '"V1.7"' || ! has versionAfter '"V2.0"' || ! has sha256 "\"$sha\"" \
        || ! has result '"success"'; then
        echo "$record" >>"$W/cli.out"
        fail station "the log does not hold one success record for 3-1"
    elif ! unit_holds 3 small.bin || [ "$(grep -c '^PASS' "$W/station.out")" != 1 ] || [ "$(unit 3 enumerations)" != 3 ]; then
        fail station "the keyboard took $(unit 3 blocks) blocks over $(unit 3 enumerations) enumerations, or no single PASS line"
    else
        pass station "one unit: $(grep '^PASS' "$W/station.out")"
    fi
}

echo "KT: cases start at $(now) s"
case_hidraw_smoke
case_no_keyboard
case_list
case_info
flash_case flash-hex small.hex
flash_case flash-bin small.bin
flash_case flash-dat small.dat
case_decoy
case_two_interfaces
case_not_on_usb
case_no_permission
case_bad_file
case_two_keyboards
case_flash_all
case_station
case_two_flashes
case_signals
case_throughput
run_usb_cases
echo "KT: cases end at $(now) s"
finish
