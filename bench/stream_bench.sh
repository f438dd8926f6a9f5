#!/usr/bin/env bash
# The replicated site's benchmarks on real daemons, each printing the load average beside its
# figures (the machine is shared; read every figure with it). Run from the repository root after
#   cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DNORVEL_BUILD_TESTS=OFF
#   cmake --build build-bench --target norvel stream_load -j2
#
# bench/stream_bench.sh front [SECONDS=60] [SERVERS=1|3] [CONNECTIONS=4] [DEPTH=64]
#   Pipelined special adds on one node: the direct intake (no "stream") against the front door
#   (each change answered once the stream holds it). Target: front door >= 0.5x direct.
# bench/stream_bench.sh restart [BACKLOG=500000]
#   On the database of the sparse shape (norvel_bench_sparse, made by bench/load_bench.sh:
#   1,000,000 members with one special each): a node's first start (MariaDB) against its start
#   from its own snapshot, both to the first answer (targets: <= 0.5x); then BACKLOG changes
#   published while it is down and replayed at its next start (target: >= 25,000 changes/s).
# bench/stream_bench.sh site [CHANGES=1000000] [RATE=5000]
#   Three stream servers, two nodes: CHANGES random changes (follows and specials over 10,000
#   members sharing special ids) at RATE per second through node a's front door; node b is
#   killed (SIGKILL) a third of the way and started again from its snapshot a little later.
#   Then both must answer every fetch of every member identically; prints the lag histogram of
#   each node (stream store to applied) from its metrics.
# bench/stream_bench.sh shards [SECONDS=10] [BACKLOG=200000]
#   One stream server, a full node and a node of each of two shards: fetch_pri on the full node,
#   on a shard's node for its own member (direct) and for the other shard's (forwarded); targets:
#   direct = full within the noise, forwarded >= 0.5x direct. Then BACKLOG changes published while
#   the nodes are down, replayed by the full node and by a shard's node at their next starts
#   (target: the shard's rate >= the full node's).
# Environment: NORVEL_BENCH_BUILD (default build-bench), NORVEL_BENCH_KEEP=1 keeps the directory.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
. scripts/db_env.sh
. bench/stream_servers.sh
build=${NORVEL_BENCH_BUILD:-$root/build-bench}
norvel=$build/norvel
load=$build/bench/stream_load
mode=${1:-front}
shift || true

dir=$(mktemp -d /tmp/norvel-stream-bench.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  sleep 1
  for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  [ "${NORVEL_BENCH_KEEP:-0}" = 1 ] || rm -rf "$dir"
}
trap cleanup EXIT
bash scripts/start_test_db.sh >/dev/null
client() { mariadb -h"$NORVEL_DB_HOST" -P3306 -u"$NORVEL_DB_USER" -p"$NORVEL_DB_PASSWORD" "$@"; }
loadavg() { cut -d' ' -f1-3 /proc/loadavg; }

# An empty database of the two tables.
empty_db() {
  client -e "CREATE DATABASE IF NOT EXISTS \`$1\`"
  client "$1" < db/schema.sql 2>/dev/null || true
  client "$1" -e "DELETE FROM brix_member; DELETE FROM brix_mb_special"
}

# Starts COUNT stream servers (clustered when 3) under $dir/nats; sets $servers.
start_servers() {
  mkdir -p "$dir/nats"
  start_stream_servers "$1" "$dir/nats" 24320
}

# config NAME DB [STREAM_JSON_MEMBERS]: writes $dir/NAME.ini.
config() {
  local stream=""
  if [ -n "${3:-}" ]; then stream=",\"stream\":{$3}"; fi
  printf '{"DB":{"host":"127.0.0.1","user":"%s","passwd":"%s","name":"%s","port":3306}%s}\n' \
    "$NORVEL_DB_USER" "$NORVEL_DB_PASSWORD" "$2" "$stream" > "$dir/$1.ini"
}
stream_members() {  # NODE REPLICAS: the "stream" members of node NODE
  printf '"servers":[%s],"node":"%s","snapshot_dir":"%s","replicas":%s,"snapshot_interval_s":%s' \
    "$(echo "$servers" | sed 's/[^,]*/"&"/g')" "$1" "$dir/$1/snap" "$2" "${3:-300}"
}

