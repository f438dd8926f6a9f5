// Reads the two tables the store is loaded from: each whole with one streamed query in key order
// (the initial load, the inviter reloads), one member's row, the highest member id, and the row
// counts --check-config reports. The one place that knows their SQL, the port the loaders use
// and which specials rows are loaded.
// A stream that breaks (the link is lost, the query is killed) is resumed after the last key
// read, so every row is handed over exactly once; a break with no row read since the last
// (re)start ends the read, keeping the rows already handed over.
// A break, a resumption and a read that ends early are logged (the start-up load counts its rows
// itself, in the load_progress it is handed).
// Threads: whoever owns the connection; no state of its own.
#ifndef NORVEL_TABLE_READER_H_
#define NORVEL_TABLE_READER_H_

#include <cstddef>
#include <functional>
#include <memory>

#include "db/mysql_helper.h"
#include "store/table_rows.h"
#include "support/app_config.h"

namespace table_reader {

using table_rows::id_column;
using table_rows::member_row;
using table_rows::special_row;

// The port the loaders connect to, whatever the configuration's "port" says.
constexpr unsigned int port = 3306;

// Whether the load keeps a specials row: every reader type but 2 (NULL reads as 0, kept).
constexpr int unloaded_reader_type = 2;
inline bool is_loaded(const special_row& row) {
  return row.reader_type != unloaded_reader_type;
}

// A column's text as the server sends it (null for SQL NULL), read the way the rows above are.
id_column id_from_text(const char* text);
int int_from_text(const char* text);  // the rules of atoi; null gives 0
// A plain decimal integer (an optional '-' and 1 to 20 digits): safe to put back into SQL.
bool is_plain_number(const char* text);

// How a read went.
struct read_outcome {
  bool complete = false;  // every row was read; false when the read ended early (logged)
  size_t rows = 0;        // rows handed over
  size_t resumes = 0;     // times a broken stream was resumed
};

// A connection with `db`'s host, user, password, database and compression on the loaders'
// port (the configured port is not consulted), its waits for the server bounded by
// `io_timeout_seconds` (0: unbounded). Throws as mysql::connection does.
std::unique_ptr<mysql::connection> connect(const app_cfg::db_setting& db,
                                           unsigned int io_timeout_seconds = 0);

// The highest member id into `out`, 0 for an empty table; false when the query failed. Ids
// beyond a signed 32-bit int cannot be indexed, so when the table holds such ids the highest
// one that fits is answered instead.
bool read_highest_member(mysql::connection& conn, int& out);

// Every member row in ascending member_id order.
read_outcome read_members(mysql::connection& conn,
                          const std::function<void(const member_row&)>& on_row);
// The row of one member, if the member table has it.
enum class lookup { found, absent, failed };
lookup read_member(mysql::connection& conn, int member_id, member_row& out);

// Every live member special in ascending (member_id, special_id) order.
read_outcome read_specials(mysql::connection& conn,
                           const std::function<void(const special_row&)>& on_row);

// The row counts --check-config reports: the specials rows the load keeps; the member rows and
// those with both ids positive (a follow link each). False when the query failed.
bool count_loaded_specials(mysql::connection& conn, long long& specials);
bool count_members(mysql::connection& conn, long long& members, long long& invited);

}  // namespace table_reader

#endif  // NORVEL_TABLE_READER_H_
