#!/usr/bin/env bash
# Runs the shipped logrotate configuration on a directory of dated event-log files: first with
# --debug (nothing may change), then for real, with a state file that says the last run was two
# days ago, so every daily rotation is due (logrotate's --force would skip the age checks that
# protect today's file, so it is not what the daily timer does and not what is tested). Files of earlier days are compressed once
# a day old, compressed files are removed after the configured days, today's file and anything
# written in the last day stay exactly as they were, and a second run changes nothing.
# Usage: check_logrotate.sh <source dir>. Exit 77 (skipped) without logrotate.
set -euo pipefail
src=$1
command -v logrotate >/dev/null || PATH=$PATH:/usr/sbin
command -v logrotate >/dev/null || { echo "logrotate not installed: skipped"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
logs=$work/logs
mkdir -m 750 "$logs"

# The shipped file, pointed at our directory and run as whoever runs the test.
sed -e "s#/var/log/norvel#$logs#g" -e "s#su norvel norvel#su $(id -un) $(id -gn)#" \
  "$src/scripts/norvel.logrotate" >"$work/norvel.logrotate"

day() { date -d "$1" +%Y%m%d; }
make_log() {  # make_log <file> <mtime>
  printf 'entries of %s\r\n' "$1" >"$logs/$1"
  touch -d "$2" "$logs/$1"
}
today=norvel_$(day now).txt
make_log "$today" "now"
make_log "norvel_$(day '1 day ago').txt" "25 hours ago"
make_log "norvel_$(day '3 days ago').txt" "3 days ago"
make_log "norvel_$(day '20 days ago').txt" "20 days ago"
make_log "norvel_$(day '2 days ago')_late.txt" "2 hours ago"  # written within the last day
printf 'old\n' | gzip >"$logs/norvel_$(day '30 days ago').txt.1.gz"
touch -d "30 days ago" "$logs/norvel_$(day '30 days ago').txt.1.gz"
printf 'recent\n' | gzip >"$logs/norvel_$(day '5 days ago').txt.1.gz"
touch -d "5 days ago" "$logs/norvel_$(day '5 days ago').txt.1.gz"
printf 'not ours\n' >"$logs/other.log"

snapshot() { (cd "$logs" && for f in *; do stat -c '%n %i %s %Y' "$f"; md5sum "$f"; done); }
fail() { echo "FAIL: $*"; echo "directory now:"; ls -l "$logs"; exit 1; }

# Every file, as if the earlier daily runs had seen it two days ago.
backdate_state() {
  local stamp
  stamp=$(date -d '2 days ago' +%Y-%-m-%-d-%-H:%-M:%-S)
  { echo "logrotate state -- version 2"
    for f in "$logs"/*; do echo "\"$f\" $stamp"; done; } >"$work/state"
  chmod 600 "$work/state"
}

backdate_state
before=$(snapshot)
logrotate --debug -s "$work/state" "$work/norvel.logrotate" >"$work/debug.out" 2>&1 ||
  { cat "$work/debug.out"; fail "logrotate --debug failed"; }
[ "$before" = "$(snapshot)" ] || fail "--debug changed files"
today_before=$(stat -c '%i %s %Y' "$logs/$today")

logrotate -s "$work/state" "$work/norvel.logrotate" || fail "logrotate failed"

expect_present() { for f in "$@"; do [ -e "$logs/$f" ] || fail "$f missing"; done; }
expect_absent() { for f in "$@"; do [ ! -e "$logs/$f" ] || fail "$f still there"; done; }
expect_present "$today" "norvel_$(day '2 days ago')_late.txt" other.log \
  "norvel_$(day '1 day ago').txt.1.gz" "norvel_$(day '3 days ago').txt.1.gz" \
  "norvel_$(day '20 days ago').txt.1.gz" "norvel_$(day '5 days ago').txt.1.gz"
expect_absent "norvel_$(day '1 day ago').txt" "norvel_$(day '3 days ago').txt" \
  "norvel_$(day '20 days ago').txt" "norvel_$(day '30 days ago').txt.1.gz"
[ "$(stat -c '%i %s %Y' "$logs/$today")" = "$today_before" ] || fail "today's file was touched"
[ "$(gzip -dc "$logs/norvel_$(day '3 days ago').txt.1.gz")" = \
  "$(printf 'entries of %s\r' "norvel_$(day '3 days ago').txt")" ] || fail "compressed text differs"

# The next day's run removes what was compressed today from a file older than the retention, and
# nothing else.
backdate_state
logrotate -s "$work/state" "$work/norvel.logrotate" || fail "second logrotate run failed"
expect_absent "norvel_$(day '20 days ago').txt.1.gz"
expect_present "$today" "norvel_$(day '1 day ago').txt.1.gz" "norvel_$(day '5 days ago').txt.1.gz"
after=$(snapshot)
backdate_state
logrotate -s "$work/state" "$work/norvel.logrotate" || fail "third logrotate run failed"
[ "$after" = "$(snapshot)" ] || fail "a run with nothing due changed files"
echo "logrotate configuration: ok"
