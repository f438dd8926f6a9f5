// A thin wrapper over the MariaDB/MySQL client library: one connection that reconnects once when
// the server has gone away, the owned result of one statement with a forward-only row cursor,
// and typed column reads.
// Threads: a connection and its results belong to the one thread that made them, except
// connection::interrupt(), which any thread may call.
// Ownership: connection owns its client handle and closes it on destruction; result owns its
// MYSQL_RES and frees it on destruction; both are moved, never copied.
#ifndef NORVEL_MYSQL_HELPER_H_
#define NORVEL_MYSQL_HELPER_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

#include <mysql.h>

#include "support/annotated_mutex.h"

namespace mysql {

class result {
 public:
  result() = default;  // the empty result of a failed statement
  result(MYSQL_RES* rows, int count, int insert_id);
  ~result();
  result(result&& other) noexcept;
  result& operator=(result&& other) noexcept;
  result(const result&) = delete;
  result& operator=(const result&) = delete;

  bool good() const { return rows != nullptr; }
  int64_t size() const { return count; }
  int last_insert_id() const { return insert_id; }
  // Iteration: for (row = begin(); row != end(); row = next()).
  MYSQL_ROW begin();
  MYSQL_ROW next();
  MYSQL_ROW end() const { return nullptr; }

 private:
  MYSQL_RES* rows = nullptr;
  int count = 0;
  int insert_id = 0;
};

// The rows of one query read as the server sends them (mysql_use_result): no row set is stored
// on the client, so memory stays flat however long the table is. Owns its MYSQL_RES and frees
// it on destruction; moved, never copied. Its connection runs nothing else while it lives.
class row_stream {
 public:
  row_stream() = default;  // the stream of a statement that failed to start
  row_stream(MYSQL* connection, MYSQL_RES* rows);
  ~row_stream();
  row_stream(row_stream&& other) noexcept;
  row_stream& operator=(row_stream&& other) noexcept;
  row_stream(const row_stream&) = delete;
  row_stream& operator=(const row_stream&) = delete;

  // The next row, or a null row at the end of the rows or when the stream broke.
  MYSQL_ROW next();
  // After next() answered null: whether the rows ended early (the link broke, the server
  // reported an error, or the statement never started), rather than at their end.
  bool failed() const { return broken; }

 private:
  void release();

  MYSQL* handle = nullptr;
  MYSQL_RES* rows = nullptr;
  bool broken = true;
};

class connection {
 public:
  enum oper_type { oper_select = 0, oper_update = 1 };

  // Connects; logs and throws std::logic_error("mysql connection init error.") on failure.
  // `compress` asks the server for a compressed protocol (CLIENT_COMPRESS): worth it over a slow
  // network, dearer than it saves on the same host. `io_timeout_seconds` above 0 bounds every wait
  // for the server to answer or take a request, so a server that stops mid-statement fails the
  // statement (logged, 2013) instead of holding the caller; 0 waits as long as it takes.
  connection(const std::string& host, const std::string& user, const std::string& passwd,
             const std::string& name, unsigned int port, bool compress = true,
             unsigned int io_timeout_seconds = 0);
  ~connection();
  connection(const connection&) = delete;
  connection& operator=(const connection&) = delete;

  // Opens the connection (logs the settings at Debug, the password masked); also used to
  // reconnect. False after logging the failure, with the handle closed.
  bool init();
  void fini();  // closes it; safe twice
  bool good() const { return handle != nullptr; }
  // Runs one statement; a failure answers an empty result and is logged at Debug. When the server
  // has gone away (2006), or the link broke during a query (2013, as after a KILL), it reconnects
  // once and runs the statement once more; not when the I/O timeout ran out.
  result exec(const char* sql, oper_type kind);
  // Starts a query whose rows are read one by one as they arrive. Reconnects and retries once
  // as exec does; a statement that cannot start gives a failed, empty stream (logged).
  row_stream stream(const char* sql);

  // Any thread: a statement waiting for the server fails at once (the socket is shut down), and
  // from now on every statement and reconnection fails without being tried. For abandoning a
  // read that a stop must not wait for.
  void interrupt();

 private:
  // Sends `sql`, reconnecting and sending it once more when the link is worth retrying. False
  // after logging the failure.
  bool run_with_retry(const char* sql, oper_type kind);
  // Whether a statement sent at `sent` failed by running into the I/O timeout.
  bool timed_out_since(std::chrono::steady_clock::time_point sent) const;

  MYSQL client{};
  MYSQL* handle = nullptr;
  std::string host;
  std::string user;
  std::string passwd;
  std::string dbname;
  unsigned int port = 0;
  bool compress = true;
  unsigned int io_timeout = 0;  // seconds; 0: none
  std::atomic<bool> interrupted{false};
  annotated::mutex socket_lock;  // orders interrupt()'s shutdown before the socket's close
  int socket_fd GUARDED_BY(socket_lock) = -1;  // -1 while closed
};

// Column `index` of `row` read by the rules of atoi; an SQL NULL gives 0.
void fetch_column(MYSQL_ROW row, int index, int& out);

// Column `index` of `row` as an unsigned 64-bit number (strtoull: a negative text wraps, as a
// sign-widened int would); an SQL NULL gives 0.
void fetch_column(MYSQL_ROW row, int index, unsigned long& out);

// n outputs read n consecutive columns from `index` on.
template <typename First, typename... Rest>
void fetch_column(MYSQL_ROW row, int index, First& first, Rest&... rest) {
  fetch_column(row, index, first);
  if constexpr (sizeof...(rest) > 0) {
    fetch_column(row, index + 1, rest...);
  }
}

}  // namespace mysql

#endif  // NORVEL_MYSQL_HELPER_H_
