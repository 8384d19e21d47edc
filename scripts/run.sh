#!/usr/bin/env bash
# Builds the companion and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset default >/dev/null
cmake --build --preset default --target vigilorb-companion
exec build/default/bin/vigilorb-companion "$@"
