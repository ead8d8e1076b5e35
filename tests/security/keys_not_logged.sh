#!/usr/bin/env bash
# A whole session of the agent at trace level: pairing with the simulated
# box, a backup with encryption that the box starts over the control
# channel, and a restoration of it. Afterwards no log of the agent may hold
# the shared key, the data key or the file key, in hexadecimal (either
# case) or Base64, and the files that hold the shared key must be readable
# by their owner only.
#   keys_not_logged.sh BUILD_FOLDER ADDRESS
set -euo pipefail
build=$(realpath "$1")
box=$2
agent=$build/exes/zlv_service/zlv_service
boxsim=$build/tools/boxsim/boxsim
work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; for f in "$work"/*.log; do echo "== $f" >&2; tail -20 "$f" >&2; done; exit 1; }
waitfor() { # seconds, then a command that must succeed
  local limit=$1; shift
  for _ in $(seq 1 $((limit * 10))); do "$@" >/dev/null 2>&1 && return 0; sleep 0.1; done
  return 1
}

cryptkey=$(openssl rand -hex 16)
datakey=$(openssl rand -hex 32)
tree=$work/tree
mkdir -p "$tree/docs"
head -c 200000 /dev/urandom >"$tree/docs/data.bin"
printf 'some text\n' >"$tree/notes.txt"
python3 - "$tree" "$work/jobs.json" <<'PY'
import json, sys, time
tree, out = sys.argv[1], sys.argv[2]
job = {"id": 1, "name": "Keys", "type": "fsn", "use_crypto": True, "use_compression": True,
       "max_versions": 5, "created": int(time.time()), "paths": [tree + "/"],
       "schedule": {"every_hours": 24, "every_minutes": 0}}
json.dump({"jobs": [job]}, open(out, "w"))
PY

"$boxsim" --listen "$box" --cryptkey "$cryptkey" --datakey "$datakey" --store "$work/store" \
  --jobs "$work/jobs.json" --ctl "$work/box.ctl" >"$work/boxsim.log" 2>&1 &
pids+=($!)
waitfor 20 grep -q "boxsim ready" "$work/boxsim.log" || fail "the simulator did not start"
ctl() { "$boxsim" ctl --ctl "$work/box.ctl" "$@"; }

export ZLV_COMMON_APPDATA=$work/agent
data=$ZLV_COMMON_APPDATA/Zelvo
mkdir -p "$ZLV_COMMON_APPDATA"
"$agent" --register "$box" --foreground --log-level trace >"$work/register.log" 2>&1 ||
  fail "pairing failed"
for file in "$data/zlv.ini" "$data/zlv.db"; do
  [ "$(stat -c %a "$file")" = 600 ] || fail "$file is $(stat -c %a "$file"), not 600"
done

"$agent" --foreground --log-level trace >"$work/agent.log" 2>&1 &
agent_pid=$!
pids+=("$agent_pid")
ctl wait-connected 60 >"$work/ctl.log" 2>&1 || fail "the agent did not reach the control channel"
ctl launch-action backup 1 >>"$work/ctl.log" 2>&1 || fail "the box could not start the backup"
ended() { [ "$(sqlite3 "$data/zlv.db" "SELECT COUNT(*) FROM backup WHERE last_time IS NOT NULL")" -gt 0 ]; }
waitfor 120 ended || fail "the backup did not end"
status=$(sqlite3 "$data/zlv.db" "SELECT status FROM backup ORDER BY id LIMIT 1")
[ "$status" -eq $((0x1001)) ] || fail "the backup ended with status $status"

restored=$work/restored
mkdir -p "$restored"
ctl prepare-restore op-keys --job 1 --target "$restored" >>"$work/ctl.log" 2>&1 ||
  fail "the box could not prepare the restoration"
ctl launch-action restore "$restored;op-keys" >>"$work/ctl.log" 2>&1 ||
  fail "the box could not start the restoration"
restored_all() { [ "$(ctl restore-results op-keys | wc -l)" -ge 2 ]; }
waitfor 120 restored_all || fail "the restoration did not end"
ctl restore-results op-keys | grep -q "^failed" && fail "a file was not restored"
cmp "$tree/docs/data.bin" "$restored$tree/docs/data.bin" || fail "the restored file differs"
kill -TERM "$agent_pid"
wait "$agent_pid" || true

for file in "$data"/zlv.db*; do
  [ "$(stat -c %a "$file")" = 600 ] || fail "$file is $(stat -c %a "$file"), not 600"
done
grep -q "^tt \[" "$work/agent.log" || fail "the agent did not log at trace level"

# Every written form of every key; the file key is derived from the shared
# key as the agent derives it.
python3 - "$cryptkey" "$datakey" >"$work/forms" <<'PY'
import base64, hashlib, sys
shared = bytes.fromhex(sys.argv[1])
keys = {"shared": shared, "data": bytes.fromhex(sys.argv[2]),
        "file": hashlib.pbkdf2_hmac("sha1", shared, shared, 20000, 32)}
for name, key in keys.items():
    b64 = base64.b64encode(key).decode()
    for form in {key.hex(), key.hex().upper(), b64, b64.rstrip("="),
                 base64.urlsafe_b64encode(key).decode().rstrip("=")}:
        print(name, form)
PY
# The search must find a key where it is meant to be.
grep -q -F "$cryptkey" "$data/zlv.ini" || fail "the shared key is not in zlv.ini as the search expects"
logs=$(find "$work" -maxdepth 1 -name '*.log' ! -name boxsim.log ! -name ctl.log; find "$data" -name '*.log*')
while read -r name form; do
  if grep -l -F -- "$form" $logs >/dev/null 2>&1; then
    fail "the $name key is in $(grep -l -F -- "$form" $logs | tr '\n' ' '): $(grep -h -F -- "$form" $logs | head -3)"
  fi
done <"$work/forms"
echo "no key in $(echo $logs | wc -w) log files of a paired, backed-up and restored agent"
