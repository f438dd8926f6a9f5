// Reads the two tables the store is loaded from, each with one streamed query in key order,
// for the initial load and for the inviter index: the one place that knows their SQL and the
// port the loaders use.
// A stream that breaks (the link is lost, the query is killed) is resumed after the last key
// read, so every row is handed over exactly once; a break with no row read since the last
// (re)start ends the read, keeping the rows already handed over.
// Threads: whoever owns the connection; no state of its own.
#ifndef NORVEL_TABLE_READER_H_
#define NORVEL_TABLE_READER_H_

#include <cstddef>
#include <functional>
#include <memory>

#include "db/mysql_helper.h"

namespace table_reader {

// An id column as the store keys it.
struct id_column {
  unsigned long value = 0;  // the 64 bits; a negative number wraps, as a sign-widened int would
  bool negative = false;
  bool null = true;

  bool positive() const { return !null && !negative && value != 0; }
};

// One row of the member table (member_id, inviter_id).
struct member_row {
  id_column member_id;
  id_column inviter_id;
};

// One live specials row posted by a member (special_id, member_id, reader_type).
struct special_row {
  id_column special_id;
  id_column member_id;
  int reader_type = 0;  // read by the rules of atoi; NULL gives 0
};

// How a read went.
struct read_outcome {
  bool complete = false;  // every row was read; false when the read ended early (logged)
  size_t rows = 0;        // rows handed over
  size_t resumes = 0;     // times a broken stream was resumed
};

// A connection with the configured host, user, password, database and compression on the
// loaders' port (always 3306: the configured port is not consulted), its waits for the server
// bounded by `io_timeout_seconds` (0: unbounded). Throws as mysql::connection does.
std::unique_ptr<mysql::connection> connect(unsigned int io_timeout_seconds = 0);

// Every member row in ascending member_id order.
read_outcome read_members(mysql::connection& conn,
                          const std::function<void(const member_row&)>& on_row);
// The row of one member, if the member table has it.
enum class lookup { found, absent, failed };
lookup read_member(mysql::connection& conn, int member_id, member_row& out);

// Every live member special in ascending (member_id, special_id) order.
read_outcome read_specials(mysql::connection& conn,
                           const std::function<void(const special_row&)>& on_row);

}  // namespace table_reader

#endif  // NORVEL_TABLE_READER_H_
