#!/usr/bin/env bash
# Installs the real Codex CLI and Claude Code into tools/agents for the end-to-end tests.
set -euo pipefail
cd "$(dirname "$0")/../tools/agents"
if [ ! -x node_modules/.bin/codex ] || [ ! -x node_modules/.bin/claude ]; then
  npm install --no-audit --no-fund --loglevel=error >/dev/null
fi
