#!/usr/bin/env bash
# Installs what the tests need, starts the private MariaDB server, builds and runs every test:
# the plain build (unit, integration, end to end), the AddressSanitizer+UBSan build, the
# ThreadSanitizer build of the concurrency tests, and short fuzz runs.
# Usage: scripts/run_tests.sh [--quick]   (--quick: plain build only)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc)

bash scripts/install_deps.sh
bash scripts/start_test_db.sh

build() {  # build <dir> <cmake args...>
  local dir=$1; shift
  cmake -S "$root" -B "$dir" -DNORVEL_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
}

echo "== plain build: all tests"
build build-ci -DCMAKE_BUILD_TYPE=RelWithDebInfo
(cd build-ci && ctest --output-on-failure -j "$jobs")

if [ "${1:-}" = "--quick" ]; then
  exit 0
fi

echo "== AddressSanitizer + UndefinedBehaviorSanitizer: all tests"
build build-asan -DCMAKE_BUILD_TYPE=Debug -DNORVEL_SANITIZE=address,undefined -DNORVEL_BUILD_BENCH=OFF
(cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --output-on-failure -j "$jobs")

echo "== ThreadSanitizer: concurrency tests"
build build-tsan -DCMAKE_BUILD_TYPE=Debug -DNORVEL_SANITIZE=thread -DNORVEL_BUILD_BENCH=OFF
(cd build-tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 ctest --output-on-failure -L tsan -j "$jobs")

if [ -x scripts/fuzz.sh ]; then
  echo "== short fuzz runs"
  bash scripts/fuzz.sh --short
fi
