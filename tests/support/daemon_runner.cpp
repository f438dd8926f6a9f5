#include "daemon_runner.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace {

using steady = std::chrono::steady_clock;

std::runtime_error system_failure(const std::string& what) {
  return std::runtime_error(what + ": " + std::strerror(errno));
}

int remaining_ms(steady::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Connects a fresh socket to 127.0.0.1:port; answers the descriptor or -1.
int connect_loopback(unsigned short port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return -1;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

long long file_size(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 ? static_cast<long long>(info.st_size) : 0;
}

std::string read_from(const std::string& path, long long offset) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    return std::string();
  }
  in.seekg(0, std::ios::end);
  const long long size = static_cast<long long>(in.tellg());
  if (size < offset) {
    offset = 0;  // the file was replaced meanwhile
  }
  in.seekg(offset);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string read_link(const std::string& path) {
  char target[4096];
  const ssize_t n = ::readlink(path.c_str(), target, sizeof(target) - 1);
  return n < 0 ? std::string() : std::string(target, static_cast<size_t>(n));
}

}  // namespace

proc_stat read_proc_stat(pid_t pid) {
  proc_stat info;
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  std::getline(in, text);
  const size_t open_paren = text.find('(');
  const size_t close_paren = text.rfind(')');
  if (open_paren == std::string::npos || close_paren == std::string::npos) {
    return info;
  }
  info.command = text.substr(open_paren + 1, close_paren - open_paren - 1);
  std::istringstream fields(text.substr(close_paren + 1));
  fields >> info.state >> info.parent >> info.group >> info.session >> info.terminal;
  return info;
}

namespace {

// Re-parents orphaned descendants (the detached daemon) to this process, once.
void become_subreaper() {
  static const bool done = [] { return ::prctl(PR_SET_CHILD_SUBREAPER, 1) == 0; }();
  (void)done;
}

int decode_status(int status) {
  if (WIFEXITED(status)) {
    return WEXITSTATUS(status);
  }
  if (WIFSIGNALED(status)) {
    return 128 + WTERMSIG(status);
  }
  return -2;
}

// The first process in /proc that `matches`, or 0.
pid_t find_process(const std::function<bool(pid_t)>& matches) {
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) {
    return 0;
  }
  pid_t found = 0;
  while (dirent* entry = ::readdir(proc)) {
    char* end = nullptr;
    const long pid = std::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0') {
      continue;  // not a process directory
    }
    if (matches(static_cast<pid_t>(pid))) {
      found = static_cast<pid_t>(pid);
      break;
    }
  }
  ::closedir(proc);
  return found;
}

}  // namespace

// ---- frame_client ----

constexpr frame_client::duration frame_client::default_timeout;

frame_client::frame_client(unsigned short port, duration limit) : timeout(limit) {
  fd = connect_loopback(port);
  if (fd < 0) {
    throw system_failure("connect to 127.0.0.1:" + std::to_string(port));
  }
  int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));  // small pieces go out at once
}

frame_client::~frame_client() {
  if (fd >= 0) {
    ::close(fd);
  }
}

bool frame_client::wait_for(short events) {
  pollfd entry{fd, events, 0};
  const int ready = ::poll(&entry, 1, static_cast<int>(timeout.count()));
  return ready > 0;
}

void frame_client::send_raw(const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    if (!wait_for(POLLOUT)) {
      throw std::runtime_error("send: the peer took nothing before the timeout");
    }
    const ssize_t n =
        ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
        continue;
      }
      throw system_failure("send");
    }
    sent += static_cast<size_t>(n);
  }
}

void frame_client::send_frame(const std::string& body) {
  send_raw(frame(body));
}

std::string frame_client::recv_exact(std::size_t n) {
  std::string data(n, '\0');
  size_t got = 0;
  while (got < n) {
    if (!wait_for(POLLIN)) {
      throw std::runtime_error("recv: timeout after " + std::to_string(got) + " of " +
                               std::to_string(n) + " bytes");
    }
    const ssize_t r = ::recv(fd, &data[got], n - got, MSG_DONTWAIT);
    if (r == 0) {
      throw std::runtime_error("recv: connection closed after " + std::to_string(got) + " of " +
                               std::to_string(n) + " bytes");
    }
    if (r < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
        continue;
      }
      throw system_failure("recv");
    }
    got += static_cast<size_t>(r);
  }
  return data;
}

