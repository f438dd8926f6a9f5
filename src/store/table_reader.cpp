#include "table_reader.h"

#include <cstdio>

#include "app_config.h"
#include "object_manager.h"

namespace table_reader {

namespace {

constexpr unsigned int db_port = 3306;
constexpr int page_rows = 1000;

// Keyset paging: each page starts after the last key read, so no row is lost or read twice
// however the pages fall, and each page costs the same. Runs the queries that `format_page`
// writes (the first, then each following one) until a page comes back short, calling `on_row`
// for every row. False when a page query failed.
template <typename PageQuery, typename RowHandler>
bool read_pages(mysql::connection& conn, PageQuery format_page, RowHandler on_row) {
  for (bool first = true;; first = false) {
    char sql[1024] = {0};
    format_page(sql, sizeof(sql), first);
    mysql::result rows = conn.exec(sql, mysql::connection::oper_select);
    if (!rows.good()) {
      return false;
    }
    for (MYSQL_ROW row = rows.begin(); row != rows.end(); row = rows.next()) {
      on_row(row);
    }
    if (rows.size() < page_rows) {
      return true;
    }
  }
}

}  // namespace

mysql::connection connect() {
  const app_cfg::db_setting& db = singleton<app_cfg>::instance()->db;
  return mysql::connection(db.host, db.user, db.passwd, db.name, db_port);
}

bool read_members(mysql::connection& conn, const std::function<void(const member_row&)>& on_row) {
  int last_member = 0;
  auto format_page = [&](char* sql, size_t size, bool first) {
    if (first) {
      std::snprintf(sql, size,
                    "SELECT member_id,inviter_id FROM brix_member "
                    "ORDER BY member_id ASC LIMIT %d;",
                    page_rows);
    } else {
      std::snprintf(sql, size,
                    "SELECT member_id,inviter_id FROM brix_member WHERE member_id > %d "
                    "ORDER BY member_id ASC LIMIT %d;",
                    last_member, page_rows);
    }
  };
  return read_pages(conn, format_page, [&](MYSQL_ROW row) {
    member_row read;
    mysql::fetch_column(row, 0, read.member_id, read.inviter_id);
    last_member = read.member_id;
    on_row(read);
  });
}

bool read_specials(mysql::connection& conn,
                   const std::function<void(const special_row&)>& on_row) {
  int last_member = 0;
  int last_special = 0;
  auto format_page = [&](char* sql, size_t size, bool first) {
    if (first) {
      std::snprintf(sql, size,
                    "SELECT special_id,member_id,reader_type FROM brix_mb_special "
                    "WHERE from_user=1 and state = 0 "
                    "ORDER BY member_id ASC, special_id ASC LIMIT %d;",
                    page_rows);
    } else {
      std::snprintf(sql, size,
                    "SELECT special_id,member_id,reader_type FROM brix_mb_special "
                    "WHERE from_user=1 and state = 0 "
                    "and (member_id > %d or (member_id = %d and special_id > %d)) "
                    "ORDER BY member_id ASC, special_id ASC LIMIT %d;",
                    last_member, last_member, last_special, page_rows);
    }
  };
  return read_pages(conn, format_page, [&](MYSQL_ROW row) {
    special_row read;
    mysql::fetch_column(row, 0, read.special_id, read.member_id, read.reader_type);
    last_member = read.member_id;
    last_special = read.special_id;
    on_row(read);
  });
}

}  // namespace table_reader
