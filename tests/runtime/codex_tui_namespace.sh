#!/bin/bash
# Runs the real Codex TUI offline for the approval tests. Meant to be the first process of fresh
# network, PID and mount namespaces:
#   unshare --net --pid --mount --fork --kill-child --mount-proc -- bash codex_tui_namespace.sh BASE CODEX FAKE_API
# Brings up loopback, starts the fake model API on it, writes BASE/codex-home/config.toml and
# starts a tmux server (socket BASE/tmux.sock) whose window "tui" runs Codex in BASE/work.
# Ending this process ends everything in the namespace, the Codex daemon included.
set -euo pipefail
base=$1 codex=$2 api=$3
ip link set lo up
mkdir -p "$base/home" "$base/codex-home" "$base/work"
/usr/bin/python3 "$api" "$base/api.port" "$base/api.log" &
for _ in $(seq 600); do [ -s "$base/api.port" ] && break; sleep 0.1; done
port=$(cat "$base/api.port")
cat > "$base/codex-home/config.toml" <<TOML
model = "gpt-5"
model_provider = "fake"
approval_policy = "on-request"
sandbox_mode = "read-only"

[model_providers.fake]
name = "fake"
base_url = "http://127.0.0.1:$port/v1"
wire_api = "responses"
env_key = "FAKE_API_KEY"
request_max_retries = 0
stream_max_retries = 0

[projects."$base/work"]
trust_level = "trusted"
TOML
export HOME="$base/home" CODEX_HOME="$base/codex-home" FAKE_API_KEY=offline TERM=xterm-256color
cd "$base/work"
# A second window keeps the tmux server up when the test kills the TUI's.
tmux -S "$base/tmux.sock" new-session -d -s codex -n keep -x 160 -y 50 "sleep infinity"
tmux -S "$base/tmux.sock" new-window -d -t codex -n tui "$codex"
# Stays the namespace's first process until the test ends it.
exec sleep infinity
