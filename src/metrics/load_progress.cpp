#include "metrics/load_progress.h"

#include <cstdio>

#include "support/log.h"

const char* load_progress::table_name(table t) {
  return t == specials_table ? "brix_mb_special" : "brix_member";
}

load_progress& load_progress::global() {
  static load_progress instance;
  return instance;
}

void load_progress::begin() {
  started.store(clock::now().time_since_epoch().count(), std::memory_order_relaxed);
  state.store(1, std::memory_order_release);
}

void load_progress::end() {
  ended.store(clock::now().time_since_epoch().count(), std::memory_order_relaxed);
  state.store(2, std::memory_order_release);
}

std::uint64_t load_progress::total_rows() const {
  std::uint64_t total = 0;
  for (const auto& count : rows) {
    total += count.load(std::memory_order_relaxed);
  }
  return total;
}

double load_progress::elapsed_seconds() const {
  const int now_state = state.load(std::memory_order_acquire);
  if (now_state == 0) {
    return 0;
  }
  const clock::rep from = started.load(std::memory_order_relaxed);
  const clock::rep to = now_state == 2 ? ended.load(std::memory_order_relaxed)
                                       : clock::now().time_since_epoch().count();
  return std::chrono::duration<double>(clock::duration(to - from)).count();
}

std::string load_progress::describe() const {
  const double seconds = elapsed_seconds();
  const std::uint64_t total = total_rows();
  char line[256];
  std::snprintf(
      line, sizeof(line), "%s %llu rows, %s %llu rows, %llu rows in %.1f s, %.0f rows/s",
      table_name(specials_table), static_cast<unsigned long long>(rows_read(specials_table)),
      table_name(members_table), static_cast<unsigned long long>(rows_read(members_table)),
      static_cast<unsigned long long>(total), seconds,
      seconds > 0 ? static_cast<double>(total) / seconds : 0.0);
  return line;
}

load_reporter::load_reporter(std::chrono::milliseconds every, report_fn reported_to)
    : interval(every), on_report(reported_to), thread([this] { run(); }) {}

load_reporter::~load_reporter() {
  {
    annotated::mutex_lock lock(mutex);
    stopping = true;
  }
  wake.notify_all();
  thread.join();
  report("load progress: finished, ");
}

void load_reporter::run() {
  annotated::mutex_lock lock(mutex);
  while (!lock.wait_for(wake, interval, [this]() REQUIRES(mutex) { return stopping; })) {
    report("load progress: ");
  }
}

void load_reporter::report(const char* prefix) {
  const std::string line = prefix + load_progress::global().describe();
  log_event(log_info, "%s", line.c_str());
  if (on_report != nullptr) {
    on_report(line);
  }
}
