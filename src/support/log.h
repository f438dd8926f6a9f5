// The event log: one text file per local calendar day under a log directory, to which every
// thread appends time-stamped entries with a severity level.
//
// One process-wide instance, gLogger, is created by init_log() early in start-up and destroyed by
// fini_log() at exit; while it is null nothing is logged. Call sites use log_event(), which checks
// gLogger and writes one whole entry with its own level.
//
// Threads: any thread may log. entry_lock (an in-process mutex) keeps each entry whole and
// apart; the inter-process file_lock is held around each single write to the file, so several
// processes can share one file. Ownership: the Logfile owns its FILE* unless it is stderr, which
// is let go, never closed; it owns msg_buffer and the file_lock.
//
// Group commit: a thread inside a log_batch scope formats its entries into its own buffer and
// writes them all with one day check, one file lock and one write when the outermost scope ends
// (the event loop once per turn, a worker once per applied message). The file then holds the
// same bytes as if each entry had been written at once: a thread's entries keep their order and
// their stamps, each goes to the file of its own local date. Fatal and Error entries are written
// before the call that logs them returns; pending entries are written when the logger is
// destroyed, when the thread ends, and (best effort) when the process dies of SIGSEGV, SIGBUS,
// SIGFPE or SIGABRT.
#ifndef NORVEL_LOG_H_
#define NORVEL_LOG_H_

#include <sys/time.h>

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <functional>
#include <memory>
#include <string>

#include <boost/interprocess/sync/file_lock.hpp>

#include "support/annotated_mutex.h"

// Severity levels; the word written for each is "Fatal:", "Error:", ... "Trace:".
enum log_level : int {
  log_fatal = 1,
  log_error = 2,
  log_warning = 3,
  log_info = 4,
  log_debug = 5,
  log_trace = 6,
};

namespace logger {

class Logfile {
 public:
  // Where "now" comes from; tests inject a clock to cross midnight without waiting.
  using clock_fn = std::function<timeval()>;

  Logfile(const char* dir, const char* name, bool with_stamp);
  ~Logfile();
  Logfile(const Logfile&) = delete;
  Logfile& operator=(const Logfile&) = delete;

  // The classic two-step interface: set the level, then Log(). Not atomic across threads; prefer
  // log_at(), which is what log_event() uses.
  void SetCurLevel(int level);
  void Log(const char* format, ...) __attribute__((format(printf, 2, 3)));

  // One whole entry at `level`: stamp, level word, message, "\r\n", kept apart from concurrent
  // entries of other threads. Any thread.
  void log_at(int level, const char* format, ...) __attribute__((format(printf, 3, 4)));
  void vlog_at(int level, const char* format, va_list args);
  // The same whatever the level filter says: the records of how the process ends (a failed
  // start, the end of the log), which an operator who filtered the log must still see.
  void log_unfiltered(int level, const char* format, ...) __attribute__((format(printf, 3, 4)));
  void vlog_unfiltered(int level, const char* format, va_list args);

  // Further writers, not used on the daemon's own paths.
  void Log(bool value);
  void Log(const unsigned char* begin, const unsigned char* end);  // hex dump
  void Log(const wchar_t* text);                                   // hex dump of its bytes
  void WriteSigned(int value);
  void WriteUnsigned(unsigned value, int width);
  void WriteFloat(double value);
  void EndWrite();
  void StartWrite();  // the banner

  // Makes sure the right file is open, takes the file lock, writes, flushes, releases.
  void Write(const void* data, size_t length);
  // Selects and opens today's file (re-created when it vanished, rolled over at midnight).
  void OpenFile();
  // Writes stamp (if with_stamp) and level word into `out`; returns the position after them.
  char* FromatStamp(char* out);

  // Entries of a higher level number than `level` are not written (the configuration's
  // "log" member). Every level is written until this is called. Any thread.
  void set_max_level(int level);

  // The descriptor entries go to now, or -1; async-signal-safe.
  int descriptor_for_crash() const noexcept { return crash_fd.load(std::memory_order_relaxed); }

  // Tests replace the clock before the first entry, while no other thread logs.
  void set_clock(clock_fn clock);
  std::string current_path() const;  // the file today's entries go to

 private:
  // Closes the stream unless it is stderr, which is let go.
  struct stream_closer {
    void operator()(FILE* stream) const;
  };
  using stream_ptr = std::unique_ptr<FILE, stream_closer>;

  friend struct thread_batch;

