#!/usr/bin/env bash
# Measures what one client pipelining "inviter add" requests beyond the inviter index does to the
# daemon and to another client (tests/soak/inviter_flood.py): adds answered in 10 s, reloads of
# the member table, the other client's fetch_pri latencies (over the window, and for the
# requests sent while the flood was still being answered); then an add while the member table
# is locked (a hung database) and SIGTERM while it still is. Runs in private namespaces
# (scripts/isolated.sh), so it needs no port-5000 lock.
#
# Usage: scripts/inviter_flood.sh [--members N] [--adds N] [--config JSON] [--skip-hang]
#                                 [--present] [--scrapes N] [--loop-time]
#   --present    the flood's members are stored in the member table (after the load)
#   --scrapes N  a third client scrapes the metrics endpoint N times a second meanwhile
#   --adds 0     no flood: the reading client alone (with --scrapes: what scrapes cost it)
#   --loop-time  the request handlers' time on the event loop while the flood is answered
# Environment: NORVEL_DAEMON (a binary to use instead of building one), FLOOD_BUILD_DIR (default
# build-soak).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

bash scripts/start_test_db.sh >/dev/null
. scripts/db_env.sh
. scripts/isolated.sh

build=${FLOOD_BUILD_DIR:-$root/build-soak}
daemon_under_test "$build"

db_name=norvel_inviter_flood_$$
run_dir=$build/inviter-flood-run
rm -rf "$run_dir"
mkdir -p "$run_dir"
trap "norvel_db_root -e 'DROP DATABASE IF EXISTS \`$db_name\`' || true" EXIT
norvel_db_root -e "CREATE DATABASE \`$db_name\`"
norvel_db_root "$db_name" < db/schema.sql

echo "== inviter flood: daemon $daemon"
MYSQL_UNIX_PORT=$NORVEL_DB_SOCKET run_isolated "$run_dir" \
  "$python" "$root/tests/soak/inviter_flood.py" --daemon "$daemon" --run-dir "$run_dir" \
    --db-socket "$NORVEL_DB_SOCKET" --db-user "$NORVEL_DB_USER" \
    --db-password "$NORVEL_DB_PASSWORD" --db-name "$db_name" "$@"
