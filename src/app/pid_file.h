// The daemon's process id in a file the operator named (--pid-file), so that a service script can
// signal the detached daemon; two nodes on one host name two files. Written once the process has
// its final id (after detaching), removed when the daemon stops cleanly; a kill leaves it behind,
// and the next start overwrites it.
// Threads: the main thread. Ownership: owns the file's name; removes the file on destruction.
#ifndef NORVEL_PID_FILE_H_
#define NORVEL_PID_FILE_H_

#include <string>

class pid_file {
 public:
  // Writes getpid() and a line feed to `path`. Throws std::runtime_error naming the path and the
  // reason when it cannot (the start then fails with status 1).
  explicit pid_file(std::string path);
  ~pid_file();
  pid_file(const pid_file&) = delete;
  pid_file& operator=(const pid_file&) = delete;

 private:
  std::string path;
};

#endif  // NORVEL_PID_FILE_H_
