#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer + UndefinedBehaviorSanitizer) and
# runs each of them for a bounded time, starting from the seed corpus in fuzz/corpus/<target>.
#
# Usage: scripts/fuzz.sh [--short] [--merge] [--together] [target...]
#   --short   40 seconds per target (what CI runs); default 900 seconds per target
#   --merge   afterwards, add the inputs that reach new code to fuzz/corpus/<target>
#   --together  run the targets at once (one process each) instead of one after another; for the
#             long runs by hand, beside other work: `nice -n 19 scripts/fuzz.sh --together`
#   target    frame_fuzz, request_fuzz, request_diff_fuzz, config_fuzz, metrics_http_fuzz,
#             row_fuzz (default: all six)
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
together=0
all_targets=(frame_fuzz request_fuzz request_diff_fuzz config_fuzz metrics_http_fuzz row_fuzz)
targets=()
for arg in "$@"; do
  case "$arg" in
    --short) seconds=40 ;;
    --merge) merge=1 ;;
    --together) together=1 ;;
    frame_fuzz|request_fuzz|request_diff_fuzz|config_fuzz|metrics_http_fuzz|row_fuzz)
      targets+=("$arg") ;;
    *) echo "usage: $0 [--short] [--merge] [--together] [${all_targets[*]}...]" >&2; exit 2 ;;
  esac
done
seconds=${FUZZ_SECONDS:-$seconds}
if [ ${#targets[@]} -eq 0 ]; then
  targets=("${all_targets[@]}")
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
    frame_fuzz|metrics_http_fuzz) echo 16384 ;;
    *) echo 4096 ;;
  esac
}

# Runs one target; status 1 on a finding.
run_target() {
  local target=$1
  local work="$build/corpus/$target"
  local artifacts="$build/artifacts/$target"
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
    return 1
  fi
  echo "fuzz: $target: $(grep -E "^stat::number_of_executed_units" "$build/$target.log" | awk '{print $2}') inputs," \
    "$(grep -E "^stat::average_exec_per_sec" "$build/$target.log" | awk '{print $2}')/s," \
    "$(grep -oE "cov: [0-9]+" "$build/$target.log" | tail -1) edges"
  if [ "$merge" = 1 ]; then
    "$build/fuzz/$target" -merge=1 -max_len="$(max_len "$target")" \
      "$root/fuzz/corpus/$target" "$work" >>"$build/$target.log" 2>&1
    echo "fuzz: merged new inputs into fuzz/corpus/$target"
  fi
}

failed=()
if [ "$together" = 1 ]; then
  declare -A pids
  for target in "${targets[@]}"; do
    run_target "$target" &
    pids[$target]=$!
  done
  for target in "${targets[@]}"; do
    wait "${pids[$target]}" || failed+=("$target")
  done
else
  for target in "${targets[@]}"; do
    run_target "$target" || failed+=("$target")
  done
fi

if [ ${#failed[@]} -ne 0 ]; then
  echo "fuzz: failures in ${failed[*]}" >&2
  exit 1
fi
echo "fuzz: ${targets[*]} ran ${seconds}s each without a finding"
