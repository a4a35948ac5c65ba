#!/usr/bin/env bash
# Wall time of `kestrune flash --all` on 1, 4 and 8 simulated keyboards at a real keyboard's pace
# (--simulate-realtime: every wait is real, each transfer takes --simulate-latency, 2 ms as at USB
# full speed), with a 32 KiB firmware file (256 blocks). ROUNDS interleaved rounds, each timing
# every count once; prints the median per count and its ratio to one keyboard, and the machine's
# load average before and after. The workers run side by side, so eight keyboards should take
# little longer than one.
#
#   bench/flash-all.sh [KESTRUNE] [--rounds N] [--latency MS]
#
# KESTRUNE defaults to build/cli/kestrune.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/.." && pwd)
program="$repo/build/cli/kestrune"
rounds=7
latency=2
while (($#)); do
    case $1 in
    --rounds) rounds=$2; shift 2 ;;
    --latency) latency=$2; shift 2 ;;
    -h | --help) sed -n '2,10p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) program=$1; shift ;;
    esac
done
[ -x "$program" ] || { echo "flash-all.sh: no program at $program" >&2; exit 2; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# 0x1200 bytes below the start address (not sent), then 256 blocks of 128 bytes.
head -c $((0x1200 + 256 * 128)) /dev/urandom >"$work/fw.bin"
counts=(1 4 8)
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
for ((round = 0; round < rounds; ++round)); do
    for n in "${counts[@]}"; do
        start=$(date +%s.%N)
        "$program" flash --all --yes --simulate-realtime --simulate-latency "$latency" \
            --simulate-count "$n" "$work/fw.bin" >"$work/out" 2>"$work/err" ||
            { echo "flash-all.sh: flash --all on $n keyboards failed:" >&2; cat "$work/err" >&2; exit 1; }
        end=$(date +%s.%N)
        awk -v s="$start" -v e="$end" 'BEGIN { printf "%.4f\n", e - s }' >>"$work/wall-$n"
    done
done
echo "load average after:  $(cut -d' ' -f1-3 /proc/loadavg)"
median() { sort -g "$1" | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
one=$(median "$work/wall-1")
printf "| Keyboards | Wall time (median of %d) | Against one |\n|---|---|---|\n" "$rounds"
for n in "${counts[@]}"; do
    m=$(median "$work/wall-$n")
    awk -v n="$n" -v m="$m" -v one="$one" 'BEGIN { printf "| %d | %.2f s | %.3f |\n", n, m, m / one }'
done
