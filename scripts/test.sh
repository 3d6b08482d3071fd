#!/usr/bin/env bash
# Sets everything up and runs the whole test suite under AddressSanitizer and
# UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh asan build-asan
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:halt_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
unset COLUMNS NO_COLOR
cd build-asan
ctest --output-on-failure -j "$(nproc)"
