// The pieces the event log's files share: log.cpp (the entry API and levels), log_file.cpp (the
// daily file, its inter-process lock, banner and roll-over), log_batch.cpp (each thread's batch,
// the group commit), log_crash.cpp (the crash flush) and log_writers.cpp (the further writers).
// Not for use outside the log.
// Threads: as log.h says; `batches` is read by the fatal-signal handler without a lock, and
// batches_lock guards registration and the owner of pending entries.
#ifndef NORVEL_LOG_INTERNAL_H_
#define NORVEL_LOG_INTERNAL_H_

#include <sys/types.h>

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <ctime>
#include <memory>

#include "support/annotated_mutex.h"
#include "support/log.h"

namespace logger {

constexpr size_t stamp_buffer_size = 256;

// The lines a fresh file starts with.
extern const char* const banner;

// Writes all of `data`, going on after short writes and interrupted calls. Async-signal-safe.
void write_all(int fd, const char* data, size_t length);

// Formats the message into `out` (room for `room` bytes with the terminating zero) and answers
// its full length, which may exceed the room (then the text is cut).
size_t format_message(char* out, size_t room, const char* format, va_list args);

// The local date (yyyymmdd) of a second, recomputed once a minute: a day, and any change of the
// clock's offset, starts on a whole minute.
struct local_date_cache {
  time_t valid_from = 1;
  time_t valid_until = 0;
  int date = 0;

  int of(time_t seconds) {
    if (seconds < valid_from || seconds >= valid_until) {
      tm local{};
      localtime_r(&seconds, &local);
      date = (local.tm_year + 1900) * 10000 + (local.tm_mon + 1) * 100 + local.tm_mday;
      valid_from = seconds - local.tm_sec;
      valid_until = valid_from + 60;
    }
    return date;
  }
};

// One thread's pending entries. The buffer is allocated at the thread's first batched entry and
// never moves, so the fatal-signal handler can read it: `length` counts whole entries only and
// is published after their bytes. Registered in `batches` for that handler, the logger's
// destructor and the thread's own end.
struct thread_batch {
  static constexpr size_t capacity = 64 * 1024;

  thread_batch() = default;
  ~thread_batch();
  thread_batch(const thread_batch&) = delete;
  thread_batch& operator=(const thread_batch&) = delete;

  bool ready();  // allocated and registered; false when no slot is free
  void write_out();

  int depth = 0;
  int slot = -1;
  int date = 0;  // the local date of the pending entries
  local_date_cache dates;
  std::unique_ptr<char[]> data;
  std::atomic<size_t> length{0};
  std::atomic<Logfile*> owner{nullptr};  // the logger the pending entries belong to
};

constexpr int batch_slots = 128;
// Every thread's batch, registered at its first batched entry; read by the crash flush.
extern std::atomic<thread_batch*> batches[batch_slots];

// Installs the fatal-signal handlers that write the pending entries (log_crash.cpp).
void install_crash_handlers();

}  // namespace logger

#endif  // NORVEL_LOG_INTERNAL_H_
