#!/usr/bin/env bash
# Times the start-up (inviter index, load, workers) against a generated data set, 1,000,000
# specials rows and 1,000,000 member rows by default, and compares it with the command-line
# client streaming the same two statements to /dev/null: the compressed start-up (the default)
# against `mariadb --quick --compress`, the uncompressed one ("compress": false) against
# `mariadb --quick` (target: at most 1.5 each). Also prints the resident bytes per stored entry.
# Usage: bench/load_bench.sh [--keep]   (--keep: leave the database behind for the next run)
# NORVEL_BENCH_SHAPE chooses the data:
#   tree (default): NORVEL_BENCH_MEMBERS members in an invitation tree (one in ten uninvited) and
#     NORVEL_BENCH_SPECIALS specials rows on random owners, reader type id % 3;
#   sparse: 1,000,000 members, each invited with probability 0.95 by a uniformly random earlier
#     member (else by nobody), exactly one specials row each, owners in random order, special
#     ids rising by 1 to 3, reader type 0/1/2 for 85/10/5 %, state 0 for 97 %;
#   dense: the same rules with 100,000 members and twelve specials rows each.
# NORVEL_BENCH_DB names the database (default norvel_bench_load, norvel_bench_sparse,
# norvel_bench_dense), so several shapes can be kept. Environment: NORVEL_BENCH_SPECIALS,
# NORVEL_BENCH_MEMBERS (row counts, tree shape), NORVEL_BENCH_BUILD (build directory, default
# build-bench), NORVEL_BENCH_BINARY (a load_bench built earlier, e.g. from another commit, for
# before-and-after runs; nothing is built then). Each start-up runs three times (after one warm-up of the server's buffer pool,
# shared with the client's streams); the best and the median are printed.
# "list entries" are the own, public and feed entries; the figure "with follows" counts the
# follow-list entries too.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
. scripts/db_env.sh

shape=${NORVEL_BENCH_SHAPE:-tree}
case "$shape" in
  tree)
    specials=${NORVEL_BENCH_SPECIALS:-1000000}
    members=${NORVEL_BENCH_MEMBERS:-1000000}
    default_db=norvel_bench_load ;;
  sparse) members=1000000; per_member=1; specials=$members; default_db=norvel_bench_sparse ;;
  dense) members=100000; per_member=12; specials=$((members * 12)); default_db=norvel_bench_dense ;;
  *) echo "load_bench.sh: NORVEL_BENCH_SHAPE must be tree, sparse or dense" >&2; exit 2 ;;
esac
build=${NORVEL_BENCH_BUILD:-$root/build-bench}
db=${NORVEL_BENCH_DB:-$default_db}
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
  if [ "$shape" != tree ]; then
    # Owners in random order, each member exactly per_member times; special ids rising by 1 to 3.
    client "$db" <<SQL
INSERT INTO brix_member (member_id, inviter_id)
  SELECT seq, IF(seq = 1 OR RAND(seq + 7000000000) >= 0.95, 0, 1 + FLOOR(RAND(seq) * (seq - 1)))
  FROM seq_1_to_${members};
INSERT INTO brix_mb_special (special_id, member_id, reader_type, from_user, state)
  SELECT SUM(1 + FLOOR(RAND(seq + 3000000000) * 3)) OVER (ORDER BY seq),
         1 + MOD(ROW_NUMBER() OVER (ORDER BY RAND(seq + 5000000000)) - 1, ${members}),
         CASE WHEN RAND(seq + 9000000000) < 0.85 THEN 0
              WHEN RAND(seq + 9000000000) < 0.95 THEN 1 ELSE 2 END,
         1, IF(RAND(seq + 11000000000) < 0.97, 0, 1)
  FROM seq_1_to_${specials};
ANALYZE TABLE brix_member, brix_mb_special;
SQL
  else
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
fi

if [ -n "${NORVEL_BENCH_BINARY:-}" ]; then
  binary=$NORVEL_BENCH_BINARY
  echo "== using $binary"
