// Waits, bounded, for something another thread or process does: polls `done` until it holds or
// `limit` has passed. Answers whether it held. Header-only; any test thread may call it.
#ifndef NORVEL_TESTS_EVENTUALLY_H_
#define NORVEL_TESTS_EVENTUALLY_H_

#include <chrono>
#include <thread>

template <typename Predicate>
bool eventually(Predicate done, std::chrono::milliseconds limit = std::chrono::seconds(30)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

#endif  // NORVEL_TESTS_EVENTUALLY_H_
