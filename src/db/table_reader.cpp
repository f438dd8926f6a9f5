#include "db/table_reader.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "support/app_config.h"
#include "support/log.h"

namespace table_reader {

namespace {

// Specials added by members themselves and still live.
const char* const live_member_specials = "from_user=1 and state = 0";

struct key_column {
  const char* name;
  int row_index;
};

// The number strtoull reads from `text`, found directly for the plain digit strings the server
// sends for integer columns (up to 19 digits cannot overflow 64 bits); anything else (a sign,
// more digits) goes to strtoull itself.
unsigned long parse_number(const char* text) {
  unsigned long value = 0;
  const char* at = text;
  for (; at - text < 19 && static_cast<unsigned>(*at - '0') < 10; ++at) {
    value = value * 10 + static_cast<unsigned>(*at - '0');
  }
  return *at == '\0' && at != text ? value : std::strtoull(text, nullptr, 10);
}

id_column read_id(MYSQL_ROW row, int index) {
  return id_from_text(row[index]);
}

int read_int(MYSQL_ROW row, int index) {
  return int_from_text(row[index]);
}

// One table read in key order with one streamed query. After a break the query is sent again
// for the rows after the anchor, the last row whose keys were all plain numbers, skipping the
// rows already read beyond it (rows with a NULL key, which sort first and carry no position).
class keyed_read {
 public:
  keyed_read(std::string select, std::string where, std::vector<key_column> order)
      : select_from(std::move(select)), filter(std::move(where)), keys(std::move(order)) {}

  template <typename RowHandler>
  read_outcome run(mysql::connection& conn, RowHandler on_row) {
    read_outcome outcome;
    for (;;) {
      const std::string sql = next_query();
      mysql::row_stream rows = conn.stream(sql.c_str());
      size_t read_now = 0;
      for (MYSQL_ROW row = rows.next(); row != nullptr; row = rows.next()) {
        note_position(row);
        on_row(row);
        ++read_now;
      }
      outcome.rows += read_now;
      if (!rows.failed()) {
        outcome.complete = true;
        return outcome;
      }
      if (read_now == 0) {
        log_event(log_error, "table_reader: reading stopped after %zu rows: %s", outcome.rows,
                  sql.c_str());
        return outcome;
      }
      ++outcome.resumes;
      log_event(log_warning, "table_reader: the stream broke after %zu rows; resuming",
                outcome.rows);
    }
  }

 private:
  void note_position(MYSQL_ROW row) {
    for (const key_column& key : keys) {
      if (!is_plain_number(row[key.row_index])) {
        ++since_anchor;
        return;
      }
    }
    anchor.resize(keys.size());
    for (size_t at = 0; at < keys.size(); ++at) {
      anchor[at].assign(row[keys[at].row_index]);  // reuses the strings' room: no allocation
    }
    since_anchor = 0;
  }

  // (k1, k2, ...) > (a1, a2, ...) in the order of the keys.
  std::string after_anchor() const {
    std::string condition;
    for (size_t at = keys.size(); at-- > 0;) {
      const std::string greater = std::string(keys[at].name) + " > " + anchor[at];
      condition = condition.empty() ? greater
                                    : "(" + greater + " or (" + keys[at].name + " = " + anchor[at] +
                                          " and " + condition + "))";
    }
    return condition;
  }

  std::string next_query() const {
    std::string sql = select_from;
    std::vector<std::string> conditions;
    if (!filter.empty()) {
      conditions.push_back(filter);
    }
    if (!anchor.empty()) {
      conditions.push_back(after_anchor());
    }
    for (size_t at = 0; at < conditions.size(); ++at) {
      sql += (at == 0 ? " WHERE " : " and ") + conditions[at];
    }
    for (size_t at = 0; at < keys.size(); ++at) {
      sql += (at == 0 ? " ORDER BY " : ", ") + std::string(keys[at].name) + " ASC";
    }
    if (since_anchor > 0) {
      sql += " LIMIT 18446744073709551615 OFFSET " + std::to_string(since_anchor);
    }
    return sql + ";";
  }

