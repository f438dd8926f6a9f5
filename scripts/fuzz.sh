#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer + UndefinedBehaviorSanitizer) and
# runs each of them for a bounded time, starting from the seed corpus in fuzz/corpus/<target>.
#
# Usage: scripts/fuzz.sh [--short] [--merge] [target...]
#   --short   60 seconds per target (what CI runs); default 900 seconds per target
#   --merge   afterwards, add the inputs that reach new code to fuzz/corpus/<target>
#   target    frame_fuzz, request_fuzz, request_diff_fuzz, config_fuzz (default: all four)
# Environment: FUZZ_SECONDS overrides the time per target; FUZZ_BUILD_DIR the build tree
# (default build-fuzz).
# New inputs collect in <build>/corpus/<target>, never in the repository unless --merge is given.
# A crash, leak, sanitizer report, timeout or failed check leaves its input in
# <build>/artifacts/<target>/ and makes the script exit with status 1 after all targets ran.
# Replay one with: <build>/fuzz/<target> <file>
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

seconds=900
merge=0
targets=()
for arg in "$@"; do
  case "$arg" in
    --short) seconds=60 ;;
    --merge) merge=1 ;;
    frame_fuzz|request_fuzz|request_diff_fuzz|config_fuzz) targets+=("$arg") ;;
    *) echo "usage: $0 [--short] [--merge] [frame_fuzz|request_fuzz|request_diff_fuzz|config_fuzz...]" >&2; exit 2 ;;
  esac
done
seconds=${FUZZ_SECONDS:-$seconds}
if [ ${#targets[@]} -eq 0 ]; then
  targets=(frame_fuzz request_fuzz request_diff_fuzz config_fuzz)
fi
build=${FUZZ_BUILD_DIR:-$root/build-fuzz}

if ! command -v clang++ >/dev/null; then
  echo "fuzz: clang++ not found (scripts/install_deps.sh installs it)" >&2
  exit 1
fi

echo "== fuzz: building ${targets[*]} in $build"
CXX=clang++ cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNORVEL_BUILD_FUZZ=ON \
  -DNORVEL_BUILD_TESTS=OFF -DNORVEL_BUILD_BENCH=OFF -DNORVEL_WERROR=ON >/dev/null
cmake --build "$build" -j "$(nproc)" --target "${targets[@]}"

# Sizes: frames carry whole requests (and bad headers), params and configurations are small.
max_len() {
  case "$1" in
    frame_fuzz) echo 16384 ;;
    *) echo 4096 ;;
  esac
}

failed=()
for target in "${targets[@]}"; do
  work="$build/corpus/$target"
  artifacts="$build/artifacts/$target"
  mkdir -p "$work" "$artifacts"
  echo "== fuzz: $target for ${seconds}s"
  # -timeout: one input taking 10 s is a hang. -rss_limit_mb: the store is rebuilt now and then,
  # so growing past 2 GiB is a leak. -error_exitcode keeps check failures and reports apart from
  # a fuzzer that could not start.
  if ! (cd "$artifacts" && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
        UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        "$build/fuzz/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -max_len="$(max_len "$target")" -print_final_stats=1 -artifact_prefix="$artifacts/" \
        "$work" "$root/fuzz/corpus/$target" >"$build/$target.log" 2>&1); then
    echo "fuzz: $target FAILED; see $build/$target.log and $artifacts" >&2
    grep -E "ERROR|SUMMARY|_fuzz: |Test unit written" "$build/$target.log" >&2 || true
    failed+=("$target")
    continue
  fi
  grep -E "^stat::number_of_executed_units|DONE" "$build/$target.log" || true
  if [ "$merge" = 1 ]; then
    "$build/fuzz/$target" -merge=1 -max_len="$(max_len "$target")" \
      "$root/fuzz/corpus/$target" "$work" >>"$build/$target.log" 2>&1
    echo "fuzz: merged new inputs into fuzz/corpus/$target"
  fi
done

if [ ${#failed[@]} -ne 0 ]; then
  echo "fuzz: failures in ${failed[*]}" >&2
  exit 1
fi
echo "fuzz: ${targets[*]} ran ${seconds}s each without a finding"
