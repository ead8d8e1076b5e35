#!/usr/bin/env bash
# Sets up and runs the whole test suite: a normal build, then the same tests
# under AddressSanitizer and UndefinedBehaviorSanitizer, then bounded fuzzing.
# Tests labelled "slow" (crash and fault runs that take minutes) are left to
# scripts/reliability.sh.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc)
# Seconds each phase took, printed at the end: the whole run has a time
# budget in CI.
phases=()
phase() { phases+=("$1: $((SECONDS - phase_start)) s"); phase_start=$SECONDS; }
phase_start=$SECONDS

scripts/setup.sh build
phase "build"
(cd build && ctest --output-on-failure -j "$jobs" --timeout 300 -LE slow) | tee build/ctest.log
phase "tests"

scripts/setup.sh build-asan -DKVN_SANITIZE=ON -DKVN_BENCH=OFF
phase "sanitizer build"
# OpenSSL's per-thread generators, freed when a thread ends, are reported
# when a TLS thread is still winding down at exit: suppressed by name.
(cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
  LSAN_OPTIONS="print_suppressions=0:suppressions=$PWD/../tests/support/lsan.supp" \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --output-on-failure -j "$jobs" --timeout 600 -LE slow) | tee build-asan/ctest.log
phase "sanitizer tests"

# Bounded fuzzing of the parsers and decoders that take input from the network.
fuzz/run.sh
phase "fuzzing"

# One summary line for both test runs (a failure has ended the script before).
total=$(sed -n 's/.*tests failed out of \([0-9]*\)$/\1/p' build/ctest.log build-asan/ctest.log \
  | awk '{ sum += $1 } END { print sum }')
printf '%s\n' "${phases[@]}" "total: ${SECONDS} s"
echo "tests: ${total} passed, 0 failed"
