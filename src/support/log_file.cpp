// The event log's daily file: the path of each local date, opening (and re-opening after a
// new day or a removal) with the banner, and each write under the inter-process file lock.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>

#include <boost/interprocess/sync/scoped_lock.hpp>

#include "support/log.h"
#include "support/log_internal.h"

namespace logger {
namespace {

constexpr mode_t log_file_mode = 0644;  // never world-writable, even under umask 0

}  // namespace

const char* const banner =
    "+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+\r\n"
    "+                            ZUL System - Event log                           +\r\n"
    "+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+\r\n";

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

void Logfile::stream_closer::operator()(FILE* stream) const {
  if (stream != nullptr && stream != stderr) {
    std::fclose(stream);
  }
}

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
