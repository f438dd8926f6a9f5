#!/usr/bin/env bash
# Side-by-side network benchmark: norvel's private-feed fetch against the same feeds in Redis
# sorted sets and against a bare framed echo server, on one machine, in one run.
#
#   bench/compare.sh            build (Release), load the data, run everything, print the tables
#   bench/compare.sh --scale    1,000,000 members and specials: initial load time against the
#                               mariadb client streaming the same statements, and resident
#                               memory per stored list entry (SCALE_MEMBERS, SCALE_SPECIALS)
#   bench/compare.sh --profile  server CPU time per request of norvel, Redis and echo (perf
#                               stat), and where norvel spends it (perf record)
#   bench/compare.sh --callgrind  exact instructions per request of norvel and the functions
#                               that execute them (valgrind; CG_MEMBERS, CG_SPECIALS, CG_DURATION)
#
# Steps: builds norvel, loadgen and echo_server; generates a data set in its own database (kept
# between runs while its size is unchanged); loads the same feeds into a private redis-server;
# starts the daemon on port 5000 in a run directory and times its initial load; then runs
# interleaved and repeated closed-loop rounds of
#   norvel  {"act":"special","op":"fetch_pri",...,"count":20,"type":1} (newest 20 of a feed)
#   redis   ZREVRANGEBYSCORE feed:<id> +inf -inf LIMIT 0 20
#   echo    a fixed reply of the same size as norvel's mean reply
# at each connection count, and prints the medians and the ratios norvel/Redis and norvel/echo.
# Then the mixed load: read-only rounds alternating with rounds where a share of the requests
# are special add/del and follow add/del, comparing the read p99.
#
# The client is pinned to CLIENT_CPU and every server to SERVER_CPU, so they never share a core.
# Settings (environment, defaults in brackets):
#   MEMBERS [50000] SPECIALS [1000000]  data set size (database norvel_bench)
#   CONNS ["1 16 64"]  MIXED_CONNS ["16 64"]  REPEATS [3]  WARMUP [1]  DURATION [5] seconds
#   WRITE_FRACTION [0.1]  CLIENT_CPU [0]  SERVER_CPU [1]  BUILD_DIR [build-bench]
#   REDIS_PORT [6390]  ECHO_PORT [5100]  RESULTS [BUILD_DIR/compare-<time>]
#   NORVEL_ARGS [""]  options for the daemon, e.g. "--metrics 127.0.0.1:9105" to measure the
#                     metrics endpoint's cost on the request path
#   SKIP_BUILD=1 uses the binaries already in BUILD_DIR; REGENERATE=1 rebuilds the data set.
#   LOG_LEVEL [unset]  the daemon's "log" level (e.g. info); unset, every entry is logged.
# Needs: root (or write access to /var/log/norvel), port 5000 free, scripts/install_deps.sh done.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
. scripts/db_env.sh

MEMBERS=${MEMBERS:-50000}
SPECIALS=${SPECIALS:-1000000}
CONNS=${CONNS:-"1 16 64"}
MIXED_CONNS=${MIXED_CONNS:-"16 64"}
REPEATS=${REPEATS:-3}
WARMUP=${WARMUP:-1}
DURATION=${DURATION:-5}
WRITE_FRACTION=${WRITE_FRACTION:-0.1}
CLIENT_CPU=${CLIENT_CPU:-0}
SERVER_CPU=${SERVER_CPU:-1}
BUILD_DIR=${BUILD_DIR:-$root/build-bench}
export REDIS_PORT=${REDIS_PORT:-6390}
ECHO_PORT=${ECHO_PORT:-5100}
NORVEL_PORT=5000
BENCH_DB=norvel_bench
RESULTS=${RESULTS:-$BUILD_DIR/compare-$(date +%Y%m%d-%H%M%S)}

say() { printf '== %s\n' "$*"; }
die() { printf 'compare.sh: %s\n' "$*" >&2; exit 1; }
db() { mariadb -h"$NORVEL_DB_HOST" -P"$NORVEL_DB_PORT" -u"$NORVEL_DB_USER" -p"$NORVEL_DB_PASSWORD" "$@"; }

norvel_pid=""
echo_pid=""
cleanup() {
  if [ -n "$echo_pid" ]; then kill "$echo_pid" 2>/dev/null || true; fi
  stop_norvel
  bench/redis_stop.sh || true
}
trap cleanup EXIT

