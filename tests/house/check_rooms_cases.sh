#!/usr/bin/env bash
# The room check against a small tree of its own: a tree as the map says passes, and each of the
# faults it is there for fails it: an include of a room not named, a named room not included, a
# "May include" that differs from the build's, a file that no page names.
set -euo pipefail
check=$1/scripts/check_rooms.py
tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT

make_tree() {
  rm -rf "$tree"/*
  mkdir -p "$tree/src/low" "$tree/src/high" "$tree/docs"
  cat >"$tree/CMakeLists.txt" <<'CMAKE'
set(NORVEL_ROOMS low high)
set(NORVEL_ROOM_DEPS_low "")
set(NORVEL_ROOM_DEPS_high low)
CMAKE
  printf '**high/** (`top`). May include low.\n\n**low/** (`base`). Includes no other room.\n' \
    >"$tree/docs/architecture.md"
  printf '# x\n\n## Layout\n\n- `src/`: rooms.\n' >"$tree/README.md"
  printf '#include "low/base.h"\n' >"$tree/src/high/top.cpp"
  printf '// base\n' >"$tree/src/low/base.h"
}

expect() {  # expect <status> <what>
  local status=0
  python3 "$check" "$tree" >"$tree.out" 2>&1 || status=$?
  if [ "$status" != "$1" ]; then
    echo "expected status $1 for: $2; got $status"
    cat "$tree.out"
    exit 1
  fi
}

make_tree
expect 0 "a tree as the map says"

make_tree
printf '#include "high/top.h"\n' >>"$tree/src/low/base.h"
expect 1 "an include of a room the room does not name"

make_tree
printf '// nothing from low\n' >"$tree/src/high/top.cpp"
expect 1 "a named room nothing is included from"

make_tree
sed -i 's/May include low./May include nothing./' "$tree/docs/architecture.md"
expect 1 "a May include that differs from the build"

make_tree
printf '// stray\n' >"$tree/src/low/stray.h"
expect 1 "a file no page names"
rm -f "$tree.out"
echo "the room check passes a tree as the map says and fails each fault"
