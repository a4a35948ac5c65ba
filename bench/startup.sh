#!/usr/bin/env bash
# Start-up time of `kestrune --version` (the whole process: loading, the C++ runtime's start, the
# argument parser, one line of output), for one build or against another: PAIRS interleaved
# rounds, each program timed by hyperfine in each round (median wall time and mean CPU time of
# RUNS runs); prints per program the medians over the rounds, and the machine's load average
# before and after; then, with valgrind, the instructions each runs in user space.
#
#   bench/startup.sh [KESTRUNE [OTHER-KESTRUNE]] [--pairs N] [--runs N]
#
# KESTRUNE defaults to build/cli/kestrune. Installs hyperfine when missing.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/.." && pwd)
programs=()
pairs=21
runs=30
while (($#)); do
    case $1 in
    --pairs) pairs=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    -h | --help) sed -n '2,9p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) programs+=("$1"); shift ;;
    esac
done
((${#programs[@]})) || programs=("$repo/build/cli/kestrune")
for program in "${programs[@]}"; do
    [ -x "$program" ] || { echo "startup.sh: no program at $program" >&2; exit 2; }
done
"$repo/tools/ensure-packages.sh" hyperfine >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
for ((round = 0; round < pairs; ++round)); do
    for i in "${!programs[@]}"; do
        hyperfine -N --style none --warmup 3 --runs "$runs" --export-csv "$work/t.csv" \
            "${programs[$i]} --version" >/dev/null 2>&1
        awk -F, 'NR == 2 { printf "%.4f\n", $4 * 1000 }' "$work/t.csv" >>"$work/wall-$i"
        awk -F, 'NR == 2 { printf "%.4f\n", ($5 + $6) * 1000 }' "$work/t.csv" >>"$work/cpu-$i"
    done
done
median() { sort -g | awk '{ r[NR] = $1 } END { printf "%.2f", (NR % 2) ? r[(NR + 1) / 2] : (r[NR / 2] + r[NR / 2 + 1]) / 2 }'; }
for i in "${!programs[@]}"; do
    echo "${programs[$i]} --version: wall $(median <"$work/wall-$i") ms, CPU (user + system) $(median <"$work/cpu-$i") ms"
done
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
# Instructions run in user space, which the machine's load does not change (valgrind, when there).
if command -v valgrind >/dev/null 2>&1; then
    for program in "${programs[@]}"; do
        echo "$program --version: $(valgrind --tool=callgrind --callgrind-out-file=/dev/null "$program" --version 2>&1 >/dev/null |
            sed -n 's/.*Collected : \([0-9]*\).*/\1/p') instructions (valgrind --tool=callgrind)"
    done
fi
