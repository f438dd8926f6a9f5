#!/usr/bin/env bash
# What `norvel-cli top` costs the node it watches, at one refresh a second, with the node under a
# closed-loop load. Three measurements of the daemon's own CPU time (utime + stime from
# /proc/<pid>/stat):
#   A  the load alone for DURATION seconds;
#   B  the same load with `norvel-cli top --interval 1` watching the node all along;
#   C  the node idle while SCRAPES scrapes are made one after the other: the CPU one scrape
#      costs the node, which at one refresh a second is the view's whole cost per second.
# B - A is the direct answer but moves with everything else on a shared machine; C / the loaded
# node's CPU per second is the exact one.
#
# Usage: bench/top_cost.sh   (from the repository root, after building the binaries:
#   cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DNORVEL_BUILD_TESTS=OFF
#   cmake --build build-bench -j2 --target norvel norvel-cli loadgen)
# Settings: BUILD_DIR [build-bench] MEMBERS [20000] SPECIALS [200000] CONNS [16] DURATION [20]
#   SCRAPES [500] PORT [47400] METRICS_PORT [47401] CLIENT_CPU [0] SERVER_CPU [1]
# It makes its own database (norvel_topcost, kept while its size is unchanged), runs the daemon
# in the foreground on loopback ports of its own with a run directory under /tmp, and leaves any
# other daemon alone.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/db_env.sh
BUILD_DIR=${BUILD_DIR:-build-bench}
MEMBERS=${MEMBERS:-20000}
SPECIALS=${SPECIALS:-200000}
CONNS=${CONNS:-16}
DURATION=${DURATION:-20}
SCRAPES=${SCRAPES:-500}
PORT=${PORT:-47400}
METRICS_PORT=${METRICS_PORT:-47401}
CLIENT_CPU=${CLIENT_CPU:-0}
SERVER_CPU=${SERVER_CPU:-1}
DB=norvel_topcost
metrics=127.0.0.1:$METRICS_PORT
db() { mariadb -h"$NORVEL_DB_HOST" -u"$NORVEL_DB_USER" -p"$NORVEL_DB_PASSWORD" "$@"; }

run=$(mktemp -d /tmp/norvel-top-cost.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$run"
}
trap cleanup EXIT

# The data set: MEMBERS members in an invitation chain, SPECIALS specials spread over them.
have=$(db -N -e "SELECT COUNT(*) FROM $DB.brix_mb_special" 2>/dev/null || echo 0)
if [ "$have" != "$SPECIALS" ]; then
  echo "== making database $DB ($MEMBERS members, $SPECIALS specials)"
  db -e "DROP DATABASE IF EXISTS $DB; CREATE DATABASE $DB"
  db "$DB" <db/schema.sql
  db "$DB" -e "INSERT INTO brix_member SELECT seq, seq - 1 FROM seq_1_to_$MEMBERS;
    INSERT INTO brix_mb_special SELECT seq, 1 + seq % $MEMBERS, IF(seq % 5 = 0, 1, 0), 1, 0
      FROM seq_1_to_$SPECIALS"
fi

mkdir -p "$run/logs"
printf '{"DB":{"host":"%s","user":"%s","passwd":"%s","name":"%s","port":3306},"log":{"level":"info"}}\n' \
  "$NORVEL_DB_HOST" "$NORVEL_DB_USER" "$NORVEL_DB_PASSWORD" "$DB" >"$run/norvel.ini"
taskset -c "$SERVER_CPU" "$BUILD_DIR/norvel" --foreground --config "$run/norvel.ini" \
  --listen 127.0.0.1 --port "$PORT" --metrics "$metrics" --log-dir "$run/logs" \
  >"$run/norvel.out" 2>&1 &
daemon=$!
pids+=("$daemon")
for _ in $(seq 1 600); do
  if "$BUILD_DIR/norvel-cli" --port "$PORT" --timeout 1 \
       '{"act":"follow","op":"fetch","params":{"user_id":1}}' >/dev/null 2>&1; then
    break
  fi
  sleep 0.1
