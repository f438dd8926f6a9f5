// The inviter index's source on the database: a reload reads the highest member id and then the
// whole member table on a connection opened for it; a member's row between reloads is read on a
// connection kept from one read to the next and dropped after a failed one. Every wait for the
// server is bounded by the read timeout.
// Given a way to the event loop (`to_loop`), the reads the index hands to run_aside() run on a
// thread of its own, one after another in the order handed over, and each read's answer is
// posted to the loop; without one they run at once on the caller's thread.
// Threads: run_aside() and the destructor on the index's thread (the event loop); read_table()
// and read_member() on the reading thread (or the caller's, without one). Locks: `reads_lock`
// guards `reads` and `stopping`. Ownership: owned by the index; owns the kept connection and the
// reading thread, which the destructor stops (interrupting a read under way) and joins. Answers
// posted to the loop and not yet run when it goes are dropped there. The index sets its source
// before its first read and keeps it.
#ifndef NORVEL_INVITER_RELOADER_H_
#define NORVEL_INVITER_RELOADER_H_

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <thread>
#include <utility>

#include "db/load_stop.h"
#include "db/mysql_helper.h"
#include "store/inviter_source.h"
#include "store/table_rows.h"
#include "support/annotated_mutex.h"
#include "support/app_config.h"

class inviter_reloader : public inviter_source {
 public:
  // Hands a function to the event loop, which runs it there (boost::asio::post in the daemon).
  using loop_poster = std::function<void(std::function<void()>)>;

  // `io_timeout_seconds` bounds each wait for the server; 0: unbounded. With `to_loop`, reads
  // handed to run_aside() run on a thread of its own.
  inviter_reloader(app_cfg::db_setting settings, unsigned int io_timeout_seconds,
                   loop_poster to_loop = nullptr);
  ~inviter_reloader() override;
  inviter_reloader(const inviter_reloader&) = delete;
  inviter_reloader& operator=(const inviter_reloader&) = delete;

  bool read_table(const std::function<bool(int highest)>& on_highest,
                  const std::function<void(const table_rows::member_row&)>& on_row) override;
  lookup read_member(int member, int& highest, table_rows::member_row& out) override;
  void run_aside(std::function<void()> read, std::function<void()> then) override;

 private:
  // The reading thread: runs each read handed over, then posts its answer to the loop.
  void serve_reads();

  const app_cfg::db_setting db;
  const unsigned int io_timeout;
  const loop_poster to_loop;
  std::unique_ptr<mysql::connection> row_reader;  // kept between reads; reopened after a failure
  load_stop stop_reads;  // interrupts a read under way when the reloader goes
  annotated::mutex reads_lock;
  std::condition_variable reads_ready;
  std::deque<std::pair<std::function<void()>, std::function<void()>>> reads GUARDED_BY(reads_lock);
  bool stopping GUARDED_BY(reads_lock) = false;
  // Held while the reloader lives; each answer posted to the loop runs only while it does.
  const std::shared_ptr<const bool> alive = std::make_shared<const bool>(true);
  std::thread reader;  // runs serve_reads() when there is a way to the loop
};

#endif  // NORVEL_INVITER_RELOADER_H_
