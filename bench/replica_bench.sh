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
servers=""
for i in $(seq 1 "$count"); do
  client=$((24220 + i)); route=$((26220 + i))
  {
    echo "server_name: s$i"
    echo "listen: 127.0.0.1:$client"
    echo "jetstream { store_dir: \"$dir/s$i\" }"
    if [ "$count" -gt 1 ]; then
      echo "cluster { name: bench, listen: 127.0.0.1:$route, routes: ["
      for j in $(seq 1 "$count"); do [ "$j" != "$i" ] && echo "  nats://127.0.0.1:$((26220 + j))"; done
      echo "] }"
    fi
  } > "$dir/s$i.conf"
  nats-server -c "$dir/s$i.conf" > "$dir/s$i.log" 2>&1 &
  pids+=($!)
  servers="${servers:+$servers,}nats://127.0.0.1:$client"
done
sleep 3  # the cluster elects its meta leader
"$bin" --servers "$servers" --rate "$rate" --seconds "$seconds" --nodes 2 --replicas "$count"
