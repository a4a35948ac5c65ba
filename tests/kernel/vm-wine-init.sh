#!/bin/sh
# The test machine of run-vm-tests.sh --machine wine, in two stages.
#
# /init (busybox, from the initramfs): loads the HID and 9p modules, builds a root in memory whose
# /usr and /etc are the host's (read-only over virtio-9p) and whose /share holds what the host
# prepared (the Windows programs, the slim Wine prefix, the firmware files, udevd), chroots into
# it and runs this same file there with the argument "cases", then powers the machine off.
#
# "cases" (the host's own /bin/sh and tools, in the chroot): starts udevd and Wine, then runs the
# Windows programs under Wine against the USB keyboard (kestrune-usb-keyboard on dummy_hcd).
#
# Console protocol read by run-vm-tests.sh --machine wine (as in vm-init.sh):
#   KT-RESULT: PASS|FAIL|XFAIL <case> [- detail]   one per case (XFAIL: fails on Wine, as expected)
#   KT-TIME: <what> <seconds>                      where the time goes
#   KERNEL-TESTS: PASS | KERNEL-TESTS: FAIL <case> ...   the verdict, last
PATH=/usr/sbin:/usr/bin:/sbin:/bin
export PATH

if [ "${1:-}" != cases ]; then
    . /lib/vm-root.sh
    enter_root /share/vm-wine-init.sh
fi

# ---- stage 2: in the chroot ----------------------------------------------------------------------
S=/share
W=/tmp/kt
mkdir -p $W
cd $W || exit 1
export HOME=/root
export WINEPREFIX=/tmp/prefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export LANG=C.UTF-8
# pass, fail, the waits bounded by the deadline, udevd.
. "$S/vm-case.sh"
xfailed=0
KB_PID=""
KB_NODE=""
CLI_STATUS=0
CLI_TIME=0

# winebus_pids: the processes of user WB_UID (root unless set) in which Wine's HID bus driver
# (winebus) is loaded.
WB_UID=0
winebus_pids() {
    for wb_maps in $(grep -l winebus /proc/[0-9]*/maps 2>/dev/null); do
        wb_dir=${wb_maps%/maps}
        [ "$(stat -c %u "$wb_dir" 2>/dev/null)" = "$WB_UID" ] && echo "${wb_dir#/proc/}"
    done
}

# winebus_files: what the winebus processes of user WB_UID have open, one link target a line
# ("/dev/hidraw0", "socket:[1234]"). The polls below run often on the machine's one CPU, beside
# Wine: this takes a handful of processes, not one for every open file.
winebus_files() {
    for wb_pid in $(winebus_pids); do
        ls -l "/proc/$wb_pid/fd" 2>/dev/null
    done | sed -n 's/.* -> //p'
}

# winebus_holds FILE: winebus has FILE open.
winebus_holds() { winebus_files | grep -q -x -F -e "$1"; }

# hid_bus_up: winebus listens for devices, through udevd (a socket for device events:
# NETLINK_KOBJECT_UEVENT, protocol 15 in /proc/net/netlink) or, without udevd, an inotify watch.
hid_bus_up() {
    winebus_files | awk 'NR == FNR { if ($2 == 15) uevent["socket:[" $NF "]"] = 1; next }
        ($0 in uevent) || (udevd == "" && $0 == "anon_inode:inotify") { found = 1 }
        END { exit !found }' udevd="$UDEVD" /proc/net/netlink -
}

# bus_state: why hid_bus_up fails.
bus_state() {
    if [ -z "$(winebus_pids)" ]; then
        echo "no Wine process of uid $WB_UID has winebus loaded"
    else
        echo "winebus (process $(winebus_pids | tr '\n' ' ')) has no socket for device events open"
    fi
}

# server_ready: the wineserver takes connections: it works in its server folder, where its socket
# is (the folder's place differs between Wine's builds).
server_ready() {
    for sr_comm in /proc/[0-9]*/comm; do
        case $(cat "$sr_comm" 2>/dev/null) in wineserver*) ;; *) continue ;; esac
        [ -S "${sr_comm%/comm}/cwd/socket" ] && return 0
    done
    return 1
}