# start_node NAME PORT [METRICS_PORT]: the daemon in the foreground; sets node_pid and
# started_at (wall clock seconds, taken just before the start).
start_node() {
  started_at=$(date +%s.%N)
  mkdir -p "$dir/$1/log" "$dir/$1/snap"
  local metrics=()
  if [ -n "${3:-}" ]; then metrics=(--metrics "127.0.0.1:$3"); fi
  "$norvel" --config "$dir/$1.ini" --foreground --listen 127.0.0.1 --port "$2" \
    --log-dir "$dir/$1/log" "${metrics[@]}" >> "$dir/$1/out" 2>&1 &
  node_pid=$!
  pids+=($node_pid)
}
# Seconds from the last start_node until the node on PORT answers its first request (the
# client's own start, slow on a loaded machine, is not counted).
wait_answer() {
  python3 - "$1" "$started_at" <<'PY'
import socket, sys, time
port = int(sys.argv[1]); began = float(sys.argv[2])
body = b'{"act":"special","op":"fetch_pub","params":{"special_id":-1,"count":1,"type":1}}'
while True:
    try:
        s = socket.create_connection(("127.0.0.1", port), timeout=900)
        s.sendall(b"%010d" % len(body) + body)
        if s.recv(10):
            break
    except OSError:
        time.sleep(0.01)
print("%.3f" % (time.time() - began))
PY
}
stop_node() { kill -TERM "$1"; wait "$1" 2>/dev/null || true; }

case "$mode" in
front)
  seconds=${1:-60}; count=${2:-1}; connections=${3:-4}; depth=${4:-64}
  empty_db norvel_bench_front
  start_servers "$count"
  config direct norvel_bench_front
  config door norvel_bench_front "$(stream_members door "$count")"
  for which in direct door; do
    start_node "$which" 25400
    wait_answer 25400 >/dev/null
    echo "== $which: $connections connections x $depth in flight, $seconds s; load average before $(loadavg)"
    "$load" pipeline --port 25400 --connections "$connections" --depth "$depth" \
      --seconds "$seconds" --mix adds | tee "$dir/$which.result"
    echo "   load average after $(loadavg)"
    stop_node "$node_pid"
  done
  python3 - "$dir/direct.result" "$dir/door.result" <<'PY'
import sys
rate = lambda p: float([l for l in open(p) if l.startswith("RESULT")][0].split("rate=")[1])
d, f = rate(sys.argv[1]), rate(sys.argv[2])
print("front door / direct intake: %.0f / %.0f = %.2f (target >= 0.5)" % (f, d, f / d))
PY
  ;;
