// When and how this node takes its snapshots (stream mode only): every interval, on SIGUSR1 and
// at a clean stop. Taking one must not stall requests, so it only pauses the applying of changes
// until the store is at rest (the apply gate drains what it handed out), forks, and resumes at
// once: the child process writes the file from its copy-on-write image of the store and exits,
// reporting through a pipe. A write that fails (a full disk, an I/O error) is logged, counted and
// leaves the previous snapshots as they were; the node runs on.
// Threads: everything runs on the event-loop thread, except write_here (main thread, before the
// loop runs or after it has ended). The fork happens on the event-loop thread at rest, so no store
// lock is held and no change is half applied; the child starts no thread. Ownership: owns its
// timer, its signal set, the pipe and the child it forked (waited for, never left behind). The
// store, the gate, the figures and the io_context are not owned and must outlive it.
#ifndef NORVEL_SNAPSHOT_TAKER_H_
#define NORVEL_SNAPSHOT_TAKER_H_

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>

#include "metrics/metrics.h"
#include "store/logic_center.h"

namespace snapshot {

// Implemented by the stream consumer, the only source of changes once a stream is configured.
class apply_gate {
 public:
  virtual ~apply_gate() = default;
  // Stop handing changes to the workers; once every change already handed out is applied
  // (worker queues drained, workers idle, inviter adds done), post at_rest(the sequence of the
  // last change applied) to the event loop. Reads are served meanwhile. Event-loop thread.
  virtual void pause(std::function<void(uint64_t applied_sequence)> at_rest) = 0;
  // Hand changes out again. Event-loop thread, after the pause's at_rest ran.
  virtual void resume() = 0;
};

struct taker_settings {
  std::string dir;                     // where the files go
  std::string stream;                  // the stream's name, in the file's name and header
  std::chrono::seconds interval{300};  // 0: no periodic snapshots
};

class snapshot_taker {
 public:
  // Records what it writes in `figures` (the metrics page's snapshot figures).
  snapshot_taker(boost::asio::io_context& io, const logic_center& store, apply_gate& gate,
                 taker_settings settings, metrics::snapshot_figures& figures);
  // Cancels the timer and the signal, and waits for a child still writing.
  ~snapshot_taker();
  snapshot_taker(const snapshot_taker&) = delete;
  snapshot_taker& operator=(const snapshot_taker&) = delete;

  // Arms the interval and SIGUSR1, and takes the snapshot age from the newest file already in
  // the directory. Event-loop thread, or before the loop runs.
  void start();
  // Takes a snapshot now. Asked while the store is pausing, the pause under way serves; asked
  // while a writer runs, another is taken when it ends (the writer misses what came after its
  // fork). Event-loop thread.
  void take();
  // The start's first snapshot and the clean stop's last, with the store held still by the caller
  // (every change handed out applied, nothing handed out meanwhile) and the loop not running:
  // waits for a child still writing, then writes the store at `applied_sequence` in this process
  // unless the newest snapshot already holds that sequence. Answers whether a snapshot at that
  // sequence exists afterwards. Main thread.
  bool write_here(uint64_t applied_sequence);

  // Whether a pause or a child's write is under way (tests).
  bool busy() const { return pause_requested || child_pid > 0; }

 private:
  void arm_timer();
  void wait_for_signal();
  // The store is at rest: fork the writer and resume.
  void at_rest(uint64_t sequence);
  void read_report();
  // The child's report has been read (or the pipe broke): reap it and record the outcome.
  void child_finished();
  // Blocks until the child has ended; records nothing. Main thread at the end.
  void wait_for_child();
  void record(bool ok, uint64_t sequence, uint64_t bytes, const std::string& path_or_error);

  const logic_center& store;
  apply_gate& gate;
  metrics::snapshot_figures& figures;
  const taker_settings settings;
  boost::asio::steady_timer timer;
  boost::asio::signal_set user_signal;
  boost::asio::posix::stream_descriptor report_pipe;  // read end of the child's report
  std::string report;                                 // what the child wrote so far
  char report_chunk[256];

  bool pause_requested = false;
  pid_t child_pid = -1;
  bool take_again = false;  // asked for while a writer ran: taken once that one has ended
  uint64_t child_sequence = 0;
  bool have_written = false;  // a snapshot at newest_sequence exists
  uint64_t newest_sequence = 0;
  std::chrono::steady_clock::time_point pause_began;
};

}  // namespace snapshot

#endif  // NORVEL_SNAPSHOT_TAKER_H_
