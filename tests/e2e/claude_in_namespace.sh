#!/bin/bash
# Runs inside a private network and PID namespace (unshare --net --pid --fork --kill-child):
# the fake Anthropic API on loopback, then Claude Code in a detached tmux session whose socket
# is CONTROL/tmux.sock, until that session ends. Whatever starts here dies with this shell.
# Usage: claude_in_namespace.sh CONTROL CLAUDE FAKE_API WORK_FOLDER
set -u
control=$1 claude=$2 fake=$3 work=$4
ip link set lo up
/usr/bin/python3 "$fake" 8765 "$control" &
for _ in $(seq 1200); do
  grep -q '^listening' "$control/api.log" 2>/dev/null && break
  sleep 0.1
done
cd "$work" || exit 1
tmux -S "$control/tmux.sock" new-session -d -x 160 -y 50 "$claude" || exit 1
while tmux -S "$control/tmux.sock" has-session 2>/dev/null; do sleep 0.5; done
