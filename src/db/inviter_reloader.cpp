#include "db/inviter_reloader.h"

#include <exception>
#include <utility>

#include "db/table_reader.h"
#include "support/log.h"

inviter_reloader::inviter_reloader(app_cfg::db_setting settings, unsigned int io_timeout_seconds,
                                   loop_poster poster)
    : db(std::move(settings)), io_timeout(io_timeout_seconds), to_loop(std::move(poster)) {
  if (to_loop) {
    reader = std::thread([this] { serve_reads(); });
  }
}

inviter_reloader::~inviter_reloader() {
  stop_reads.stop();  // a read waiting for the server ends now, and no other one starts
  {
    annotated::mutex_lock hold(reads_lock);
    stopping = true;
  }
  reads_ready.notify_all();
  if (reader.joinable()) {
    reader.join();
  }
}

void inviter_reloader::run_aside(std::function<void()> read, std::function<void()> then) {
  if (!to_loop) {
    read();
    then();
    return;
  }
  {
    annotated::mutex_lock hold(reads_lock);
    reads.emplace_back(std::move(read), std::move(then));
  }
  reads_ready.notify_one();
}

void inviter_reloader::serve_reads() {
  for (;;) {
    std::pair<std::function<void()>, std::function<void()>> next;
    {
      annotated::mutex_lock hold(reads_lock);
      hold.wait(reads_ready, [this]() REQUIRES(reads_lock) { return stopping || !reads.empty(); });
      if (stopping) {
        return;  // reads not started are dropped with their answers: the index goes too
      }
      next = std::move(reads.front());
      reads.pop_front();
    }
    try {
      next.first();
      // Answers that reach the loop after the reloader (and the index owning it) went are
      // dropped there: both live on the loop's thread, so the check cannot race.
      to_loop([alive = std::weak_ptr<const bool>(alive), answer = std::move(next.second)] {
        if (alive.lock()) {
          answer();
        }
      });
    } catch (const std::exception& e) {
      // The reads catch their own failures; what is left (no memory to post) loses one answer.
      log_event(log_error, "inviter_reloader: a read's answer was lost: %s", e.what());
    }
  }
}

bool inviter_reloader::read_table(
    const std::function<bool(int highest)>& on_highest,
    const std::function<void(const table_rows::member_row&)>& on_row) {
  std::unique_ptr<mysql::connection> conn = table_reader::connect(db, io_timeout);
  const load_stop::watched_connection watch(stop_reads, *conn);
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
  {
    const load_stop::watched_connection watch(stop_reads, *row_reader);
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
  }
  if (found == lookup::failed) {
    row_reader.reset();
  }
  return found;
}
