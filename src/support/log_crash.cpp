// The crash flush: on SIGSEGV, SIGBUS, SIGFPE or SIGABRT every thread's pending entries are
// written with async-signal-safe calls, then the signal goes on to the action it replaced.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>

#include "support/log.h"
#include "support/log_internal.h"

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

}  // namespace

// Installs the handler for each signal it does not handle yet, keeping the action it replaces.
void logger::install_crash_handlers() {
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
