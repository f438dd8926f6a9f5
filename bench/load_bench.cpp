// The daemon-side start-up (logic_center::start: the inviter index, the load, the workers
// started) against a database prepared by bench/load_bench.sh: what stands between the start
// command and the first answer. The database name comes from NORVEL_BENCH_DB (default
// norvel_bench_load); the other settings from NORVEL_DB_HOST / NORVEL_DB_USER /
// NORVEL_DB_PASSWORD or the local defaults; NORVEL_BENCH_COMPRESS=0 connects uncompressed.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "db/initial_load.h"
#include "db/mysql_helper.h"
#include "db/table_reader.h"
#include "metrics/process_stats.h"
#include "store/logic_center.h"
#include "support/app_config.h"
#include "support/malloc_settings.h"
#include "support/object_manager.h"

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

// CPU seconds (user and system) this process has used so far, all threads.
double process_cpu_seconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// CPU seconds the database server has used so far, from /proc/<pid>/stat of the pid named by
// NORVEL_BENCH_SERVER_PID (0 when unset or unreadable): the other side of the stream.
double server_cpu_seconds() {
  const std::string pid = env_or("NORVEL_BENCH_SERVER_PID", "");
  std::FILE* stat = pid.empty() ? nullptr : std::fopen(("/proc/" + pid + "/stat").c_str(), "r");
  if (stat == nullptr) {
    return 0;
  }
  unsigned long user_ticks = 0;
  unsigned long system_ticks = 0;
  // Fields 14 and 15; the command name (field 2) holds no spaces for the server.
  if (std::fscanf(stat, "%*d %*s %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &user_ticks,
                  &system_ticks) != 2) {
    user_ticks = system_ticks = 0;
  }
  std::fclose(stat);
  return static_cast<double>(user_ticks + system_ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

bool database_ready() {
  const app_cfg::db_setting& db = singleton<app_cfg>::instance()->db;
  try {
    mysql::connection conn(db.host, db.user, db.passwd, db.name, table_reader::port);
    return conn.exec("SELECT 1 FROM brix_mb_special LIMIT 1", mysql::connection::oper_select)
        .good();
  } catch (const std::exception&) {
    return false;
  }
}

// start() from its call to its return; the store is built and destroyed outside the timing.
// Reports the stored entries, the growth of the resident set per entry, and the CPU seconds of
// this process and of the server (NORVEL_BENCH_SERVER_PID) during start().
void BM_Start(benchmark::State& state) {
  malloc_settings::fix_thresholds();  // as the daemon does first
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
    const double cpu_before = process_cpu_seconds();
    const double server_before = server_cpu_seconds();
    state.ResumeTiming();
    start_store(*store, load_settings_from(*singleton<app_cfg>::instance()));
    state.PauseTiming();
    state.counters["cpu_s"] = process_cpu_seconds() - cpu_before;
    state.counters["server_cpu_s"] = server_cpu_seconds() - server_before;
    std::fflush(stdout);
    malloc_trim(0);  // as the daemon does after the load
    const logic_center::store_sizes sizes = store->sizes();
    const double grown = static_cast<double>(static_cast<long>(resident_bytes()) - resident_before);
    // List entries as the sizes of a site are usually quoted: own, public and feed entries; the
    // follow lists count in bytes_per_entry only.
    const size_t list_entries = sizes.own_entries + sizes.public_entries + sizes.feed_entries;
    state.counters["entries"] = static_cast<double>(sizes.entries());
    state.counters["list_entries"] = static_cast<double>(list_entries);
    state.counters["own_entries"] = static_cast<double>(sizes.own_entries);
    state.counters["public_entries"] = static_cast<double>(sizes.public_entries);
    state.counters["feed_entries"] = static_cast<double>(sizes.feed_entries);
    state.counters["follow_entries"] = static_cast<double>(sizes.follow_entries);
    state.counters["members"] = static_cast<double>(sizes.members);
    state.counters["feeds"] = static_cast<double>(sizes.feeds);
    state.counters["rss_mb"] = static_cast<double>(resident_bytes()) / (1 << 20);
    state.counters["grown_mb"] = grown / (1 << 20);
    state.counters["bytes_per_entry"] =
        grown / static_cast<double>(std::max<size_t>(1, sizes.entries()));
    state.counters["bytes_per_list_entry"] =
        grown / static_cast<double>(std::max<size_t>(1, list_entries));
    const logic_center::store_bytes held = store->bytes();
    state.counters["bytes_member_tables"] = static_cast<double>(held.member_tables);
    state.counters["bytes_own_lists"] = static_cast<double>(held.own_lists);
    state.counters["bytes_follow_lists"] = static_cast<double>(held.follow_lists);
    state.counters["bytes_feeds"] = static_cast<double>(held.feeds);
    state.counters["bytes_public_list"] = static_cast<double>(held.public_list);
    state.counters["bytes_inviter_index"] = static_cast<double>(held.inviter_index);
    state.counters["bytes_structures"] = static_cast<double>(held.total());
    store.reset();
    state.ResumeTiming();
  }
  object_manager::fini();
}
BENCHMARK(BM_Start)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

}  // namespace
