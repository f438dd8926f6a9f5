#include "snapshot/snapshot_taker.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <utility>

#include <boost/asio/post.hpp>

#include "metrics/metrics.h"
#include "snapshot/store_snapshot.h"
#include "support/log.h"

namespace snapshot {

namespace {

double seconds_since(std::chrono::steady_clock::time_point began) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
}

double unix_now() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// The child's one-line report: "1 <bytes> <path>" or "0 0 <error>".
std::string report_line(const write_outcome& outcome) {
  return std::string(outcome.ok ? "1 " : "0 ") + std::to_string(outcome.bytes) + " " +
         (outcome.ok ? outcome.path : outcome.error) + "\n";
}

// Closes every descriptor the writer inherited but `keep` and the standard three: the listening
// socket, the clients' connections and the stream's and database's sockets belong to the node,
// and a writer still holding the port would keep a restarted node from binding it.
void close_inherited(int keep) {
  const unsigned int report = static_cast<unsigned int>(keep);
  if (report > 3 && ::close_range(3, report - 1, 0) != 0) {
    for (int fd = 3; fd < keep; ++fd) {
      ::close(fd);
    }
  }
  if (::close_range(report + 1, ~0U, 0) != 0) {
    const long most = ::sysconf(_SC_OPEN_MAX);
    for (long fd = keep + 1; fd < most; ++fd) {
      ::close(static_cast<int>(fd));
    }
  }
}

// The writer process: writes the store, reports, and ends without running anything of the
// parent's (no exit handlers, no destructors, no flush of the parent's buffers).
[[noreturn]] void run_child(const logic_center& store, const taker_settings& settings,
                            uint64_t sequence, int report_fd, pid_t parent) {
  // A stop sent to the whole group ends the writer too; the next writer removes its .tmp.
  ::signal(SIGTERM, SIG_DFL);
  ::signal(SIGINT, SIG_DFL);
  // A node that dies (SIGKILL, a crash) takes its writer with it: a writer outliving it would
  // rename and prune files under a restarted node's feet.
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::getppid() != parent) {
    ::_exit(1);
  }
  close_inherited(report_fd);
  write_outcome outcome;
  try {
    outcome = save_store(store, settings.dir, settings.stream, sequence);
  } catch (const std::exception& e) {
    outcome.ok = false;
    outcome.error = e.what();
  }
  const std::string line = report_line(outcome);
  size_t done = 0;
  while (done < line.size()) {
    const ssize_t n = ::write(report_fd, line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      break;
    }
    done += static_cast<size_t>(n);
  }
  ::_exit(outcome.ok ? 0 : 1);
}

}  // namespace

snapshot_taker::snapshot_taker(boost::asio::io_context& context, const logic_center& source,
                               apply_gate& applier, taker_settings wanted,
                               metrics::snapshot_figures& counted)
    : store(source),
      gate(applier),
      figures(counted),
      settings(std::move(wanted)),
      timer(context),
      user_signal(context),
      report_pipe(context) {}

snapshot_taker::~snapshot_taker() {
  boost::system::error_code ignored_ec;  // nothing is left to report to at the end
  timer.cancel();
  user_signal.cancel(ignored_ec);
  if (child_pid > 0) {
    wait_for_child();
  }
}

void snapshot_taker::start() {
  figures.taken_on.store(true, std::memory_order_relaxed);
  try {
    const std::vector<found_file> found = list_files(settings.dir, settings.stream);
    // Only the age is taken from the newest file: whether it is usable is not known here (a
    // damaged one is refused at the start), so the first snapshot is written even at its sequence.
    if (!found.empty()) {
      struct stat status {};
      if (::stat(found.front().path.c_str(), &status) == 0) {
        figures.last_written_unix.store(static_cast<double>(status.st_mtime),
                                        std::memory_order_relaxed);
      }
    }
  } catch (const std::runtime_error& e) {
    log_event(log_error, "snapshot: %s", e.what());
  }
  user_signal.add(SIGUSR1);
  wait_for_signal();
  arm_timer();
}

void snapshot_taker::arm_timer() {
  if (settings.interval.count() <= 0) {
    return;
  }
  timer.expires_after(settings.interval);
  timer.async_wait([this](const boost::system::error_code& ec) {
    if (ec) {
      return;  // cancelled: the taker is going
    }
    take();
    arm_timer();
  });
}

void snapshot_taker::wait_for_signal() {
  user_signal.async_wait([this](const boost::system::error_code& ec, int) {
    if (ec) {
      return;
    }
    log_event(log_info, "snapshot requested by SIGUSR1");
    take();
    wait_for_signal();
  });
}

void snapshot_taker::take() {
  if (child_pid > 0) {
    // The writer holds the store as it was at its fork; what was applied since is not in it.
    take_again = true;
    return;
  }
  if (pause_requested) {
    return;  // the pause has not reached rest yet: the one under way will hold it all
  }
  pause_requested = true;
  pause_began = std::chrono::steady_clock::now();
  gate.pause([this](uint64_t sequence) { at_rest(sequence); });
}

