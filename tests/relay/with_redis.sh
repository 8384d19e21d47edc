#!/bin/sh
# Runs a command beside a private redis-server on a free loopback port, with its files in a
# temporary folder; VIGILORB_REDIS_URL tells the command where it is.
set -eu
dir=$(mktemp -d)
pid=
cleanup() {
  if [ -n "$pid" ]; then kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; fi
  rm -rf "$dir"
}
trap cleanup EXIT
for attempt in 1 2 3 4 5; do
  port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  redis-server --bind 127.0.0.1 --port "$port" --dir "$dir" --save '' --appendonly no \
    --logfile "$dir/redis.log" --protected-mode yes &
  pid=$!
  for _ in $(seq 100); do
    if redis-cli -h 127.0.0.1 -p "$port" ping >/dev/null 2>&1; then break; fi
    if ! kill -0 "$pid" 2>/dev/null; then break; fi
    sleep 0.05
  done
  if redis-cli -h 127.0.0.1 -p "$port" ping >/dev/null 2>&1; then break; fi
  kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; pid=
done
[ -n "$pid" ] || { echo "redis-server did not start" >&2; cat "$dir/redis.log" >&2; exit 1; }
VIGILORB_REDIS_URL="redis://127.0.0.1:$port" "$@"
