#include "support/log.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <exception>

#include <boost/interprocess/sync/scoped_lock.hpp>

logger::Logfile* gLogger = nullptr;

namespace logger {
namespace {

constexpr size_t msg_buffer_size = 1048576;
constexpr size_t stamp_buffer_size = 256;
constexpr long stamp_offset_seconds = 8 * 3600;  // stamps read as UTC+8 whatever the time zone
constexpr mode_t log_file_mode = 0644;           // never world-writable, even under umask 0

const char* const banner =
    "+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+\r\n"
    "+                            ZUL System - Event log                           +\r\n"
    "+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+\r\n";

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

// Writes all of `data`, going on after short writes and interrupted calls. Async-signal-safe.
void write_all(int fd, const char* data, size_t length) {
  while (length > 0) {
    const ssize_t n = ::write(fd, data, length);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      return;  // nowhere else to report it: the log is the report channel
    }
    data += n;
    length -= static_cast<size_t>(n);
  }
}

// Two decimal digits of `value` (0..99) at `out`.
char* put_two(char* out, long value) {
  out[0] = static_cast<char>('0' + value / 10);
  out[1] = static_cast<char>('0' + value % 10);
  return out + 2;
}

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

// The level set by this thread's last SetCurLevel(), and on which logger. Keeping it per thread
// lets the classic two-step interface give each entry the level its own thread asked for.
struct thread_level {
  unsigned long serial = 0;
  int level = 0;
};
thread_local thread_level this_thread_level;

}  // namespace

// ---- group commit ----

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

namespace {

constexpr int batch_slots = 128;
std::atomic<thread_batch*> batches[batch_slots];
// Guards registration and the owner of pending entries against the logger's destruction and a
// thread's end; the logging path itself never takes it.
annotated::mutex batches_lock;

thread_local thread_batch this_thread_batch;

}  // namespace

thread_batch::~thread_batch() {
  if (slot < 0) {
    return;
  }
  annotated::mutex_lock guard(batches_lock);
  write_out();
  batches[slot].store(nullptr);
}

bool thread_batch::ready() {
  if (slot >= 0) {
    return true;
  }
  annotated::mutex_lock guard(batches_lock);
  for (int i = 0; i < batch_slots; ++i) {
    if (batches[i].load() == nullptr) {
      data.reset(new char[capacity]);
      slot = i;
      batches[i].store(this);
      return true;
    }
  }
  return false;  // more threads than slots: this one writes each entry at once
}

void thread_batch::write_out() {
  const size_t pending = length.load(std::memory_order_relaxed);
  Logfile* log = owner.load(std::memory_order_relaxed);
  if (pending > 0 && log != nullptr) {
    log->write_pending(data.get(), pending, date);
  }
  length.store(0, std::memory_order_release);
}

void Logfile::stream_closer::operator()(FILE* stream) const {
  if (stream != nullptr && stream != stderr) {
    std::fclose(stream);
  }
}

Logfile::Logfile(const char* dir, const char* name, bool stamp)
    : with_stamp(stamp),
      log_dir(dir != nullptr ? dir : ""),
      log_name(name != nullptr ? name : ""),
      msg_buffer(new char[msg_buffer_size]),
      clock(system_clock_now),
      serial(next_serial.fetch_add(1, std::memory_order_relaxed)) {}

// Entries other threads still hold for this logger are written now; their batches forget it.
Logfile::~Logfile() {
  annotated::mutex_lock guard(batches_lock);
  for (auto& slot : batches) {
    thread_batch* batch = slot.load();
    if (batch != nullptr && batch->owner.load() == this) {
      batch->write_out();
      batch->owner.store(nullptr);
    }
  }
}

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

void Logfile::LogAt(int level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  write_entry(level, format, args);
  va_end(args);
}

