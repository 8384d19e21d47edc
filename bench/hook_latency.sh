#!/usr/bin/env bash
# Hook → snapshot latency: the real companion runs headless (in a network namespace of its own,
# data folders in a temporary folder), the real `vigilorb-companion --claude-hook` writes 100
# hook events one after another, and each is timed from the hook's exit to the moment its
# session ID is in snapshot-v1.json. Hook runs are spaced by a random pause of 0-2 s, so that they
# land at random points of any periodic pass (as real ones do). Reports p50 / p95 / max.
#
#   bash bench/hook_latency.sh [path/to/vigilorb-companion] [events]
set -euo pipefail
cd "$(dirname "$0")/.."
exe="${1:-build/ci/bin/vigilorb-companion}"
events="${2:-100}"
[ -x "$exe" ] || { echo "build first: cmake --build --preset ci --target vigilorb-companion" >&2; exit 1; }
exe="$(realpath "$exe")"

work="$(mktemp -d)"
companion=""
cleanup() {
  if [ -n "$companion" ]; then kill "$companion" 2>/dev/null || true; wait "$companion" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
export HOME="$work/home" XDG_DATA_HOME="$work/data" XDG_CONFIG_HOME="$work/config" CODEX_HOME="$work/codex"
export PATH="/usr/bin:/bin" QT_QPA_PLATFORM=offscreen
mkdir -p "$HOME" "$XDG_DATA_HOME" "$XDG_CONFIG_HOME" "$CODEX_HOME"

unshare --net -- "$exe" --headless >"$work/companion.log" 2>&1 &
companion=$!

python3 - "$exe" "$events" "$XDG_DATA_HOME/VigilorbCompanion/snapshot-v1.json" <<'PY'
import json, os, random, statistics, subprocess, sys, time, uuid
exe, events, snapshot = sys.argv[1], int(sys.argv[2]), sys.argv[3]

def hook(session):
    payload = json.dumps({"session_id": session, "hook_event_name": "UserPromptSubmit",
                          "cwd": "/tmp", "prompt": "benchmark"}).encode()
    subprocess.run([exe, "--claude-hook", "bench"], input=payload, check=True,
                   stdout=subprocess.DEVNULL)
    return time.perf_counter()

def visible(session, deadline):
    # Polls the file's identity and reads it only when it changed.
    needle = session.encode()
    last = None
    while time.perf_counter() < deadline:
        try:
            st = os.stat(snapshot)
            key = (st.st_ino, st.st_mtime_ns, st.st_size)
            if key != last:
                last = key
                with open(snapshot, "rb") as f:
                    if needle in f.read():
                        return time.perf_counter()
        except FileNotFoundError:
            pass
        time.sleep(0.0005)
    sys.exit(f"event {session} not in the snapshot after 30 s")

# Warm-up: the companion has started and drained once.
s = str(uuid.uuid4()); hook(s); visible(s, time.perf_counter() + 60)
lat = []
for _ in range(events):
    time.sleep(random.uniform(0, 2))
    s = str(uuid.uuid4())
    done = hook(s)
    lat.append((visible(s, done + 30) - done) * 1000)
lat.sort()
p = lambda q: lat[min(len(lat) - 1, int(round(q * (len(lat) - 1))))]
print(f"hook exit → snapshot, {len(lat)} events: p50 {p(0.5):.1f} ms, p95 {p(0.95):.1f} ms, max {lat[-1]:.1f} ms")
PY
