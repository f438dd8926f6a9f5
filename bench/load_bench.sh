#!/usr/bin/env bash
# Times the start-up (inviter index, load, workers) against a generated data set, 1,000,000
# specials rows and 1,000,000 member rows by default, and compares it with the command-line
# client streaming the same two statements to /dev/null: the compressed start-up (the default)
# against `mariadb --quick --compress`, the uncompressed one ("compress": false) against
# `mariadb --quick` (target: at most 1.5 each). Also prints the resident bytes per stored entry.
# Usage: bench/load_bench.sh [--keep]   (--keep: leave the database norvel_bench_load behind)
# NORVEL_BENCH_DB names the database (default norvel_bench_load), so several shapes can be kept.
# Environment: NORVEL_BENCH_SPECIALS, NORVEL_BENCH_MEMBERS (row counts), NORVEL_BENCH_BUILD
# (build directory, default build-bench).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
. scripts/db_env.sh

specials=${NORVEL_BENCH_SPECIALS:-1000000}
members=${NORVEL_BENCH_MEMBERS:-1000000}
build=${NORVEL_BENCH_BUILD:-$root/build-bench}
db=${NORVEL_BENCH_DB:-norvel_bench_load}
export NORVEL_BENCH_DB=$db

bash scripts/start_test_db.sh >/dev/null
client() { mariadb -h"$NORVEL_DB_HOST" -P3306 -u"$NORVEL_DB_USER" -p"$NORVEL_DB_PASSWORD" "$@"; }

counts=$(client -N -e "SELECT (SELECT COUNT(*) FROM \`$db\`.brix_mb_special), (SELECT COUNT(*) FROM \`$db\`.brix_member)" 2>/dev/null || true)
if [ "$counts" = "$specials	$members" ]; then
  echo "== reusing $db ($specials specials rows, $members member rows)"
else
  echo "== generating $specials specials rows and $members member rows into $db"
  client -e "DROP DATABASE IF EXISTS \`$db\`; CREATE DATABASE \`$db\` CHARACTER SET utf8mb4"
  client "$db" < db/schema.sql
  # An invitation tree (each member invited by an earlier one, one in ten by nobody) and specials
  # spread over the members with reader types 0, 1 and 2 and a few rows the filters drop.
  client "$db" <<SQL
INSERT INTO brix_member (member_id, inviter_id)
  SELECT seq, IF(seq = 1 OR seq % 10 = 0, 0, 1 + FLOOR(RAND(seq) * (seq - 1)))
  FROM seq_1_to_${members};
INSERT INTO brix_mb_special (special_id, member_id, reader_type, from_user, state)
  SELECT seq, 1 + FLOOR(RAND(seq) * ${members}), seq % 3,
         IF(seq % 50 = 0, 0, 1), IF(seq % 40 = 0, 1, 0)
  FROM seq_1_to_${specials};
ANALYZE TABLE brix_member, brix_mb_special;
SQL
fi

echo "== building load_bench in $build"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DNORVEL_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target load_bench >/dev/null

stream_statements="SELECT special_id,member_id,reader_type FROM brix_mb_special WHERE from_user=1 and state = 0 ORDER BY member_id ASC, special_id ASC;
SELECT member_id,inviter_id FROM brix_member ORDER BY member_id ASC;"

# The server's pid, so both sides can report its CPU seconds for the same stream.
NORVEL_BENCH_SERVER_PID=$(cat "$NORVEL_DB_RUNDIR/mysqld.pid" 2>/dev/null || true)
export NORVEL_BENCH_SERVER_PID

# Both sides run three times after one warm-up of the server's buffer pool; the best counts.
python3 - "$build/bench/load_bench" "$db" "$stream_statements" <<'PY'
import json, os, subprocess, sys, tempfile, time
bench, db, statements = sys.argv[1:4]
client = ["mariadb", "-h" + os.environ.get("NORVEL_DB_HOST", "127.0.0.1"), "-P3306",
          "-u" + os.environ.get("NORVEL_DB_USER", "norvel"),
          "-p" + os.environ.get("NORVEL_DB_PASSWORD", "norvel-local-pw"),
          "--quick", "-N", db, "-e", statements]

def server_cpu():
    pid = os.environ.get("NORVEL_BENCH_SERVER_PID", "")
    try:
        fields = open("/proc/%s/stat" % pid).read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    except (OSError, IndexError, ValueError):
        return 0.0

server_stream_cpu = {}

def stream(options=()):
    cpu = server_cpu()
    start = time.perf_counter()
    subprocess.run(client[:1] + list(options) + client[1:], stdout=subprocess.DEVNULL, check=True)
    elapsed = time.perf_counter() - start
    key = tuple(options)
    server_stream_cpu[key] = min(server_stream_cpu.get(key, 1e9), server_cpu() - cpu)
    return elapsed

def load(compress):
    env = dict(os.environ, NORVEL_BENCH_COMPRESS="1" if compress else "0")
    with tempfile.NamedTemporaryFile(suffix=".json") as out:
        subprocess.run([bench, "--benchmark_out=" + out.name, "--benchmark_out_format=json"],
                       stdout=subprocess.DEVNULL, check=True, env=env)
        report = json.load(open(out.name))["benchmarks"][0]
        if report.get("error_occurred"):
            sys.exit("load_bench: " + report.get("error_message", "failed"))
        return report["real_time"] / 1000.0, report

stream()
best_plain = min(stream() for _ in range(3))
best_compressed = min(stream(["--compress"]) for _ in range(3))
runs_compressed = [load(True) for _ in range(3)]
runs_plain = [load(False) for _ in range(3)]
best_load_compressed = min(r[0] for r in runs_compressed)
best_load_plain = min(r[0] for r in runs_plain)
report = runs_plain[-1][1]
cpu_plain = min(r[1].get("cpu_s", 0) for r in runs_plain)
cpu_compressed = min(r[1].get("cpu_s", 0) for r in runs_compressed)
server_plain = min(r[1].get("server_cpu_s", 0) for r in runs_plain)
server_compressed = min(r[1].get("server_cpu_s", 0) for r in runs_compressed)
print("client streaming both statements:             %.3f s" % best_plain)
print("client streaming both statements, compressed: %.3f s" % best_compressed)
print("start-up, compressed:                         %.3f s" % best_load_compressed)
print("start-up, \"compress\": false:                 %.3f s" % best_load_plain)
print("ratio compressed to the compressed stream: %.2f (target <= 1.5)" %
      (best_load_compressed / best_compressed))
print("ratio uncompressed to the plain stream:    %.2f (target <= 1.5)" %
      (best_load_plain / best_plain))
print("start-up CPU, compressed:   norvel %.2f s, server %.2f s (client stream: server %.2f s)" %
      (cpu_compressed, server_compressed, server_stream_cpu.get(("--compress",), 0)))
print("start-up CPU, uncompressed: norvel %.2f s, server %.2f s (client stream: server %.2f s)" %
      (cpu_plain, server_plain, server_stream_cpu.get((), 0)))
print("members %d, entries %d, resident %.0f MB, bytes per entry %.1f" %
      (report["members"], report["entries"], report["rss_mb"], report["bytes_per_entry"]))
PY

if [ "${1:-}" != "--keep" ]; then
  client -e "DROP DATABASE IF EXISTS \`$db\`"
fi
