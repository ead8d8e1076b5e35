#!/usr/bin/env bash
# Sets up and runs the agent's main job in the foreground, with a data
# folder of its own in a temporary directory. Stop it with Ctrl-C.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh build
data=${ZLV_COMMON_APPDATA:-$(mktemp -d /tmp/zelvo-agent-XXXXXX)}
echo "data folder: $data/Zelvo"
ZLV_COMMON_APPDATA=$data exec build/exes/zlv_service/zlv_service --foreground --log-level d "$@"
