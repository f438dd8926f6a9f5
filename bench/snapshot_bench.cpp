// Snapshots at a site's size, against a database prepared for bench/load_bench.sh (the database
// named by NORVEL_BENCH_DB, default norvel_bench_sparse: 1,000,000 members with one special
// each): the start from MariaDB (logic_center::start) against the start from a snapshot of the
// same store (load_newest and the workers started), the snapshot's write in one process (time,
// size), and what a snapshot taken by the forking taker costs: the pause of changes (the fork)
// and the whole write in the child. Settings: NORVEL_DB_HOST / NORVEL_DB_USER /
// NORVEL_DB_PASSWORD, NORVEL_BENCH_COMPRESS=0 for an uncompressed database start,
// NORVEL_BENCH_SNAPSHOT_DIR for the files (default: a fresh directory under /tmp, removed).
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include "db/initial_load.h"
#include "db/mysql_helper.h"
#include "metrics/metrics.h"
#include "metrics/process_stats.h"
#include "snapshot/snapshot_taker.h"
#include "snapshot/store_snapshot.h"
#include "store/logic_center.h"
#include "support/app_config.h"
#include "support/object_manager.h"

namespace {

const std::string stream = "BENCH";

std::string env_or(const char* key, const char* fallback) {
  const char* value = std::getenv(key);
  return value != nullptr && *value != '\0' ? value : fallback;
}

void configure() {
  app_cfg::db_setting& db = singleton<app_cfg>::instance()->db;
  db.host = env_or("NORVEL_DB_HOST", "127.0.0.1");
  db.user = env_or("NORVEL_DB_USER", "norvel");
  db.passwd = env_or("NORVEL_DB_PASSWORD", "norvel-local-pw");
  db.name = env_or("NORVEL_BENCH_DB", "norvel_bench_sparse");
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

// The process-wide fixture: the configuration, the snapshot directory, and one store loaded
// from the database that the write and pause benchmarks share.
struct bench_setup {
  bench_setup() {
    object_manager::init();
    configure();
    ready = database_ready();
    dir = env_or("NORVEL_BENCH_SNAPSHOT_DIR", "");
    if (dir.empty()) {
      char pattern[] = "/tmp/norvel_snapshot_bench_XXXXXX";
      dir = mkdtemp(pattern) != nullptr ? pattern : "/tmp";
      own_dir = true;
    }
  }
  ~bench_setup() {
    loaded.reset();
    if (own_dir) {
      const int removed = std::system(("rm -rf '" + dir + "'").c_str());
      (void)removed;  // a directory left in /tmp is harmless
    }
    object_manager::fini();
  }
  logic_center& store() {
    if (!loaded) {
      loaded = std::make_unique<logic_center>();
      start_store(*loaded, load_settings_from(*singleton<app_cfg>::instance()));
      malloc_trim(0);
    }
    return *loaded;
  }

  bool ready = false;
  std::string dir;
  bool own_dir = false;
  std::unique_ptr<logic_center> loaded;
};

bench_setup& setup() {
  static bench_setup instance;
  return instance;
}

bool skip_without_database(benchmark::State& state) {
  if (!setup().ready) {
    state.SkipWithError("no load database: run bench/load_bench.sh (NORVEL_BENCH_DB)");
    return true;
  }
  return false;
}

// CPU seconds (user and system) of this process so far, all threads.
double process_cpu_seconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double since(std::chrono::steady_clock::time_point began) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
}

// The start from the database, from start()'s call to its return.
void BM_DatabaseStart(benchmark::State& state) {
  if (skip_without_database(state)) {
    return;
  }
  for (auto _ : state) {
    state.PauseTiming();
    auto fresh = std::make_unique<logic_center>();
    const double cpu_before = process_cpu_seconds();
    state.ResumeTiming();
    start_store(*fresh, load_settings_from(*singleton<app_cfg>::instance()));
    state.PauseTiming();
    state.counters["cpu_s"] = process_cpu_seconds() - cpu_before;
    state.counters["members"] = static_cast<double>(fresh->member_count());
    fresh.reset();
    malloc_trim(0);
    state.ResumeTiming();
  }
}

// The snapshot written in this process, as at a clean stop.
void BM_SnapshotWrite(benchmark::State& state) {
  if (skip_without_database(state)) {
    return;
  }
  logic_center& store = setup().store();
  uint64_t sequence = 1;
  for (auto _ : state) {
    const snapshot::write_outcome outcome =
        snapshot::save_store(store, setup().dir, stream, sequence++);
    if (!outcome.ok) {
      state.SkipWithError(outcome.error.c_str());
      return;
    }
    state.counters["bytes"] = static_cast<double>(outcome.bytes);
  }
}

// The start from the newest snapshot: load it and start the workers, as a node does before it
// replays the stream from the snapshot's sequence.
void BM_SnapshotStart(benchmark::State& state) {
  if (skip_without_database(state)) {
    return;
  }
  setup().store();
  for (auto _ : state) {
    state.PauseTiming();
    auto fresh = std::make_unique<logic_center>();
    const double cpu_before = process_cpu_seconds();
    state.ResumeTiming();
    const snapshot::load_result result = snapshot::load_newest(setup().dir, stream, *fresh);
    fresh->start_workers();
    state.PauseTiming();
    state.counters["cpu_s"] = process_cpu_seconds() - cpu_before;
    if (!result.loaded) {
      state.SkipWithError("no snapshot to load: BM_SnapshotWrite runs first");
      return;
    }
    state.counters["members"] = static_cast<double>(fresh->member_count());
    fresh.reset();
    malloc_trim(0);
    state.ResumeTiming();
  }
}

// A gate with nothing in flight: at rest at once.
class idle_gate : public snapshot::apply_gate {
 public:
  explicit idle_gate(boost::asio::io_context& context) : io(context) {}
  void pause(std::function<void(uint64_t)> at_rest) override {
    boost::asio::post(io, [at_rest] { at_rest(++applied); });
  }
  void resume() override {}

