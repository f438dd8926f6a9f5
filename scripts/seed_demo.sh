#!/usr/bin/env bash
# Loads the demo data (db/demo_data.sql) into the demo database (default `norvel`) of the
# project's private MariaDB server, after making sure the schema is there. Idempotent: each run
# replaces the two tables' content with the same data. Needs the server started by
# scripts/start_test_db.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/db_env.sh

norvel_db_root -e "CREATE DATABASE IF NOT EXISTS \`$NORVEL_DB_NAME\` CHARACTER SET utf8mb4"
norvel_db_root "$NORVEL_DB_NAME" < db/schema.sql
norvel_db_root "$NORVEL_DB_NAME" < db/demo_data.sql
norvel_db_root -N "$NORVEL_DB_NAME" <<'SQL'
SELECT CONCAT('demo data loaded: ', (SELECT COUNT(*) FROM brix_member), ' members, ',
              (SELECT COUNT(*) FROM brix_mb_special), ' specials');
SQL