void Logfile::VLogAt(int level, const char* format, va_list args) {
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
namespace {
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
}  // namespace

// The entry goes to the end of this thread's batch when one is open. Pending entries of another
// logger, or of another local date, are written first, so every entry reaches the file it would
// have reached on its own. False when the entry is to be written at once: no batch is open, or it
// does not fit even into an empty batch.
bool Logfile::add_to_batch(int level, const char* format, va_list args) {
  thread_batch& batch = this_thread_batch;
  if (batch.depth == 0 || !batch.ready()) {
    return false;
  }
  const timeval now = clock();
  const int date = batch.dates.of(now.tv_sec);
  size_t used = batch.length.load(std::memory_order_relaxed);
  if (used > 0 && (batch.owner.load(std::memory_order_relaxed) != this || batch.date != date ||
                   used > thread_batch::capacity - stamp_buffer_size)) {
    batch.write_out();
    used = 0;
  }
  for (;;) {
    char* const start = batch.data.get() + used;
    char* text = format_stamp(start, level, now);
    const size_t room = thread_batch::capacity - static_cast<size_t>(text - batch.data.get());
    const size_t text_length = format_message(text, room, format, args);
    if (text_length + 2 < room) {
      text[text_length] = '\r';
      text[text_length + 1] = '\n';
      batch.owner.store(this, std::memory_order_relaxed);
      batch.date = date;
      batch.length.store(static_cast<size_t>(text - batch.data.get()) + text_length + 2,
                         std::memory_order_release);
      break;
    }
    if (used == 0) {
      return false;  // larger than the whole batch: written at once, after nothing pending
    }
    batch.write_out();
    used = 0;
  }
  if (level == log_fatal || level == log_error) {
    batch.write_out();
  }
  return true;
}

// Entries written at once must not overtake the ones this thread has pending.
void Logfile::write_pending_of_this_thread() {
  thread_batch& batch = this_thread_batch;
  if (batch.length.load(std::memory_order_relaxed) > 0) {
    batch.write_out();
  }
}

void Logfile::write_pending(const char* data, size_t length, int date) {
  annotated::mutex_lock guard(entry_lock);
  open_date_locked(date);
  append_locked(data, length);
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

char* Logfile::FromatStamp(char* out) {
  annotated::mutex_lock guard(entry_lock);
  return format_stamp(out, level_for_this_thread(), clock());
}

void Logfile::write_value(const char* value_format, ...) {
  if (filtered_out(level_for_this_thread())) {
    return;
  }
  write_pending_of_this_thread();
  annotated::mutex_lock guard(entry_lock);
  const timeval now = clock();
  char line[stamp_buffer_size] = {};
  char* value = format_stamp(line, level_for_this_thread(), now);
  const size_t room = sizeof(line) - static_cast<size_t>(value - line);
  va_list args;
  va_start(args, value_format);
  const int written = std::vsnprintf(value, room, value_format, args);
  va_end(args);
  if (written < 0) {
    return;
  }
  size_t value_length = static_cast<size_t>(written);
  if (value_length >= room) {
    // Cut to the line (a huge double prints 300 digits), and keep its end so the next entry
    // starts on a line of its own.
    value_length = room - 1;
    value[value_length - 2] = '\r';
    value[value_length - 1] = '\n';
  }
  write_locked(line, static_cast<size_t>(value - line) + value_length, now);
}

void Logfile::WriteSigned(int value) {
  write_value("%d\r\n", value);
}

void Logfile::WriteUnsigned(unsigned value, int width) {
  switch (width) {
    case 1:
      write_value("0x%02x\r\n", value);
      break;
    case 2:
      write_value("0x%04x\r\n", value);
      break;
    case 4:
      write_value("0x%08x\r\n", value);
      break;
    default:
      break;
  }
}

void Logfile::WriteFloat(double value) {
  write_value("%.6f\r\n", value);
}

void Logfile::Log(bool value) {
  if (value) {
    Write("true\r\n", 6);
  } else {
    Write("false\r\n", 7);
  }
}

void Logfile::EndWrite() {
  Write("\r\n", 2);
}

void Logfile::StartWrite() {
  Write(banner, std::strlen(banner));
}

void Logfile::Log(const unsigned char* begin, const unsigned char* end) {
  hex_dump(begin, end);
}

void Logfile::Log(const wchar_t* text) {
  if (text == nullptr) {
    return;
  }
  const auto* bytes = reinterpret_cast<const unsigned char*>(text);
  hex_dump(bytes, bytes + std::wcslen(text) * sizeof(wchar_t));
}

// A header line, then rows of 16 bytes while more than 16 remain, then the rest in short form.
// The whole dump is built first and written at once, so it stays in one piece.
void Logfile::hex_dump(const unsigned char* begin, const unsigned char* end) {
  if (filtered_out(level_for_this_thread())) {
    return;
  }
  write_pending_of_this_thread();
  annotated::mutex_lock guard(entry_lock);
  const timeval now = clock();
  char head[stamp_buffer_size] = {};
  char* head_end = format_stamp(head, level_for_this_thread(), now);
  std::string dump(head, head_end);
  dump += "\r\n";
  if (begin != nullptr && end != nullptr && begin < end) {
    char row[80];
    const unsigned char* p = begin;
    for (; end - p > 16; p += 16) {
      const int n = std::snprintf(
          row, sizeof(row),
          "%02x %02x %02x %02x %02x %02x %02x %02x  %02x %02x %02x %02x %02x %02x %02x %02x\r\n",
          p[0], p[1], p[2], p[3], p[4], p[5], p[6], p[7], p[8], p[9], p[10], p[11], p[12], p[13],
          p[14], p[15]);
      dump.append(row, static_cast<size_t>(n));
    }
    for (; p < end; ++p) {
      const int n = std::snprintf(row, sizeof(row), "%02x ", *p);
      dump.append(row, static_cast<size_t>(n));
    }
    dump += "\r\n";
  }
  write_locked(dump.data(), dump.size(), now);
}

// ---- the file ----

void Logfile::Write(const void* data, size_t length) {
  write_pending_of_this_thread();
  annotated::mutex_lock guard(entry_lock);
  write_locked(data, length, clock());
}

void Logfile::OpenFile() {
  annotated::mutex_lock guard(entry_lock);
  open_file_locked(clock());
}

void Logfile::write_locked(const void* data, size_t length, const timeval& now) {
  open_file_locked(now);
  append_locked(data, length);
}

// Holds the inter-process lock for exactly one write, so processes sharing a file never mix
// their entries. stderr is written without it. The bytes go straight to the descriptor: nothing
// waits in a stream buffer, so every write is flushed.
void Logfile::append_locked(const void* data, size_t length) {
  if (!log_file || length == 0) {
    return;
  }
  const int fd = ::fileno(log_file.get());
  const char* bytes = static_cast<const char*>(data);
  try {
    if (lock_valid && log_file.get() != stderr) {
      boost::interprocess::scoped_lock<boost::interprocess::file_lock> file_guard(lock);
      write_all(fd, bytes, length);
      return;
    }
  } catch (const std::exception&) {
    // The record lock failed (an odd file system): write unlocked rather than lose the entry.
  }
  write_all(fd, bytes, length);
}

const std::string& Logfile::path_for_locked(const timeval& now) const {
  tm local{};
  const time_t seconds = now.tv_sec;
  localtime_r(&seconds, &local);
  return path_for_date_locked((local.tm_year + 1900) * 10000 + (local.tm_mon + 1) * 100 +
                              local.tm_mday);
}

const std::string& Logfile::path_for_date_locked(int date) const {
  if (date != cached_date) {
    char path[stamp_buffer_size] = {};
    std::snprintf(path, sizeof(path), "%s/%s_%04d%02d%02d.txt", log_dir.c_str(), log_name.c_str(),
                  date / 10000, date / 100 % 100, date % 100);
    cached_path = path;
    cached_date = date;
  }
  return cached_path;
}

void Logfile::open_file_locked(const timeval& now) {
  open_path_locked(path_for_locked(now));
}

void Logfile::open_date_locked(int date) {
  open_path_locked(path_for_date_locked(date));
}

// Checked on every write: a new local day, or a file removed from outside, leaves no file at
// today's path, so the stream is let go and a fresh file (with its banner) is opened. A stream
// still on an older day's file is let go too, even when another process has already created
// today's file. access() rather than stat(): it answers the same question and, measured, leaves
// the following write cheaper.
void Logfile::open_path_locked(const std::string& path) {
  const bool exists = ::access(path.c_str(), F_OK) == 0;  // an error reads as "no file"
  if (!exists || (log_file && log_file.get() != stderr && open_path != path)) {
    crash_fd.store(-1, std::memory_order_relaxed);
    log_file.reset();
    open_path.clear();
  }
  if (!log_file) {
    try_open_locked(path);
  }
}

void Logfile::try_open_locked(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, log_file_mode);
  FILE* stream = fd >= 0 ? ::fdopen(fd, "a") : nullptr;
  if (stream == nullptr) {
    if (fd >= 0) {
      ::close(fd);
    }
    std::fprintf(stderr, "can't open log file --> [%s] \n", path.c_str());
    log_file.reset(stderr);
    crash_fd.store(STDERR_FILENO, std::memory_order_relaxed);
    open_path.clear();
    lock_valid = false;
    return;
  }
  log_file.reset(stream);
  crash_fd.store(fd, std::memory_order_relaxed);
  open_path = path;
  try {
    boost::interprocess::file_lock fresh(path.c_str());
    lock.swap(fresh);
    lock_valid = true;
  } catch (const std::exception&) {
    boost::interprocess::file_lock none;
    lock.swap(none);
    lock_valid = false;
  }
  append_locked(banner, std::strlen(banner));
}

}  // namespace logger