# xfail CASE DETAIL: a case that fails because of Wine, not of the program; shown with its trace.
xfail() {
    xfailed=$((xfailed + 1))
    echo "KT-RESULT: XFAIL $1${2:+ - $2}"
    show_logs
}

show_logs() { show_files "$W/cli.out" "$W/window.out" "$W/kb.log" "$W/kb.summary" ${VERBOSE:+"$W/udev.log" "$W/wine.log"}; }

finish() {
    timeout 60 wineserver -k >/dev/null 2>&1
    cp "$W"/*.log "$W"/*.out "$W"/kb.summary /out/ 2>/dev/null
    stop_udevd
    verdict "$xfailed"
    exit 0
}

# start_keyboard, stop_keyboard and kb: the USB keyboard. It stays away 1.5 s each time it
# leaves or re-enumerates, as a real keyboard takes a moment to restart: Wine's winebus loses a
# device that arrives while the removal of the one before is still being handled (its bus
# relations then leave the new device out), which a real restart never provokes.
KB_PROGRAM=$S/bin/kestrune-usb-keyboard
KB_OPTIONS="--gap 1500"
. "$S/vm-keyboard.sh"

# cli ARGS: kestrune.exe under Wine, from the firmware folder, with a 600-second limit (its own
# --timeout bounds the waits of a flash).
cli() {
    t0=$(now)
    (cd "$S/fw" && timeout "$(limit 600)" wine "$S/win/kestrune.exe" "$@") >"$W/cli.out" 2>&1
    CLI_STATUS=$?
    CLI_TIME=$(since "$t0")
}

out_has() { tr -d '\r' <"$W/cli.out" | grep -q -i -E -e "$1"; }
# window_has REGEX: the same for the window's self-test report.
window_has() { tr -d '\r' <"$W/window.out" | grep -q -i -E -e "$1"; }

flash_matches() {
    size=$(wc -c <"$S/fw/$1.expect")
    cmp -n "$size" "$W/flash.out" "$S/fw/$1.expect" 4608 0 >/dev/null 2>&1
}

# wait_listed PID: Wine has made the keyboard's HID device: winebus has opened the hidraw node
# (it follows udev), then Wine's plug-and-play has made the HID device that kestrune.exe list
# shows. LISTED says how long that took; NOT_LISTED, where it stopped.
wait_listed() {
    wl_start=$(now)
    if ! wait_for 180 winebus_holds "/dev/$KB_NODE"; then
        NOT_LISTED="winebus did not open /dev/$KB_NODE within $(since "$wl_start") s"
        return 1
    fi
    wl_opened=$(since "$wl_start")
    wl_end=$(until_in 240)
    wl_lists=0
    while :; do
        wl_lists=$((wl_lists + 1))
        cli list
        if out_has "0x2E5B:0x$1"; then
            LISTED="opened by winebus after $wl_opened s, listed after $(since "$wl_start") s"
            return 0
        fi
        before "$wl_end" || break
        sleep 0.5
    done
    NOT_LISTED="winebus opened /dev/$KB_NODE after $wl_opened s, yet kestrune.exe list did not show 0x2E5B:0x$1 in $wl_lists runs over $(since "$wl_start") s (last status $CLI_STATUS)"
    return 1
}

# ---- Wine and udev ------------------------------------------------------------------------------
begin
cp -a "$S/prefix" "$WINEPREFIX"
took prefix-copy

# winebus follows devices through udev: without the daemon, its fallback loses a node that is
# made and then changed (the keyboard back in firmware-upload mode).
start_udevd

# kt.verbose: udev's events and Wine's HID and plug-and-play traces (of the services wineboot
# starts) are shown with every case.
if [ -n "$VERBOSE" ]; then
    "$S/udev/bin/udevadm" monitor --kernel --udev --subsystem-match=hidraw >"$W/udev.log" 2>&1 &
fi
begin
wineserver -p
if ! wait_for 120 server_ready; then
    fail wineserver "wineserver -p made no socket within $(since "$CASE_START") s"
    finish
fi
took wineserver
# wineboot ends once services.exe has started every service that starts by itself, winebus among
# them, one after the other. services.exe gives each one the prefix's ServicesPipeTimeout to
# report, and a service that misses it stays stopped: its messages ("failed to start") go to
# wine.log.
begin
if ! WINEDEBUG=-all,${VERBOSE:++hid,+plugplay,+setupapi,}err+service,fixme+service \
    timeout "$(limit 900)" wine wineboot >"$W/wine.log" 2>&1; then
    fail wineboot "wine wineboot failed or did not end within $(since "$CASE_START") s: $(tail -n 3 "$W/wine.log" | tr '\n' ' ')"
    finish
fi
took wineboot
# winebus started its hidraw bus: no keyboard can be listed before.
begin
if ! wait_for 300 hid_bus_up; then
    why=$(bus_state)
    state=$(timeout "$(limit 120)" wine sc query winebus 2>&1 | tr -d '\r' | sed -n 's/^ *STATE *: *//p')
    starts=$(grep -i 'failed to start' "$W/wine.log" | tr -d '\r' | head -n 3 | tr '\n' ' ')
    fail wine-hid-bus "Wine's HID bus was not up $(since "$CASE_START") s after wineboot: $why; winebus ${state:-state unknown}${starts:+; $starts}"
    finish
fi
took hid-bus

# ---- the command-line tool ----------------------------------------------------------------------

case_no_keyboard() {
    begin
    cli info
    if [ "$CLI_STATUS" -ne 3 ]; then
        fail no-keyboard "kestrune.exe info without a keyboard: status $CLI_STATUS, expected 3"
    else
        pass no-keyboard "info exits 3 after ${CLI_TIME} s"
    fi
    took no-keyboard
}

case_list_info() {
    begin
    start_keyboard --firmware V1.7 || { fail list "no keyboard"; return; }
    if ! wait_listed 0011; then
        fail list "$NOT_LISTED"
        stop_keyboard
        return
    fi
    if [ "$CLI_STATUS" -ne 0 ] || ! out_has 'hid#vid_2e5b&pid_0011'; then
        fail list "status $CLI_STATUS, or no HID path with VID_2E5B&PID_0011"
    else
        listed=$(tr -d '\r' <"$W/cli.out" | grep -i '2E5B' | head -n 1 | sed 's/  */ /g')
        cli list --json
        if [ "$CLI_STATUS" -ne 0 ] || ! out_has '"vendorId": *11867' || ! out_has '"productId": *17' ||
            ! out_has '"featureReportLength": *132' || ! out_has '"opened": *"read-write"'; then
            fail list "list --json: status $CLI_STATUS, or vendorId 11867, productId 17, featureReportLength 132, read-write missing"
        else
            pass list "$LISTED (text and JSON, 132-byte report, opened read-write): $listed"
        fi
    fi
    took list
    begin
    cli info
    if [ "$CLI_STATUS" -ne 0 ] || ! out_has "11867" || ! out_has "\b17\b" || ! out_has "V1.7"; then
        fail info "status $CLI_STATUS, or vendor 11867, product 17 or version V1.7 missing"
    else
        cli info --json
        if [ "$CLI_STATUS" -ne 0 ] || ! out_has '"vendorId": *11867' || ! out_has '"productId": *17' ||
            ! out_has '"firmwareVersion": *"V1.7"'; then
            fail info "info --json: status $CLI_STATUS or fields missing"
        else
            pass info "vendor 11867, product 17, V1.7 (text and JSON)"
        fi
    fi
    stop_keyboard
    took info
}

# flash_case NAME FILE VERSION: a fresh keyboard with firmware VERSION takes FILE.
flash_case() {
    name=$1
    file=$2
    version=$3
    begin
    start_keyboard --firmware "$version" || { fail "$name" "no keyboard"; return; }
    wait_listed 0011 || { fail "$name" "$NOT_LISTED"; stop_keyboard; return; }
    cli flash "$file" --yes --timeout 180 --json
    stop_keyboard
    if [ "$CLI_STATUS" -ne 0 ]; then
        fail "$name" "kestrune.exe flash $file: status $CLI_STATUS after ${CLI_TIME} s"
    elif ! out_has '"result": *"success"' || ! out_has '"newFirmwareVersion": *"V2.0"'; then
        fail "$name" "status 0 without the result \"success\" and the new version V2.0 read back"
    elif ! flash_matches "$file"; then
        fail "$name" "the keyboard's flash from 0x1200 differs from $file"
    elif [ "$(kb finish)" != 1 ]; then
        fail "$name" "the keyboard did not take the finish command"
    else
        pass "$name" "$version ($LISTED): $(kb blocks) blocks, $(kb mode_switches) switch, flash matches $file byte for byte, back as V2.0, ${CLI_TIME} s"
    fi
    took "$name"
}

# fault_case NAME EXPECTED-STATUS DETAIL-REGEX [kestrune-usb-keyboard options]: an upload that must fail.
fault_case() {
    name=$1
    expected=$2
    words=$3
    shift 3
    begin
    start_keyboard --firmware V1.7 "$@" || { fail "$name" "no keyboard"; return; }
    wait_listed 0011 || { fail "$name" "$NOT_LISTED"; stop_keyboard; return; }
    cli flash small.bin --yes --timeout 180
    stop_keyboard
    if [ "$CLI_STATUS" -ne "$expected" ]; then
        fail "$name" "status $CLI_STATUS after ${CLI_TIME} s, expected $expected"
    elif ! out_has "$words"; then
        fail "$name" "status $expected without a word of the failure"
    elif [ "$(kb finish)" != 0 ]; then
        fail "$name" "the keyboard was sent the finish command after the failure"
    else
        pass "$name" "status $expected after ${CLI_TIME} s, the keyboard took $(kb blocks) blocks: $(tr -d '\r' <"$W/cli.out" | grep -i -E "$words" | head -n 1)"
    fi
    took "$name"
}

# Two keyboards, which Wine shows without a port: told apart by the serial number their HID
# devices report, --device names the second, and only that one is updated.
case_device_by_serial() {
    begin
    start_keyboard --firmware V1.7 --controller dummy_udc.0 || { fail device-by-serial "no keyboard"; return; }
    rm -f "$W/ready2"
    "$KB_PROGRAM" $KB_OPTIONS --firmware V1.7 --name kb2 --serial KT0002 --controller dummy_udc.1 \
        --ready-file "$W/ready2" --flash-out "$W/flash2.out" >"$W/kb2.summary" 2>"$W/kb2.log" &
    kb2=$!
    both_listed() { cli list; out_has KT0001 && out_has KT0002; }
    if wait_for 240 both_listed; then
        cli flash small.bin --device KT0002 --yes --timeout 180
    else
        CLI_STATUS=-1
    fi
    stop_keyboard
    kill -TERM "$kb2" 2>/dev/null
    wait "$kb2"
    first_blocks=$(kb blocks)
    second_blocks=$(sed -n 's/^blocks=//p' "$W/kb2.summary")
    size=$(wc -c <"$S/fw/small.bin.expect")
    if [ "$CLI_STATUS" -eq -1 ]; then
        fail device-by-serial "kestrune.exe list did not show both serial numbers KT0001 and KT0002 in $(since "$CASE_START") s"
    elif [ "$CLI_STATUS" -ne 0 ]; then
        fail device-by-serial "kestrune.exe flash --device KT0002: status $CLI_STATUS after ${CLI_TIME} s"
    elif ! cmp -n "$size" "$W/flash2.out" "$S/fw/small.bin.expect" 4608 0 >/dev/null 2>&1; then
        fail device-by-serial "the second keyboard's flash differs from small.bin"
    elif [ "${first_blocks:-0}" != 0 ]; then
        fail device-by-serial "the first keyboard, not named, took $first_blocks blocks"
    else
        pass device-by-serial "listed by serial, KT0002 alone updated ($second_blocks blocks) in ${CLI_TIME} s"
    fi
    took device-by-serial
}

# A user who may not open the keyboard's node: winebus, running as that user, cannot open the
# hidraw node, so Wine has no HID device for it, and kestrune.exe must end with status 3.
case_no_permission() {
    begin
    start_keyboard --firmware V1.7 || { fail no-permission "no keyboard"; return; }
    mkdir -p /tmp/user
    cp -a "$S/prefix" /tmp/user/prefix
    chown -R 1000:1000 /tmp/user
    # That user's Wine, up to its HID bus, before the question: asked earlier, the answer "no
    # keyboard" would come from a bus that had not looked yet. Its wineserver stays (-p) after
    # wineboot, and with it the services.
    HOME=/tmp/user WINEPREFIX=/tmp/user/prefix "$S/bin/vm_run" --uid 1000 -- wineserver -p >/dev/null 2>&1
    (HOME=/tmp/user WINEPREFIX=/tmp/user/prefix timeout "$(limit 900)" \
        "$S/bin/vm_run" --uid 1000 -- wine wineboot) >"$W/wine-user.log" 2>&1
    WB_UID=1000
    wait_for 300 hid_bus_up
    bus=$?
    [ "$bus" -eq 0 ] || why=$(bus_state)
    WB_UID=0
    if [ "$bus" -eq 0 ]; then
        (cd "$S/fw" && HOME=/tmp/user WINEPREFIX=/tmp/user/prefix timeout "$(limit 600)" \
            "$S/bin/vm_run" --uid 1000 -- wine "$S/win/kestrune.exe" info) >"$W/cli.out" 2>&1
        CLI_STATUS=$?
    fi
    HOME=/tmp/user WINEPREFIX=/tmp/user/prefix timeout 60 "$S/bin/vm_run" --uid 1000 -- wineserver -k >/dev/null 2>&1
    stop_keyboard
    if [ "$bus" -ne 0 ]; then
        fail no-permission "the HID bus of uid 1000's Wine was not up $(since "$CASE_START") s after the keyboard came: $why"
    elif [ "$CLI_STATUS" -ne 3 ]; then
        fail no-permission "kestrune.exe info as uid 1000 on a root-only node: status $CLI_STATUS, expected 3"
    elif [ "$(kb set_reports)" != 0 ] || [ "$(kb get_reports)" != 0 ]; then
        fail no-permission "status 3, yet the keyboard got reports"
    else
        pass no-permission "status 3, no report sent: $(tr -d '\r' <"$W/cli.out" | head -n 1)"
    fi
    took no-permission
}

# ---- the window ---------------------------------------------------------------------------------

# window_run FILE: starts kestrune-loader.exe --self-test FILE in the background (its report:
# window.out).
window_run() {
    rm -f "$W/cli.out"
    : >"$W/window.out"
    (cd "$S/fw" && exec timeout "$(limit 600)" wine "$S/win/kestrune-loader.exe" --self-test "$1") >"$W/window.out" 2>&1 &
    WINDOW_PID=$!
}

# window_wait REGEX SECONDS: the self-test's report matches REGEX (or the window ended).
window_wait() {
    ww_end=$(until_in "$2")
    while ! window_has "$1"; do
        kill -0 "$WINDOW_PID" 2>/dev/null || { window_has "$1"; return; }
        before "$ww_end" || return 1
        sleep 0.2
    done
}

# window_end: closes the window (WM_CLOSE, as its close box does) and sets CLI_STATUS.
window_end() {
    if kill -0 "$WINDOW_PID" 2>/dev/null; then
        timeout "$(limit 120)" wine taskkill /im kestrune-loader.exe >/dev/null 2>&1
    fi
    wait "$WINDOW_PID"
    CLI_STATUS=$?
}

window_verdict() {
    name=$1
    file=$2
    status=$(tr -d '\r' <"$W/window.out" | sed -n 's/.*status "\(Firmware updated\.\)".*/\1/p' | tail -n 1)
    row=$(tr -d '\r' <"$W/window.out" | sed -n 's/.*device list: //p' | tail -n 1)
    if [ "$CLI_STATUS" -ne 0 ] || ! window_has 'PASS:'; then
        fail "$name" "kestrune-loader.exe --self-test: exit $CLI_STATUS, no PASS"
    elif ! flash_matches "$file"; then
        fail "$name" "the keyboard's flash from 0x1200 differs from $file"
    elif [ -z "$status" ] || ! echo "$row" | grep -q "V2.0"; then
        fail "$name" "status bar \"$status\", list row \"$row\""
    else
        pass "$name" "$(kb blocks) blocks, flash matches $file; status bar \"$status\", list row \"$row\"${3:+; $3}"
    fi
}

case_window_upload() {
    begin
    start_keyboard --firmware V1.0 || { fail window-upload "no keyboard"; return; }
    wait_listed 0011 || { fail window-upload "$NOT_LISTED"; stop_keyboard; return; }
    window_run small.hex
    # The self-test gives its own verdict within 300 s (180 s for the first scan, 120 s for the
    # upload).
    window_wait '(PASS|FAIL):' 400
    window_end
    stop_keyboard
    window_verdict window-upload small.hex
    mv "$W/window.out" "$W/window-upload.out"
    took window-upload
}

# The window started with no keyboard finds it once it is plugged in, through the device
# notifications Wine sends (WM_DEVICECHANGE), and then uploads to it.
case_window_plug_in() {
    begin
    rm -f "$W/flash.out" "$W/kb.summary" "$W/kb.log"
    window_run small.bin
    if ! window_wait 'status "Device not Found"' 300; then
        window_end
        fail window-plug-in "the window did not report the missing keyboard (exit $CLI_STATUS)"
        mv "$W/window.out" "$W/window-plug-in.out"
        return
    fi
    start_keyboard --firmware V1.7 || { window_end; fail window-plug-in "no keyboard"; return; }
    plugged=$(now)
    # The window rescans at once on WM_DEVICECHANGE; without the notification it never does. Wine
    # sends it once its plug-and-play has made the HID device, after winebus has opened the node.
    if ! wait_for 180 winebus_holds "/dev/$KB_NODE"; then
        window_end
        stop_keyboard
        fail window-plug-in "winebus did not open /dev/$KB_NODE within $(since "$plugged") s"
    elif window_wait 'status "Device found' 120; then
        seen="found $(since "$plugged") s after the keyboard was plugged in"
        window_wait '(PASS|FAIL):' 300
        window_end
        stop_keyboard
        window_verdict window-plug-in small.bin "$seen"
    elif window_has 'FAIL:'; then
        window_end
        stop_keyboard
        fail window-plug-in "the self-test gave up before the window found the keyboard: $(tr -d '\r' <"$W/window.out" | grep 'FAIL:' | head -n 1)"
    else
        window_end
        stop_keyboard
        xfail window-plug-in "Wine sent the window no WM_DEVICECHANGE for the keyboard plugged in after the start (120 s after winebus opened it)"
    fi
    mv "$W/window.out" "$W/window-plug-in.out"
    took window-plug-in
}

# kt.cases=a,b on the kernel command line: only those cases (run-vm-tests.sh --machine wine --cases).
only=$(tr ' ' '\n' </proc/cmdline | sed -n 's/^kt\.cases=//p' | tr ',' ' ')
run() {
    if [ -n "$only" ] && ! echo " $only " | grep -q " $1 "; then return; fi
    shift
    "$@"
}
echo "KT: cases start at $(now) s"
run no-keyboard case_no_keyboard
run list-info case_list_info
run flash-hex-old flash_case flash-hex-old small.hex V1.0
run flash-bin-new flash_case flash-bin-new small.bin V1.7
run unplug-mid-upload fault_case unplug-mid-upload 1 fail --leave-after-block 5
run refused-block fault_case refused-block 1 "fail|refus" --refuse-block 3
run device-by-serial case_device_by_serial
run no-permission case_no_permission
run window-upload case_window_upload
run window-plug-in case_window_plug_in
echo "KT: cases end at $(now) s"
finish
