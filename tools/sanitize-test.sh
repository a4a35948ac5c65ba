#!/usr/bin/env bash
# Builds every test with clang, AddressSanitizer and UndefinedBehaviorSanitizer, warnings as
# errors, into build-sanitize/ and runs them all (no display needed). Any sanitizer report fails
# the test it happens in; the output ends with ctest's summary.
#
#   tools/sanitize-test.sh [ctest options...]
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh
tools/ensure-packages.sh clang libclang-rt-14-dev

cmake -S . -B build-sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_CXX_COMPILER=clang++ \
    -DKESTRUNE_SANITIZE=ON -DKESTRUNE_WERROR=ON -DKESTRUNE_BUILD_BENCH=OFF >/dev/null
cmake --build build-sanitize -j"$(nproc)"

cd build-sanitize
# detect_leaks: every test program must free what it takes; halt_on_error: the first report
# fails the test.
export ASAN_OPTIONS=detect_leaks=1:halt_on_error=1:abort_on_error=0:strict_string_checks=1:detect_stack_use_after_return=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j"$(nproc)" -LE bench "$@"
