// Searching the text of logs and outputs in tests.
// Pure functions; any thread.
#ifndef NORVEL_TEXT_SEARCH_H_
#define NORVEL_TEXT_SEARCH_H_

#include <cstddef>
#include <string>

// How many times `part` stands in `text`, overlapping ones included.
inline std::size_t count_of(const std::string& text, const std::string& part) {
  std::size_t found = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++found;
  }
  return found;
}

#endif  // NORVEL_TEXT_SEARCH_H_
