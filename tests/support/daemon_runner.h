// Helpers the socket and end-to-end tests share.
//
// frame_client: one blocking TCP connection speaking the daemon's framing (ten zero-padded
// digits of body length, then the body). Every wait is bounded by a deadline, so a broken server
// fails the test instead of hanging it.
//
// daemon_runner: runs the built daemon the way an operator does. It makes a temporary working
// directory (with data/config/norvel.config.ini when asked), starts the binary there, captures what
// the launching process and its forks print to the terminal and its exit status, finds the
// detached daemon, and stops it with a signal, collecting its exit status. It also reads the
// event log of the day and /tmp/norvel.out from where they ended when the runner was made, so a
// test sees only its own lines; on destruction it fails the test when the daemon wrote a
// sanitizer report there.
// The test process makes itself a child subreaper, so the detached daemon is re-parented to it
// and its exit status can be waited for.
//
// Threads: each object belongs to the thread that made it. Ownership: frame_client owns its
// socket; daemon_runner owns its directory (removed on destruction) and the daemon it started
// (stopped on destruction if still running).
#ifndef NORVEL_DAEMON_RUNNER_H_
#define NORVEL_DAEMON_RUNNER_H_

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <string>

class frame_client {
 public:
  using duration = std::chrono::milliseconds;
  static constexpr duration default_timeout{20000};

  // Connects to 127.0.0.1:`port`; throws std::runtime_error if that fails.
  explicit frame_client(unsigned short port, duration timeout = default_timeout);
  ~frame_client();
  frame_client(const frame_client&) = delete;
  frame_client& operator=(const frame_client&) = delete;

  // Writes all of `bytes`; throws on error or when the peer takes nothing for the timeout.
  void send_raw(const std::string& bytes);
  void send_frame(const std::string& body);
  // Reads exactly n bytes; throws on timeout, error or end of stream.
  std::string recv_exact(std::size_t n);
  // Reads one frame and answers its body.
  std::string recv_frame();
  // Reads until the peer ends the connection (end of stream or reset); answers true then, or
  // false on timeout. Bytes received meanwhile go to `*received` when given.
  bool wait_closed(std::string* received = nullptr);
  // Half-closes: the peer reads end of stream, we can still read.
  void shutdown_write();

  int descriptor() const { return fd; }

 private:
  // Waits for `events` on the socket; false on timeout.
  bool wait_for(short events);

  int fd = -1;
  duration timeout;
};

// The framed form of `body`: its length as ten zero-padded digits, then the body.
std::string frame(const std::string& body);

// True if something accepts connections on 127.0.0.1:`port`.
bool port_accepts(unsigned short port);
// Waits until nothing accepts connections on `port` (a daemon of an earlier test is still
// stopping, say); false if something still does at the deadline.
bool wait_port_free(unsigned short port,
                    std::chrono::milliseconds timeout = std::chrono::seconds(60));

// The daemon binary tests run: the build's own, as CMake tells the test executables.
#if defined(NORVEL_DAEMON_PATH)
#define NORVEL_RUNNER_DAEMON_PATH NORVEL_DAEMON_PATH
#else
#define NORVEL_RUNNER_DAEMON_PATH NORVEL_BINARY_DIR "/norvel"
#endif

// A few fields of /proc/<pid>/stat; state 0 when the process does not exist.
struct proc_stat {
  std::string command;
  char state = 0;  // 'Z' for a zombie
  pid_t parent = 0;
  pid_t group = 0;
  pid_t session = 0;
  int terminal = 0;  // 0: no controlling terminal
};
proc_stat read_proc_stat(pid_t pid);

struct launch_result {
  int exit_status = -1;         // of the launching process; -1 if it did not exit normally
  std::string terminal_output;  // what it and its forks wrote to stdout and stderr
};

class daemon_runner {
 public:
  static constexpr unsigned short daemon_port = 5000;
  static constexpr const char* log_dir = "/var/log/norvel";
  static constexpr const char* output_path = "/tmp/norvel.out";

  // Makes the working directory and /var/log/norvel, and notes where the log files end now.
  explicit daemon_runner(const std::string& daemon_path = NORVEL_RUNNER_DAEMON_PATH);
  // Stops a daemon still running (SIGTERM, then SIGKILL), removes the working directory.
  ~daemon_runner();
  daemon_runner(const daemon_runner&) = delete;
  daemon_runner& operator=(const daemon_runner&) = delete;

  const std::string& work_dir() const { return dir; }
  // Writes data/config/norvel.config.ini under the working directory.
  void write_config(const std::string& json_text);

  // The soft limit on open descriptors the next launch hands to the daemon (0: this process's).
  void set_open_files_limit(unsigned long long soft) { open_files_limit = soft; }

  // Runs the daemon binary in the working directory with no arguments; returns when the
  // launching process has exited and every process holding its terminal has let go of it.
  launch_result launch();
  // Waits until port 5000 accepts connections.
  bool wait_listening(std::chrono::milliseconds timeout = std::chrono::seconds(30));
  // The detached daemon: the live process running the binary in the working directory; 0 if none.
  pid_t daemon_pid() const;
  // Sends `signal` to the daemon and waits for it to end. Answers its exit status, 128 + the
  // signal if a signal ended it, -1 if there is no daemon or it did not end in time, -2 if it
  // ended but its status could not be collected.
  int stop(int signal, std::chrono::milliseconds timeout = std::chrono::seconds(30));
  // Waits for the detached daemon to end by itself (a start-up that fails after detaching) and
  // answers its exit status as stop() does.
  int wait_exit(std::chrono::milliseconds timeout = std::chrono::seconds(30));

  // What the daemon wrote to today's event log and to /tmp/norvel.out since this runner was made.
  std::string event_log() const;
  std::string output_file() const;
  static std::string event_log_path();  // /var/log/norvel/norvel_YYYYMMDD.txt, local date

 private:
  // Our children running the binary (re-parented to us), live or zombie: the detached daemon is
  // the one that is not a session leader; the intermediate child of the first fork is one.
  pid_t detached_child(bool session_leader) const;
  // Collects the exit of the intermediate child so it does not linger as a zombie.
  void reap_intermediate();

  std::string binary;  // the daemon's absolute path
  std::string dir;
  std::string log_path_at_start;
  long long log_offset = 0;
  long long output_offset = 0;
  unsigned long long open_files_limit = 0;
};

#endif  // NORVEL_DAEMON_RUNNER_H_
