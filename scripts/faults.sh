#!/usr/bin/env bash
# Fault injection: builds the daemon, seeds a fresh database (the soak's data plus 300,000 more
# specials so the initial load takes long enough to be interrupted), and runs
# tests/soak/faults.py in private network and mount namespaces (scripts/isolated.sh): the load's
# database connection killed mid-load, the database down at start, a failing reload of the
# inviter index, the log directory missing and removed, a client that never reads.
#
# Usage: scripts/faults.sh      Environment: NORVEL_DAEMON (a binary to use instead of building
# one), FAULTS_MEMORY_CHECK=0 (skip the memory bound of the never-reading client, meaningless
# under ASan), FAULTS_BUILD_DIR (default build-soak). Exit status 0 when every check held.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

bash scripts/install_deps.sh
bash scripts/start_test_db.sh >/dev/null
. scripts/db_env.sh
. scripts/isolated.sh

build=${FAULTS_BUILD_DIR:-$root/build-soak}
daemon_under_test "$build"

db_name=norvel_faults_$$
run_dir=$build/faults-run
rm -rf "$run_dir"
mkdir -p "$run_dir"
seeded_database "$db_name" "$run_dir"
# 300,000 more public specials of members 1..200, ids above the seed's.
norvel_db_root "$db_name" <<'SQL'
INSERT INTO brix_mb_special (special_id, member_id, reader_type, from_user, state)
SELECT 100000 + seq, 1 + seq % 200, 0, 1, 0 FROM seq_0_to_299999;
SQL

echo "== faults: daemon $daemon"
extra=()
[ "${FAULTS_MEMORY_CHECK:-1}" = 0 ] && extra+=(--no-memory-check)
status=0
MYSQL_UNIX_PORT=$NORVEL_DB_SOCKET run_isolated "$run_dir" \
  "$python" "$root/tests/soak/faults.py" --daemon "$daemon" --run-dir "$run_dir" \
    --db-socket "$NORVEL_DB_SOCKET" --db-user "$NORVEL_DB_USER" \
    --db-password "$NORVEL_DB_PASSWORD" --db-name "$db_name" "${extra[@]}" || status=$?
echo "faults: logs and output kept in $run_dir/log/norvel and $run_dir/tmp"
exit $status