 private:
  boost::asio::io_context& io;
  static inline uint64_t applied = 1000;  // rising across repetitions: each takes a new file
};

// A snapshot by the taker: the pause of changes (the fork of the whole process) and the time to
// the child's rename. The pause is what requests wait at most.
void BM_SnapshotPause(benchmark::State& state) {
  if (skip_without_database(state)) {
    return;
  }
  logic_center& store = setup().store();
  boost::asio::io_context io;
  idle_gate gate(io);
  snapshot::snapshot_taker taker(io, store, gate, {setup().dir, stream, std::chrono::seconds(0)},
                                 metrics::global().snapshots);
  taker.start();
  const metrics::snapshot_figures& figures = metrics::global().snapshots;
  double worst_pause = 0;
  for (auto _ : state) {
    const std::chrono::steady_clock::time_point began = std::chrono::steady_clock::now();
    taker.take();
    while (taker.busy()) {
      io.run_for(std::chrono::milliseconds(1));
      io.restart();
    }
    state.SetIterationTime(since(began));
    const double pause = figures.pause_seconds.load();
    worst_pause = std::max(worst_pause, pause);
    state.counters["pause_ms"] = pause * 1000;
    state.counters["worst_pause_ms"] = worst_pause * 1000;
    state.counters["bytes"] = static_cast<double>(figures.bytes.load());
  }
  state.counters["resident_mb"] = static_cast<double>(resident_bytes()) / (1 << 20);
}

}  // namespace

BENCHMARK(BM_DatabaseStart)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1)
    ->Repetitions(3);
BENCHMARK(BM_SnapshotWrite)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1)
    ->Repetitions(3);
BENCHMARK(BM_SnapshotStart)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1)
    ->Repetitions(3);
BENCHMARK(BM_SnapshotPause)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(1)
    ->Repetitions(5);
