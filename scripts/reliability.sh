#!/usr/bin/env bash
# Sets up and runs the tests too slow for every change: the crash, fault and
# long-running reliability tests (CTest label "slow").
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh build
(cd build && ctest --output-on-failure -j "$(nproc)" --timeout 1800 -L slow) | tee build/ctest-slow.log
