// The start-up load from the database: the specials table and the member table read on two
// connections in parallel, the member rows shared by the store's follow links and the inviter
// index, and the rows handed to the store (logic_center::load_rows). Progress goes to standard
// output ("init_data start", "init_specials", "init_follow", "init_data end"), failures to the
// event log; a failed read loads what was read.
// Settings come in as arguments (the daemon takes them from the configuration).
// Threads: the main thread, before the workers start, and threads of its own joined before
// each call returns.
#ifndef NORVEL_INITIAL_LOAD_H_
#define NORVEL_INITIAL_LOAD_H_

#include "db/inviter_reloader.h"
#include "db/load_stop.h"
#include "metrics/load_progress.h"
#include "store/inviter_manager.h"
#include "store/logic_center.h"
#include "support/app_config.h"

// What the start takes from the configuration.
struct load_settings {
  app_cfg::db_setting db;
  logic_center::list_caps caps;
  inviter_manager::reload_pacing pacing;
  unsigned int inviter_read_timeout_s = app_cfg::inviter_setting::default_read_timeout_s;
  // With a way to the event loop (the daemon's), the inviter index reads the database on a
  // thread of its own and its answers come back through it; without one (tests, tools), on the
  // thread that asks.
  inviter_reloader::loop_poster to_loop;
  // Where the load's rows are counted and its start and end taken (the daemon's: the metrics
  // page's and the progress lines'); null: nowhere.
  load_progress* progress = nullptr;
};
load_settings load_settings_from(const app_cfg& config);

// The store's start (logic_center::start): sets the caps, gives the inviter index its pacing and
// its reloader on the database, loads the index and the store from one read of the member
// table, then the workers start. A connection that cannot be made leaves by exception. With a
// `stop`, stop() from any thread abandons the load: its reads are interrupted and load_abandoned
// is thrown, nothing built and no worker started. Main thread, once.
void start_store(logic_center& store, const load_settings& settings, load_stop* stop = nullptr);

// The load from the database alone, into `store` (which may hold data already).
void init_data(logic_center& store, const app_cfg::db_setting& db);

#endif  // NORVEL_INITIAL_LOAD_H_
