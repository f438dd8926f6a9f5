# Runs a command in private network and mount namespaces, so a daemon started by it can use port
# 5000, /var/log/norvel and /tmp/norvel.out without meeting any other daemon or test on this
# machine: the network has only its own loopback; /var/log is a bind mount of a directory under
# the given run directory, so /var/log/norvel may even be removed and made again, and
# /tmp/norvel.out one of a file there. (Not the whole of /tmp: the checkout, and with it the
# daemon and the scripts, may well live under /tmp.) The database is reached through its Unix
# socket (host "localhost" with MYSQL_UNIX_PORT), since the namespace's loopback has no server
# on 3306.
# Sourced by scripts/soak.sh and scripts/faults.sh, with the preparation they share (below).
#
# run_isolated <run dir> <command...>: answers the command's exit status. Without the rights to
# make namespaces it runs the command directly (port 5000 must then be free) and says so; inside
# the namespaces NORVEL_ISOLATED=1 tells the command where it is.
run_isolated() {
  local run_dir=$1; shift
  mkdir -p "$run_dir/log/norvel" "$run_dir/tmp"
  if unshare --net --mount --pid --fork --mount-proc true 2>/dev/null; then
    # A pid namespace too: when the command ends, the kernel ends every process it left behind.
    unshare --net --mount --pid --fork --mount-proc -- bash -c '
      set -e
      ip link set lo up
      mount --bind "$0/log" /var/log
      touch "$0/tmp/norvel.out" /tmp/norvel.out
      mount --bind "$0/tmp/norvel.out" /tmp/norvel.out
      NORVEL_ISOLATED=1 exec "$@"' "$run_dir" "$@"
  else
    echo "warning: cannot make namespaces; running against the real port 5000 and log paths" >&2
    mkdir -p /var/log/norvel
    "$@"
  fi
}

# ---- the preparation soak.sh and faults.sh share ----

# Debian's interpreter (install_deps.sh), not whatever a version manager puts first on PATH.
python=${PYTHON:-/usr/bin/python3}

# daemon_under_test <build dir>: sets `daemon` to the absolute path of $NORVEL_DAEMON when given
# (an ASan build, say), else builds the release daemon in <build dir>.
daemon_under_test() {
  local build=$1
  daemon=${NORVEL_DAEMON:-}
  if [ -z "$daemon" ]; then
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNORVEL_BUILD_TESTS=OFF \
      -DNORVEL_BUILD_BENCH=OFF >/dev/null
    cmake --build "$build" -j "$(nproc)" --target norvel
    daemon=$build/norvel
  fi
  daemon=$(readlink -f "$daemon")
}

# seeded_database <name> <work dir>: creates the database with the schema and the soak's seed
# rows, and drops it again when the calling script exits.
seeded_database() {
  local name=$1 work_dir=$2
  trap "norvel_db_root -e 'DROP DATABASE IF EXISTS \`$name\`' || true" EXIT
  norvel_db_root -e "CREATE DATABASE \`$name\`"
  norvel_db_root "$name" < db/schema.sql
  "$python" tests/soak/soak.py --daemon "$daemon" --work-dir "$work_dir" --db-name "$name" \
    --print-seed-sql | norvel_db_root "$name"
}