void snapshot_taker::at_rest(uint64_t sequence) {
  pause_requested = false;
  if (have_written && sequence == newest_sequence) {
    gate.resume();  // nothing applied since the newest snapshot: it is still current
    figures.last_written_unix.store(unix_now(), std::memory_order_relaxed);
    return;
  }
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    gate.resume();
    record(false, sequence, 0, std::string("cannot make a pipe: ") + std::strerror(errno));
    return;
  }
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    run_child(store, settings, sequence, fds[1], parent);
  }
  const int fork_error = errno;
  gate.resume();
  const double paused = seconds_since(pause_began);
  ::close(fds[1]);
  if (pid < 0) {
    ::close(fds[0]);
    record(false, sequence, 0, std::string("cannot fork the writer: ") + std::strerror(fork_error));
    return;
  }
  figures.pause_seconds.store(paused, std::memory_order_relaxed);
  child_pid = pid;
  child_sequence = sequence;
  report.clear();
  report_pipe.assign(fds[0]);
  read_report();
}

void snapshot_taker::read_report() {
  report_pipe.async_read_some(
      boost::asio::buffer(report_chunk),
      [this](const boost::system::error_code& ec, std::size_t n) {
        if (ec == boost::asio::error::operation_aborted) {
          return;  // the taker is going; its destructor waits for the child
        }
        report.append(report_chunk, n);
        if (!ec) {
          read_report();
          return;
        }
        child_finished();  // end of file: the child has closed its end, so it is ending
        if (std::exchange(take_again, false)) {
          take();
        }
      });
}

void snapshot_taker::wait_for_child() {
  int status = 0;
  while (::waitpid(child_pid, &status, 0) < 0 && errno == EINTR) {
  }
  child_pid = -1;
  // Whatever the child wrote is in the pipe now.
  const int fd = report_pipe.is_open() ? report_pipe.native_handle() : -1;
  if (fd >= 0) {
    char chunk[256];
    ssize_t n = 0;
    while ((n = ::read(fd, chunk, sizeof chunk)) > 0) {
      report.append(chunk, static_cast<size_t>(n));
    }
  }
  boost::system::error_code ignored_ec;  // a pipe that will not close has nothing more to say
  report_pipe.close(ignored_ec);
}

void snapshot_taker::child_finished() {
  wait_for_child();
  // "1 <bytes> <path>" or "0 0 <error>"; nothing at all when the child died.
  const size_t first = report.find(' ');
  const size_t second = first == std::string::npos ? first : report.find(' ', first + 1);
  if (second == std::string::npos) {
    record(false, child_sequence, 0, "the writer ended without a report");
    return;
  }
  std::string text = report.substr(second + 1);
  if (!text.empty() && text.back() == '\n') {
    text.pop_back();
  }
  const uint64_t bytes = std::strtoull(report.c_str() + first + 1, nullptr, 10);
  record(report[0] == '1', child_sequence, bytes, text);
}

void snapshot_taker::record(bool ok, uint64_t sequence, uint64_t bytes,
                            const std::string& path_or_error) {
  const double took = seconds_since(pause_began);
  if (!ok) {
    figures.failed.fetch_add(1, std::memory_order_relaxed);
    log_event(log_error, "snapshot at sequence %llu not written: %s; the previous ones are kept",
              static_cast<unsigned long long>(sequence), path_or_error.c_str());
    return;
  }
  have_written = true;
  newest_sequence = sequence;
  figures.written.fetch_add(1, std::memory_order_relaxed);
  figures.bytes.store(bytes, std::memory_order_relaxed);
  figures.duration_seconds.store(took, std::memory_order_relaxed);
  figures.last_written_unix.store(unix_now(), std::memory_order_relaxed);
  log_event(log_info,
            "snapshot %s written: sequence %llu, %llu bytes, %.3f s, changes paused %.1f ms",
            path_or_error.c_str(), static_cast<unsigned long long>(sequence),
            static_cast<unsigned long long>(bytes), took,
            figures.pause_seconds.load(std::memory_order_relaxed) * 1000.0);
}

bool snapshot_taker::write_here(uint64_t applied_sequence) {
  if (child_pid > 0) {
    child_finished();
  }
  if (have_written && newest_sequence == applied_sequence) {
    return true;
  }
  pause_began = std::chrono::steady_clock::now();
  figures.pause_seconds.store(0, std::memory_order_relaxed);
  write_outcome outcome;
  try {
    outcome = save_store(store, settings.dir, settings.stream, applied_sequence);
  } catch (const std::exception& e) {
    outcome.error = e.what();
  }
  record(outcome.ok, applied_sequence, outcome.bytes, outcome.ok ? outcome.path : outcome.error);
  return outcome.ok;
}

}  // namespace snapshot
