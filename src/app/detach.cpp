#include "app/detach.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

namespace {

const char* const output_path = "/tmp/norvel.out";

// Opens `path` onto descriptor `fd`, which the caller has closed. Answers false on failure.
bool open_onto(int fd, const char* path, int flags, mode_t mode) {
  const int opened = ::open(path, flags, mode);
  if (opened < 0) {
    return false;
  }
  if (opened != fd) {  // only when a lower descriptor was free; keep the standard numbering
    const int moved = ::dup2(opened, fd);
    ::close(opened);
    return moved == fd;
  }
  return true;
}

bool is_regular_file(int fd) {
  struct stat info {};
  return ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
}

// Standard input reads /dev/null; standard output appends to /tmp/norvel.out and standard error
// duplicates it. Answers false, printing nothing, if a descriptor cannot be made.
bool open_output() {
  ::close(0);
  ::close(1);
  ::close(2);
  if (!open_onto(0, "/dev/null", O_RDONLY, 0)) {
    return false;
  }
  // Never through a symbolic link: whoever made one there would choose the file we write.
  if (!open_onto(1, output_path, O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW, 0644) ||
      !is_regular_file(1)) {
    return false;
  }
  if (::dup2(1, 2) != 2) {
    return false;
  }
  print_line(stdout, "stdout create ok");
  print_line(stderr, "stderr create ok");
  return true;
}

// Holds SIGINT and SIGTERM back on this thread for its lifetime; one sent meanwhile stays pending
// and is taken when the object goes.
class stop_signals_held {
 public:
  stop_signals_held() {
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    ::pthread_sigmask(SIG_BLOCK, &stop_signals, &previous);
  }
  ~stop_signals_held() { ::pthread_sigmask(SIG_SETMASK, &previous, nullptr); }
  stop_signals_held(const stop_signals_held&) = delete;
  stop_signals_held& operator=(const stop_signals_held&) = delete;

 private:
  sigset_t previous;
};

}  // namespace

void print_line(std::FILE* stream, const char* line) {
  std::fputs(line, stream);
  std::fputc('\n', stream);
  std::fflush(stream);
}

void check_output_file() {
  struct stat link {};
  if (::lstat(output_path, &link) == 0 && S_ISLNK(link.st_mode)) {
    throw std::runtime_error(std::string(output_path) +
                             " is a symbolic link; remove it, the daemon does not follow it");
  }
  const mode_t inherited = ::umask(0);
  const int fd = ::open(output_path,
                        O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
  const int open_error = errno;
  ::umask(inherited);
  if (fd < 0) {
    throw std::runtime_error(std::string("cannot open ") + output_path +
                             " for appending: " + std::strerror(open_error));
  }
  const bool regular = is_regular_file(fd);
  ::close(fd);
  if (!regular) {
    throw std::runtime_error(std::string(output_path) + " is not a regular file");
  }
}

bool detach(boost::asio::io_context& io, metrics_server* metrics_endpoint) {
  // The loop learns of a stop signal through a pipe that the child makes anew after the forks.
  // A signal caught before that would go into the old pipe and be lost, and the daemon would not
  // stop: whoever started it may send one as soon as the terminal is let go, which is before.
  const stop_signals_held held;
  io.notify_fork(boost::asio::io_context::fork_prepare);
  if (metrics_endpoint != nullptr) {
    metrics_endpoint->notify_fork(boost::asio::io_context::fork_prepare);
  }
  pid_t pid = ::fork();
  if (pid > 0) {
    print_line(stdout, "First fork parent exit");
    std::exit(0);
  }
  if (pid < 0) {
    print_line(stdout, "First fork failed");
    return false;
  }
  ::setsid();  // fails only if already a group leader, which a fresh child never is
  ::umask(0);
  pid = ::fork();
  if (pid > 0) {
    print_line(stdout, "First fork parent exit");
    std::exit(0);
  }
  if (pid < 0) {
    return false;
  }
  if (!open_output()) {
    return false;
  }
  io.notify_fork(boost::asio::io_context::fork_child);
  if (metrics_endpoint != nullptr) {
    metrics_endpoint->notify_fork(boost::asio::io_context::fork_child);
  }
  return true;
}
