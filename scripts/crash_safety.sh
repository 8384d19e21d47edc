#!/usr/bin/env bash
# Crash safety of the inbox and the snapshot, outside the test suite (it takes minutes).
#
#   bash scripts/crash_safety.sh [rounds] [build folder]      # defaults: 100, build/ci
#
# Part 1, kill -9: each round starts the app headless, runs hook processes that each write one
# event (a to-do item with its own ID and title) before, during and after the app's start, and
# kills the app with SIGKILL at a random moment. After each kill snapshot-v1.json must be valid
# JSON and hold at least the tasks it held after the previous kill (never reset). At the end
# one clean start drains what is left: every event must be in the snapshot exactly once, with
# its own title, the inbox empty, and no envelope ID recorded twice.
#
# Part 2: 200 hook processes write at the same moment while the app runs; every one must exit
# 0 and all 200 tasks and their approvals must arrive.
#
# Everything runs in a scratch HOME with a private network namespace (nothing listens outside).
set -euo pipefail
rounds="${1:-100}"
build="${2:-build/ci}"
cd "$(dirname "$0")/.."
exe="$(realpath "$build/bin/vigilorb-companion")"
[ -x "$exe" ] || { echo "no $exe; build the vigilorb-companion and vigilorb_app targets first" >&2; exit 2; }

if [ "${VIGILORB_PRIVATE_NETWORK:-}" != 1 ]; then
  export VIGILORB_PRIVATE_NETWORK=1
  exec unshare --net --fork --kill-child -- bash "$0" "$@"
fi
ip link set lo up 2>/dev/null || true

scratch="$(mktemp -d)"
app_pid=
cleanup() {
  [ -n "$app_pid" ] && kill -9 "$app_pid" 2>/dev/null || true
  rm -rf "$scratch"
}
trap cleanup EXIT
unset DISPLAY WAYLAND_DISPLAY DBUS_SESSION_BUS_ADDRESS CODEX_HOME
export HOME="$scratch/home" XDG_DATA_HOME="$scratch/data" XDG_CONFIG_HOME="$scratch/config" \
       XDG_RUNTIME_DIR="$scratch/run"
mkdir -p "$HOME" "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
data="$XDG_DATA_HOME/VigilorbCompanion"
snapshot="$data/snapshot-v1.json"
inbox="$data/Profiles/claude/work/inbox"

# Prints the number of tasks in the snapshot; fails when the file is not a snapshot.
count_tasks() {
  python3 - "$snapshot" <<'PY'
import json, sys
try:
    with open(sys.argv[1], "rb") as f:
        s = json.load(f)
except FileNotFoundError:
    print(0); sys.exit(0)
if not isinstance(s, dict) or not isinstance(s.get("tasksByID"), dict):
    sys.exit("not a snapshot")
print(len(s["tasksByID"]))
PY
}

hook() {  # session, title, event
  printf '{"session_id":"%s","hook_event_name":"%s","task_id":"1","task_subject":"%s"}' "$1" "${3:-TaskCreated}" "$2" |
    "$exe" --claude-hook work
}

ms() { printf '%d.%03d' $(($1 / 1000)) $(($1 % 1000)); }
seconds() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b - a }'; }

start_app() {
  "$exe" >/dev/null 2>"$scratch/app.err" &
  app_pid=$!
}

# ---- part 1: kill -9 at random moments --------------------------------------------------
per_round=12
events=0 hook_failures=0 kills=0 previous=0 resets=0 invalid=0
started=$(date +%s.%N)
for ((r = 1; r <= rounds; r++)); do
  writers=()
  for ((k = 1; k <= per_round; k++)); do
    # Spread over the app's start and run: a third before it, the rest while it runs.
    ( sleep "$(ms $((RANDOM % 600)))"; hook "r$r-e$k" "round $r event $k" ) &
    writers+=($!)
    events=$((events + 1))
  done
  sleep "$(ms $((RANDOM % 200)))"
  start_app
  sleep "$(ms $((RANDOM % 900 + 50)))"
  kill -9 "$app_pid" 2>/dev/null || true
  wait "$app_pid" 2>/dev/null || true
  app_pid=
  kills=$((kills + 1))
  for w in "${writers[@]}"; do wait "$w" || hook_failures=$((hook_failures + 1)); done
  if ! now=$(count_tasks); then
    invalid=$((invalid + 1)); echo "round $r: snapshot is not valid JSON" >&2; now=$previous
  elif [ "$now" -lt "$previous" ]; then
    resets=$((resets + 1)); echo "round $r: snapshot went from $previous to $now tasks" >&2
  fi
  previous=$now
