// The daemon-side start-up (logic_center::start: the inviter index, the load, the workers
// started) against a database prepared by bench/load_bench.sh: what stands between the start
// command and the first answer. The database name comes from NORVEL_BENCH_DB (default
// norvel_bench_load); the other settings from NORVEL_DB_HOST / NORVEL_DB_USER /
// NORVEL_DB_PASSWORD or the local defaults; NORVEL_BENCH_COMPRESS=0 connects uncompressed.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "app_config.h"
#include "logic_center.h"
#include "mysql_helper.h"
#include "object_manager.h"
#include "process_stats.h"

namespace {

std::string env_or(const char* key, const char* fallback) {
  const char* value = std::getenv(key);
  return value != nullptr && *value != '\0' ? value : fallback;
}

void configure() {
  app_cfg::db_setting& db = singleton<app_cfg>::instance()->db;
  db.host = env_or("NORVEL_DB_HOST", "127.0.0.1");
  db.user = env_or("NORVEL_DB_USER", "norvel");
  db.passwd = env_or("NORVEL_DB_PASSWORD", "norvel-local-pw");
  db.name = env_or("NORVEL_BENCH_DB", "norvel_bench_load");
  db.port = 3306;
  db.compress = env_or("NORVEL_BENCH_COMPRESS", "1") != "0";
}

bool database_ready() {
  const app_cfg::db_setting& db = singleton<app_cfg>::instance()->db;
  try {
    mysql::connection conn(db.host, db.user, db.passwd, db.name, 3306);
    return conn.exec("SELECT 1 FROM brix_mb_special LIMIT 1", mysql::connection::oper_select)
        .good();
  } catch (const std::exception&) {
    return false;
  }
}

// start() from its call to its return; the store is built and destroyed outside the timing.
// Reports the stored entries and the growth of the resident set per entry.
void BM_Start(benchmark::State& state) {
  object_manager::init();
  configure();
  if (!database_ready()) {
    state.SkipWithError("no load database: run bench/load_bench.sh");
    object_manager::fini();
    return;
  }
  const auto resident_before = static_cast<long>(resident_bytes());
  for (auto _ : state) {
    state.PauseTiming();
    auto store = std::make_unique<logic_center>();
    state.ResumeTiming();
    store->start();
    state.PauseTiming();
    std::fflush(stdout);
    malloc_trim(0);  // as the daemon does after the load
    const logic_center::store_sizes sizes = store->sizes();
    const double grown = static_cast<double>(static_cast<long>(resident_bytes()) - resident_before);
    state.counters["entries"] = static_cast<double>(sizes.entries());
    state.counters["members"] = static_cast<double>(sizes.members);
    state.counters["rss_mb"] = static_cast<double>(resident_bytes()) / (1 << 20);
    state.counters["bytes_per_entry"] =
        grown / static_cast<double>(std::max<size_t>(1, sizes.entries()));
    store.reset();
    state.ResumeTiming();
  }
  object_manager::fini();
}
BENCHMARK(BM_Start)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

}  // namespace
