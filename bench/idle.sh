#!/usr/bin/env bash
# Idle cost of the real companion: headless, in a network namespace of its own, with a fake
# Codex app-server (tests/runtime/codex_fake_app_server.py; the real one needs an account and
# the network), a Codex home of 200 threads with an 8 MiB session index, and Claude Desktop data
# with 1,000 Cowork sessions; then ten times that. After a warm-up, reports the companion's own
# CPU time over the measuring window as a share of one core, and its peak RSS.
#
#   bash bench/idle.sh [path/to/vigilorb-companion] [seconds] ["scales"]
#   (defaults: build/ci/bin/vigilorb-companion, 60, "1 10")
set -euo pipefail
cd "$(dirname "$0")/.."
exe="${1:-build/ci/bin/vigilorb-companion}"
seconds="${2:-60}"
read -r -a scales <<< "${3:-1 10}"
[ -x "$exe" ] || { echo "build first: cmake --build --preset ci --target vigilorb-companion" >&2; exit 1; }
exe="$(realpath "$exe")"
fake="$(realpath tests/runtime/codex_fake_app_server.py)"

work=""
companion=""
cleanup() {
  if [ -n "$companion" ]; then kill "$companion" 2>/dev/null || true; wait "$companion" 2>/dev/null || true; fi
  [ -z "$work" ] || rm -rf "$work"
}
trap cleanup EXIT

for scale in "${scales[@]}"; do
  work="$(mktemp -d)"
  export HOME="$work/home" XDG_DATA_HOME="$work/data" XDG_CONFIG_HOME="$work/config" CODEX_HOME="$work/codex"
  export PATH="$work/bin:/usr/bin:/bin" QT_QPA_PLATFORM=offscreen FAKE_CODEX_SCENARIO=signedIn
  mkdir -p "$HOME" "$XDG_DATA_HOME" "$work/bin" "$XDG_CONFIG_HOME/VigilorbCompanion"
  printf '#!/bin/sh\nexec /usr/bin/python3 %q "$@"\n' "$fake" > "$work/bin/codex"
  chmod 755 "$work/bin/codex"
  # The saved Codex account, as the app's preferences file holds it.
  cat > "$XDG_CONFIG_HOME/VigilorbCompanion/VigilorbCompanion.conf" <<'INI'
[General]
provider.codexAccounts.v1="[{\"id\":\"codex-default\",\"isolatedProfile\":false}]"
INI

  python3 - "$scale" "$CODEX_HOME" "$XDG_CONFIG_HOME/Claude" <<'PY'
import json, os, sqlite3, sys, time
scale, codex, claude = int(sys.argv[1]), sys.argv[2], sys.argv[3]
now = int(time.time())
iso = lambda t: time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(t))

# Codex home: threads finished an hour ago, each with a rollout of a few turns.
threads = 200 * scale
os.makedirs(codex)
db = sqlite3.connect(os.path.join(codex, "state_5.sqlite"))
db.execute("PRAGMA journal_mode=WAL")
db.execute("""CREATE TABLE threads (
    id TEXT PRIMARY KEY, rollout_path TEXT NOT NULL, created_at INTEGER, updated_at INTEGER,
    source TEXT NOT NULL, model_provider TEXT, cwd TEXT, title TEXT, sandbox_policy TEXT,
    archived INTEGER NOT NULL DEFAULT 0, agent_path TEXT, thread_source TEXT, name TEXT,
    updated_at_ms INTEGER, git_branch TEXT)""")
