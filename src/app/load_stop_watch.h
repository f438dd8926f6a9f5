// Watches for SIGINT and SIGTERM while the store's start-up load runs, since the request loop
// does not run before the load is done: a stop signal then abandons the load (load_stop::stop,
// which interrupts its database reads). The request loop's own signal set sees the same signal,
// so the daemon stops either way.
// Threads: made and destroyed on the main thread; the watch runs on a thread of its own, joined
// by the destructor. Owns its io_context, signal set and thread; the load_stop is the caller's
// and outlives it.
#ifndef NORVEL_LOAD_STOP_WATCH_H_
#define NORVEL_LOAD_STOP_WATCH_H_

#include <boost/asio.hpp>

#include "db/load_stop.h"
#include "support/scoped_thread.h"

class load_stop_watch {
 public:
  explicit load_stop_watch(load_stop& load);
  ~load_stop_watch();
  load_stop_watch(const load_stop_watch&) = delete;
  load_stop_watch& operator=(const load_stop_watch&) = delete;

 private:
  boost::asio::io_context io;
  boost::asio::signal_set signals;
  scoped_thread watcher;  // last: it runs `io`, and is joined before the rest goes
};

#endif  // NORVEL_LOAD_STOP_WATCH_H_
