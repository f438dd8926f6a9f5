#!/usr/bin/env bash
# Resident memory of every shard's node against a full node's, at one shape of site, each layout
# built in a process of its own (bench/shard_memory). Run from the repository root after
#   cmake --build <build> --target shard_memory
#   bench/shard_memory.sh [SHARDS=4] [shard_memory options...]
# e.g. the follower-heavy shape: bench/shard_memory.sh 4 --members 200000 --followers 50 --specials 20
#      the sparse shape:         bench/shard_memory.sh 4 --members 1000000 --followers 5 --specials 1
set -euo pipefail
cd "$(dirname "$0")/.."
bin=${NORVEL_BENCH_BUILD:-build-bench}/bench/shard_memory
shards=${1:-4}
shift || true
resident() { sed -n 's/.*resident \([0-9.]*\) MiB.*/\1/p'; }
echo "load average $(cut -d' ' -f1-3 /proc/loadavg)"
full_line=$("$bin" "$@" --shards 1)
echo "$full_line"
full=$(echo "$full_line" | resident)
worst=0
for index in $(seq 0 $((shards - 1))); do
  line=$("$bin" "$@" --shards "$shards" --index "$index")
  echo "$line"
  worst=$(python3 -c "print(max($worst, $(echo "$line" | resident) / $full))")
done
echo "largest shard / full node, resident: $(python3 -c "print('%.3f' % $worst)") (target <= 0.35)"
