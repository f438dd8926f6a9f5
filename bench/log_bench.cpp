// The cost of one event-log entry, which every request pays at least once (the daemon logs each
// request at Debug): format, day check, record lock, write and flush. Also with all six threads
// of the daemon logging at once.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <boost/filesystem.hpp>

#include "support/log.h"

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
    log.log_at(log_debug, "logic_center::fetch_pri_specials user=%lu cursor=%lu count=%d", id,
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

// Entries written in groups of range(0), as the event loop writes a turn's entries: per entry,
// the formatting plus a share of one day check, one file lock and one write.
void BM_LogEntryBatched(benchmark::State& state) {
  temp_log_dir dir;
  logger::Logfile log(dir.path.c_str(), "norvel", true);
  const int group = static_cast<int>(state.range(0));
  unsigned long id = 0;
  for (auto _ : state) {
    log_batch batch;
    for (int i = 0; i < group; ++i) {
      log.log_at(log_debug, "logic_center::fetch_pri_specials user=%lu cursor=%lu count=%d", id,
                 id * 7, 20);
      ++id;
    }
  }
  state.SetItemsProcessed(state.iterations() * group);
}
BENCHMARK(BM_LogEntryBatched)->Arg(1)->Arg(4)->Arg(16);

// The day check before each write: stat() of the path against access(). Each iteration checks,
// then appends one entry-sized line, since the check's cost shows partly in the write after it.
template <bool use_stat>
void BM_ExistenceCheckThenWrite(benchmark::State& state) {
  temp_log_dir dir;
  const std::string path = dir.path + "/check.txt";
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  const char line[] = "12:00:00:000000\tDebug:\tfetch_pri_specials\r\n";
  for (auto _ : state) {
    if (use_stat) {
      struct stat info {};
      benchmark::DoNotOptimize(::stat(path.c_str(), &info));
    } else {
      benchmark::DoNotOptimize(::access(path.c_str(), F_OK));
    }
    benchmark::DoNotOptimize(::write(fd, line, sizeof(line) - 1));
  }
  ::close(fd);
}
BENCHMARK_TEMPLATE(BM_ExistenceCheckThenWrite, true)->Name("BM_StatThenWrite");
BENCHMARK_TEMPLATE(BM_ExistenceCheckThenWrite, false)->Name("BM_AccessThenWrite");

}  // namespace
