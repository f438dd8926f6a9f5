#!/usr/bin/env bash
# Loads the private feeds that the daemon builds from a database into the benchmark redis-server,
# one sorted set per member ("feed:<member id>", members and scores both the special ids).
# The feed of a member holds, as the daemon's initial load builds it, the member's own specials,
# its inviter's and those of the members it invited; only rows with from_user = 1, state = 0 and a
# reader type other than 2 count, and member rows only with a positive member and inviter id.
# usage: bench/redis_load.sh DATABASE     (REDIS_PORT as for redis_start.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/db_env.sh
db=${1:?usage: redis_load.sh DATABASE}
REDIS_PORT=${REDIS_PORT:-6390}

feeds_sql="
SELECT member_id, special_id FROM brix_mb_special
  WHERE from_user = 1 AND state = 0 AND COALESCE(reader_type, 0) <> 2
UNION ALL
SELECT m.member_id, s.special_id FROM brix_member m JOIN brix_mb_special s
  ON s.member_id = m.inviter_id
  WHERE m.member_id > 0 AND m.inviter_id > 0
    AND s.from_user = 1 AND s.state = 0 AND COALESCE(s.reader_type, 0) <> 2
UNION ALL
SELECT m.inviter_id, s.special_id FROM brix_member m JOIN brix_mb_special s
  ON s.member_id = m.member_id
  WHERE m.member_id > 0 AND m.inviter_id > 0
    AND s.from_user = 1 AND s.state = 0 AND COALESCE(s.reader_type, 0) <> 2
ORDER BY 1"

redis-cli -p "$REDIS_PORT" flushall >/dev/null
# Rows come ordered by member; up to 100 specials of one member go into one ZADD, written as RESP.
mariadb -h"$NORVEL_DB_HOST" -P"$NORVEL_DB_PORT" -u"$NORVEL_DB_USER" -p"$NORVEL_DB_PASSWORD" \
    --batch --skip-column-names --quick "$db" -e "$feeds_sql" |
  awk -F'\t' '
    function flush(   i, key) {
      if (n == 0) return
      key = "feed:" owner
      printf "*%d\r\n$4\r\nZADD\r\n$%d\r\n%s\r\n", 2 + 2 * n, length(key), key
      for (i = 1; i <= n; i++)
        printf "$%d\r\n%s\r\n$%d\r\n%s\r\n", length(ids[i]), ids[i], length(ids[i]), ids[i]
      n = 0
    }
    { if ($1 != owner || n == 100) { flush(); owner = $1 } ids[++n] = $2 }
    END { flush() }' |
  redis-cli -p "$REDIS_PORT" --pipe
echo "redis feeds: $(redis-cli -p "$REDIS_PORT" dbsize) sorted sets"
