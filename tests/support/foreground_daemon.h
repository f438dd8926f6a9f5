// Runs the built daemon as a direct child of the test, with arguments: either to completion (bad
// options, --version, --check-config) or in the foreground until the test stops it. Standard
// output and error go to files in the test's directory, so nothing is lost when it ends.
//
// Threads: each object belongs to the thread that made it. Ownership: temp_dir removes its
// directory on destruction; foreground_daemon stops its process (SIGTERM, then SIGKILL) if the
// test has not.
#ifndef NORVEL_FOREGROUND_DAEMON_H_
#define NORVEL_FOREGROUND_DAEMON_H_

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

// A fresh directory under /tmp, removed with everything in it on destruction.
class temp_dir {
 public:
  temp_dir();
  ~temp_dir();
  temp_dir(const temp_dir&) = delete;
  temp_dir& operator=(const temp_dir&) = delete;

  const std::string& path() const { return dir; }
  // Writes `text` to path()/`name` (directories made as needed); answers the file's path.
  std::string write(const std::string& name, const std::string& text) const;
  std::string read(const std::string& name) const;  // "" if it does not exist

 private:
  std::string dir;
};

struct command_result {
  int exit_status = -1;  // -1 if it did not exit normally or in time
  std::string out;       // its standard output
  std::string err;       // its standard error
};

// Runs the daemon binary in `work_dir` with `args` and waits for it to exit (killed after
// `timeout`). `env` entries ("NAME=value") are added to the test's environment.
command_result run_daemon_command(const std::vector<std::string>& args, const std::string& work_dir,
                                  std::chrono::milliseconds timeout = std::chrono::seconds(30),
                                  const std::vector<std::string>& env = {});

// The same for another program, such as norvel-cli.
command_result run_command(const std::string& binary, const std::vector<std::string>& args,
                           const std::string& work_dir,
                           std::chrono::milliseconds timeout = std::chrono::seconds(30),
                           const std::vector<std::string>& env = {});

class foreground_daemon {
 public:
  // Starts the daemon binary in `work_dir` with `args` (which should hold --foreground), or
  // another program (a Prometheus server, say) when `binary` is given.
  foreground_daemon(const std::vector<std::string>& args, const std::string& work_dir,
                    const std::vector<std::string>& env = {}, const std::string& binary = "");
  ~foreground_daemon();
  foreground_daemon(const foreground_daemon&) = delete;
  foreground_daemon& operator=(const foreground_daemon&) = delete;

  pid_t pid() const { return child; }
  // True while the process has not exited.
  bool running();
  // Sends `signal` and waits for the exit: answers the exit status, 128 + signal when a signal
  // ended it, -1 when it did not end in time.
  int stop(int signal, std::chrono::milliseconds timeout = std::chrono::seconds(30));
  // Waits for it to end by itself; answers as stop() does.
  int wait_exit(std::chrono::milliseconds timeout = std::chrono::seconds(30));
  // Its standard output and error so far, in the order written.
  std::string output() const;

 private:
  pid_t child = 0;
  int status = -1;  // once it has been collected
  bool exited = false;
  std::string output_path;
};

// A loopback port nothing listens on right now (the kernel's pick, released at once).
unsigned short free_port();
// Waits until `port` accepts connections; false when the daemon ends first or at the deadline.
bool wait_accepting(unsigned short port, foreground_daemon& daemon,
                    std::chrono::milliseconds timeout = std::chrono::seconds(30));

// The path of the built daemon and of the command-line client.
std::string daemon_binary();
std::string cli_binary();

#endif  // NORVEL_FOREGROUND_DAEMON_H_
