// The real store behind the request fuzzers: the logic_center singleton with its five workers
// running, as in the daemon, but without a database. Requests that would reach the database
// (an inviter added beyond the index reloads it) fail fast against a socket that does not exist.
// Fuzzed mutations make the store grow without end, so it is torn down and built again every
// `refresh_every` inputs; that keeps a long run within the fuzzer's memory limit.
// Threads: the fuzzer's one thread calls these; the store's workers run behind them.
#ifndef NORVEL_FUZZ_STORE_H_
#define NORVEL_FUZZ_STORE_H_

#include <stdlib.h>

#include <cstddef>

#include "store/logic_center.h"
#include "support/app_config.h"
#include "support/object_manager.h"

namespace fuzz_store {

constexpr std::size_t refresh_every = 4096;

// Sets up the singletons with a database that cannot be reached. Call once.
inline void configure_without_database() {
  // "localhost" makes the client library use a Unix socket, and this one is never there.
  setenv("MYSQL_UNIX_PORT", "/nonexistent/norvel-fuzz.sock", 1);
  object_manager::init();
  app_cfg* config = singleton<app_cfg>::instance();
  config->db.host = "localhost";
  config->db.user = "fuzz";
  config->db.name = "fuzz";
}

// Idempotent.
inline void start() {
  static bool started = false;
  if (started) {
    return;
  }
  started = true;
  configure_without_database();
  singleton<logic_center>::instance()->start_workers();
}

// Call once per input, before using the store.
inline void refresh_now_and_then() {
  static std::size_t inputs = 0;
  if (++inputs % refresh_every != 0) {
    return;
  }
  singleton<logic_center>::fini();  // stops the queues and joins the workers
  singleton<logic_center>::instance()->start_workers();
}

// The common start of a fuzz input: the store started (replays may not call the initialiser) and
// refreshed now and then. False for an empty input, which the targets skip.
inline bool begin_input(std::size_t size) {
  start();
  if (size == 0) {
    return false;
  }
  refresh_now_and_then();
  return true;
}

}  // namespace fuzz_store

#endif  // NORVEL_FUZZ_STORE_H_
