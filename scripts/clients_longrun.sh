#!/usr/bin/env bash
# The client libraries' long run, by hand: both libraries against a real site (two nodes on three
# stream servers, or --kind single) for 10 minutes while requests time out at random and nodes are
# paused and killed; fails if any request was ever answered with another request's reply.
# The daemon runs in the foreground on free loopback ports (never port 5000 or /tmp/norvel.out).
# Usage: scripts/clients_longrun.sh [--minutes N] [--kind stream|single] [--threads N] [--seed N]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
bash scripts/install_deps.sh
bash scripts/start_test_db.sh
daemon=${NORVEL_DAEMON:-}
if [ -z "$daemon" ]; then
  cmake -S "$root" -B build-longrun -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNORVEL_BUILD_TESTS=OFF \
    -DNORVEL_BUILD_BENCH=OFF >/dev/null
  cmake --build build-longrun -j "$(nproc)" --target norvel
  daemon=$root/build-longrun/norvel
fi
exec /usr/bin/python3 clients/conformance/longrun.py --daemon "$daemon" "$@"
