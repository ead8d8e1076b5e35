#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and AddressSanitizer, replays the
# kept regression inputs, then fuzzes each target for a bounded time.
#   fuzz/run.sh [total seconds]   the budget split evenly across the targets
#                                 (default 330, at least 10 s a target)
#   fuzz/run.sh long              10 minutes a target, for a person to start
# The targets run side by side, one per processor (FUZZ_JOBS to change):
# each still gets its whole share of the budget.
set -euo pipefail
cd "$(dirname "$0")/.."
self=$PWD/fuzz/run.sh
build=build-fuzz

# One target: its regression inputs, then its share of fuzzing. The output
# is printed in one piece once the target is done, so parallel runs do not
# interleave.
if [ "${1:-}" = --one ]; then
  name=$2 seconds=$3
  corpus=fuzz/corpus/$name
  mkdir -p "$corpus"
  work=$(mktemp -d)
  out=$work/out
  status=0
  echo "== $name: regression inputs, then ${seconds}s of fuzzing" >"$out"
  # Regression inputs first: every kept crash must stay fixed.
  if [ -n "$(ls "$corpus")" ] &&
    ! "$build/fuzz/$name" -runs=0 -artifact_prefix="$work/" "$corpus" >/dev/null \
      2>"$work/replay.log"; then
    cat "$work/replay.log" >>"$out"
    status=1
  # The per-input limit is wall time: generous, so that a loaded machine
  # does not turn a slow key derivation into a reported hang.
  elif ! "$build/fuzz/$name" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=60 \
    -artifact_prefix="$work/" "$work" "$corpus" >"$work/fuzz.log" 2>&1; then
    { tail -50 "$work/fuzz.log"; echo "crash inputs left in $work"; } >>"$out"
    status=1
  else
    tail -1 "$work/fuzz.log" >>"$out"
  fi
  cat "$out"
  [ "$status" -ne 0 ] || rm -rf "$work"
  exit "$status"
fi

source scripts/ccache_env.sh

[ -n "$(ls fuzz/*_fuzz.cpp 2>/dev/null)" ] || { echo "no fuzz targets"; exit 0; }
targets=$(ls fuzz/*_fuzz.cpp | wc -l)
case "${1:-330}" in
  long) seconds=600 ;;
  *[!0-9]* | '') echo "usage: fuzz/run.sh [total seconds | long]" >&2; exit 2 ;;
  *) seconds=$(( ${1:-330} / targets )); [ "$seconds" -ge 10 ] || seconds=10 ;;
esac

CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKVN_FUZZ=ON -DKVN_SANITIZE=ON -DKVN_TESTS=OFF -DKVN_BENCH=OFF >/dev/null
names=$(for f in fuzz/*_fuzz.cpp; do basename "$f" .cpp; done)
# shellcheck disable=SC2086
ninja -C "$build" $names

# xargs runs every target even when one fails, and fails if any did.
printf '%s\n' $names | xargs -P "${FUZZ_JOBS:-$(nproc)}" -I{} "$self" --one {} "$seconds"
