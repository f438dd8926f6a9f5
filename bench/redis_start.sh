#!/usr/bin/env bash
# Starts a private redis-server for benchmarks: loopback only, its own port and directory, no
# persistence, daemonized. Idempotent: a server already answering on the port is left running.
# Settings (environment): REDIS_PORT (6390), REDIS_DIR (/tmp/norvel-bench-redis), REDIS_CPU (a
# CPU to pin the server to; unset for none).
set -euo pipefail
REDIS_PORT=${REDIS_PORT:-6390}
REDIS_DIR=${REDIS_DIR:-/tmp/norvel-bench-redis}

if redis-cli -p "$REDIS_PORT" ping >/dev/null 2>&1; then
  echo "redis already answering on 127.0.0.1:$REDIS_PORT"
  exit 0
fi
mkdir -p "$REDIS_DIR"
pin=()
if [ -n "${REDIS_CPU:-}" ]; then
  pin=(taskset -c "$REDIS_CPU")
fi
"${pin[@]}" redis-server --port "$REDIS_PORT" --bind 127.0.0.1 --protected-mode yes \
  --save '' --appendonly no --daemonize yes --dir "$REDIS_DIR" \
  --pidfile "$REDIS_DIR/redis.pid" --logfile "$REDIS_DIR/redis.log"
for _ in $(seq 1 50); do
  if redis-cli -p "$REDIS_PORT" ping >/dev/null 2>&1; then
    echo "redis ready on 127.0.0.1:$REDIS_PORT"
    exit 0
  fi
  sleep 0.1
done
echo "redis did not start; see $REDIS_DIR/redis.log" >&2
exit 1
