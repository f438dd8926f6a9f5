// Progress of the start-up load: rows read per table, and when the load started and ended. The
// table reader bumps a counter per row; the metrics endpoint and the progress reporter read them.
// One process-wide instance, load_progress::global().
// Threads: the load's threads write (the main thread and its table readers); any thread reads,
// with relaxed loads.
#ifndef NORVEL_LOAD_PROGRESS_H_
#define NORVEL_LOAD_PROGRESS_H_

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "support/annotated_mutex.h"

class load_progress {
 public:
  enum table { specials_table, members_table, table_count };
  static const char* table_name(table t);  // "brix_mb_special", "brix_member"

  static load_progress& global();

  void begin();  // the load starts now
  void end();    // the load is done (or gave up)

  // begin() on construction, end() on destruction: on every way out of the load.
  class timing {
   public:
    explicit timing(load_progress& load) : timed(load) { timed.begin(); }
    ~timing() { timed.end(); }
    timing(const timing&) = delete;
    timing& operator=(const timing&) = delete;

   private:
    load_progress& timed;
  };
  // Counts a row while the load runs; rows read later (an inviter index reload) are not the load's.
  void row_read(table t) {
    if (state.load(std::memory_order_relaxed) == 1) {
      rows[t].fetch_add(1, std::memory_order_relaxed);
    }
  }

  std::uint64_t rows_read(table t) const { return rows[t].load(std::memory_order_relaxed); }
  std::uint64_t total_rows() const;
  bool running() const { return state.load(std::memory_order_acquire) == 1; }
  bool finished() const { return state.load(std::memory_order_acquire) == 2; }
  // Seconds since begin(), up to end() once it has ended; 0 before begin().
  double elapsed_seconds() const;
  // "brix_mb_special 1200 rows, brix_member 300 rows, 1500 rows in 2.5 s, 600 rows/s"
  std::string describe() const;

 private:
  using clock = std::chrono::steady_clock;
  std::array<std::atomic<std::uint64_t>, table_count> rows{};
  std::atomic<int> state{0};  // 0 not started, 1 running, 2 finished
  std::atomic<clock::rep> started{0};
  std::atomic<clock::rep> ended{0};
};

// While it lives, writes an Info entry with the load's progress to the event log every
// `interval`, and one more with the totals when it is destroyed (each line also goes to
// `on_report`, if set). Owns one thread, stopped and joined by the destructor.
class load_reporter {
 public:
  using report_fn = void (*)(const std::string& line);
  load_reporter(std::chrono::milliseconds interval, report_fn on_report = nullptr);
  ~load_reporter();
  load_reporter(const load_reporter&) = delete;
  load_reporter& operator=(const load_reporter&) = delete;

 private:
  void run();
  void report(const char* prefix);

  std::chrono::milliseconds interval;
  report_fn on_report;
  annotated::mutex mutex;
  std::condition_variable wake;
  bool stopping GUARDED_BY(mutex) = false;
  std::thread thread;
};

#endif  // NORVEL_LOAD_PROGRESS_H_