build() {
  if [ "${SKIP_BUILD:-0}" = 1 ]; then
    return
  fi
  say "building (Release) in $BUILD_DIR"
  bash scripts/install_deps.sh
  cmake -S "$root" -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$BUILD_DIR" -j"$(nproc)" --target norvel loadgen echo_server >/dev/null
}

# The data set: members in a random invitation tree (one in ten joined uninvited) and specials
# spread over them at random, 80% public, 15% reader type 1, 5% type 2 (not loaded), 2% not live.
# generate_data DATABASE MEMBERS SPECIALS
generate_data() {
  local name=$1 members=$2 specials=$3 have
  have=$(db -N -e "SELECT CONCAT((SELECT COUNT(*) FROM brix_member), '/',
                                 (SELECT COUNT(*) FROM brix_mb_special))" "$name" 2>/dev/null || true)
  if [ "${REGENERATE:-0}" != 1 ] && [ "$have" = "$members/$specials" ]; then
    say "data set $name already holds $members members and $specials specials"
    return
  fi
  say "generating $members members and $specials specials in database $name"
  db -e "DROP DATABASE IF EXISTS $name; CREATE DATABASE $name"
  db "$name" < db/schema.sql
  if [ "$members" -gt 0 ]; then
    db "$name" -e "INSERT INTO brix_member (member_id, inviter_id)
      SELECT seq, IF(seq = 1 OR CRC32(CONCAT('o', seq)) MOD 10 = 0, 0,
                     1 + CRC32(CONCAT('i', seq)) MOD (seq - 1))
      FROM seq_1_to_${members}"
  fi
  if [ "$specials" -gt 0 ]; then
    db "$name" -e "INSERT INTO brix_mb_special (special_id, member_id, reader_type, from_user, state)
      SELECT seq, 1 + CRC32(CONCAT('m', seq)) MOD ${members},
             CASE WHEN CRC32(CONCAT('t', seq)) MOD 20 < 16 THEN 0
                  WHEN CRC32(CONCAT('t', seq)) MOD 20 < 19 THEN 1 ELSE 2 END,
             1, IF(CRC32(CONCAT('s', seq)) MOD 50 = 0, 1, 0)
      FROM seq_1_to_${specials}"
  fi
}

elapsed_since() { awk -v a="$1" -v b="$(date +%s.%N)" 'BEGIN { printf "%.2f", b - a }'; }

# The detached daemon: the process running norvel (perhaps under valgrind) in directory $1.
daemon_pid() {
  local p
  for p in /proc/[0-9]*; do
    if [ "$(readlink "$p/cwd" 2>/dev/null)" = "$1" ] &&
       tr '\0' ' ' <"$p/cmdline" 2>/dev/null | grep -q "$BUILD_DIR/norvel"; then
      echo "${p#/proc/}"
      return
    fi
  done
}

port_in_use() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

# Sends one framed request on a fresh connection and prints the reply body; fails after $2 s.
framed_request() {
  local body=$1 timeout=$2 header
  exec 3<>"/dev/tcp/127.0.0.1/$NORVEL_PORT" || return 1
  printf '%010d%s' "${#body}" "$body" >&3
  if ! read -r -t "$timeout" -N 10 header <&3; then
    exec 3<&-
    return 1
  fi
  local reply=""
  read -r -t "$timeout" -N "$((10#$header))" reply <&3 || true
  exec 3<&-
  printf '%s' "$reply"
}

