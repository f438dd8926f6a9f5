// How a stop signal abandons the start-up load: stop() marks the load abandoned and interrupts
// every database connection the load reads through (a read waiting for a silent or locked
// server returns at once, and the connection neither reconnects nor runs another statement);
// the load then checks for the stop before it builds anything and leaves by load_abandoned.
// Threads: stop() and stopped() from any thread (a signal watcher's); a connection is watched by
// the thread that uses it, from before its first statement until before it is destroyed
// (watched_connection).
// Locks: `watched_lock` guards `watched`. Ownership: the watched connections belong to their
// threads; this only points at them while they are watched.
#ifndef NORVEL_LOAD_STOP_H_
#define NORVEL_LOAD_STOP_H_

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <stdexcept>
#include <vector>

#include "db/mysql_helper.h"
#include "support/annotated_mutex.h"

// Thrown out of the load when it was abandoned; the caller serves nothing.
class load_abandoned : public std::runtime_error {
 public:
  load_abandoned() : std::runtime_error("the start-up load was abandoned by a stop signal") {}
};

class load_stop {
 public:
  // Room for every connection a load watches (three at most) is made here, on the thread that
  // starts the load: a first allocation from a reader thread would come from that thread's malloc
  // arena and, living on, keep the arena's heap, tens of megabytes of the load's rows, resident.
  load_stop() { watched.reserve(max_watched); }
  load_stop(const load_stop&) = delete;
  load_stop& operator=(const load_stop&) = delete;

  void stop() {
    requested = true;
    annotated::mutex_lock hold(watched_lock);
    for (mysql::connection* conn : watched) {
      conn->interrupt();
    }
  }
  bool stopped() const { return requested; }
  // Throws load_abandoned once stop() was called.
  void check() const {
    if (requested) {
      throw load_abandoned();
    }
  }

  // A connection stop() interrupts while this object lives (at once if stop() came first).
  class watched_connection {
   public:
    watched_connection(load_stop& owner, mysql::connection& conn) : stop(owner), watched(conn) {
      annotated::mutex_lock hold(stop.watched_lock);
      stop.watched.push_back(&watched);
      if (stop.requested) {
        watched.interrupt();
      }
    }
    ~watched_connection() {
      annotated::mutex_lock hold(stop.watched_lock);
      stop.watched.erase(std::find(stop.watched.begin(), stop.watched.end(), &watched));
    }
    watched_connection(const watched_connection&) = delete;
    watched_connection& operator=(const watched_connection&) = delete;

   private:
    load_stop& stop;
    mysql::connection& watched;
  };

 private:
  static constexpr size_t max_watched = 4;
  std::atomic<bool> requested{false};
  annotated::mutex watched_lock;
  std::vector<mysql::connection*> watched GUARDED_BY(watched_lock);
};

#endif  // NORVEL_LOAD_STOP_H_
