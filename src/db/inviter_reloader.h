// The inviter index's source on the database: a reload reads the highest member id and then the
// whole member table on a connection opened for it; a member's row between reloads is read on a
// connection kept from one read to the next and dropped after a failed one. Every wait for the
// server is bounded by the read timeout.
// Threads: the index's (the event loop); no lock. Ownership: owned by the index; owns the kept
// connection.
#ifndef NORVEL_INVITER_RELOADER_H_
#define NORVEL_INVITER_RELOADER_H_

#include <functional>
#include <memory>

#include "db/mysql_helper.h"
#include "store/inviter_source.h"
#include "store/table_rows.h"
#include "support/app_config.h"

class inviter_reloader : public inviter_source {
 public:
  // `io_timeout_seconds` bounds each wait for the server; 0: unbounded.
  inviter_reloader(app_cfg::db_setting settings, unsigned int io_timeout_seconds);

  bool read_table(const std::function<bool(int highest)>& on_highest,
                  const std::function<void(const table_rows::member_row&)>& on_row) override;
  lookup read_member(int member, int& highest, table_rows::member_row& out) override;

 private:
  const app_cfg::db_setting db;
  const unsigned int io_timeout;
  std::unique_ptr<mysql::connection> row_reader;  // kept between reads; reopened after a failure
};

#endif  // NORVEL_INVITER_RELOADER_H_
