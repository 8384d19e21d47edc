#!/usr/bin/env bash
# vigilorb-relay on loopback, SQLite then Redis, against nginx serving a static file of the
# envelope's size with the same number of requests on the same 8 kept-alive connections.
#   bash bench/relay_bench.sh [build dir] [channels] [clients] [rounds]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/ci}
channels=${2:-10000}
clients=${3:-8}
rounds=${4:-2}
bin="$build/bin"
work=$(mktemp -d)
chmod 755 "$work"  # nginx workers read the static file as another user
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done; rm -rf "$work"; }
trap cleanup EXIT

start_relay() {  # args...
  "$bin/vigilorb-relay" --listen 127.0.0.1:0 --puts-per-minute 0 --auth-failures-per-minute 0 "$@" > "$work/relay.out" &
  relay_pid=$!
  pids+=("$relay_pid")
  for _ in $(seq 200); do grep -q listening "$work/relay.out" && break; sleep 0.05; done
  relay_port=$(sed -n 's/.*:\([0-9]*\)$/\1/p' "$work/relay.out")
}
rss() { awk '/VmRSS/ {print $2 " KiB"}' "/proc/$1/status"; }

echo "== SQLite store"
start_relay --data "$work/sqlite"
echo "RSS before: $(rss "$relay_pid")"
"$bin/relay_bench" relay "$relay_port" "$channels" "$clients" "$rounds"
echo "RSS at $channels channels: $(rss "$relay_pid")"
kill "$relay_pid"; wait "$relay_pid" 2>/dev/null || true

echo "== Redis store"
redis_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
redis-server --bind 127.0.0.1 --port "$redis_port" --dir "$work" --save '' --appendonly no --logfile "$work/redis.log" &
pids+=($!)
redis_pid=$!
for _ in $(seq 100); do redis-cli -p "$redis_port" ping >/dev/null 2>&1 && break; sleep 0.05; done
start_relay --redis "redis://127.0.0.1:$redis_port"
"$bin/relay_bench" relay "$relay_port" "$channels" "$clients" "$rounds"
echo "RSS at $channels channels: relay $(rss "$relay_pid"), redis-server $(rss "$redis_pid")"

echo "== nginx, static file of the envelope's size"
mkdir -p "$work/www"
head -c 230 /dev/zero | tr '\0' 'x' > "$work/www/envelope.json"
nginx_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
cat > "$work/nginx.conf" <<CONF
daemon off;
worker_processes 2;
pid $work/nginx.pid;
error_log $work/nginx-error.log;
events { worker_connections 1024; }
http {
  access_log off;
  keepalive_requests 1000000;
  client_body_temp_path $work/tmp; proxy_temp_path $work/tmp; fastcgi_temp_path $work/tmp;
  uwsgi_temp_path $work/tmp; scgi_temp_path $work/tmp;
  server { listen 127.0.0.1:$nginx_port; root $work/www; }
}
CONF
mkdir -p "$work/tmp"
nginx -c "$work/nginx.conf" -e "$work/nginx-error.log" &
pids+=($!)
for _ in $(seq 100); do curl -sf "http://127.0.0.1:$nginx_port/envelope.json" >/dev/null && break; sleep 0.05; done
"$bin/relay_bench" static "$nginx_port" /envelope.json $((channels * rounds * 2)) "$clients"
