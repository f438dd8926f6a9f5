#include "support/log.h"

#include <sys/time.h>

#include <array>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "support/log_internal.h"

logger::Logfile* gLogger = nullptr;

namespace logger {
namespace {

constexpr size_t msg_buffer_size = 1048576;
constexpr long stamp_offset_seconds = 8 * 3600;  // stamps read as UTC+8 whatever the time zone

const char* level_word(int level) {
  switch (level) {
    case log_fatal:
      return "Fatal:\t";
    case log_error:
      return "Error:\t";
    case log_warning:
      return "Warning:\t";
    case log_info:
      return "Info:\t";
    case log_debug:
      return "Debug:\t";
    case log_trace:
      return "Trace:\t";
    default:
      return "";
  }
}

timeval system_clock_now() {
  timeval now{};
  gettimeofday(&now, nullptr);
  return now;
}

std::atomic<unsigned long> next_serial{1};

// Entries written by level (0 for a level outside 1 to 6); each on a cache line of its own, so
// two logging threads never share one.
struct alignas(64) entry_counter {
  std::atomic<std::uint64_t> value{0};
};
std::array<entry_counter, 7> entries_by_level;

void count_entry(int level) {
  auto& counter = entries_by_level[level >= 1 && level <= 6 ? level : 0];
  counter.value.fetch_add(1, std::memory_order_relaxed);
}

// Two decimal digits of `value` (0..99) at `out`.
char* put_two(char* out, long value) {
  out[0] = static_cast<char>('0' + value / 10);
  out[1] = static_cast<char>('0' + value % 10);
  return out + 2;
}

// The level set by this thread's last SetCurLevel(), and on which logger. Keeping it per thread
// lets the classic two-step interface give each entry the level its own thread asked for.
struct thread_level {
  unsigned long serial = 0;
  int level = 0;
};
thread_local thread_level this_thread_level;

}  // namespace

Logfile::Logfile(const char* dir, const char* name, bool stamp)
    : with_stamp(stamp),
      log_dir(dir != nullptr ? dir : ""),
      log_name(name != nullptr ? name : ""),
      msg_buffer(new char[msg_buffer_size]),
      clock(system_clock_now),
      serial(next_serial.fetch_add(1, std::memory_order_relaxed)) {}

void Logfile::set_max_level(int level) {
  max_level.store(level, std::memory_order_relaxed);
}

bool Logfile::filtered_out(int level) const {
  return level > max_level.load(std::memory_order_relaxed);
}

void Logfile::set_clock(clock_fn fn) {
  annotated::mutex_lock guard(entry_lock);
  clock = fn ? std::move(fn) : clock_fn(system_clock_now);
}

std::string Logfile::current_path() const {
  annotated::mutex_lock guard(entry_lock);
  return path_for_locked(clock());
}

void Logfile::SetCurLevel(int level) {
  this_thread_level.serial = serial;
  this_thread_level.level = level;
  cur_level.store(level, std::memory_order_relaxed);
}

int Logfile::level_for_this_thread() const {
  return this_thread_level.serial == serial ? this_thread_level.level
                                            : cur_level.load(std::memory_order_relaxed);
}

// ---- entries ----

void Logfile::Log(const char* format, ...) {
  va_list args;
  va_start(args, format);
  write_entry(level_for_this_thread(), format, args);
  va_end(args);
}

void Logfile::log_at(int level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  write_entry(level, format, args);
  va_end(args);
}

void Logfile::vlog_at(int level, const char* format, va_list args) {
  write_entry(level, format, args);
}

void Logfile::log_unfiltered(int level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  write_entry(level, format, args, true);
  va_end(args);
}

void Logfile::vlog_unfiltered(int level, const char* format, va_list args) {
  write_entry(level, format, args, true);
}

void Logfile::write_entry(int level, const char* format, va_list args, bool unfiltered) {
  if (!unfiltered && filtered_out(level)) {
    return;
  }
  count_entry(level);
  if (add_to_batch(level, format, args)) {
    return;
  }
  write_pending_of_this_thread();
  annotated::mutex_lock guard(entry_lock);
  const timeval now = clock();
  size_t length = 0;
  format_entry_locked(level, format, args, now, &length);
  write_locked(msg_buffer.get(), length, now);
}

// Formats the message into `out` (room for `room` bytes with the terminating zero) and answers
// its full length, which may exceed the room (then the text is cut). Most of the daemon's
// messages have no directive, and a text without '%' formats to itself: it is copied as it is.
size_t format_message(char* out, size_t room, const char* format, va_list args) {
  if (format == nullptr) {
    format = "";
  }
  if (std::strchr(format, '%') == nullptr) {
    const size_t length = std::strlen(format);
    if (length < room) {
      std::memcpy(out, format, length + 1);
    }
    return length;
  }
  va_list copy;
  va_copy(copy, args);
  const int written = std::vsnprintf(out, room, format, copy);
  va_end(copy);
  return written > 0 ? static_cast<size_t>(written) : 0;
}

// Stamp, level word, message and line end go into msg_buffer as one piece, so the entry reaches
// the file in one write. A message too long for the buffer is cut to leave room for "\r\n".
void Logfile::format_entry_locked(int level, const char* format, va_list args, const timeval& now,
                                  size_t* length) {
  char* const buffer = msg_buffer.get();
  char* text = format_stamp(buffer, level, now);
  const size_t room = msg_buffer_size - static_cast<size_t>(text - buffer) - 2;
  va_list copy;
  va_copy(copy, args);
  const int written = std::vsnprintf(text, room + 1, format != nullptr ? format : "", copy);
  va_end(copy);
  size_t text_length = 0;
  if (written > 0) {
    text_length = static_cast<size_t>(written) < room ? static_cast<size_t>(written) : room;
  }
  text[text_length] = '\r';
  text[text_length + 1] = '\n';
  *length = static_cast<size_t>(text - buffer) + text_length + 2;
}

// "%02d:%02d:%02d:%06d\t" of the time of day at UTC+8, written digit by digit: a day of UTC
// time is 86400 seconds (no leap seconds in time_t), so the time of day is a remainder.
char* Logfile::format_stamp(char* out, int level, const timeval& now) const {
  if (with_stamp) {
    long day_seconds = static_cast<long>((now.tv_sec + stamp_offset_seconds) % 86400);
    if (day_seconds < 0) {
      day_seconds += 86400;
    }
    out = put_two(out, day_seconds / 3600);
    *out++ = ':';
    out = put_two(out, day_seconds / 60 % 60);
    *out++ = ':';
    out = put_two(out, day_seconds % 60);
    *out++ = ':';
    long micros = static_cast<long>(now.tv_usec);
    if (micros < 0 || micros > 999999) {
      const int n = std::snprintf(out, 16, "%06ld", micros);  // only an odd test clock
      out += n > 0 ? n : 0;
    } else {
      for (int i = 5; i >= 0; --i) {
        out[i] = static_cast<char>('0' + micros % 10);
        micros /= 10;
      }
      out += 6;
    }
    *out++ = '\t';
  }
  const char* word = level_word(level);
  const size_t word_length = std::strlen(word);
  std::memcpy(out, word, word_length);
  out += word_length;
  *out = '\0';
  return out;
}

}  // namespace logger

