// Reads the two tables the store is loaded from, row by row in key order, for the initial load
// and for the inviter index: the one place that knows their SQL and the port the loaders use.
// Threads: whoever owns the connection; no state of its own.
#ifndef NORVEL_TABLE_READER_H_
#define NORVEL_TABLE_READER_H_

#include <functional>

#include "mysql_helper.h"

namespace table_reader {

// One row of the member table (member_id, inviter_id); a NULL column reads as 0.
struct member_row {
  int member_id = 0;
  int inviter_id = 0;
};

// One live specials row posted by a member (special_id, member_id, reader_type).
struct special_row {
  int special_id = 0;
  int member_id = 0;
  int reader_type = 0;
};

// A connection with the configured host, user, password and database on the loaders' port
// (always 3306: the configured port is not consulted). Throws as mysql::connection does.
mysql::connection connect();

// Every member row in ascending member_id order. False when a page query failed (the database
// wrapper has logged why); the rows before it have been handed to `on_row`.
bool read_members(mysql::connection& conn, const std::function<void(const member_row&)>& on_row);
// Every live member special in ascending (member_id, special_id) order; false as above.
bool read_specials(mysql::connection& conn,
                   const std::function<void(const special_row&)>& on_row);

}  // namespace table_reader

#endif  // NORVEL_TABLE_READER_H_