done
ended=$(date +%s.%N)

# One clean start takes up what the kills left in the inbox.
start_app
for ((i = 0; i < 1200; i++)); do
  left=$(find "$inbox" -maxdepth 1 -name '*.json' | wc -l)
  [ "$left" -eq 0 ] && [ "$(count_tasks)" -ge "$events" ] && break
  sleep 0.1
done
kill -TERM "$app_pid"; wait "$app_pid" && status=0 || status=$?; app_pid=
leftover_tmp=$(find "$inbox" "$data" -maxdepth 1 -name '.*.tmp' | wc -l)

check=$(python3 - "$snapshot" "$rounds" "$per_round" <<'PY'
import collections, json, sys
s = json.load(open(sys.argv[1], "rb"))
rounds, per_round = int(sys.argv[2]), int(sys.argv[3])
tasks = s["tasksByID"]
expected = {f"claude:work:r{r}-e{k}/1": f"round {r} event {k}" for r in range(1, rounds + 1) for k in range(1, per_round + 1)}
missing = [key for key in expected if key not in tasks]
wrong = [key for key, title in expected.items() if key in tasks and tasks[key]["title"] != title]
extra = [key for key in tasks if key not in expected]
ids = collections.Counter(s.get("processedEventIDs", []))
doubled = [i for i, n in ids.items() if n > 1]
print(f"{len(expected)} {len(missing)} {len(wrong)} {len(extra)} {len(doubled)}")
PY
)
read -r expected missing wrong extra doubled <<<"$check"
left=$(find "$inbox" -maxdepth 1 -name '*.json' | wc -l)
printf 'kill -9: %d rounds, %d events by %d hook runs (%d failed), %d kills in %s s\n' \
  "$rounds" "$events" "$events" "$hook_failures" "$kills" "$(seconds "$started" "$ended")"
printf '  after each kill: invalid snapshot %d, reset %d\n' "$invalid" "$resets"
printf '  after the clean start (exit %d): expected %d, missing %d, wrong title %d, unknown %d, envelope IDs recorded twice %d, files left %d, temporaries left %d\n' \
  "$status" "$expected" "$missing" "$wrong" "$extra" "$doubled" "$left" "$leftover_tmp"
failed=$((hook_failures + invalid + resets + missing + wrong + extra + doubled + left + status))

# ---- part 2: 200 concurrent writers --------------------------------------------------------
rm -rf "$data"
start_app
for ((i = 0; i < 600; i++)); do [ -S "$XDG_RUNTIME_DIR/VigilorbCompanion/control.sock" ] && break; sleep 0.05; done
t0=$(date +%s.%N)
writers=()
for ((k = 1; k <= 200; k++)); do
  printf '{"session_id":"c%d","hook_event_name":"PermissionRequest","tool_name":"Bash"}' "$k" |
    "$exe" --claude-hook work &
  writers+=($!)
done
concurrent_failures=0
for w in "${writers[@]}"; do wait "$w" || concurrent_failures=$((concurrent_failures + 1)); done
t1=$(date +%s.%N)
arrived=0 approvals=0
for ((i = 0; i < 1200; i++)); do
  read -r arrived approvals < <(python3 -c '
import json, sys
try: s = json.load(open(sys.argv[1], "rb"))
except Exception: print(0, 0); sys.exit()
print(sum(k.startswith("claude:work:c") for k in s["tasksByID"]), len(s["pendingActionsByID"]))' "$snapshot")
  [ "$arrived" -eq 200 ] && [ "$approvals" -eq 200 ] && [ "$(find "$inbox" -maxdepth 1 -name '*.json' | wc -l)" -eq 0 ] && break
  sleep 0.05
done
t2=$(date +%s.%N)
kill -TERM "$app_pid"; wait "$app_pid" && status2=0 || status2=$?; app_pid=
printf '200 concurrent hook runs: %d failed, all exited after %s s; %d tasks and %d approvals in the snapshot %s s after the first start (app exit %d)\n' \
  "$concurrent_failures" "$(seconds "$t0" "$t1")" "$arrived" "$approvals" "$(seconds "$t0" "$t2")" "$status2"
[ "$arrived" -eq 200 ] && [ "$approvals" -eq 200 ] || failed=$((failed + 1))
failed=$((failed + concurrent_failures + status2))

if [ "$failed" -ne 0 ]; then echo "FAILED" >&2; exit 1; fi
echo "OK"