namespace {

constexpr int fatal_signals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGABRT};
struct sigaction previous_actions[sizeof(fatal_signals) / sizeof(fatal_signals[0])];

// Writes what the threads have pending, then hands the signal to whoever handled it before:
// a fault returns to the faulting instruction, which faults again into the previous action;
// a signal that was sent (abort, kill) is sent again.
void on_fatal_signal(int number, siginfo_t* info, void* /*context*/) {
  write_pending_entries_for_crash();
  for (size_t i = 0; i < sizeof(fatal_signals) / sizeof(fatal_signals[0]); ++i) {
    if (fatal_signals[i] == number) {
      ::sigaction(number, &previous_actions[i], nullptr);
    }
  }
  if (info == nullptr || info->si_code <= 0 || number == SIGABRT) {
    ::raise(number);
  }
}

// Installs the handler for each signal it does not handle yet, keeping the action it replaces.
void install_crash_handlers() {
  for (size_t i = 0; i < sizeof(fatal_signals) / sizeof(fatal_signals[0]); ++i) {
    struct sigaction current {};
    if (::sigaction(fatal_signals[i], nullptr, &current) == 0 &&
        (current.sa_flags & SA_SIGINFO) != 0 && current.sa_sigaction == on_fatal_signal) {
      continue;
    }
    struct sigaction action {};
    action.sa_sigaction = on_fatal_signal;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    ::sigaction(fatal_signals[i], &action, &previous_actions[i]);
  }
}

}  // namespace

