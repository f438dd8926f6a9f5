#include "db/mysql_helper.h"

#include <sys/socket.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "support/log.h"

namespace mysql {

namespace {

// The client library's codes for "server has gone away" (the link was already down when the
// statement was sent) and "lost connection during query" (it broke while the statement ran, as
// after a KILL of the connection).
constexpr unsigned int server_gone_error = 2006;
constexpr unsigned int server_lost_error = 2013;
// A host that does not answer must not hold the start-up forever.
constexpr unsigned int connect_timeout_seconds = 10;
// The password is never written to the event log; its Debug line shows this instead.
constexpr const char* masked_password = "******";

// A statement that never reached the server is safe to send again; one that was lost on the way
// back is only when it changed nothing, which a query guarantees.
bool worth_reconnecting(unsigned int code, connection::oper_type kind) {
  return code == server_gone_error ||
         (code == server_lost_error && kind == connection::oper_select);
}

}  // namespace

result::result(MYSQL_RES* stored, int row_count, int generated_id)
    : rows(stored), count(row_count), insert_id(generated_id) {}

result::~result() {
  if (rows != nullptr) {
    mysql_free_result(rows);
    rows = nullptr;
  }
}

result::result(result&& other) noexcept
    : rows(std::exchange(other.rows, nullptr)),
      count(std::exchange(other.count, 0)),
      insert_id(std::exchange(other.insert_id, 0)) {}

result& result::operator=(result&& other) noexcept {
  if (this != &other) {
    if (rows != nullptr) {
      mysql_free_result(rows);
    }
    rows = std::exchange(other.rows, nullptr);
    count = std::exchange(other.count, 0);
    insert_id = std::exchange(other.insert_id, 0);
  }
  return *this;
}

MYSQL_ROW result::begin() {
  return rows != nullptr ? mysql_fetch_row(rows) : nullptr;
}

MYSQL_ROW result::next() {
  return rows != nullptr ? mysql_fetch_row(rows) : nullptr;
}

connection::connection(const std::string& host_name, const std::string& user_name,
                       const std::string& password, const std::string& name,
                       unsigned int port_number, bool compressed, unsigned int io_timeout_seconds)
    : host(host_name),
      user(user_name),
      passwd(password),
      dbname(name),
      port(port_number),
      compress(compressed),
      io_timeout(io_timeout_seconds) {
  if (!init()) {
    log_event(log_fatal, "connection::mysql_init");
    throw std::logic_error("mysql connection init error.");
  }
  log_event(log_trace, "connection::mysql_init success.");
}

connection::~connection() {
  fini();
}

bool connection::init() {
  if (interrupted) {
    return false;
  }
  handle = mysql_init(&client);
  if (handle == nullptr) {
    log_event(log_error, "mysql_wrapper::mysql_wrapper mysql_init error: %d",
              static_cast<int>(mysql_errno(&client)));
    return false;
  }
  log_event(log_debug, "%s", host.c_str());
  log_event(log_debug, "%s", user.c_str());
  log_event(log_debug, "%s", masked_password);
  log_event(log_debug, "%s", dbname.c_str());

  mysql_options(handle, MYSQL_OPT_CONNECT_TIMEOUT, &connect_timeout_seconds);
  if (io_timeout > 0) {
    mysql_options(handle, MYSQL_OPT_READ_TIMEOUT, &io_timeout);
    mysql_options(handle, MYSQL_OPT_WRITE_TIMEOUT, &io_timeout);
  }
  if (mysql_real_connect(handle, host.c_str(), user.c_str(), passwd.c_str(), dbname.c_str(), port,
                         nullptr, compress ? CLIENT_COMPRESS : 0) == nullptr) {
    log_event(log_error, "mysql_real_connect() error:%s", mysql_error(handle));
    fini();
    return false;
  }
  {
    const annotated::mutex_lock hold(socket_lock);
    socket_fd = static_cast<int>(mysql_get_socket(handle));
  }
  if (interrupted) {  // interrupted while connecting, before the socket could be shut
    fini();
    return false;
  }

  mysql_query(handle, "SELECT CONNECTION_ID()");
  MYSQL_RES* id_rows = mysql_store_result(handle);
  if (id_rows == nullptr) {
    log_event(log_error, "mysql_store_result() error:%s", mysql_error(handle));
    fini();
    return false;
  }
  MYSQL_ROW id_row = mysql_fetch_row(id_rows);
  const char* id_text = id_row != nullptr && id_row[0] != nullptr ? id_row[0] : "";
  log_event(log_debug, "created a connection to mysql, connection id=%s", id_text);
  mysql_free_result(id_rows);

  mysql_query(handle, "set names utf8");  // best effort: the ids we read are plain digits
  return true;
}

void connection::fini() {
  if (handle != nullptr) {
    const annotated::mutex_lock hold(socket_lock);
    socket_fd = -1;
    mysql_close(handle);
    handle = nullptr;
  }
}

void connection::interrupt() {
  interrupted = true;
  const annotated::mutex_lock hold(socket_lock);
  if (socket_fd >= 0) {
    ::shutdown(socket_fd, SHUT_RDWR);
  }
}

bool connection::run_with_retry(const char* sql, oper_type kind) {
  if (!good() || interrupted) {
    return false;
  }
  const unsigned long length = std::strlen(sql);
  const std::chrono::steady_clock::time_point sent = std::chrono::steady_clock::now();
  if (mysql_real_query(handle, sql, length) == 0) {
    return true;
  }
  const unsigned int code = mysql_errno(handle);
  log_event(log_debug, "mysql_real_query() error: %s,des:%s errornum:%d", sql, mysql_error(handle),
            static_cast<int>(code));
  if (!worth_reconnecting(code, kind) || timed_out_since(sent) || interrupted) {
    return false;  // a server that let the timeout pass would most likely do it again
  }
  fini();
  init();
  log_event(log_debug, "reinit mysql connection.");
  if (!good()) {
    return false;
  }
  if (mysql_real_query(handle, sql, length) != 0) {
    log_event(log_debug, "mysql_real_query() error: %s,des:%s errornum:%d", sql,
              mysql_error(handle), static_cast<int>(mysql_errno(handle)));
    return false;
  }
  return true;
}

bool connection::timed_out_since(std::chrono::steady_clock::time_point sent) const {
  if (io_timeout == 0) {
    return false;
  }
  // The client library gives up after the timeout, or a little before it.
  const std::chrono::milliseconds slack(200);
  return std::chrono::steady_clock::now() - sent >= std::chrono::seconds(io_timeout) - slack;
}

result connection::exec(const char* sql, oper_type kind) {
  if (!run_with_retry(sql, kind)) {
    return result();
  }
  const int generated_id = static_cast<int>(mysql_insert_id(handle));
  MYSQL_RES* stored = mysql_store_result(handle);
  if (stored == nullptr && mysql_field_count(handle) != 0) {
    // The statement had rows but they could not be fetched (for example the link broke).
    log_event(log_debug, "mysql_store_result() error:%s", mysql_error(handle));
  }
  int row_count = 0;
  if (kind == oper_select) {
    row_count = stored != nullptr ? static_cast<int>(mysql_num_rows(stored)) : 0;
  } else {
    row_count = static_cast<int>(mysql_affected_rows(handle));
  }
  return result(stored, row_count, generated_id);
}

row_stream connection::stream(const char* sql) {
  if (!run_with_retry(sql, oper_select)) {
    return row_stream();
  }
  MYSQL_RES* rows = mysql_use_result(handle);
  if (rows == nullptr) {
    log_event(log_debug, "mysql_use_result() error:%s", mysql_error(handle));
    return row_stream();
  }
  return row_stream(handle, rows);
}

row_stream::row_stream(MYSQL* connection, MYSQL_RES* streamed)
    : handle(connection), rows(streamed), broken(false) {}

row_stream::~row_stream() {
  release();
}

row_stream::row_stream(row_stream&& other) noexcept
    : handle(std::exchange(other.handle, nullptr)),
      rows(std::exchange(other.rows, nullptr)),
      broken(std::exchange(other.broken, true)) {}

row_stream& row_stream::operator=(row_stream&& other) noexcept {
  if (this != &other) {
    release();
    handle = std::exchange(other.handle, nullptr);
    rows = std::exchange(other.rows, nullptr);
    broken = std::exchange(other.broken, true);
  }
  return *this;
}

void row_stream::release() {
  if (rows != nullptr) {
    mysql_free_result(rows);  // drains what the server still sends, so the link stays usable
    rows = nullptr;
  }
}

MYSQL_ROW row_stream::next() {
  if (rows == nullptr) {
    return nullptr;
  }
  MYSQL_ROW row = mysql_fetch_row(rows);
  if (row == nullptr && mysql_errno(handle) != 0) {
    log_event(log_debug, "mysql_fetch_row() error:%s errornum:%d", mysql_error(handle),
              static_cast<int>(mysql_errno(handle)));
    broken = true;
    release();
  }
  return row;
}

void fetch_column(MYSQL_ROW row, int index, unsigned long& out) {
  const char* text = row[index];
  out = text != nullptr ? std::strtoull(text, nullptr, 10) : 0;
}

void fetch_column(MYSQL_ROW row, int index, int& out) {
  const char* text = row[index];
  // strtol is what atoi is defined by, without its undefined behaviour on overflow.
  out = text != nullptr ? static_cast<int>(std::strtol(text, nullptr, 10)) : 0;
}

}  // namespace mysql
