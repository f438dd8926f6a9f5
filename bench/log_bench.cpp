// The cost of one event-log entry, which every request pays at least once (the daemon logs each
// request at Debug): format, day check, record lock, write and flush. Also with all six threads
// of the daemon logging at once.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <string>

#include <boost/filesystem.hpp>

#include "log.h"

namespace {

class temp_log_dir {
 public:
  temp_log_dir() {
    char pattern[] = "/tmp/norvel_log_bench_XXXXXX";
    path = mkdtemp(pattern) != nullptr ? pattern : "/tmp";
  }
  ~temp_log_dir() {
    boost::system::error_code ignored_ec;  // best effort cleanup
    boost::filesystem::remove_all(path, ignored_ec);
  }
  std::string path;
};

void BM_LogEntry(benchmark::State& state) {
  temp_log_dir dir;
  logger::Logfile log(dir.path.c_str(), "norvel", true);
  unsigned long id = 0;
  for (auto _ : state) {
    log.LogAt(log_debug, "logic_center::fetch_pri_specials user=%lu cursor=%lu count=%d", id,
              id * 7, 20);
    ++id;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LogEntry);

temp_log_dir* shared_dir = nullptr;

void BM_LogEntrySixThreads(benchmark::State& state) {
  if (state.thread_index() == 0) {
    shared_dir = new temp_log_dir();
    init_log(shared_dir->path.c_str(), "norvel");
  }
  unsigned long id = 0;
  for (auto _ : state) {
    log_event(log_debug, "do_add_special member=%lu special=%lu", id, id * 3);
    ++id;
  }
  state.SetItemsProcessed(state.iterations());
  if (state.thread_index() == 0) {
    fini_log();
    delete shared_dir;
    shared_dir = nullptr;
  }
}
BENCHMARK(BM_LogEntrySixThreads)->Threads(6)->UseRealTime();

}  // namespace