void write_pending_entries_for_crash() noexcept {
  for (auto& slot : logger::batches) {
    logger::thread_batch* batch = slot.load(std::memory_order_acquire);
    if (batch == nullptr) {
      continue;
    }
    const size_t pending = batch->length.exchange(0, std::memory_order_acq_rel);
    const logger::Logfile* log = batch->owner.load(std::memory_order_relaxed);
    if (pending == 0 || log == nullptr) {
      continue;
    }
    const int fd = log->descriptor_for_crash();
    if (fd < 0) {
      continue;  // nothing was ever opened; no safe way to open it here
    }
    struct flock whole_file {};
    whole_file.l_type = F_WRLCK;
    whole_file.l_whence = SEEK_SET;
    const bool locked = fd != STDERR_FILENO && ::fcntl(fd, F_SETLKW, &whole_file) == 0;
    logger::write_all(fd, batch->data.get(), pending);
    if (locked) {
      whole_file.l_type = F_UNLCK;
      ::fcntl(fd, F_SETLK, &whole_file);
    }
  }
}

void log_batch_begin() noexcept {
  ++logger::this_thread_batch.depth;
}

void log_batch_end() noexcept {
  logger::thread_batch& batch = logger::this_thread_batch;
  if (batch.depth > 0 && --batch.depth == 0 && batch.slot >= 0) {
    try {
      batch.write_out();
    } catch (...) {
      // Writing the log does not throw past the file lock's own handling; never from here.
    }
  }
}

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
    install_crash_handlers();
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
  log->VLogAt(level, format, args);
  va_end(args);
}