  const std::string select_from;
  const std::string filter;
  const std::vector<key_column> keys;
  std::vector<std::string> anchor;  // empty until a row with plain keys has been read
  size_t since_anchor = 0;
};

// The answer of a max() query as a 64-bit number (0 for NULL); false when the query failed.
bool read_highest(mysql::connection& conn, const char* sql, long long& out) {
  out = 0;
  mysql::result rows = conn.exec(sql, mysql::connection::oper_select);
  if (!rows.good()) {
    return false;
  }
  MYSQL_ROW row = rows.begin();
  if (row != nullptr && row[0] != nullptr) {
    out = std::strtoll(row[0], nullptr, 10);
  }
  return true;
}

// The highest member id into `out` (0 for an empty table); false when the query failed. Ids
// beyond a signed 32-bit int cannot be indexed (their rows are skipped), so when the table holds
// such ids the highest one that fits is asked for instead.
bool read_highest_member_of(mysql::connection& conn, int& out) {
  out = 0;
  long long highest = 0;
  if (!read_highest(conn, "SELECT max(member_id) FROM brix_member;", highest)) {
    return false;
  }
  if (highest > INT_MAX &&
      !read_highest(conn, "SELECT max(member_id) FROM brix_member WHERE member_id <= 2147483647;",
                    highest)) {
    return false;
  }
  out = static_cast<int>(std::max<long long>(highest, INT_MIN));
  return true;
}

// The first row's two columns as numbers; false if the statement failed.
bool query_counts(mysql::connection& conn, const std::string& sql, long long& first,
                  long long& second) {
  mysql::result rows = conn.exec(sql.c_str(), mysql::connection::oper_select);
  if (!rows.good() || rows.size() == 0) {
    return false;
  }
  MYSQL_ROW row = rows.begin();
  first = row[0] != nullptr ? std::atoll(row[0]) : 0;
  second = row[1] != nullptr ? std::atoll(row[1]) : 0;
  return true;
}

}  // namespace

bool is_plain_number(const char* text) {
  if (text == nullptr) {
    return false;
  }
  const char* digit = *text == '-' ? text + 1 : text;
  size_t digits = 0;
  for (; std::isdigit(static_cast<unsigned char>(digit[digits])) != 0; ++digits) {
  }
  return digits > 0 && digits <= 20 && digit[digits] == '\0';
}

id_column id_from_text(const char* text) {
  id_column id;
  if (text != nullptr) {
    id.null = false;
    id.negative = *text == '-';
    id.value = parse_number(text);
  }
  return id;
}

// Directly for a single digit, the common reader type; otherwise as mysql::fetch_column does.
int int_from_text(const char* text) {
  if (text != nullptr && static_cast<unsigned>(text[0] - '0') < 10 && text[1] == '\0') {
    return text[0] - '0';
  }
  char* row[] = {const_cast<char*>(text)};  // read only
  int value = 0;
  mysql::fetch_column(row, 0, value);
  return value;
}

std::unique_ptr<mysql::connection> connect(const app_cfg::db_setting& db,
                                           unsigned int io_timeout_seconds) {
  return std::make_unique<mysql::connection>(db.host, db.user, db.passwd, db.name, port,
                                             db.compress, io_timeout_seconds);
}

bool read_highest_member(mysql::connection& conn, int& out) {
  return read_highest_member_of(conn, out);
}

bool count_loaded_specials(mysql::connection& conn, long long& specials) {
  long long unused = 0;
  return query_counts(conn,
                      std::string("SELECT COUNT(*), 0 FROM brix_mb_special WHERE ") +
                          live_member_specials + " and (reader_type IS NULL or reader_type <> " +
                          std::to_string(unloaded_reader_type) + ")",
                      specials, unused);
}

bool count_members(mysql::connection& conn, long long& members, long long& invited) {
  return query_counts(conn,
                      "SELECT COUNT(*), COALESCE(SUM(member_id > 0 and inviter_id > 0), 0) FROM "
                      "brix_member",
                      members, invited);
}

lookup read_member(mysql::connection& conn, int member_id, member_row& out) {
  const std::string sql = "SELECT member_id,inviter_id FROM brix_member WHERE member_id = " +
                          std::to_string(member_id) + ";";
  mysql::result rows = conn.exec(sql.c_str(), mysql::connection::oper_select);
  if (!rows.good()) {
    return lookup::failed;
  }
  MYSQL_ROW row = rows.begin();
  if (row == nullptr) {
    return lookup::absent;
  }
  out = member_row{read_id(row, 0), read_id(row, 1)};
  return lookup::found;
}

read_outcome read_members(mysql::connection& conn,
                          const std::function<void(const member_row&)>& on_row) {
  keyed_read read("SELECT member_id,inviter_id FROM brix_member", "", {{"member_id", 0}});
  return read.run(conn, [&](MYSQL_ROW row) {
    on_row(member_row{read_id(row, 0), read_id(row, 1)});
  });
}

read_outcome read_specials(mysql::connection& conn,
                           const std::function<void(const special_row&)>& on_row) {
  keyed_read read("SELECT special_id,member_id,reader_type FROM brix_mb_special",
                  live_member_specials, {{"member_id", 1}, {"special_id", 0}});
  return read.run(conn, [&](MYSQL_ROW row) {
    special_row read_row;
    read_row.special_id = read_id(row, 0);
    read_row.member_id = read_id(row, 1);
    read_row.reader_type = read_int(row, 2);
    on_row(read_row);
  });
}

}  // namespace table_reader
