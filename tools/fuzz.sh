#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz with clang into build-fuzz/ and runs them.
#
#   tools/fuzz.sh smoke [RUNS]                  each target RUNS inputs (default 20000) from its
#                                               seed corpus; fails on the first crash (CI)
#   tools/fuzz.sh run SECONDS [-j N] [TARGET...] each target (default: all) for SECONDS, N at a time
#                                               (default 1); corpora grow in build-fuzz/corpus/
#
# Every target ends with one line: target, runs, crashes (inputs that failed are kept in
# build-fuzz/artifacts/TARGET/, the whole log in build-fuzz/logs/TARGET.log).
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
mode=${1:-}
shift || true
targets_all=(fuzz_firmware_image fuzz_product_id_table fuzz_number_text fuzz_report_descriptor fuzz_hid_uevent)

runs=20000
seconds=0
jobs=1
targets=()
case $mode in
smoke) [ $# -eq 0 ] || { runs=$1; shift; } ;;
run)
    [ $# -ge 1 ] || { sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//'; exit 2; }
    seconds=$1
    shift
    while (($#)); do
        case $1 in
        -j) jobs=$2; shift 2 ;;
        *) targets+=("$1"); shift ;;
        esac
    done
    ;;
*) sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//'; exit 2 ;;
esac
((${#targets[@]})) || targets=("${targets_all[@]}")

tools/ensure-packages.sh cmake ninja-build clang libclang-rt-14-dev
cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER=clang++ -DKESTRUNE_FUZZ=ON -DKESTRUNE_WERROR=ON \
    -DKESTRUNE_BUILD_APP=OFF -DKESTRUNE_BUILD_CLI=OFF -DKESTRUNE_BUILD_TESTS=OFF -DKESTRUNE_BUILD_BENCH=OFF >/dev/null
cmake --build build-fuzz -j"$(nproc)" --target "${targets[@]}"

out=$repo/build-fuzz
mkdir -p "$out/logs"
# The targets' scratch files; whatever a crashed run leaves there goes with it.
scratch_base=/dev/shm
[ -d "$scratch_base" ] && [ -w "$scratch_base" ] || scratch_base=${TMPDIR:-/tmp}
KESTRUNE_FUZZ_SCRATCH=$(mktemp -d -p "$scratch_base" kestrune-fuzz.XXXXXX)
export KESTRUNE_FUZZ_SCRATCH
trap 'rm -rf "$KESTRUNE_FUZZ_SCRATCH"' EXIT
# fuzz_x -> the seed folder tests/fuzz/corpus/x
seeds() { echo "$repo/tests/fuzz/corpus/${1#fuzz_}"; }

# run_one TARGET: one libFuzzer run; prints the summary line, returns its status.
run_one() {
    local t=$1 work log status
    log=$out/logs/$t.log
    mkdir -p "$out/artifacts/$t"
    local args=(-seed=1 -max_len=4096 -artifact_prefix="$out/artifacts/$t/" -print_final_stats=1)
    [ "$t" != fuzz_firmware_image ] || args+=(-dict="$repo/tests/fuzz/hex.dict")
    if [ "$mode" = smoke ]; then
        work=$(mktemp -d)
        args+=(-runs="$runs")
    else
        work=$out/corpus/${t#fuzz_}
        mkdir -p "$work"
        args+=(-max_total_time="$seconds")
    fi
    set +e
    "$out/tests/fuzz/$t" "${args[@]}" "$work" "$(seeds "$t")" >"$log" 2>&1
    status=$?
    set -e
    [ "$mode" != smoke ] || rm -rf "$work"
    local done crashes
    done=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    crashes=$(find "$out/artifacts/$t" -type f | wc -l)
    printf '%-24s runs %-10s crashes %s%s\n' "$t" "${done:-?}" "$crashes" \
        "$([ "$status" -eq 0 ] || echo " (status $status; see $log)")"
    [ "$status" -eq 0 ]
}

failed=0
if [ "$mode" = smoke ] || [ "$jobs" -le 1 ]; then
    for t in "${targets[@]}"; do run_one "$t" || failed=1; done
else
    # N at a time, in batches.
    for ((i = 0; i < ${#targets[@]}; i += jobs)); do
        pids=()
        for t in "${targets[@]:i:jobs}"; do
            run_one "$t" &
            pids+=($!)
        done
        for p in "${pids[@]}"; do wait "$p" || failed=1; done
    done
fi
exit "$failed"
