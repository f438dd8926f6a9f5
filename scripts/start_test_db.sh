#!/usr/bin/env bash
# Initialises (once) and starts the project's private MariaDB server on 127.0.0.1:3306, with its
# own data directory, then makes sure the user and the demo database with its schema exist.
# Idempotent: a server that already answers is left running. Stop it with scripts/stop_test_db.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/db_env.sh

mkdir -p "$NORVEL_DB_RUNDIR"
if ! norvel_db_root -e 'SELECT 1' >/dev/null 2>&1; then
  if [ ! -d "$NORVEL_DB_DATADIR/mysql" ]; then
    mkdir -p "$NORVEL_DB_DATADIR"
    mariadb-install-db --user=root --datadir="$NORVEL_DB_DATADIR" \
      --auth-root-authentication-method=socket --skip-test-db >/dev/null
  fi
  if (exec 3<>/dev/tcp/127.0.0.1/3306) 2>/dev/null; then
    echo "port 3306 is taken by another server; stop it first" >&2
    exit 1
  fi
  nohup mariadbd --user=root --datadir="$NORVEL_DB_DATADIR" --socket="$NORVEL_DB_SOCKET" \
    --pid-file="$NORVEL_DB_RUNDIR/mysqld.pid" --bind-address=127.0.0.1 --port=3306 \
    --skip-name-resolve --max-connections=500 --innodb-buffer-pool-size=512M \
    --innodb-flush-log-at-trx-commit=2 --log-error="$NORVEL_DB_DATADIR/error.log" \
    >/dev/null 2>&1 &
  for _ in $(seq 1 60); do
    norvel_db_root -e 'SELECT 1' >/dev/null 2>&1 && break
    sleep 0.5
  done
  if ! norvel_db_root -e 'SELECT 1' >/dev/null 2>&1; then
    echo "MariaDB did not start; see $NORVEL_DB_DATADIR/error.log" >&2
    tail -20 "$NORVEL_DB_DATADIR/error.log" >&2 || true
    exit 1
  fi
fi

# The user may create databases: the tests make a fresh one per suite.
norvel_db_root <<SQL
CREATE USER IF NOT EXISTS '$NORVEL_DB_USER'@'127.0.0.1' IDENTIFIED BY '$NORVEL_DB_PASSWORD';
CREATE USER IF NOT EXISTS '$NORVEL_DB_USER'@'localhost' IDENTIFIED BY '$NORVEL_DB_PASSWORD';
GRANT ALL PRIVILEGES ON *.* TO '$NORVEL_DB_USER'@'127.0.0.1';
GRANT ALL PRIVILEGES ON *.* TO '$NORVEL_DB_USER'@'localhost';
CREATE DATABASE IF NOT EXISTS \`$NORVEL_DB_NAME\` CHARACTER SET utf8mb4;
SQL
if [ -f db/schema.sql ]; then
  norvel_db_root "$NORVEL_DB_NAME" < db/schema.sql
fi
echo "MariaDB ready on 127.0.0.1:3306 (user $NORVEL_DB_USER, database $NORVEL_DB_NAME)"
