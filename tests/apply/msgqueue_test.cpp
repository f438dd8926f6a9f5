// A worker's queue: a stop wakes every waiter, and what was queued stays (the workers drop it).
#include "apply/msgqueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

TEST(MessageQueue, StopWakesEveryWaiterAndLeavesQueuedValues) {
  msgqueue<int> queue;
  std::vector<std::thread> waiters;
  std::atomic<int> refused{0};
  for (int i = 0; i < 3; ++i) {
    waiters.emplace_back([&] {
      int value = 0;
      if (!queue.getq(value)) {
        ++refused;
      }
    });
  }
  queue.stop();
  for (auto& waiter : waiters) {
    waiter.join();
  }
  EXPECT_EQ(refused, 3);
  queue.putq(1);
  int value = 0;
  EXPECT_FALSE(queue.getq(value));
  EXPECT_EQ(queue.size(), 1u);
}

}  // namespace
