#include "support/build_info.h"

#ifndef NORVEL_VERSION
#define NORVEL_VERSION "unknown"
#endif
#ifndef NORVEL_GIT_COMMIT
#define NORVEL_GIT_COMMIT ""
#endif

namespace build_info {

const char* version() {
  return NORVEL_VERSION;
}

const char* git_commit() {
  return NORVEL_GIT_COMMIT;
}

std::string describe() {
  std::string text = std::string("norvel ") + version();
  if (*git_commit() != '\0') {
    text += std::string(" (commit ") + git_commit() + ")";
  }
  return text;
}

}  // namespace build_info