restart)
  backlog=${1:-500000}
  start_servers 1
  config node norvel_bench_sparse "$(stream_members node 1 0)"
  echo "== first start, from MariaDB (norvel_bench_sparse); load average $(loadavg)"
  start_node node 25400
  db_start=$(wait_answer 25400)
  echo "   to the first answer: $db_start s"
  stop_node "$node_pid"
  ls -l "$dir/node/snap"
  for round in 1 2; do
    echo "== start from the snapshot, round $round; load average $(loadavg)"
    start_node node 25400
    snap_start=$(wait_answer 25400)
    echo "   to the first answer: $snap_start s; ratio to the database start $(python3 -c "print('%.3f' % ($snap_start / $db_start))")"
    stop_node "$node_pid"
  done
  echo "== $backlog changes published while the node is down; load average $(loadavg)"
  "$load" publish --servers "$servers" --count "$backlog" --users 1000000
  echo "== start from the snapshot with the backlog; load average $(loadavg)"
  start_node node 25400
  replay_start=$(wait_answer 25400)
  echo "   to the first answer: $replay_start s; load average $(loadavg)"
  grep -h 'replayed up to\|snapshot .* loaded' "$dir"/node/log/* | tail -2
  stop_node "$node_pid"
  ;;
site)
  changes=${1:-1000000}; rate=${2:-5000}
  empty_db norvel_bench_site
  start_servers 3
  config a norvel_bench_site "$(stream_members a 3 30)"
  config b norvel_bench_site "$(stream_members b 3 30)"
  start_node a 25401 25501; a_pid=$node_pid
  wait_answer 25401 >/dev/null
  start_node b 25402 25502; b_pid=$node_pid
  wait_answer 25402 >/dev/null
  echo "== $changes random changes at $rate/s through a; load average $(loadavg)"
  "$load" pipeline --port 25401 --connections 4 --depth 64 --count "$changes" --rate "$rate" \
    --mix random --users 10000 --specials 200000 > "$dir/site.result" 2>&1 &
  load_pid=$!
  third=$((changes / rate / 3))
  sleep "$third"
  echo "   $(date -u +%T) b killed (SIGKILL); load average $(loadavg)"
  kill -KILL "$b_pid"; wait "$b_pid" 2>/dev/null || true
  sleep 20
  echo "   $(date -u +%T) b started again"
  start_node b 25402 25502; b_pid=$node_pid
  echo "   b answered after $(wait_answer 25402) s (snapshot and replay)"
  wait "$load_pid" || true
  cat "$dir/site.result"
  echo "   load average at the end $(loadavg)"
  python3 - <<'PY'
import hashlib, re, socket, sys, time, urllib.request
def metrics(port):
    text = urllib.request.urlopen("http://127.0.0.1:%d/metrics" % port).read().decode()
    return text
def value(text, name):
    m = re.search(r"^%s (\S+)$" % re.escape(name), text, re.M)
    return float(m.group(1)) if m else None
deadline = time.time() + 600
while time.time() < deadline:
    a, b = metrics(25501), metrics(25502)
    last = max(value(a, "norvel_stream_last_sequence"), value(b, "norvel_stream_last_sequence"))
    if value(a, "norvel_stream_applied_sequence") >= last and value(b, "norvel_stream_applied_sequence") >= last:
        break
    time.sleep(1)
print("applied sequence: a %d, b %d" % (value(a, "norvel_stream_applied_sequence"), value(b, "norvel_stream_applied_sequence")))
def answers(port, members):
    s = socket.create_connection(("127.0.0.1", port))
    digest = hashlib.sha256()
    bodies = []
    for user in range(0, members + 1):
        bodies.append('{"act":"follow","op":"fetch","params":{"user_id":%d}}' % user)
        for op in ("fetch_self", "fetch_pri"):
            bodies.append('{"act":"special","op":"%s","params":{"user_id":%d,"special_id":-1,"count":1000000,"type":1}}' % (op, user))
    bodies.append('{"act":"special","op":"fetch_pub","params":{"special_id":-1,"count":10000000,"type":1}}')
    f = s.makefile("rb")
    for start in range(0, len(bodies), 500):
        chunk = bodies[start:start + 500]
        s.sendall(b"".join(b"%010d" % len(x) + x.encode() for x in chunk))
        for _ in chunk:
            n = int(f.read(10))
            digest.update(f.read(n))
    return digest.hexdigest(), len(bodies)
ha, n = answers(25401, 10000)
hb, _ = answers(25402, 10000)
print("every answer (%d fetches): a %s, b %s: %s" % (n, ha[:16], hb[:16], "EQUAL" if ha == hb else "DIFFERENT"))
for name, port in (("a", 25501), ("b", 25502)):
    text = metrics(port)
    count = value(text, "norvel_stream_lag_seconds_count")
    buckets = re.findall(r'^norvel_stream_lag_seconds_bucket\{le="([^"]+)"\} (\S+)$', text, re.M)
    line = ", ".join("<=%s s: %.4f" % (le, float(c) / count) for le, c in buckets if le in ("0.001", "0.0025", "0.005", "0.01", "0.025")) if count else "none"
    print("node %s lag (stream store to applied, %d changes since its start): %s" % (name, count or 0, line))
PY
  ;;
shards)
  seconds=${1:-10}; backlog=${2:-200000}
  loadgen=$build/bench/loadgen
  empty_db norvel_bench_shards
  start_servers 1
  config full norvel_bench_shards "$(stream_members full 1)"
  for i in 0 1; do
    config "s$i" norvel_bench_shards "$(stream_members "s$i" 1),\"shards\":{\"count\":2,\"index\":$i}"
  done
  start_node full 25410; full_pid=$node_pid; wait_answer 25410 >/dev/null
  start_node s0 25411; s0_pid=$node_pid; wait_answer 25411 >/dev/null
  start_node s1 25412; s1_pid=$node_pid; wait_answer 25412 >/dev/null
  echo "== 50,000 random changes over 2,000 members through the full node"
  "$load" pipeline --port 25410 --connections 4 --depth 64 --count 50000 --mix random \
    --users 2000 --specials 20000 | tail -1
  sleep 5  # every node applies them; the shard nodes register as ready
  # Member 2 is kept by shard 0, member 1 by shard 1 (fmix32 of the id, modulo 1024, modulo 2).
  pri='{"act":"special","op":"fetch_pri","params":{"user_id":{USER},"special_id":-1,"count":20,"type":1}}'
  for run in "full 25410 2-2" "direct 25411 2-2" "forwarded 25411 1-1"; do
    set -- $run
    echo "== fetch_pri, $1: port $2, member $3, 16 connections, $seconds s; load average $(loadavg)"
    "$loadgen" --port "$2" -c 16 -w 2 -d "$seconds" -r "$pri" -u "$3" --label "$1" | tail -1 \
      | tee "$dir/$1.result"
  done
  python3 - "$dir" <<'PY'
import sys
rate = lambda n: float([w for w in open(sys.argv[1] + "/" + n + ".result").read().split() if w.startswith("rps=") or w.startswith("rate=")][0].split("=")[1])
f, d, w = rate("full"), rate("direct"), rate("forwarded")
print("fetch_pri: full %.0f/s, direct on a shard %.0f/s (%.2fx full), forwarded %.0f/s (%.2fx direct; target >= 0.5)" % (f, d, d / f, w, w / d))
PY
  echo "== the stream's apply rate: $backlog changes published while every node is down"
  for pid in $full_pid $s0_pid $s1_pid; do stop_node "$pid"; done
  "$load" publish --servers "$servers" --count "$backlog" --users 20000
  for which in "full 25410" "s0 25411"; do
    set -- $which
    start_node "$1" "$2"; wait_answer "$2" >/dev/null
    echo "   $1: $(grep -h 'replayed up to' "$dir/$1"/log/* | tail -1)"
    stop_node "$node_pid"
  done
  ;;
*)
  echo "usage: bench/stream_bench.sh front|restart|site|shards [...]" >&2
  exit 2
  ;;
esac
