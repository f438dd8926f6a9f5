#!/usr/bin/env bash
# Fails (status 1, naming the files) when a tracked C++ file differs from what clang-format makes
# of it with the project's .clang-format. Fix with: clang-format -i <file>...
# Usage: scripts/check_format.sh [SOURCE_DIR]
set -euo pipefail
cd "${1:-$(dirname "$0")/..}"
command -v clang-format >/dev/null || { echo "clang-format is missing (apt-get install clang-format)"; exit 1; }
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  mapfile -t files < <(git ls-files '*.cpp' '*.h')
else
  mapfile -t files < <(find src tests bench fuzz tools -name '*.cpp' -o -name '*.h' | sort)
fi
if ! clang-format --dry-run -Werror "${files[@]}" 2>"${TMPDIR:-/tmp}/norvel-format.$$"; then
  grep -o '^[^:]*\.\(cpp\|h\)' "${TMPDIR:-/tmp}/norvel-format.$$" | sort -u |
    sed 's/^/not formatted: /'
  rm -f "${TMPDIR:-/tmp}/norvel-format.$$"
  exit 1
fi
rm -f "${TMPDIR:-/tmp}/norvel-format.$$"
echo "format: ${#files[@]} files as clang-format makes them"