  // The *_locked helpers expect entry_lock to be held by the caller.
  int level_for_this_thread() const;
  bool filtered_out(int level) const;
  // Formats one entry into this thread's batch; false when the entry must be written at once.
  bool add_to_batch(int level, const char* format, va_list args);
  // Writes entries formatted earlier, all of local date `date`, with one check and one write.
  void write_pending(const char* data, size_t length, int date);
  void write_pending_of_this_thread();
  void open_date_locked(int date) REQUIRES(entry_lock);
  void write_locked(const void* data, size_t length, const timeval& now) REQUIRES(entry_lock);
  void append_locked(const void* data, size_t length)
      REQUIRES(entry_lock);  // no file check, no banner
  void open_file_locked(const timeval& now) REQUIRES(entry_lock);
  void open_path_locked(const std::string& path) REQUIRES(entry_lock);
  void try_open_locked(const std::string& path) REQUIRES(entry_lock);
  const std::string& path_for_locked(const timeval& now) const REQUIRES(entry_lock);
  const std::string& path_for_date_locked(int date) const REQUIRES(entry_lock);
  char* format_stamp(char* out, int level, const timeval& now) const;
  void format_entry_locked(int level, const char* format, va_list args, const timeval& now,
                           size_t* length) REQUIRES(entry_lock);
  void write_entry(int level, const char* format, va_list args, bool unfiltered = false);
  void write_value(const char* value_format, ...) __attribute__((format(printf, 2, 3)));
  void hex_dump(const unsigned char* begin, const unsigned char* end);

  // entry_lock is held for the whole of one entry written at once, and for each write of a
  // batch; it guards the members below it but the atomics: the message buffer, the stream, the
  // file lock and the path cache are used by one writer at a time. The clock is set before the
  // first entry and read without the lock by batched entries, which are formatted by their own
  // thread alone. with_stamp, log_dir, log_name and serial never change.
  mutable annotated::mutex entry_lock;
  stream_ptr log_file
      GUARDED_BY(entry_lock);  // today's file, stderr while it cannot be opened, or null
  std::string open_path
      GUARDED_BY(entry_lock);  // the path log_file was opened from ("" for stderr or none)
  // The level last set by SetCurLevel() on any thread, for threads that never set their own.
  // Atomic, not guarded: it is read before an entry takes entry_lock.
  std::atomic<int> cur_level{log_debug};
  bool with_stamp;
  std::string log_dir;
  std::string log_name;
  std::unique_ptr<char[]> msg_buffer GUARDED_BY(entry_lock);  // 1 MiB, the text of one entry
  boost::interprocess::file_lock lock
      GUARDED_BY(entry_lock);  // on open_path; empty while lock_valid is false
  bool lock_valid GUARDED_BY(entry_lock) = false;
  // The descriptor entries go to (stderr's while the file cannot be opened, -1 before the first
  // write); read without the lock by the fatal-signal handler.
  std::atomic<int> crash_fd{-1};
  std::atomic<int> max_level{0x7fffffff};  // set at start-up, read by every entry
  clock_fn clock;
  // Cache of the file name for the local date last asked for.
  mutable int cached_date GUARDED_BY(entry_lock) = -1;
  mutable std::string cached_path GUARDED_BY(entry_lock);
  const unsigned long serial;  // tells this logger's thread-local level from another's
};

}  // namespace logger

// The process-wide logger; null before init_log() and after fini_log().
extern logger::Logfile* gLogger;

// Creates gLogger if it does not exist yet, and installs the handlers that write pending entries
// on SIGSEGV, SIGBUS, SIGFPE and SIGABRT (each then goes on to the action it replaced); answers
// whether gLogger is set.
bool init_log(const char* dir, const char* name);
// Logs "finiLog" (whatever the level filter), destroys gLogger and sets it to null.
void fini_log();

// The one-line way to log: if gLogger is set, writes one whole entry at `level`.
void log_event(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
// The same past the level filter (Logfile::log_unfiltered).
void log_event_unfiltered(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Group commit on the calling thread: entries logged between log_batch_begin() and the matching
// log_batch_end() are written together when the outermost batch ends. Nested batches join the
// outer one. Never throws.
void log_batch_begin() noexcept;
void log_batch_end() noexcept;

// The scope form, one line in a loop body: `log_batch batch;`.
class log_batch {
 public:
  log_batch() noexcept { log_batch_begin(); }
  ~log_batch() { log_batch_end(); }
  log_batch(const log_batch&) = delete;
  log_batch& operator=(const log_batch&) = delete;
};

// The level number of one of the six level words ("fatal" .. "trace", any case); 0 for any
// other text.
int log_level_from_word(const std::string& word);

// Entries written (that passed the level filter) at `level` since the process started, for the
// metrics page: levels 1 to 6, and any other level counted under 0. Any thread; relaxed reads.
std::uint64_t log_entries_written(int level);

// Writes every thread's pending entries with async-signal-safe calls only. The fatal-signal
// handlers that init_log() installs call it; callable from a signal handler.
void write_pending_entries_for_crash() noexcept;

#endif  // NORVEL_LOG_H_
