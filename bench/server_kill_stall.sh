#!/usr/bin/env bash
# How long a node goes without applying after a stream server dies: three clustered stream servers
# and two nodes taking changes through both front doors; the servers are killed with SIGKILL in
# turn (and started again), and after each kill the time from the first change the stream
# acknowledges to its taking effect on both nodes is taken. Prints every figure, then the median
# and the maximum.
# Usage: bench/server_kill_stall.sh [KILLS] [BUILD_DIR]   (20 kills, build-ci by default; needs the
# test database: scripts/start_test_db.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
kills=${1:-20}
build=${2:-build-ci}
NORVEL_KILL_ROUNDS=$kills "$build/tests/e2e_site_faults_test" \
  --gtest_filter='SiteFaults.EveryNodeTakesUpApplyingAfterEachStreamServerIsKilledInTurn' |
  grep -E '^server [0-9]+ killed' | tee /dev/stderr |
  awk '{ print $(NF-1) }' | sort -n |
  awk '{ v[NR] = $1 } END {
         if (NR == 0) { print "no kill was measured"; exit 1 }
         m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
         printf "kills %d: median %.3f s, max %.3f s\n", NR, m, v[NR] }'
