#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and AddressSanitizer, replays the
# kept regression inputs, then fuzzes each target for a bounded time.
#   fuzz/run.sh [total seconds]   the budget split evenly across the targets
#                                 (default 330, at least 10 s a target)
#   fuzz/run.sh long              10 minutes a target, for a person to start
set -euo pipefail
cd "$(dirname "$0")/.."
build=build-fuzz
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
ninja -C "$build" $(for f in fuzz/*_fuzz.cpp; do basename "$f" .cpp; done)

for src in fuzz/*_fuzz.cpp; do
  name=$(basename "$src" .cpp)
  corpus=fuzz/corpus/$name
  mkdir -p "$corpus"
  work=$(mktemp -d)
  echo "== $name: regression inputs, then ${seconds}s of fuzzing"
  # Regression inputs first: every kept crash must stay fixed.
  if [ -n "$(ls "$corpus")" ]; then
    "$build/fuzz/$name" -runs=0 "$corpus" >/dev/null 2>"$work/replay.log" \
      || { cat "$work/replay.log"; exit 1; }
  fi
  "$build/fuzz/$name" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 \
    -artifact_prefix="$work/" "$work" "$corpus" >"$work/fuzz.log" 2>&1 \
    || { tail -50 "$work/fuzz.log"; echo "crash inputs left in $work"; exit 1; }
  tail -1 "$work/fuzz.log"
  rm -rf "$work"
done