else
  echo "== building load_bench in $build"
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DNORVEL_BUILD_TESTS=OFF >/dev/null
  cmake --build "$build" -j "$(nproc)" --target load_bench >/dev/null
  binary=$build/bench/load_bench
fi

stream_statements="SELECT special_id,member_id,reader_type FROM brix_mb_special WHERE from_user=1 and state = 0 ORDER BY member_id ASC, special_id ASC;
SELECT member_id,inviter_id FROM brix_member ORDER BY member_id ASC;"

# The server's pid, so both sides can report its CPU seconds for the same stream.
NORVEL_BENCH_SERVER_PID=$(cat "$NORVEL_DB_RUNDIR/mysqld.pid" 2>/dev/null || true)
export NORVEL_BENCH_SERVER_PID

# Both sides run three times after one warm-up of the server's buffer pool; the best counts.
python3 - "$binary" "$db" "$stream_statements" <<'PY'
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

def median(values):
    return sorted(values)[len(values) // 2]

stream()
plain = [stream() for _ in range(3)]
compressed = [stream(["--compress"]) for _ in range(3)]
runs_compressed = [load(True) for _ in range(3)]
runs_plain = [load(False) for _ in range(3)]
times_compressed = [r[0] for r in runs_compressed]
times_plain = [r[0] for r in runs_plain]
report = runs_plain[-1][1]
cpu_plain = median([r[1].get("cpu_s", 0) for r in runs_plain])
cpu_compressed = median([r[1].get("cpu_s", 0) for r in runs_compressed])
server_plain = median([r[1].get("server_cpu_s", 0) for r in runs_plain])
server_compressed = median([r[1].get("server_cpu_s", 0) for r in runs_compressed])
def times(values):
    return "best %.3f s, median %.3f s  (%s)" % (min(values), median(values),
                                               " ".join("%.3f" % v for v in values))
print("load average at the end: %s" % open("/proc/loadavg").read().split()[0])
print("client streaming both statements:             " + times(plain))
print("client streaming both statements, compressed: " + times(compressed))
print("start-up, compressed:                         " + times(times_compressed))
print("start-up, \"compress\": false:                 " + times(times_plain))
print("ratio compressed to the compressed stream: best %.2f, median %.2f (target <= 1.5)" %
      (min(times_compressed) / min(compressed), median(times_compressed) / median(compressed)))
print("ratio uncompressed to the plain stream:    best %.2f, median %.2f, worst %.2f (target <= 1.5)" %
      (min(times_plain) / min(plain), median(times_plain) / median(plain),
       max(times_plain) / median(plain)))
print("start-up CPU, compressed:   norvel %.2f s, server %.2f s (client stream: server %.2f s)" %
      (cpu_compressed, server_compressed, server_stream_cpu.get(("--compress",), 0)))
print("start-up CPU, uncompressed: norvel %.2f s, server %.2f s (client stream: server %.2f s)" %
      (cpu_plain, server_plain, server_stream_cpu.get((), 0)))
per_entry = [r[1]["bytes_per_entry"] for r in runs_compressed + runs_plain]
per_list_entry = [r[1].get("bytes_per_list_entry", 0) for r in runs_compressed + runs_plain]
print("members %d, feeds %d, list entries %d (own %d, public %d, feeds %d), follow entries %d" %
      (report["members"], report.get("feeds", 0), report.get("list_entries", 0),
       report.get("own_entries", 0), report.get("public_entries", 0),
       report.get("feed_entries", 0), report.get("follow_entries", 0)))
print("resident %.0f MB grown; bytes per list entry %s; with follows %s" %
      (report["grown_mb"] if "grown_mb" in report else report["rss_mb"],
       " ".join("%.1f" % v for v in per_list_entry), " ".join("%.1f" % v for v in per_entry)))
for key in sorted(k for k in report if k.startswith("bytes_")):
    if key not in ("bytes_per_entry", "bytes_per_list_entry"):
        print("  %-28s %8.1f MB" % (key[len("bytes_"):], report[key] / (1 << 20)))
PY

if [ "${1:-}" != "--keep" ]; then
  client -e "DROP DATABASE IF EXISTS \`$db\`"
fi
