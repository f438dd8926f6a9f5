#!/usr/bin/env bash
# The replicated site's lag at a steady rate: three stream servers (nats-server, clustered, on
# loopback ports of their own, stores in a temporary directory), then bench/replica_lag with two
# replicas in one process. Run from the repository root after building build-bench:
#   cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DNORVEL_BUILD_TESTS=OFF
#   cmake --build build-bench --target replica_lag -j2
#   bench/replica_bench.sh [RATE] [SECONDS] [SERVERS: 1 or 3]
set -euo pipefail
rate=${1:-5000}
seconds=${2:-20}
count=${3:-3}
bin=${BENCH_BIN:-build-bench/bench/replica_lag}
dir=$(mktemp -d /tmp/norvel-replica-bench.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$dir"
}
trap cleanup EXIT
. "$(dirname "$0")/stream_servers.sh"
start_stream_servers "$count" "$dir" 24220
"$bin" --servers "$servers" --rate "$rate" --seconds "$seconds" --nodes 2 --replicas "$count"
