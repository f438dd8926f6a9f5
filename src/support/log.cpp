#include "log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <exception>

#include <boost/filesystem/operations.hpp>
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

// The level set by this thread's last SetCurLevel(), and on which logger. Keeping it per thread
// lets the classic two-step interface give each entry the level its own thread asked for.
struct thread_level {
  unsigned long serial = 0;
  int level = 0;
};
thread_local thread_level this_thread_level;

}  // namespace

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

Logfile::~Logfile() = default;

void Logfile::set_clock(clock_fn fn) {
  std::lock_guard<std::mutex> guard(entry_lock);
  clock = fn ? std::move(fn) : clock_fn(system_clock_now);
}

std::string Logfile::current_path() const {
  std::lock_guard<std::mutex> guard(entry_lock);
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

void Logfile::write_entry(int level, const char* format, va_list args) {
  std::lock_guard<std::mutex> guard(entry_lock);
  const timeval now = clock();
  size_t length = 0;
  format_entry_locked(level, format, args, now, &length);
  write_locked(msg_buffer.get(), length, now);
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

char* Logfile::format_stamp(char* out, int level, const timeval& now) const {
  if (with_stamp) {
    const time_t shifted = now.tv_sec + stamp_offset_seconds;
    tm parts{};
    gmtime_r(&shifted, &parts);
    const int n = std::snprintf(out, stamp_buffer_size, "%02d:%02d:%02d:%06d\t", parts.tm_hour,
                                parts.tm_min, parts.tm_sec, static_cast<int>(now.tv_usec));
    out += n > 0 ? n : 0;
  }
  const char* word = level_word(level);
  const size_t word_length = std::strlen(word);
  std::memcpy(out, word, word_length);
  out += word_length;
  *out = '\0';
  return out;
}

char* Logfile::FromatStamp(char* out) {
  std::lock_guard<std::mutex> guard(entry_lock);
  return format_stamp(out, level_for_this_thread(), clock());
}

void Logfile::write_value(const char* value_format, ...) {
  std::lock_guard<std::mutex> guard(entry_lock);
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
  std::lock_guard<std::mutex> guard(entry_lock);
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
  std::lock_guard<std::mutex> guard(entry_lock);
  write_locked(data, length, clock());
}

void Logfile::OpenFile() {
  std::lock_guard<std::mutex> guard(entry_lock);
  open_file_locked(clock());
}

void Logfile::write_locked(const void* data, size_t length, const timeval& now) {
  open_file_locked(now);
  append_locked(data, length);
}

// Holds the inter-process lock for exactly one write and its flush, so processes sharing a file
// never mix their entries. stderr is written without it.
void Logfile::append_locked(const void* data, size_t length) {
  if (!log_file || length == 0) {
    return;
  }
  try {
    if (lock_valid && log_file.get() != stderr) {
      boost::interprocess::scoped_lock<boost::interprocess::file_lock> file_guard(lock);
      std::fwrite(data, 1, length, log_file.get());
      std::fflush(log_file.get());
      return;
    }
  } catch (const std::exception&) {
    // The record lock failed (an odd file system): write unlocked rather than lose the entry.
  }
  std::fwrite(data, 1, length, log_file.get());
  std::fflush(log_file.get());
}

const std::string& Logfile::path_for_locked(const timeval& now) const {
  const time_t seconds = now.tv_sec;
  tm local{};
  localtime_r(&seconds, &local);
  const int date = (local.tm_year + 1900) * 10000 + (local.tm_mon + 1) * 100 + local.tm_mday;
  if (date != cached_date) {
    char path[stamp_buffer_size] = {};
    std::snprintf(path, sizeof(path), "%s/%s_%04d%02d%02d.txt", log_dir.c_str(), log_name.c_str(),
                  local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
    cached_path = path;
    cached_date = date;
  }
  return cached_path;
}

// Checked on every write: a new local day, or a file removed from outside, leaves no file at
// today's path, so the stream is let go and a fresh file (with its banner) is opened. A stream
// still on an older day's file is let go too, even when another process has already created
// today's file.
void Logfile::open_file_locked(const timeval& now) {
  const std::string& path = path_for_locked(now);
  boost::system::error_code ignored_ec;  // an error reads as "no file": we try to open it
  const bool exists = boost::filesystem::exists(path, ignored_ec);
  if (!exists || (log_file && log_file.get() != stderr && open_path != path)) {
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
    open_path.clear();
    lock_valid = false;
    return;
  }
  log_file.reset(stream);
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

bool init_log(const char* dir, const char* name) {
  if (gLogger == nullptr) {
    gLogger = new logger::Logfile(dir, name, true);
  }
  return gLogger != nullptr;
}

void fini_log() {
  if (gLogger == nullptr) {
    return;
  }
  gLogger->LogAt(log_debug, "finiLog");
  delete gLogger;
  gLogger = nullptr;
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
