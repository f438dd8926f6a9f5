#!/usr/bin/env bash
# Soak test: builds the daemon, seeds a fresh database, starts the daemon in private network and
# mount namespaces (scripts/isolated.sh) and drives it from tests/soak/soak.py with hundreds of
# connections sending a random mix of valid requests, invalid JSON, wrong parameter types,
# oversized and negative headers and abrupt disconnects; then compares the store with a model,
# sends SIGTERM during a new round of load and checks the exit status, the log and the files.
#
# Usage: scripts/soak.sh [--short] [--seconds N] [--connections N]
#   default: 300 seconds with 300 connections; --short: 60 seconds with 200 connections.
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
while [ $# -gt 0 ]; do
  case "$1" in
    --short) seconds=60; connections=200 ;;
    --seconds) seconds=$2; shift ;;
    --connections) connections=$2; shift ;;
    *) echo "usage: $0 [--short] [--seconds N] [--connections N]" >&2; exit 2 ;;
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
MYSQL_UNIX_PORT=$NORVEL_DB_SOCKET run_isolated "$run_dir" \
  "$python" "$root/tests/soak/soak.py" --daemon "$daemon" --work-dir "$run_dir/work" \
    --db-host localhost --db-user "$NORVEL_DB_USER" --db-password "$NORVEL_DB_PASSWORD" \
    --db-name "$db_name" --seconds "$seconds" --connections "$connections" \
    --report "$run_dir/report.json" "${extra[@]}" || status=$?
echo "soak: log and output kept in $run_dir/log/norvel and $run_dir/tmp"
exit $status
