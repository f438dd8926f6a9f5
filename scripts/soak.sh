#!/usr/bin/env bash
# Soak test: builds the daemon, seeds a fresh database, starts the daemon in private network and
# mount namespaces (scripts/isolated.sh) and drives it from tests/soak/soak.py with hundreds of
# connections sending a random mix of valid requests, invalid JSON, wrong parameter types,
# oversized and negative headers and abrupt disconnects; then compares the store with a model,
# sends SIGTERM during a new round of load and checks the exit status, the log and the files.
#
# Usage: scripts/soak.sh [--short] [--seconds N] [--connections N] [--flood N]
#   default: 300 seconds with 300 connections; --short: 60 seconds with 200 connections.
#   --flood N: also N connections of tests/soak/flood.py, pipelining large changes faster than
#   the workers apply them, for the load's time less 30 s.
# Environment: NORVEL_DAEMON: a daemon binary to use instead of building one (an ASan build,
# say); SOAK_RSS_CHECK=0 skips the memory verdict (meaningless under ASan); SOAK_BUILD_DIR: the
# build tree (default build-soak).
# Exit status 0 when every check held. The figures are printed and kept in
# <build>/soak-run/report.json.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

seconds=300
connections=300
flood=0
while [ $# -gt 0 ]; do
  case "$1" in
    --short) seconds=60; connections=200 ;;
    --seconds) seconds=$2; shift ;;
    --connections) connections=$2; shift ;;
    --flood) flood=$2; shift ;;
    *) echo "usage: $0 [--short] [--seconds N] [--connections N] [--flood N]" >&2; exit 2 ;;
  esac
  shift
done

bash scripts/install_deps.sh
bash scripts/start_test_db.sh >/dev/null
. scripts/db_env.sh
. scripts/isolated.sh

build=${SOAK_BUILD_DIR:-$root/build-soak}
daemon_under_test "$build"

# Each run gets its own database, dropped at the end.
db_name=norvel_soak_$$
run_dir=$build/soak-run
rm -rf "$run_dir"
mkdir -p "$run_dir/work"
seeded_database "$db_name" "$run_dir/work"

echo "== soak: ${seconds}s, $connections connections, daemon $daemon"
extra=()
[ "${SOAK_RSS_CHECK:-1}" = 0 ] && extra+=(--no-rss-check)
status=0
# The flood, when asked for, runs beside the soak in the same namespaces; either failing fails.
with_flood() {
  local flood_pid="" status=0
  if [ "$flood" -gt 0 ]; then
    "$python" "$root/tests/soak/flood.py" --connections "$flood" \
      --seconds "$((seconds > 60 ? seconds - 30 : seconds / 2))" &
    flood_pid=$!
  fi
  "$@" || status=$?
  if [ -n "$flood_pid" ]; then
    wait "$flood_pid" || status=1
  fi
  return $status
}
export -f with_flood
export flood seconds python root
MYSQL_UNIX_PORT=$NORVEL_DB_SOCKET run_isolated "$run_dir" bash -c 'with_flood "$@"' with_flood \
  "$python" "$root/tests/soak/soak.py" --daemon "$daemon" --work-dir "$run_dir/work" \
    --db-host localhost --db-user "$NORVEL_DB_USER" --db-password "$NORVEL_DB_PASSWORD" \
    --db-name "$db_name" --seconds "$seconds" --connections "$connections" \
    --report "$run_dir/report.json" "${extra[@]}" || status=$?
echo "soak: log and output kept in $run_dir/log/norvel and $run_dir/tmp"
exit $status
