#include "foreground_daemon.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "daemon_runner.h"

extern char** environ;

namespace {

using steady = std::chrono::steady_clock;

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

int decode(int status) {
  if (WIFEXITED(status)) {
    return WEXITSTATUS(status);
  }
  return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

// Forks and execs the daemon in `work_dir`, standard input from /dev/null, output and error to
// the two files (the same file twice is fine). Answers the child's pid.
pid_t spawn(const std::string& binary, const std::vector<std::string>& args,
            const std::string& work_dir, const std::vector<std::string>& env,
            const std::string& out_path, const std::string& err_path) {
  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    environment.emplace_back(*entry);
  }
  environment.insert(environment.end(), env.begin(), env.end());
  std::vector<char*> argv{const_cast<char*>(binary.c_str())};
  for (const std::string& arg : args) {
    argv.push_back(const_cast<char*>(arg.c_str()));
  }
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (std::string& entry : environment) {
    envp.push_back(entry.data());
  }
  envp.push_back(nullptr);

  const int out_fd = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  const int err_fd = err_path == out_path ? out_fd
                                          : ::open(err_path.c_str(),
                                                   O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (out_fd < 0 || err_fd < 0) {
    throw std::runtime_error("cannot create the output files in " + work_dir);
  }
  const pid_t pid = ::fork();
  if (pid < 0) {
    throw std::runtime_error("fork failed");
  }
  if (pid == 0) {  // only async-signal-safe calls until exec
    const int null_in = ::open("/dev/null", O_RDONLY);
    if (null_in < 0 || ::dup2(null_in, 0) < 0 || ::dup2(out_fd, 1) < 0 || ::dup2(err_fd, 2) < 0 ||
        ::chdir(work_dir.c_str()) != 0) {
      ::_exit(126);
    }
    ::close_range(3, ~0U, 0);
    ::execve(binary.c_str(), argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(out_fd);
  if (err_fd != out_fd) {
    ::close(err_fd);
  }
  return pid;
}

// Waits for `pid` until `deadline`; answers true with its raw status once it has exited.
bool wait_until(pid_t pid, steady::time_point deadline, int& raw_status) {
  for (;;) {
    const pid_t waited = ::waitpid(pid, &raw_status, WNOHANG);
    if (waited == pid) {
      return true;
    }
    if (waited < 0 || steady::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

}  // namespace

unsigned short free_port() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  const bool found = fd >= 0 &&
                     ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
                     ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0;
  if (fd >= 0) {
    ::close(fd);
  }
  if (!found) {
    throw std::runtime_error("free_port: cannot bind a loopback socket");
  }
  return ntohs(address.sin_port);
}

bool wait_accepting(unsigned short port, foreground_daemon& daemon,
                    std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (daemon.running()) {
    if (port_accepts(port)) {
      return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

std::string daemon_binary() {
  return std::filesystem::absolute(NORVEL_RUNNER_DAEMON_PATH).string();
}

std::string cli_binary() {
  return (std::filesystem::path(daemon_binary()).parent_path() / "norvel-cli").string();
}

temp_dir::temp_dir() {
  char pattern[] = "/tmp/norvel-test-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) {
    throw std::runtime_error("mkdtemp failed");
  }
  dir = pattern;
}

temp_dir::~temp_dir() {
  std::error_code ignored;  // a directory left in /tmp is no reason to fail a test
  std::filesystem::remove_all(dir, ignored);
}

std::string temp_dir::write(const std::string& name, const std::string& text) const {
  const std::filesystem::path path = std::filesystem::path(dir) / name;
  std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::trunc | std::ios::binary);
  out << text;
  if (!out) {
    throw std::runtime_error("cannot write " + path.string());
  }
  return path.string();
}

std::string temp_dir::read(const std::string& name) const {
  return slurp((std::filesystem::path(dir) / name).string());
}

command_result run_daemon_command(const std::vector<std::string>& args, const std::string& work_dir,
                                  std::chrono::milliseconds timeout,
                                  const std::vector<std::string>& env) {
  return run_command(daemon_binary(), args, work_dir, timeout, env);
}

command_result run_command(const std::string& binary, const std::vector<std::string>& args,
                           const std::string& work_dir, std::chrono::milliseconds timeout,
                           const std::vector<std::string>& env) {
  const std::string out_path = work_dir + "/command.out";
  const std::string err_path = work_dir + "/command.err";
  std::filesystem::remove(out_path);
  std::filesystem::remove(err_path);
  const pid_t pid = spawn(binary, args, work_dir, env, out_path, err_path);
  command_result result;
  int raw_status = 0;
  if (wait_until(pid, steady::now() + timeout, raw_status)) {
    result.exit_status = WIFEXITED(raw_status) ? WEXITSTATUS(raw_status) : -1;
  } else {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &raw_status, 0);
  }
  result.out = slurp(out_path);
  result.err = slurp(err_path);
  return result;
}

foreground_daemon::foreground_daemon(const std::vector<std::string>& args,
                                     const std::string& work_dir,
                                     const std::vector<std::string>& env, const std::string& binary)
    : output_path(work_dir + "/" +
                  (binary.empty() ? std::string("daemon")
                                  : std::filesystem::path(binary).filename().string()) +
                  ".out") {
  child = spawn(binary.empty() ? daemon_binary() : binary, args, work_dir, env, output_path,
                output_path);
}

foreground_daemon::~foreground_daemon() {
  if (!exited && stop(SIGTERM, std::chrono::seconds(20)) == -1) {
    stop(SIGKILL, std::chrono::seconds(5));
  }
}

bool foreground_daemon::running() {
  if (!exited) {
    int raw_status = 0;
    if (::waitpid(child, &raw_status, WNOHANG) == child) {
      exited = true;
      status = decode(raw_status);
    }
  }
  return !exited;
}

int foreground_daemon::stop(int signal, std::chrono::milliseconds timeout) {
  if (running()) {
    ::kill(child, signal);
  }
  return wait_exit(timeout);
}

int foreground_daemon::wait_exit(std::chrono::milliseconds timeout) {
  int raw_status = 0;
  if (!exited && wait_until(child, steady::now() + timeout, raw_status)) {
    exited = true;
    status = decode(raw_status);
  }
  return exited ? status : -1;
}

std::string foreground_daemon::output() const {
  return slurp(output_path);
}
