# Runs a command in private network and mount namespaces, so a daemon started by it can use port
# 5000, /var/log/norvel and /tmp/norvel.out without meeting any other daemon or test on this
# machine, and without touching theirs: the network has only its own loopback; /var/log is a bind
# mount of a directory under the given run directory, so /var/log/norvel may even be removed and
# made again; /tmp is a fresh tmpfs into which the checkout, the daemon's directory and the run
# directory are mounted back when they live under /tmp, and /tmp/norvel.out there is a bind
# mount of a file in the run directory. The database is reached through its Unix socket (host "localhost" with
# MYSQL_UNIX_PORT), since the namespace's loopback has no server on 3306.
# Sourced by scripts/soak.sh and scripts/faults.sh, with the preparation they share (below).
#
# run_isolated <run dir> <command...>: answers the command's exit status. Without the rights to
# make namespaces it runs the command directly (port 5000 must then be free) and says so; inside
# the namespaces NORVEL_ISOLATED=1 tells the command where it is.
run_isolated() {
  local run_dir
  mkdir -p "$1/log/norvel" "$1/tmp"
  run_dir=$(readlink -f "$1"); shift
  touch "$run_dir/tmp/norvel.out"
  if unshare --net --mount --pid --fork --mount-proc true 2>/dev/null; then
    # A pid namespace too: when the command ends, the kernel ends every process it left behind.
    # The host's /tmp stays reachable through descriptor 8 while the private one is filled.
    unshare --net --mount --pid --fork --mount-proc -- bash -c '
      set -e
      run_dir=$0 checkout=$1 daemon_dir=$2; shift 2
      ip link set lo up
      mount --bind "$run_dir/log" /var/log
      exec 8</tmp
      mount -t tmpfs -o mode=1777 tmpfs /tmp
      for dir in "$checkout" "$daemon_dir" "$run_dir"; do
        case $dir in
          /tmp/*)
            host_view=/proc/self/fd/8/${dir#/tmp/}
            if [ -d "$host_view" ]; then
              mkdir -p "$dir"
              mount --no-canonicalize --rbind "$host_view" "$dir"
            fi ;;
        esac
      done
      exec 8<&-
      touch /tmp/norvel.out
      mount --bind "$run_dir/tmp/norvel.out" /tmp/norvel.out
      NORVEL_ISOLATED=1 exec "$@"' "$run_dir" "$(readlink -f "$root")" \
      "$(dirname "${daemon:-$root/.}")" "$@"
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
