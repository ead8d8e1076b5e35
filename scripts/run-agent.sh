#!/usr/bin/env bash
# Sets up and runs the agent's main job against the box simulator: builds,
# starts a simulated box on 127.0.0.2, pairs a fresh agent with it, runs the
# box load test, then runs the agent in the foreground until Ctrl-C.
# Needs root (or CAP_NET_BIND_SERVICE) for the box's pairing page on port 443.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh build
box=${ZLV_BOX_ADDRESS:-127.0.0.2}
data=${ZLV_COMMON_APPDATA:-$(mktemp -d /tmp/zelvo-agent-XXXXXX)}
export ZLV_COMMON_APPDATA=$data
agent=build/exes/zlv_service/zlv_service

build/tools/boxsim/boxsim --listen "$box" > "$data/boxsim.log" 2>&1 &
box_pid=$!
trap 'kill "$box_pid" 2>/dev/null || true' EXIT
for _ in $(seq 1 100); do
  grep -q "boxsim ready" "$data/boxsim.log" 2>/dev/null && break
  sleep 0.1
done

echo "== data folder: $data/Zelvo; simulated box at $box (log: $data/boxsim.log)"
echo "== pairing with the box"
"$agent" --register "$box" --foreground
echo "== box load test (2 s)"
"$agent" --box-test-seconds 2
echo "== running the agent (Ctrl-C stops it)"
"$agent" --foreground --log-level d "$@"