# start_norvel DATABASE [LAUNCHER...]: starts the daemon on it (through LAUNCHER, by default
# pinned to SERVER_CPU), sets norvel_pid and load_seconds (start to the first reply, which waits
# for the whole initial load).
start_norvel() {
  local name=$1
  shift
  local launcher=("$@")
  [ ${#launcher[@]} -gt 0 ] || launcher=(taskset -c "$SERVER_CPU")
  port_in_use "$NORVEL_PORT" && die "port $NORVEL_PORT is taken (another daemon or a test is running)"
  local run_dir=$BUILD_DIR/bench-run
  mkdir -p "$run_dir/data/config" /var/log/norvel
  local log_member=""
  [ -n "${LOG_LEVEL:-}" ] && log_member=",\"log\":{\"level\":\"$LOG_LEVEL\"}"
  cat >"$run_dir/data/config/norvel.config.ini" <<JSON
{"DB":{"host":"$NORVEL_DB_HOST","user":"$NORVEL_DB_USER","passwd":"$NORVEL_DB_PASSWORD","name":"$name","port":3306}$log_member}
JSON
  say "starting norvel on CPU $SERVER_CPU (initial load from $name)"
  local started
  started=$(date +%s.%N)
  # shellcheck disable=SC2086  # NORVEL_ARGS is a list of options
  (cd "$run_dir" && "${launcher[@]}" "$BUILD_DIR/norvel" ${NORVEL_ARGS:-} >/dev/null 2>&1)
  local probe='{"act":"special","op":"fetch_pri","params":{"user_id":1,"special_id":-1,"count":20,"type":1}}'
  local reply=""
  local deadline=$((SECONDS + 600))
  while [ $SECONDS -lt $deadline ]; do
    if reply=$(framed_request "$probe" 5) && [ -n "$reply" ]; then
      break
    fi
    sleep 0.1
  done
  [ -n "$reply" ] || die "norvel did not answer within 10 minutes; see /tmp/norvel.out"
  load_seconds=$(elapsed_since "$started")
  norvel_pid=$(daemon_pid "$run_dir")
  [ -n "$norvel_pid" ] || die "cannot find the daemon's pid"
  say "norvel (pid $norvel_pid) answered after ${load_seconds} s: ${reply:0:80}"
}

stop_norvel() {
  [ -n "$norvel_pid" ] || return 0
  kill -TERM "$norvel_pid" 2>/dev/null || true
  for _ in $(seq 1 300); do kill -0 "$norvel_pid" 2>/dev/null || break; sleep 0.1; done
  norvel_pid=""
}

# One closed-loop round; appends its RESULT line to the results file.
round() {
  local label=$1 conns=$2
  shift 2
  "$BUILD_DIR/bench/loadgen" --cpu "$CLIENT_CPU" -c "$conns" -w "$WARMUP" -d "$DURATION" \
    --label "$label" --seed "$RANDOM" "$@" >"$RESULTS/last.txt" 2>>"$RESULTS/loadgen.err" || {
    cat "$RESULTS/last.txt" "$RESULTS/loadgen.err" >&2
    die "loadgen failed in round $label c=$conns"
  }
  grep '^RESULT' "$RESULTS/last.txt" | tee -a "$RESULTS/results.txt" | sed 's/^RESULT /   /'
}

fetch_pri='{"act":"special","op":"fetch_pri","params":{"user_id":{USER},"special_id":-1,"count":20,"type":1}}'
norvel_read() { round "$1" "$2" --port "$NORVEL_PORT" -u "1-$MEMBERS" -r "$fetch_pri" "${@:3}"; }
redis_read() {
  round "$1" "$2" --port "$REDIS_PORT" --resp -u "1-$MEMBERS" \
    -r 'ZREVRANGEBYSCORE feed:{USER} +inf -inf LIMIT 0 20'
}
echo_read() { round "$1" "$2" --port "$ECHO_PORT" -u "1-$MEMBERS" -r "$fetch_pri"; }

# Writes of the mixed load, equally likely: a new public special and the removal of the oldest
# one added, a new follow link and the removal of the oldest one added. Each delete names the
# member of the add it undoes, so the store's size stays steady.
norvel_mixed() {
  norvel_read "$1" "$2" -m "$WRITE_FRACTION" --new-base 2000000000 \
    --write '{"act":"special","op":"add","params":{"user_id":{KEY_USER},"specials":[{"spid":{NEW_ID},"type":0}]}}' \
    --write '{"act":"special","op":"del","params":{"user_id":{KEY_USER},"specials":[{"spid":{OLD_ID},"type":0}]}}' \
    --write '{NEW_PAIR}{"act":"follow","op":"add","params":{"user_id":{KEY_USER},"friends":[{KEY_USER2}]}}' \
    --write '{OLD_PAIR}{"act":"follow","op":"del","params":{"user_id":{KEY_USER},"friends":[{KEY_USER2}]}}'
}

rss_kib() { awk '/^VmRSS/ {print $2}' "/proc/$1/status"; }

main() {
  build
  bash scripts/start_test_db.sh >/dev/null
  mkdir -p "$RESULTS"
  : >"$RESULTS/results.txt"
  generate_data "$BENCH_DB" "$MEMBERS" "$SPECIALS"

  say "loading the same feeds into redis (port $REDIS_PORT, CPU $SERVER_CPU)"
  bench/redis_stop.sh
  REDIS_CPU=$SERVER_CPU bench/redis_start.sh
  local redis_started redis_load
  redis_started=$(date +%s.%N)
  bench/redis_load.sh "$BENCH_DB" | tail -1
  redis_load=$(elapsed_since "$redis_started")

  start_norvel "$BENCH_DB"
  local norvel_rss=$(rss_kib "$norvel_pid")
  local redis_rss=$(rss_kib "$(cat "${REDIS_DIR:-/tmp/norvel-bench-redis}/redis.pid")")

  # The echo server answers with the size of norvel's mean reply.
  norvel_read probe 1 -w 0.2 -d 1 >/dev/null
  local reply_bytes=$(sed -n 's/.*reply_bytes=\([0-9.]*\).*/\1/p' "$RESULTS/last.txt")
  local body_bytes=$(awk -v r="$reply_bytes" 'BEGIN { printf "%.0f", r - 10 }')
  taskset -c "$SERVER_CPU" "$BUILD_DIR/bench/echo_server" --port "$ECHO_PORT" --reply-bytes "$body_bytes" \
    >"$RESULTS/echo.out" 2>&1 &
  echo_pid=$!
  for _ in $(seq 1 50); do port_in_use "$ECHO_PORT" && break; sleep 0.1; done
  sed -i '/label=probe/d' "$RESULTS/results.txt"

  say "read-only rounds: ${REPEATS} x conns {$CONNS} x {norvel, redis, echo}, ${DURATION} s each"
  local rep conns order=(norvel redis echo)
  for rep in $(seq 1 "$REPEATS"); do
    for conns in $CONNS; do
      for target in "${order[@]}"; do
        "${target}_read" "$target" "$conns"
      done
    done
    order=("${order[@]:1}" "${order[0]}")  # rotate who goes first
  done

  say "mixed rounds: ${REPEATS} x conns {$MIXED_CONNS} x {read-only, ${WRITE_FRACTION} writes}"
  for rep in $(seq 1 "$REPEATS"); do
    for conns in $MIXED_CONNS; do
      norvel_read readonly "$conns"
      norvel_mixed mixed "$conns"
    done
  done

  local norvel_rss_after=$(rss_kib "$norvel_pid")
  {
    echo "machine: $(nproc) CPUs, $(uname -r); client on CPU $CLIENT_CPU, servers on CPU $SERVER_CPU"
    echo "data: $MEMBERS members, $SPECIALS specials; mean norvel reply ${reply_bytes} bytes (echo the same)"
    echo "norvel initial load (start to first reply): ${load_seconds} s, RSS ${norvel_rss} KiB" \
         "(${norvel_rss_after} KiB after the rounds); redis load ${redis_load} s, RSS ${redis_rss} KiB"
    python3 - "$RESULTS/results.txt" <<'PY'
import statistics, sys
rows = []
for line in open(sys.argv[1]):
    fields = dict(f.split('=', 1) for f in line.split()[1:])
    rows.append(fields)
def med(label, conns, key):
    values = [float(r[key]) for r in rows if r['label'] == label and r['conns'] == conns]
    return statistics.median(values) if values else float('nan')
conns_list = sorted({r['conns'] for r in rows if r['label'] == 'norvel'}, key=int)
print()
print('read-only, medians of %d rounds' % max(1, len([r for r in rows if r['label'] == 'norvel' and r['conns'] == conns_list[0]])))
print('%5s | %10s %10s %10s | %8s %8s | %9s %9s %9s | %9s %9s' % (
    'conns', 'norvel/s', 'redis/s', 'echo/s', 'n/redis', 'n/echo',
    'norvel p50', 'p99', 'p99.9', 'redis p99', 'echo p99'))
for c in conns_list:
    n, r, e = (med(l, c, 'rps') for l in ('norvel', 'redis', 'echo'))
    print('%5s | %10.0f %10.0f %10.0f | %8.2f %8.2f | %7.0fus %7.0fus %7.0fus | %7.0fus %7.0fus' % (
        c, n, r, e, n / r, n / e, med('norvel', c, 'p50_us'), med('norvel', c, 'p99_us'),
        med('norvel', c, 'p999_us'), med('redis', c, 'p99_us'), med('echo', c, 'p99_us')))
mixed = sorted({r['conns'] for r in rows if r['label'] == 'mixed'}, key=int)
if mixed:
    print()
    print('mixed load (reads vs read-only), medians')
    print('%5s | %12s %12s | %12s %12s %8s | %10s %10s' % (
        'conns', 'ro reads/s', 'mix reads/s', 'ro p99', 'mix read p99', 'ratio', 'writes/s', 'write p99'))
    for c in mixed:
        ro, mx = med('readonly', c, 'p99_us'), med('mixed', c, 'read_p99_us')
        print('%5s | %12.0f %12.0f | %10.0fus %10.0fus %8.2f | %10.0f %8.0fus' % (
            c, med('readonly', c, 'read_rps'), med('mixed', c, 'read_rps'), ro, mx, mx / ro,
            med('mixed', c, 'write_rps'), med('mixed', c, 'write_p99_us')))
failed = sum(int(r['failed']) for r in rows)
print()
print('failed replies: %d; every RESULT line: results.txt' % failed)
PY
  } | tee "$RESULTS/summary.txt"
  say "results in $RESULTS"
}

# Seconds for the mariadb client to stream one statement's rows to /dev/null.
stream_seconds() {
  local started
  started=$(date +%s.%N)
  db --quick --batch --skip-column-names "$1" -e "$2" >/dev/null
  elapsed_since "$started"
}

# The scale run: initial load time against streaming the same rows, and resident memory per
# stored list entry (own lists, private feeds and the public list) after the load.
scale() {
  local members=${SCALE_MEMBERS:-1000000} specials=${SCALE_SPECIALS:-1000000}
  local name=norvel_scale live="from_user = 1 AND state = 0 AND COALESCE(reader_type, 0) <> 2"
  build
  bash scripts/start_test_db.sh >/dev/null
  generate_data norvel_empty 0 0
  generate_data "$name" "$members" "$specials"

  start_norvel norvel_empty
  local base_rss
  base_rss=$(rss_kib "$norvel_pid")
  stop_norvel

  say "streaming the two load statements with the mariadb client"
  local stream_specials stream_members
  stream_specials=$(stream_seconds "$name" "SELECT special_id,member_id,reader_type FROM brix_mb_special WHERE from_user=1 and state = 0 ORDER BY member_id ASC")
  stream_members=$(stream_seconds "$name" "SELECT member_id,inviter_id FROM brix_member ORDER BY member_id ASC")

  start_norvel "$name"
  local rss
  rss=$(rss_kib "$norvel_pid")
  stop_norvel

  say "counting the stored list entries"
  local own pub pri
  own=$(db -N "$name" -e "SELECT COUNT(*) FROM brix_mb_special WHERE $live")
  pub=$(db -N "$name" -e "SELECT COUNT(*) FROM brix_mb_special WHERE $live AND COALESCE(reader_type, 0) = 0")
  pri=$(db -N "$name" -e "SELECT COUNT(*) FROM (
      SELECT member_id AS f, special_id FROM brix_mb_special WHERE $live
      UNION SELECT m.member_id, s.special_id FROM brix_member m JOIN brix_mb_special s
        ON s.member_id = m.inviter_id WHERE m.member_id > 0 AND m.inviter_id > 0 AND s.$live
      UNION SELECT m.inviter_id, s.special_id FROM brix_member m JOIN brix_mb_special s
        ON s.member_id = m.member_id WHERE m.member_id > 0 AND m.inviter_id > 0 AND s.$live) feeds")
  awk -v m="$members" -v s="$specials" -v ss="$stream_specials" -v sm="$stream_members" \
      -v loaded="$load_seconds" -v rss="$rss" -v base="$base_rss" -v own="$own" -v pub="$pub" \
      -v pri="$pri" 'BEGIN {
    entries = own + pub + pri
    printf "\nscale: %d members, %d specials\n", m, s
    printf "initial load (start to first reply) %.2f s; streaming both statements %.2f s (%.2f + %.2f); ratio %.2f\n",
           loaded, ss + sm, ss, sm, loaded / (ss + sm)
    printf "stored list entries: %d own + %d public + %d private feed = %d\n", own, pub, pri, entries
    printf "RSS after load %d KiB, empty daemon %d KiB: %.1f bytes per entry (%.1f without the empty daemon)\n",
           rss, base, rss * 1024 / entries, (rss - base) * 1024 / entries
  }' | tee "$BUILD_DIR/scale-summary.txt"
}

# perf_round LABEL PID CONNS ROUND-FUNCTION: one round with `perf stat` counting the server's
# CPU time (and instructions and cycles where the machine has the counters) over the measured
# window; prints them per request.
perf_round() {
  local label=$1 pid=$2 conns=$3 fn=$4
  "$fn" "$label" "$conns" >/dev/null &
  local client=$!
  sleep "$WARMUP"
  perf stat -x, -e instructions,cycles,task-clock -p "$pid" -o "$RESULTS/perf-$label.csv" \
    -- sleep "$DURATION" 2>/dev/null
  wait "$client"
  local rps
  rps=$(sed -n 's/.* rps=\([0-9.]*\) .*/\1/p' "$RESULTS/last.txt" | head -1)
  awk -F, -v label="$label" -v rps="$rps" -v d="$DURATION" '
    $3 ~ /^instructions/ { ins = $1 }
    $3 ~ /^cycles/ { cyc = $1 }
    $3 ~ /task-clock/ { ms = $1 }
    END {
      n = rps * d
      printf "%-8s %9.0f req/s  server CPU %5.1f us/req (%3.0f%% of a core)", label, rps,
             ms * 1000 / n, ms / 10 / d
      if (ins ~ /^[0-9.]+$/) printf "  %8.0f instructions/req  %8.0f cycles/req", ins / n, cyc / n
      printf "\n"
    }' "$RESULTS/perf-$label.csv"
}

# The profile run: the CPU time each server spends per request (robuster than throughput on a
# busy machine), then a sampled profile of the daemon under the read load and the mixed load.
profile() {
  command -v perf >/dev/null || die "perf is missing (apt-get install linux-perf)"
  build
  bash scripts/start_test_db.sh >/dev/null
  mkdir -p "$RESULTS"
  : >"$RESULTS/results.txt"
  generate_data "$BENCH_DB" "$MEMBERS" "$SPECIALS"
  bench/redis_stop.sh
  REDIS_CPU=$SERVER_CPU bench/redis_start.sh
  bench/redis_load.sh "$BENCH_DB" | tail -1
  start_norvel "$BENCH_DB"
  taskset -c "$SERVER_CPU" "$BUILD_DIR/bench/echo_server" --port "$ECHO_PORT" >"$RESULTS/echo.out" 2>&1 &
  echo_pid=$!
  local redis_pid conns=${PROFILE_CONNS:-16}
  redis_pid=$(cat "${REDIS_DIR:-/tmp/norvel-bench-redis}/redis.pid")
  for _ in $(seq 1 50); do port_in_use "$ECHO_PORT" && break; sleep 0.1; done

  say "server cost per request at $conns connections (perf stat)"
  {
    perf_round norvel "$norvel_pid" "$conns" norvel_read
    perf_round redis "$redis_pid" "$conns" redis_read
    perf_round echo "$echo_pid" "$conns" echo_read
    perf_round mixed "$norvel_pid" "$conns" norvel_mixed
  } | tee "$RESULTS/per-request.txt"

  local mode
  for mode in read mixed; do
    say "sampled profile of norvel, $mode load, $conns connections"
    local fn=norvel_read
    [ "$mode" = mixed ] && fn=norvel_mixed
    "$fn" "profile-$mode" "$conns" >/dev/null &
    local client=$!
    sleep "$WARMUP"
    perf record -F 2999 -g -p "$norvel_pid" -o "$RESULTS/perf-$mode.data" -- sleep "$DURATION" \
      >/dev/null 2>&1
    wait "$client"
    perf report -i "$RESULTS/perf-$mode.data" --no-children --sort dso,symbol --stdio \
      --percent-limit 0.7 -g none 2>/dev/null | grep -v '^#' | grep -v '^$' |
      sed 's/[[:space:]]*-[[:space:]]*-[[:space:]]*$//' >"$RESULTS/profile-$mode.txt" || true
    head -40 "$RESULTS/profile-$mode.txt"
  done
  say "results in $RESULTS (perf report -i $RESULTS/perf-read.data for the call graphs)"
}

# callgrind_round LABEL ROUND-FUNCTION: counts the daemon's instructions over one round (no
# warm-up, so every answered request is counted) and prints them per request.
callgrind_round() {
  local label=$1 fn=$2
  local before
  # Dumps asked for with -d are numbered parts (callgrind.out.<pid>.<n>); the files of whole
  # processes, written when they exit, are not looked at.
  before=$( (ls "$RESULTS"/callgrind.out.*.* 2>/dev/null || true) | wc -l)
  callgrind_control -z "$norvel_pid" >/dev/null 2>&1
  callgrind_control -i on "$norvel_pid" >/dev/null 2>&1
  WARMUP=0 "$fn" "cg-$label" 16 >/dev/null
  callgrind_control -i off "$norvel_pid" >/dev/null 2>&1
  callgrind_control -d "cg-$label" "$norvel_pid" >/dev/null 2>&1
  local requests out=""
  requests=$(awk '{ for (i = 1; i <= NF; i++) { split($i, kv, "="); f[kv[1]] = kv[2] } }
                  END { printf "%.0f", f["rps"] * f["seconds"] }' "$RESULTS/last.txt")
  # The dump is written by the daemon in its own time: wait for the new file to be complete.
  for _ in $(seq 1 300); do
    if [ "$( (ls "$RESULTS"/callgrind.out.*.* 2>/dev/null || true) | wc -l)" -gt "$before" ]; then
      out=$(ls -t "$RESULTS"/callgrind.out.*.* | head -1)
      grep -q '^totals:' "$out" && break
    fi
    sleep 0.2
  done
  [ -n "$out" ] || die "no callgrind dump appeared"
  mv "$out" "$RESULTS/callgrind-$label.out"
  local total
  total=$(callgrind_annotate "$RESULTS/callgrind-$label.out" 2>/dev/null |
          awk '/PROGRAM TOTALS/ { gsub(",", "", $1); print $1 }')
  printf '%-6s %8d requests  %8.0f instructions per request\n' "$label" "$requests" \
    "$(awk -v t="$total" -v n="$requests" 'BEGIN { print t / n }')" | tee -a "$RESULTS/callgrind.txt"
  callgrind_annotate --inclusive=no "$RESULTS/callgrind-$label.out" 2>/dev/null |
    sed -n '/^Ir/,$p' | head -40 >"$RESULTS/callgrind-$label-self.txt" || true
  callgrind_annotate --inclusive=yes "$RESULTS/callgrind-$label.out" 2>/dev/null |
    sed -n '/^Ir/,$p' | head -60 >"$RESULTS/callgrind-$label-inclusive.txt" || true
}

# The exact profile: the daemon under callgrind on a small data set, instructions per request
# under the read load and the mixed load, and the functions that execute them. Slow but exact,
# so it shows the effect of a change where timings on a busy machine cannot.
callgrind() {
  command -v valgrind >/dev/null || die "valgrind is missing (apt-get install valgrind)"
  build
  bash scripts/start_test_db.sh >/dev/null
  mkdir -p "$RESULTS"
  : >"$RESULTS/results.txt"
  : >"$RESULTS/callgrind.txt"
  MEMBERS=${CG_MEMBERS:-5000}
  generate_data norvel_small "$MEMBERS" "${CG_SPECIALS:-100000}"
  start_norvel norvel_small taskset -c "$SERVER_CPU" valgrind --tool=callgrind --trace-children=yes \
    --instr-atstart=no --callgrind-out-file="$RESULTS/callgrind.out.%p"
  DURATION=${CG_DURATION:-10}
  callgrind_round read norvel_read
  callgrind_round mixed norvel_mixed
  stop_norvel
  say "top functions (self) under the read load"
  head -30 "$RESULTS/callgrind-read-self.txt" || true
  say "results in $RESULTS (callgrind_annotate $RESULTS/callgrind-read.out)"
}

case "${1:-}" in
  --scale) scale ;;
  --profile) profile ;;
  --callgrind) callgrind ;;
  "") main ;;
  *) die "usage: bench/compare.sh [--scale | --profile | --callgrind]" ;;
esac
