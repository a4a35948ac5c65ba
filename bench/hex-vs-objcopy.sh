#!/usr/bin/env bash
# Whole-process time of `kestrune image` on a 93 KiB HEX file against `objcopy -I ihex -O binary`
# on the same file: PAIRS interleaved pairs, each side timed by hyperfine (median wall time of RUNS
# runs, and their mean CPU time, user + system); prints the median of the per-pair ratios
# kestrune/objcopy last. On a machine busy with other work the wall times wander; the CPU times
# much less.
#
#   bench/hex-vs-objcopy.sh [KESTRUNE] [--pairs N] [--runs N] [--on-disk]
#
# --on-disk keeps the files in a folder under build/ instead of /dev/shm.
#
# KESTRUNE defaults to build/cli/kestrune. Installs hyperfine and binutils when missing.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/.." && pwd)
kestrune=$repo/build/cli/kestrune
pairs=31
runs=20
on_disk=0
while (($#)); do
    case $1 in
    --pairs) pairs=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --on-disk) on_disk=1; shift ;;
    -h | --help) sed -n '2,10p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) kestrune=$1; shift ;;
    esac
done
[ -x "$kestrune" ] || { echo "hex-vs-objcopy.sh: no kestrune at $kestrune (build it first)" >&2; exit 2; }
"$repo/tools/ensure-packages.sh" hyperfine binutils

# Files in memory (/dev/shm) when there is such a folder: on a disk file system the time to replace
# the output file (ext4 flushes a truncated file on close) would swamp what is measured here.
if ((on_disk)); then
    mkdir -p "$repo/build"
    work=$(mktemp -d -p "$repo/build")
elif [ -d /dev/shm ] && [ -w /dev/shm ]; then
    work=$(mktemp -d -p /dev/shm)
else
    work=$(mktemp -d)
fi
trap 'rm -rf "$work"' EXIT
# 33,000 bytes of data from 0x1200, 16 bytes a record: a 93 KiB file (2,063 records) as objcopy
# writes it. The bytes are the same on every run.
LC_ALL=C awk 'BEGIN { srand(1); for (i = 0; i < 33000; ++i) printf "%c", int(rand() * 256) }' >"$work/fw.bin"
objcopy -I binary -O ihex --change-addresses 0x1200 "$work/fw.bin" "$work/fw.hex"
echo "HEX file: $(wc -c <"$work/fw.hex") bytes, $(wc -l <"$work/fw.hex") records, in $work; kestrune: $kestrune"

# Both programs must agree on the bytes before their times mean anything.
"$kestrune" image "$work/fw.hex" -o "$work/k.bin" >/dev/null
objcopy -I ihex -O binary "$work/fw.hex" "$work/o.bin"
# kestrune writes whole 128-byte blocks from 0x1200, objcopy the data alone from its first address.
cmp -s -n "$(wc -c <"$work/o.bin")" "$work/k.bin" "$work/o.bin" ||
    { echo "hex-vs-objcopy.sh: kestrune and objcopy wrote different bytes" >&2; exit 1; }

times_ms() {  # times_ms COMMAND: "WALL CPU" in ms, hyperfine's median wall and mean CPU time of RUNS runs
    hyperfine -N --style none --warmup 3 --runs "$runs" --export-csv "$work/t.csv" "$1" >/dev/null 2>&1
    awk -F, 'NR == 2 { printf "%.4f %.4f", $4 * 1000, ($5 + $6) * 1000 }' "$work/t.csv"
}
median() { sort -g | awk '{ r[NR] = $1 } END { printf "%.2f", (NR % 2) ? r[(NR + 1) / 2] : (r[NR / 2] + r[NR / 2 + 1]) / 2 }'; }
wall=()
cpu=()
for ((i = 1; i <= pairs; ++i)); do
    read -r kw kc <<<"$(times_ms "$kestrune image $work/fw.hex -o $work/k.bin")"
    read -r ow oc <<<"$(times_ms "objcopy -I ihex -O binary $work/fw.hex $work/o.bin")"
    wall+=("$(awk -v k="$kw" -v o="$ow" 'BEGIN { printf "%.4f", k / o }')")
    cpu+=("$(awk -v k="$kc" -v o="$oc" 'BEGIN { printf "%.4f", k / o }')")
    printf 'pair %2d: kestrune %.3f ms (CPU %.3f), objcopy %.3f ms (CPU %.3f): ratio %.2f (CPU %.2f)\n' \
        "$i" "$kw" "$kc" "$ow" "$oc" "${wall[-1]}" "${cpu[-1]}"
done
echo "median ratio kestrune/objcopy over $pairs pairs: $(printf '%s\n' "${wall[@]}" | median) wall time," \
    "$(printf '%s\n' "${cpu[@]}" | median) CPU time (goal <= 0.50)"