int log_level_from_word(const std::string& word) {
  static const char* const words[] = {"fatal", "error", "warning", "info", "debug", "trace"};
  std::string lower(word);
  for (char& c : lower) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  for (int i = 0; i < 6; ++i) {
    if (lower == words[i]) {
      return i + 1;
    }
  }
  return 0;
}

std::uint64_t log_entries_written(int level) {
  const auto& counter = logger::entries_by_level[level >= 1 && level <= 6 ? level : 0];
  return counter.value.load(std::memory_order_relaxed);
}

bool init_log(const char* dir, const char* name) {
  if (gLogger == nullptr) {
    gLogger = new logger::Logfile(dir, name, true);
    logger::install_crash_handlers();
  }
  return gLogger != nullptr;
}

void fini_log() {
  if (gLogger == nullptr) {
    return;
  }
  gLogger->log_unfiltered(log_debug, "finiLog");
  delete gLogger;
  gLogger = nullptr;
}

void log_event_unfiltered(int level, const char* format, ...) {
  logger::Logfile* log = gLogger;
  if (log == nullptr) {
    return;
  }
  va_list args;
  va_start(args, format);
  log->vlog_unfiltered(level, format, args);
  va_end(args);
}

void log_event(int level, const char* format, ...) {
  logger::Logfile* log = gLogger;
  if (log == nullptr) {
    return;
  }
  va_list args;
  va_start(args, format);
  log->vlog_at(level, format, args);
  va_end(args);
}