std::string frame_client::recv_frame() {
  const std::string header = recv_exact(10);
  for (char c : header) {
    if (c < '0' || c > '9') {
      throw std::runtime_error("recv_frame: bad header [" + header + "]");
    }
  }
  return recv_exact(static_cast<size_t>(std::stoull(header)));
}

bool frame_client::wait_closed(std::string* received) {
  char chunk[4096];
  for (;;) {
    if (!wait_for(POLLIN)) {
      return false;
    }
    const ssize_t r = ::recv(fd, chunk, sizeof(chunk), MSG_DONTWAIT);
    if (r == 0) {
      return true;
    }
    if (r < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
        continue;
      }
      return true;  // reset by the peer
    }
    if (received != nullptr) {
      received->append(chunk, static_cast<size_t>(r));
    }
  }
}

void frame_client::shutdown_write() {
  ::shutdown(fd, SHUT_WR);
}

std::string frame(const std::string& body) {
  char header[16];
  std::snprintf(header, sizeof(header), "%010zu", body.size());
  return std::string(header, 10) + body;
}

bool port_accepts(unsigned short port) {
  const int fd = connect_loopback(port);
  if (fd < 0) {
    return false;
  }
  ::close(fd);
  return true;
}

bool wait_port_free(unsigned short port, std::chrono::milliseconds timeout) {
  const auto deadline = steady::now() + timeout;
  while (port_accepts(port)) {
    if (steady::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

// ---- daemon_runner ----

daemon_runner::daemon_runner(const std::string& daemon_path)
    : binary(std::filesystem::absolute(daemon_path).string()) {
  become_subreaper();
  std::filesystem::create_directories(log_dir);
  char pattern[] = "/tmp/norvel-e2e-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) {
    throw system_failure("mkdtemp");
  }
  dir = pattern;
  log_path_at_start = event_log_path();
  log_offset = file_size(log_path_at_start);
  output_offset = file_size(output_path);
}

daemon_runner::~daemon_runner() {
  if (daemon_pid() != 0) {
    if (stop(SIGTERM, std::chrono::seconds(20)) == -1) {
      stop(SIGKILL, std::chrono::seconds(5));
    }
  }
  reap_intermediate();
  // A detached daemon's sanitizer reports go to its standard error, /tmp/norvel.out, which is
  // the test's own private file: no one else would see them.
  const std::string output = output_file();
  for (const char* marker : {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer",
                             "WARNING: ThreadSanitizer", "runtime error:"}) {
    if (output.find(marker) != std::string::npos) {
      ADD_FAILURE() << "the daemon reported a sanitizer error in " << output_path << ":\n"
                    << output;
      break;
    }
  }
  std::error_code ignored;  // a directory left in /tmp is no reason to fail a test
  std::filesystem::remove_all(dir, ignored);
}

void daemon_runner::write_config(const std::string& json_text) {
  const std::filesystem::path config_dir = std::filesystem::path(dir) / "data" / "config";
  std::filesystem::create_directories(config_dir);
  std::ofstream out(config_dir / "norvel.config.ini", std::ios::trunc);
  out << json_text;
  if (!out) {
    throw std::runtime_error("cannot write the configuration under " + dir);
  }
}

launch_result daemon_runner::launch() {
  int terminal[2];
  if (::pipe2(terminal, O_CLOEXEC) != 0) {
    throw system_failure("pipe2");
  }
  const pid_t launcher = ::fork();
  if (launcher < 0) {
    throw system_failure("fork");
  }
  if (launcher == 0) {
    // The child: only async-signal-safe calls until exec.
    const int null_in = ::open("/dev/null", O_RDONLY);
    if (null_in < 0 || ::dup2(null_in, 0) < 0 || ::dup2(terminal[1], 1) < 0 ||
        ::dup2(terminal[1], 2) < 0 || ::chdir(dir.c_str()) != 0) {
      ::_exit(126);
    }
    ::close_range(3, ~0U, 0);  // the daemon inherits nothing of the test but its terminal
    if (open_files_limit != 0) {
      rlimit limit{};
      ::getrlimit(RLIMIT_NOFILE, &limit);
      limit.rlim_cur = static_cast<rlim_t>(open_files_limit);
      if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) {
        ::_exit(125);
      }
    }
    ::execl(binary.c_str(), binary.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(terminal[1]);

  launch_result result;
  // The pipe ends once the launcher and both forks have let go of it: the exiting parents by
  // exiting, the daemon by redirecting its standard streams.
  const auto deadline = steady::now() + std::chrono::seconds(60);
  char chunk[4096];
  for (;;) {
    pollfd entry{terminal[0], POLLIN, 0};
    if (::poll(&entry, 1, remaining_ms(deadline)) <= 0) {
      break;
    }
    const ssize_t n = ::read(terminal[0], chunk, sizeof(chunk));
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      break;
    }
    result.terminal_output.append(chunk, static_cast<size_t>(n));
  }
  ::close(terminal[0]);

  int status = 0;
  if (::waitpid(launcher, &status, 0) == launcher && WIFEXITED(status)) {
    result.exit_status = WEXITSTATUS(status);
  }
  return result;
}

bool daemon_runner::wait_listening(std::chrono::milliseconds timeout) {
  const auto deadline = steady::now() + timeout;
  while (steady::now() < deadline) {
    if (port_accepts(daemon_port)) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

pid_t daemon_runner::daemon_pid() const {
  return find_process([this](pid_t pid) {
    const std::string base = "/proc/" + std::to_string(pid);
    // A zombie has no cwd, so only a live daemon matches.
    return read_link(base + "/cwd") == dir && read_link(base + "/exe") == binary;
  });
}

namespace {

// Every thread's stack of a daemon that did not stop, on the test's standard error, so a hang
// that shows once in a hundred runs can be read from that run's output. Needs gdb; without it
// nothing is printed.
void print_stacks(pid_t pid) {
  if (::access("/usr/bin/gdb", X_OK) != 0) {
    return;
  }
  const std::string command = "/usr/bin/gdb -p " + std::to_string(pid) +
                              " -batch -nx -ex 'thread apply all bt' 2>&1 | grep -v '^\\[New LWP'";
  std::fprintf(stderr, "the daemon (pid %d) did not stop in time; its threads:\n", pid);
  std::fflush(stderr);
  if (std::system(command.c_str()) != 0) {
    std::fprintf(stderr, "(gdb could not attach)\n");
  }
}

}  // namespace

int daemon_runner::stop(int signal, std::chrono::milliseconds timeout) {
  const pid_t pid = daemon_pid();
  if (pid == 0 || ::kill(pid, signal) != 0) {
    return -1;
  }
  const auto deadline = steady::now() + timeout;
  while (steady::now() < deadline) {
    int status = 0;
    const pid_t waited = ::waitpid(pid, &status, WNOHANG);
    if (waited == pid) {
      reap_intermediate();
      return decode_status(status);
    }
    if (waited < 0) {
      // Not our child (no subreaper): we can see that it ended, not how.
      const char state = read_proc_stat(pid).state;
      if (state == 0 || state == 'Z') {
        return -2;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  print_stacks(pid);
  return -1;
}

pid_t daemon_runner::detached_child(bool session_leader) const {
  const std::string command = std::filesystem::path(binary).filename().string().substr(0, 15);
  const pid_t self = ::getpid();
  return find_process([&](pid_t pid) {
    const proc_stat info = read_proc_stat(pid);
    return info.parent == self && info.command == command &&
           (info.session == pid) == session_leader;
  });
}

void daemon_runner::reap_intermediate() {
  const pid_t pid = detached_child(true);
  if (pid != 0 && read_proc_stat(pid).state == 'Z') {
    int ignored_status = 0;  // it always exits 0 right after the second fork
    ::waitpid(pid, &ignored_status, WNOHANG);
  }
}

int daemon_runner::wait_exit(std::chrono::milliseconds timeout) {
  const auto deadline = steady::now() + timeout;
  while (steady::now() < deadline) {
    const pid_t pid = detached_child(false);
    int status = 0;
    if (pid != 0 && ::waitpid(pid, &status, WNOHANG) == pid) {
      reap_intermediate();
      return decode_status(status);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return -1;
}

std::string daemon_runner::event_log() const {
  const std::string path = event_log_path();
  return read_from(path, path == log_path_at_start ? log_offset : 0);
}

std::string daemon_runner::output_file() const {
  return read_from(output_path, output_offset);
}

std::string daemon_runner::event_log_path() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  ::localtime_r(&now, &local);
  char path[256];
  std::snprintf(path, sizeof(path), "%s/norvel_%04d%02d%02d.txt", log_dir, local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday);
  return path;
}