day = os.path.join(codex, "sessions/2026/12/10")
os.makedirs(day)
ids = [f"019b{i:04x}-7c2e-7d11-9a3b-{i:012d}" for i in range(threads)]
for i, tid in enumerate(ids):
    path = os.path.join(day, f"rollout-2026-12-10T06-00-00-{tid}.jsonl")
    with open(path, "w") as f:
        for turn in range(3):
            t = now - 3600 - (3 - turn) * 60
            for kind in ("task_started", "token_count", "agent_message", "task_complete"):
                f.write(json.dumps({"timestamp": iso(t), "type": "event_msg", "payload": {"type": kind}}) + "\n")
    db.execute("INSERT INTO threads (id, rollout_path, created_at, updated_at, source, archived, thread_source, "
               "updated_at_ms) VALUES (?, ?, ?, ?, 'vscode', 0, 'user', ?)",
               (tid, path, now - 3600 - i * 10, now - 3600 - i * 10, (now - 3600 - i * 10) * 1000))
db.commit()
db.close()
# The session index: many renames of the same threads, 8 MiB per scale step.
with open(os.path.join(codex, "session_index.jsonl"), "w") as f:
    size, n = 0, 0
    while size < 8 * 1024 * 1024 * scale:
        line = json.dumps({"id": ids[n % threads], "thread_name": f"rename {n} of the task that fixes the cache key",
                           "updated_at": iso(now - 100000 + n)}) + "\n"
        f.write(line)
        size += len(line)
        n += 1

# Claude Desktop: Cowork sessions nested in organisation and workspace folders, each with an audit log.
root = os.path.join(claude, "local-agent-mode-sessions")
endings = ['{"type":"result","subtype":"success"}',
           '{"type":"system","subtype":"permission_request","tool_name":"Bash"}',
           '{"type":"command_lifecycle","state":"started"}']
for i in range(1000 * scale):
    folder = os.path.join(root, f"org-{i % 4}", f"workspace-{i % 25}")
    name = f"local_{100000 + i}"
    os.makedirs(os.path.join(folder, name), exist_ok=True)
    with open(os.path.join(folder, name + ".json"), "w") as f:
        json.dump({"sessionId": f"session-{i}", "title": f"Generated task {i}",
                   "lastActivityAt": (now - 86400 * 3 - i) * 1000, "isArchived": i % 10 == 0,
                   "model": "x", "cwd": "/tmp"}, f)
    with open(os.path.join(folder, name, "audit.jsonl"), "w") as f:
        for line in range(40):
            f.write(json.dumps({"type": "assistant" if line % 2 else "user",
                                "_audit_timestamp": iso(now - 86400 * 3 - i + line),
                                "message": {"content": "x" * 150}}) + "\n")
        f.write(endings[i % 3] + "\n")
PY

  unshare --net -- "$exe" --headless >"$work/companion.log" 2>&1 &
  companion=$!
  snapshot="$XDG_DATA_HOME/VigilorbCompanion/snapshot-v1.json"
  python3 - "$companion" "$seconds" "$snapshot" "$scale" <<'PY'
import os, sys, time
unshare_pid, seconds, snapshot, scale = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], sys.argv[4]
hz = os.sysconf("SC_CLK_TCK")

def companion_pid():
    # unshare execs the companion in place; its PID is the one started.
    return unshare_pid

def cpu_ticks(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])  # utime + stime, this process's threads only

def peak_rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])

deadline = time.time() + 300
while time.time() < deadline:
    try:
        with open(snapshot, "rb") as f:
            if b"codex-default" in f.read():
                break
    except FileNotFoundError:
        pass
    time.sleep(0.5)
else:
    sys.exit("the companion did not publish the Codex quota within 300 s")
# Warm-up: the first full captures of every observer are done well within this.
time.sleep(20)
pid = companion_pid()
start_ticks, start = cpu_ticks(pid), time.monotonic()
time.sleep(seconds)
ticks, elapsed = cpu_ticks(pid) - start_ticks, time.monotonic() - start
print(f"{scale:>3}x data: CPU {100 * ticks / hz / elapsed:.3f} % of one core over {elapsed:.0f} s, "
      f"peak RSS {peak_rss_kib(pid) / 1024:.1f} MiB")
PY
  kill "$companion"; wait "$companion" 2>/dev/null || true
  companion=""
  rm -rf "$work"; work=""
done
