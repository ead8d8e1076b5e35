#!/usr/bin/env bash
# Runs fuzz/run.sh on stand-in targets (shell scripts in place of the
# libFuzzer binaries, cmake and ninja that do nothing): the targets run side
# by side, yet a broken regression input or a crash in any of them must fail
# the whole run, name the target and leave its inputs, while the other
# targets still run and clean up after themselves.
set -euo pipefail
source_dir=$1
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
fail() { echo "FAILED: $*"; echo "--- output"; cat "$root/out"; exit 1; }

mkdir -p "$root/tree/fuzz/corpus/replay_fuzz" "$root/tree/scripts" "$root/tree/build-fuzz/fuzz" "$root/bin"
cp "$source_dir/fuzz/run.sh" "$root/tree/fuzz/"
cp "$source_dir/scripts/ccache_env.sh" "$root/tree/scripts/"
printf '#!/bin/sh\nexit 0\n' >"$root/bin/cmake"
cp "$root/bin/cmake" "$root/bin/ninja"
echo kept >"$root/tree/fuzz/corpus/replay_fuzz/kept-input"
# Each stand-in logs its arguments; "replay" fails on its kept inputs,
# "crash" fails while fuzzing, the others pass.
for name in good_fuzz other_fuzz replay_fuzz crash_fuzz; do
  touch "$root/tree/fuzz/$name.cpp"
  cat >"$root/tree/build-fuzz/fuzz/$name" <<STUB
#!/bin/sh
echo "\$*" >>"$root/calls.$name"
case "$name:\$*" in
  replay_fuzz:*-runs=0*) echo "kept input still crashes" >&2; exit 1 ;;
  crash_fuzz:*-max_total_time*) echo "deadly signal" >&2; exit 77 ;;
esac
echo "Done 5 runs in 1 second(s)"
STUB
done
chmod +x "$root/bin"/* "$root/tree/build-fuzz/fuzz"/*

export TMPDIR=$root/tmp
mkdir -p "$TMPDIR"
status=0
PATH=$root/bin:$PATH FUZZ_JOBS=2 "$root/tree/fuzz/run.sh" 40 >"$root/out" 2>&1 || status=$?
[ "$status" -ne 0 ] || fail "a failing target left the run successful"

# Every target ran, each with its share of the 40 s budget.
for name in good_fuzz other_fuzz replay_fuzz crash_fuzz; do
  grep -q "^== $name: regression inputs, then 10s of fuzzing$" "$root/out" || fail "$name not run"
done
grep -q -- "-max_total_time=10 " "$root/calls.good_fuzz" || fail "good_fuzz not fuzzed for 10 s"
grep -q -- "-runs=0" "$root/calls.replay_fuzz" || fail "kept inputs not replayed"
# A target whose kept input fails is not fuzzed; its report is shown.
! grep -q -- "-max_total_time" "$root/calls.replay_fuzz" || fail "replay_fuzz fuzzed after a failed replay"
grep -q "kept input still crashes" "$root/out" || fail "the replay report is not shown"
# The crash is shown with the folder that keeps its inputs, which stays.
grep -q "deadly signal" "$root/out" || fail "the crash report is not shown"
kept=$(sed -n 's/^crash inputs left in //p' "$root/out")
[ -n "$kept" ] && [ -d "$kept" ] || fail "no folder kept for the crash"
# The passing targets leave nothing behind: only the two failures' folders.
left=$(find "$TMPDIR" -mindepth 1 -maxdepth 1 | wc -l)
[ "$left" -eq 2 ] || fail "$left temporary folders left, expected 2"
# A budget that is not a number is refused before anything runs.
PATH=$root/bin:$PATH "$root/tree/fuzz/run.sh" soon >"$root/out" 2>&1 && fail "bad budget accepted"
grep -q "usage:" "$root/out" || fail "no usage for a bad budget"
echo "passed"
