#!/usr/bin/env bash
# Times a node's start from a snapshot against its start from MariaDB on the same data, the
# snapshot's write and size, and the pause of changes while the taker forks its writer.
# Uses a database made by bench/load_bench.sh (NORVEL_BENCH_DB, default norvel_bench_sparse:
# 1,000,000 members with one special each) and never drops it. Targets: the snapshot start at
# most 0.5x the database start; the pause at most 20 ms at 1,000,000 members.
# Usage: bench/snapshot_bench.sh   Environment: NORVEL_BENCH_DB, NORVEL_BENCH_COMPRESS,
# NORVEL_BENCH_BUILD (build directory, default build-bench).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
. scripts/db_env.sh
build=${NORVEL_BENCH_BUILD:-$root/build-bench}
export NORVEL_BENCH_DB=${NORVEL_BENCH_DB:-norvel_bench_sparse}

bash scripts/start_test_db.sh >/dev/null
echo "== building snapshot_bench in $build"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DNORVEL_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target snapshot_bench >/dev/null

out=$(mktemp --suffix=.json)
trap 'rm -f "$out"' EXIT
"$build/bench/snapshot_bench" --benchmark_out="$out" --benchmark_out_format=json >/dev/null
python3 - "$out" <<'PY'
import json, sys
runs = [b for b in json.load(open(sys.argv[1]))["benchmarks"] if b.get("run_type") == "iteration"]
for b in runs:
    if b.get("error_occurred"):
        sys.exit("snapshot_bench: %s: %s" % (b["name"], b.get("error_message")))
def best(name):
    mine = [b for b in runs if b["name"].startswith(name + "/")]
    return min(mine, key=lambda b: b["real_time"])
db, write, snap, pause = (best(n) for n in ("BM_DatabaseStart", "BM_SnapshotWrite",
                                             "BM_SnapshotStart", "BM_SnapshotPause"))
ms = lambda b: b["real_time"]
print("members:                          %d" % snap["members"])
print("start from the database:          %.0f ms (best of 3)" % ms(db))
print("start from a snapshot:            %.0f ms (best of 3)" % ms(snap))
print("ratio snapshot to database start: %.2f (target <= 0.5)" % (ms(snap) / ms(db)))
cpu = lambda name: min(b["cpu_s"] for b in runs if b["name"].startswith(name + "/"))
print("CPU of the start (all threads):   database %.2f s, snapshot %.2f s (least of 3)" %
      (cpu("BM_DatabaseStart"), cpu("BM_SnapshotStart")))
print("snapshot size:                    %.1f MB" % (write["bytes"] / 1e6))
print("snapshot written in one process:  %.0f ms (best of 3)" % ms(write))
print("taken by the forked writer:       %.0f ms to the rename (best of 5)" % ms(pause))
pauses = [b["pause_ms"] for b in runs if b["name"].startswith("BM_SnapshotPause/")]
print("pause of changes (fork):          %.1f ms best, %.1f ms worst of %d (target <= 20)" %
      (min(pauses), max(pauses), len(pauses)))
print("resident:                         %.0f MB" % pause["resident_mb"])
PY
