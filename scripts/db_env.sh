# Settings of the project's private MariaDB server; sourced by the other scripts.
# Override any of them in the environment before calling a script.
NORVEL_DB_DATADIR=${NORVEL_DB_DATADIR:-/var/lib/norvel-mariadb}
NORVEL_DB_RUNDIR=${NORVEL_DB_RUNDIR:-/run/norvel-mariadb}
NORVEL_DB_SOCKET=${NORVEL_DB_SOCKET:-$NORVEL_DB_RUNDIR/mysqld.sock}
NORVEL_DB_HOST=${NORVEL_DB_HOST:-127.0.0.1}
NORVEL_DB_PORT=3306   # the daemon always connects on 3306
NORVEL_DB_USER=${NORVEL_DB_USER:-norvel}
NORVEL_DB_PASSWORD=${NORVEL_DB_PASSWORD:-norvel-local-pw}
NORVEL_DB_NAME=${NORVEL_DB_NAME:-norvel}
# Runs the client as the server's root over its socket.
norvel_db_root() { mariadb --protocol=socket --socket="$NORVEL_DB_SOCKET" -uroot "$@"; }
