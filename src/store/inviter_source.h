// Where the inviter index reads the member table from when it reloads, or when a member beyond
// it arrives between reloads: the database's inviter_reloader in the daemon
// (db/inviter_reloader.h). A source keeps whatever connection it needs. Either read may throw
// std::logic_error when no connection can be made.
// Threads: the index hands its reads to run_aside(), which runs them where the source reads (a
// thread of its own in the daemon, so the event loop never waits for the database) and hands
// the index its answer back on the index's own thread; the reads themselves then run on that
// one reading thread only. The index's reinit() reads on its caller's thread. Ownership: the
// index owns its source.
#ifndef NORVEL_INVITER_SOURCE_H_
#define NORVEL_INVITER_SOURCE_H_

#include <functional>

#include "store/table_rows.h"

class inviter_source {
 public:
  enum class lookup { found, absent, failed };

  virtual ~inviter_source() = default;

  // A whole reload: the highest member id that fits an int (0 for an empty table) goes to
  // `on_highest`, which answers whether to read the rows; then every member row, in ascending
  // member_id order, goes to `on_row`. False when a read failed or ended early.
  virtual bool read_table(const std::function<bool(int highest)>& on_highest,
                          const std::function<void(const table_rows::member_row&)>& on_row) = 0;
  // Between reloads: the highest member id (as above) into `highest` and `member`'s row into
  // `out`; failed when either read failed.
  virtual lookup read_member(int member, int& highest, table_rows::member_row& out) = 0;

  // Runs `read` where this source reads, then `then` on the index's thread. `read` touches
  // only what it captured and this source; it catches what it may throw. This one runs both at
  // once on the caller's thread, inside the call.
  virtual void run_aside(std::function<void()> read, std::function<void()> then) {
    read();
    then();
  }
};

#endif  // NORVEL_INVITER_SOURCE_H_
