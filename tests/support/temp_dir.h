// Scratch space for tests: a fresh directory under /tmp, removed with everything in it when the
// object goes, and the process's event log (gLogger) opened in one and closed again. One helper
// for every suite that needs a private directory or log. Header-only; the test's own thread.
#ifndef NORVEL_TESTS_TEMP_DIR_H_
#define NORVEL_TESTS_TEMP_DIR_H_

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>

#include "support/log.h"

class temp_dir {
 public:
  // Makes /tmp/<prefix>XXXXXX; throws std::runtime_error if it cannot.
  explicit temp_dir(const std::string& prefix = "norvel_test_") {
    std::string pattern = "/tmp/" + prefix + "XXXXXX";
    if (::mkdtemp(&pattern[0]) == nullptr) {
      throw std::runtime_error("mkdtemp " + pattern + " failed");
    }
    dir = pattern;
  }
  ~temp_dir() {
    std::error_code ignored;  // best effort: a test may have made it unremovable on purpose
    std::filesystem::remove_all(dir, ignored);
  }
  temp_dir(const temp_dir&) = delete;
  temp_dir& operator=(const temp_dir&) = delete;

  const std::string& path() const { return dir; }
  // The path of `name` inside it.
  std::string file(const std::string& name) const { return dir + "/" + name; }

 private:
  std::string dir;
};

// The process-wide event log opened in a fresh directory (init_log) for as long as it lives, then
// closed (fini_log) and the directory removed. Throws std::runtime_error if the log cannot open.
class temp_log {
 public:
  explicit temp_log(const char* name = "norvel", const std::string& prefix = "norvel_log_")
      : scratch(prefix) {
    if (!init_log(scratch.path().c_str(), name)) {
      throw std::runtime_error("init_log in " + scratch.path() + " failed");
    }
  }
  ~temp_log() { fini_log(); }
  temp_log(const temp_log&) = delete;
  temp_log& operator=(const temp_log&) = delete;

  const std::string& dir() const { return scratch.path(); }
  // The file today's entries go to.
  std::string current_path() const { return gLogger != nullptr ? gLogger->current_path() : ""; }
  // What that file holds now ("" when there is none).
  std::string text() const {
    std::ifstream in(current_path(), std::ios::binary);
    std::ostringstream whole;
    whole << in.rdbuf();
    return whole.str();
  }

 private:
  temp_dir scratch;
};

#endif  // NORVEL_TESTS_TEMP_DIR_H_
