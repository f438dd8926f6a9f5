// The daemon-side initial load (init_data) against a database prepared by bench/load_bench.sh.
// The database name comes from NORVEL_BENCH_DB (default norvel_bench_load); the other settings
// from NORVEL_DB_HOST / NORVEL_DB_USER / NORVEL_DB_PASSWORD or the local defaults.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include <benchmark/benchmark.h>

#include "app_config.h"
#include "logic_center.h"
#include "mysql_helper.h"
#include "object_manager.h"

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

// init_data from its start to its end; the store is built and destroyed outside the timing.
void BM_InitData(benchmark::State& state) {
  object_manager::init();
  configure();
  if (!database_ready()) {
    state.SkipWithError("no load database: run bench/load_bench.sh");
    object_manager::fini();
    return;
  }
  for (auto _ : state) {
    state.PauseTiming();
    auto store = std::make_unique<logic_center>();
    state.ResumeTiming();
    store->init_data();
    state.PauseTiming();
    std::fflush(stdout);
    store.reset();
    state.ResumeTiming();
  }
  object_manager::fini();
}
BENCHMARK(BM_InitData)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

}  // namespace
