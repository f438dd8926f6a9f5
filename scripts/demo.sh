#!/usr/bin/env bash
# The whole demo on a fresh Debian 12 machine: installs what norvel needs, builds it (Release),
# starts the private MariaDB with demo data, writes the daemon's configuration into a run
# directory, starts the daemon and shows a few requests and their replies.
# Idempotent: run it again and it rebuilds what changed, reseeds, and restarts the daemon.
#   bash scripts/demo.sh          run the demo (leaves the daemon running)
#   bash scripts/demo.sh --stop   stop the demo's daemon
# Needs root (it re-runs itself with sudo): it installs packages, runs MariaDB and writes
# /var/log/norvel.
set -euo pipefail

if [ "$(id -u)" -ne 0 ]; then
  exec sudo -E bash "$0" "$@"
fi

cd "$(dirname "$0")/.."
root=$(pwd)
build_dir="$root/build-demo"
run_dir="$build_dir/run"
daemon="$build_dir/norvel"
cli="$build_dir/norvel-cli"
pid_file="$run_dir/norvel.pid"
port=5000

say() { printf '\n== %s\n' "$*"; }

# Prints the pid of every running process whose executable is this demo's daemon.
demo_daemon_pids() {
  local proc exe
  for proc in /proc/[0-9]*; do
    exe=$(readlink "$proc/exe" 2>/dev/null || true)
    if [ "$exe" = "$daemon" ]; then
      echo "${proc#/proc/}"
    fi
  done
}

port_open() { (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; }

stop_demo_daemon() {
  local pids pid
  pids=$(demo_daemon_pids)
  if [ -z "$pids" ]; then
    rm -f "$pid_file"
    return 0
  fi
  for pid in $pids; do
    echo "stopping the demo daemon (pid $pid) with SIGTERM"
    kill -TERM "$pid" 2>/dev/null || true
  done
  for _ in $(seq 1 100); do
    [ -z "$(demo_daemon_pids)" ] && break
    sleep 0.1
  done
  if [ -n "$(demo_daemon_pids)" ]; then
    echo "the demo daemon did not stop within 10 s" >&2
    exit 1
  fi
  rm -f "$pid_file"
}

if [ "${1:-}" = "--stop" ]; then
  stop_demo_daemon
  exit 0
fi

say "installing dependencies (Debian packages)"
bash scripts/install_deps.sh

say "building norvel and norvel-cli (Release) in $build_dir"
cmake -S "$root" -B "$build_dir" -DCMAKE_BUILD_TYPE=Release \
  -DNORVEL_BUILD_TESTS=OFF -DNORVEL_BUILD_BENCH=OFF >/dev/null
cmake --build "$build_dir" -j "$(nproc)" --target norvel norvel-cli

say "starting the local MariaDB server and loading the demo data"
bash scripts/start_test_db.sh
. scripts/db_env.sh
if [ -f scripts/seed_demo.sh ]; then
  bash scripts/seed_demo.sh
else
  echo "scripts/seed_demo.sh is missing: the daemon will start with an empty database" >&2
fi

say "writing $run_dir/data/config/norvel.config.ini"
mkdir -p "$run_dir/data/config"
cat >"$run_dir/data/config/norvel.config.ini" <<CONFIG
{
  "DB": {
    "host": "$NORVEL_DB_HOST",
    "user": "$NORVEL_DB_USER",
    "passwd": "$NORVEL_DB_PASSWORD",
    "name": "$NORVEL_DB_NAME",
    "port": $NORVEL_DB_PORT
  }
}
CONFIG
chmod 600 "$run_dir/data/config/norvel.config.ini"  # it holds the database password
mkdir -p /var/log/norvel

say "starting the daemon"
stop_demo_daemon
if port_open; then
  echo "port $port is already in use by another program; stop it and run the demo again" >&2
  exit 1
fi
# The daemon forks twice and returns at once; it reads ./data/config from its working directory.
(cd "$run_dir" && "$daemon")
pid=""
for _ in $(seq 1 100); do
  pid=$(demo_daemon_pids | head -n1)
  [ -n "$pid" ] && port_open && break
  sleep 0.1
done
if [ -z "$pid" ]; then
  echo "the daemon did not start; see /tmp/norvel.out:" >&2
  tail -n 20 /tmp/norvel.out >&2 || true
  exit 1
fi
echo "$pid" >"$pid_file"
echo "norvel is running (pid $pid) on port $port, working directory $run_dir"

show() {  # show <request>: prints the request and the daemon's reply
  printf '\n> %s\n' "$1"
  "$cli" --port "$port" --timeout 60 "$1"
}

say "a few requests and their replies"
show '{"act":"follow","op":"fetch","params":{"user_id":2}}'
show '{"act":"inviter","op":"list","params":{"user_id":20}}'
show '{"act":"inviter","op":"invitees","params":{"user_id":1}}'
show '{"act":"special","op":"fetch_pub","params":{"special_id":-1,"count":5,"type":1}}'
show '{"act":"special","op":"fetch_pri","params":{"user_id":2,"special_id":-1,"count":5,"type":1}}'
show '{"act":"special","op":"fetch_self","params":{"user_id":2,"special_id":-1,"count":5,"type":1}}'
show '{"act":"special","op":"add","params":{"user_id":2,"specials":[{"spid":2000000000,"type":0}]}}'
sleep 0.3  # additions are applied by the daemon's workers shortly after the reply
show '{"act":"special","op":"fetch_pub","params":{"special_id":-1,"count":3,"type":1}}'
show '{"act":"nothing"}'

cat <<DONE

The daemon keeps running. Try more requests, one JSON document per line:
  $cli '{"act":"follow","op":"fetch","params":{"user_id":3}}'
Its output is in /tmp/norvel.out, its event log in /var/log/norvel/norvel_$(date +%Y%m%d).txt.
Stop it with: bash scripts/demo.sh --stop   (or: kill -TERM \$(cat $pid_file))
DONE
