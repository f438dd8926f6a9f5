#!/usr/bin/env bash
# Stops the project's private MariaDB server started by scripts/start_test_db.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/db_env.sh
if norvel_db_root -e 'SELECT 1' >/dev/null 2>&1; then
  norvel_db_root -e 'SHUTDOWN' || true
  for _ in $(seq 1 60); do
    [ -e "$NORVEL_DB_RUNDIR/mysqld.pid" ] || break
    sleep 0.5
  done
fi
echo "MariaDB stopped"
