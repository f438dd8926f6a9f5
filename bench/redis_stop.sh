#!/usr/bin/env bash
# Stops the private benchmark redis-server started by redis_start.sh (without saving).
set -euo pipefail
REDIS_PORT=${REDIS_PORT:-6390}
REDIS_DIR=${REDIS_DIR:-/tmp/norvel-bench-redis}

if redis-cli -p "$REDIS_PORT" ping >/dev/null 2>&1; then
  redis-cli -p "$REDIS_PORT" shutdown nosave >/dev/null 2>&1 || true
fi
rm -f "$REDIS_DIR/redis.pid"
