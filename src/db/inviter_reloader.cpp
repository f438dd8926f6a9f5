#include "db/inviter_reloader.h"

#include <utility>

#include "db/table_reader.h"

inviter_reloader::inviter_reloader(app_cfg::db_setting settings, unsigned int io_timeout_seconds)
    : db(std::move(settings)), io_timeout(io_timeout_seconds) {}

bool inviter_reloader::read_table(
    const std::function<bool(int highest)>& on_highest,
    const std::function<void(const table_rows::member_row&)>& on_row) {
  std::unique_ptr<mysql::connection> conn = table_reader::connect(db, io_timeout);
  int highest = 0;
  if (!table_reader::read_highest_member(*conn, highest)) {
    return false;
  }
  if (!on_highest(highest)) {
    return true;
  }
  return table_reader::read_members(*conn, on_row).complete;
}

inviter_source::lookup inviter_reloader::read_member(int member, int& highest,
                                                     table_rows::member_row& out) {
  if (!row_reader) {
    row_reader = table_reader::connect(db, io_timeout);
  }
  lookup found = lookup::failed;
  if (table_reader::read_highest_member(*row_reader, highest)) {
    switch (table_reader::read_member(*row_reader, member, out)) {
      case table_reader::lookup::found:
        found = lookup::found;
        break;
      case table_reader::lookup::absent:
        found = lookup::absent;
        break;
      case table_reader::lookup::failed:
        break;
    }
  }
  if (found == lookup::failed) {
    row_reader.reset();
  }
  return found;
}
