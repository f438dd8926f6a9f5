// What the inviter index's source files share (inviter_manager.cpp: the table's size;
// inviter_reload.cpp: the whole table read again; inviter_rows.cpp: rows recorded;
// inviter_add.cpp: an add and the reads it may wait for; inviter_queries.cpp: the answers).
// Not for other rooms or files.
#ifndef NORVEL_INVITER_SHARED_H_
#define NORVEL_INVITER_SHARED_H_

#include <chrono>
#include <exception>
#include <memory>
#include <string>

#include "store/inviter_manager.h"
#include "store/inviter_source.h"
#include "store/table_rows.h"

// What a read for the index brought back. Filled by the read on the source's thread, used on
// the index's thread once the source hands the answer back, never by both at once.
struct inviter_manager::read_result {
  bool whole = false;  // a reload; else a read of `member`'s row
  int member = 0;
  std::exception_ptr failure;  // the connection failed, or memory ran out
  // A reload: the index built aside from the rows, whether the whole table was read, and when.
  std::unique_ptr<inviter_manager> fresh;
  bool read_whole = false;
  std::chrono::steady_clock::duration took{};
  // A row read: the highest member id, the row, and whether it was there.
  int highest = 0;
  table_rows::member_row row;
  inviter_source::lookup found = inviter_source::lookup::failed;
};

namespace inviter_shared {

// The invitee table's key for an inviter id: any int, sign-extended, so each has its own key.
inline unsigned long inviter_key(int inviter) {
  return static_cast<unsigned long>(long{inviter});
}

// What a failed read throws, as the text of its outcome.
inline std::string what_of(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown exception";
  }
}

inline constexpr const char* no_connection = "mysql connection init error.";

}  // namespace inviter_shared

#endif  // NORVEL_INVITER_SHARED_H_
