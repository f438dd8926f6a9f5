#include "app/pid_file.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <utility>

pid_file::pid_file(std::string where) : path(std::move(where)) {
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "we"),
                                                             &std::fclose);
  if (!file || std::fprintf(file.get(), "%ld\n", static_cast<long>(::getpid())) < 0 ||
      std::fflush(file.get()) != 0) {
    throw std::runtime_error("cannot write the pid file " + path + ": " + std::strerror(errno));
  }
}

pid_file::~pid_file() {
  ::unlink(path.c_str());
}
