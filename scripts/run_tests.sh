#!/usr/bin/env bash
# Installs what the tests need, starts the private MariaDB server, builds and runs every test:
# the plain build (unit, integration, end to end), the AddressSanitizer+UBSan build, the
# ThreadSanitizer build of the concurrency tests, short fuzz runs, and a short soak and the fault
# injection against the AddressSanitizer build of the daemon.
# The Clang build of the core library checks the lock annotations.
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

# Sanitizer reports of processes that no test watches (ASAN_OPTIONS sends them to files) must fail
# the run too. The detached daemons write theirs to their /tmp/norvel.out, which is private to
# each end-to-end test, soak and fault run (tests/support/private_host.h, scripts/isolated.sh):
# those check it themselves.
sanitizer_reports() {  # sanitizer_reports <report dir>
  if compgen -G "$1/*" >/dev/null; then
    echo "sanitizer reports:" >&2
    cat "$1"/* >&2
    return 1
  fi
}

echo "== plain build: all tests and the fuzz corpus replays"
build build-ci -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNORVEL_BUILD_FUZZ=ON
(cd build-ci && ctest --output-on-failure -j "$jobs")

echo "== Clang lock annotations: every room and the daemon with -Wthread-safety -Werror"
CXX=clang++ cmake -S "$root" -B build-clang -DNORVEL_WERROR=ON -DCMAKE_BUILD_TYPE=Debug \
  -DNORVEL_BUILD_TESTS=OFF -DNORVEL_BUILD_BENCH=OFF >/dev/null
cmake --build build-clang -j "$jobs" --target norvel

if [ "${1:-}" = "--quick" ]; then
  exit 0
fi

echo "== AddressSanitizer + UndefinedBehaviorSanitizer: all tests and the fuzz corpus replays"
build build-asan -DCMAKE_BUILD_TYPE=Debug -DNORVEL_SANITIZE=address,undefined -DNORVEL_BUILD_BENCH=OFF \
  -DNORVEL_BUILD_FUZZ=ON
reports=$root/build-asan/sanitizer-reports
rm -rf "$reports" && mkdir -p "$reports"
status=0
(cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:log_path=$reports/asan \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure -j "$jobs") || status=$?
sanitizer_reports "$reports" || status=1
[ "$status" = 0 ] || exit "$status"

echo "== ThreadSanitizer: concurrency tests"
# The target norvel_tsan_tests builds every executable labelled tsan (NORVEL_TSAN_TESTS in
# tests/CMakeLists.txt); one that did not build leaves a placeholder labelled tsan that fails.
cmake -S "$root" -B build-tsan -DNORVEL_WERROR=ON -DCMAKE_BUILD_TYPE=Debug -DNORVEL_SANITIZE=thread \
  -DNORVEL_BUILD_BENCH=OFF >/dev/null
cmake --build build-tsan -j "$jobs" --target norvel_tsan_tests
(cd build-tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --output-on-failure --no-tests=error -L tsan -j "$jobs")

echo "== short fuzz runs"
bash scripts/fuzz.sh --short

echo "== short soak and fault injection against the AddressSanitizer daemon"
# Resident memory under ASan says nothing about the daemon's own (its quarantine holds freed
# memory), so the soak's memory verdict belongs to the plain build's longer runs.
NORVEL_DAEMON=$root/build-asan/norvel SOAK_RSS_CHECK=0 bash scripts/soak.sh --short
NORVEL_DAEMON=$root/build-asan/norvel FAULTS_MEMORY_CHECK=0 bash scripts/faults.sh
sanitizer_reports "$reports"
