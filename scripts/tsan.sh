#!/usr/bin/env bash
# ThreadSanitizer run of the tests that exercise threads: the backup
# manager, the scheduler, the periodic tasks, the threading pipe, the Tessel
# client, the file operation manager, four backups running together
# against the simulator, and the volume traversal with the image job, whose
# reader thread digests and encodes blocks beside the caller. Too slow for
# every change's suite; run it by hand:
#   scripts/tsan.sh
# Builds in build-tsan. Each test stops at its first report; the run goes on
# with the next test and fails at the end if any test failed.
set -euo pipefail
cd "$(dirname "$0")/.."

tests=(
  "tests/backup_manager/backup_manager_test"
  "tests/scheduler/scheduler_test"
  "tests/periodic_task/periodic_task_test"
  "tests/kvn_common/kvn_common_tests --gtest_filter=ThreadingPipe.*"
  "tests/tessel_client/tessel_client_test"
  "tests/file_operations/file_operations_tests"
  "tests/backup_e2e/backup_e2e_tests --gtest_filter=ParallelRuns.*:FilePreparerTest.*"
  "tests/kvn_snapshot/kvn_snapshot_tests"
  "tests/sysimg_e2e/sysimg_e2e_tests"
)
targets=""
for test in "${tests[@]}"; do
  binary=${test%% *}
  targets+=" ${binary##*/}"
done
KVN_BUILD_TARGETS="$targets" scripts/setup.sh build-tsan -DKVN_SANITIZE=thread -DKVN_BENCH=OFF

# Reports go to files: some tests capture their own standard error.
reports=$PWD/build-tsan/tsan-reports
rm -rf "$reports"
mkdir -p "$reports"
# die_after_fork=0: a child forked after threads goes on instead of dying.
# The tests start helper processes with posix_spawn (kvn_test::SpawnedProcess):
# QProcess starts them with a vfork-like clone whose child runs Qt's code
# through the sanitizer's wrappers on the parent thread's state, after which
# the sanitizer no longer sees that thread's locks.
# ignore_noninstrumented_modules=1: Qt, OpenSSL and glibc are not built with
# the sanitizer, so what their own code reads and writes (a queued call's
# event that one thread allocates inside Qt and another frees inside Qt) is
# ordered by locks it cannot see; only those accesses are left out, every
# access made by our code is still checked.
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:die_after_fork=0:ignore_noninstrumented_modules=1:log_path=$reports/report:suppressions=$PWD/tests/support/tsan.supp"
# The tests use fixed loopback addresses and ports: where a private network
# namespace is allowed, they run in one, so that the normal suite may run
# beside them.
isolate=()
if unshare -n true 2>/dev/null; then
  isolate=(unshare -n bash -c 'ip link set lo up && exec "$@"' isolated)
fi
failed=()
for test in "${tests[@]}"; do
  echo "== $test"
  rm -f "$reports"/report.*
  # shellcheck disable=SC2086
  if ! (cd build-tsan && "${isolate[@]}" ./$test); then
    echo "tsan: $test failed" >&2
    cat "$reports"/report.* >&2 2>/dev/null || true
    failed+=("${test%% *}")
  fi
done
if ((${#failed[@]})); then
  echo "tsan: failed: ${failed[*]}" >&2
  exit 1
fi
echo "tsan: clean"
