// What this binary is: the version of the sources and the git commit they were built from.
// Fixed at build time; safe from any thread.
#ifndef NORVEL_BUILD_INFO_H_
#define NORVEL_BUILD_INFO_H_

#include <string>

namespace build_info {

const char* version();
// The short commit hash, or "" when the sources were not a git checkout.
const char* git_commit();
// "norvel 1.1.0 (commit 0123abcd4567)", or without the parenthesis when the commit is unknown.
std::string describe();

}  // namespace build_info

#endif  // NORVEL_BUILD_INFO_H_
