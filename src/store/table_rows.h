// The rows of the two tables the store is loaded from, as the store takes them: read by the
// database's table reader (db/table_reader.h), consumed by the load and the inviter index.
// Plain values; no thread or ownership concerns.
#ifndef NORVEL_TABLE_ROWS_H_
#define NORVEL_TABLE_ROWS_H_

namespace table_rows {

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

}  // namespace table_rows

#endif  // NORVEL_TABLE_ROWS_H_