done

cpu_seconds() {  # the daemon's CPU time so far
  awk -v hz="$(getconf CLK_TCK)" '{ print ($14 + $15) / hz }' "/proc/$daemon/stat"
}

load() {  # load <label>: DURATION seconds of reads and a few writes; prints the RESULT line
  "$BUILD_DIR/bench/loadgen" --port "$PORT" --cpu "$CLIENT_CPU" -c "$CONNS" -w 0 -d "$DURATION" \
    -u "1-$MEMBERS" --label "$1" \
    -r '{"act":"special","op":"fetch_pri","params":{"user_id":{USER},"special_id":-1,"count":20,"type":1}}' \
    --write '{"act":"special","op":"add","params":{"user_id":{USER},"specials":[{"spid":{NEW_ID},"type":0}]}}' \
    -m 0.05 | grep '^RESULT'
}

measure() {  # measure <label>: runs the load, prints the RESULT line and the daemon's CPU per second
  local before after
  before=$(cpu_seconds)
  load "$1" | tee "$run/result"
  after=$(cpu_seconds)
  awk -v a="$before" -v b="$after" -v d="$DURATION" -v l="$1" \
    -v rps="$(awk '/^RESULT/ { sub("rps=", "", $6); print $6 }' "$run/result")" \
    'BEGIN { printf "%s: daemon CPU %.4f s per second, %.2f us per request\n", l, (b - a) / d,
             1e6 * (b - a) / d / rps }'
}

echo "== A: the load alone"
measure without_top | tee "$run/a"
echo "== B: the load with norvel-cli top --interval 1 watching"
taskset -c "$CLIENT_CPU" "$BUILD_DIR/norvel-cli" top --interval 1 "$metrics" >"$run/top.out" &
pids+=("$!")
sleep 1
measure with_top | tee "$run/b"
kill "${pids[-1]}"
echo "   top printed $(wc -l <"$run/top.out") lines, the last:"
tail -1 "$run/top.out"
awk '{ for (i = 1; i <= NF; ++i) if ($i ~ /^rps=/) { sub("rps=", "", $i); sum += $i; ++n } }
     END { if (n > 2) printf "   top: mean of its requests/s %.1f over %d refreshes\n", sum / n, n }' \
  "$run/top.out"

echo "== C: $SCRAPES scrapes of the idle node, one after the other"
sleep 1
before=$(cpu_seconds)
start=$(date +%s.%N)
for _ in $(seq 1 "$SCRAPES"); do
  "$BUILD_DIR/norvel-cli" --stats "$metrics" >/dev/null
done
after=$(cpu_seconds)
end=$(date +%s.%N)
idle_base=$(awk -v s="$start" -v e="$end" 'BEGIN { print e - s }')
sleep "$idle_base"  # the same time again, idle: what the node spends with nobody asking
idle_after=$(cpu_seconds)
a=$(awk '/daemon CPU/ { print $4 }' "$run/a")
b=$(awk '/daemon CPU/ { print $4 }' "$run/b")
a_req=$(awk '/daemon CPU/ { print $8 }' "$run/a")
b_req=$(awk '/daemon CPU/ { print $8 }' "$run/b")
awk -v before="$before" -v after="$after" -v idle="$idle_after" -v n="$SCRAPES" -v a="$a" -v b="$b" \
  -v ar="$a_req" -v br="$b_req" 'BEGIN {
  per = ((after - before) - (idle - after)) / n
  printf "one scrape costs the node %.1f us of CPU (%d scrapes; idle time subtracted)\n", per * 1e6, n
  printf "at one refresh a second: %.4f%% of the loaded node (%.3f s of CPU per second)\n", 100 * per / a, a
  printf "A/B: %.3f -> %.3f s per second, %.2f -> %.2f us per request (%+.2f%%; the rates differ between the runs)\n", a, b, ar, br, 100 * (br - ar) / ar
}'
