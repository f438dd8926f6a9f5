#!/usr/bin/env bash
# Checks both systemd units with `systemd-analyze verify`, pointed at the built daemon.
# Usage: check_units.sh <source dir> <built norvel>. Exit 77 (skipped) where systemd-analyze
# is missing or cannot verify even a trivial unit here.
set -euo pipefail
src=$1 daemon=$2
command -v systemd-analyze >/dev/null || { echo "systemd-analyze not installed: skipped"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

printf '[Service]\nExecStart=/bin/true\n' >"$work/probe.service"
if ! systemd-analyze verify --man=no "$work/probe.service" >/dev/null 2>&1; then
  echo "systemd-analyze verify does not work here: skipped"
  exit 77
fi

status=0
for unit in norvel.service norvel-notify.service; do
  sed "s#/usr/local/bin/norvel#$daemon#g" "$src/scripts/$unit" >"$work/$unit"
  # verify prints warnings without failing; any output is a finding.
  if ! out=$(systemd-analyze verify --man=no "$work/$unit" 2>&1) || [ -n "$out" ]; then
    echo "$unit:"; echo "$out"; status=1
  else
    echo "$unit: ok"
  fi
done
grep -q '^Type=notify$' "$work/norvel-notify.service"
grep -q -- '--foreground' "$work/norvel-notify.service"
exit $status
