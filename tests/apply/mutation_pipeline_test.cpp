// The mutation pipeline on its own, with a message type of the test's: every message put to one
// worker is applied in the order it was put, the backlog counts exactly what waits or runs, and
// a stop drops what is still queued without leaving its cost behind (a backlog that never
// drained would hold every session back for good).
#include "apply/mutation_pipeline.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <random>
#include <vector>

#include "eventually.h"

namespace {

struct test_message {
  std::size_t key = 0;
  int serial = 0;
  std::size_t cost = 0;
  std::function<void()> on_applied;
};

constexpr std::size_t workers = 3;
using pipeline = mutation_pipeline<test_message, workers>;

TEST(MutationPipeline, EachWorkersMessagesApplyInOrderAndTheBacklogDrainsToZero) {
  std::mutex seen_lock;
  std::vector<std::vector<int>> seen(workers);  // serials applied, by key
  std::atomic<int> applied_callbacks{0};
  pipeline pipe;
  pipe.start([&](test_message& message) {
    std::lock_guard<std::mutex> lock(seen_lock);
    seen[message.key].push_back(message.serial);
  });
  std::mt19937 random(7);
  std::vector<std::vector<int>> expected(workers);
  constexpr int total = 20000;
  for (int serial = 0; serial < total; ++serial) {
    test_message message;
    message.key = random() % workers;
    message.serial = serial;
    message.cost = 1 + random() % 100;
    message.on_applied = [&applied_callbacks] { applied_callbacks.fetch_add(1); };
    expected[message.key].push_back(serial);
    pipe.put(message.key, std::move(message));
  }
  ASSERT_TRUE(eventually([&] { return applied_callbacks.load() == total; }));
  EXPECT_EQ(pipe.backlog().bytes(), 0u);
  std::lock_guard<std::mutex> lock(seen_lock);
  EXPECT_EQ(seen, expected);
}

TEST(MutationPipeline, StopDropsWhatIsQueuedAndItsCostLeavesTheBacklog) {
  std::mutex gate_lock;
  std::condition_variable gate_opened;
  bool open = false;
  std::atomic<int> started{0};
  std::atomic<int> applied{0};
  {
    pipeline pipe;
    pipe.start([&](test_message&) {
      started.fetch_add(1);
      std::unique_lock<std::mutex> lock(gate_lock);
      gate_opened.wait(lock, [&] { return open; });
      applied.fetch_add(1);
    });
    for (int serial = 0; serial < 10; ++serial) {
      test_message message;
      message.key = 0;  // one worker: the first blocks, nine wait behind it
      message.serial = serial;
      message.cost = 1000;
      pipe.put(0, std::move(message));
    }
    ASSERT_TRUE(eventually([&] { return started.load() == 1; }));
    EXPECT_EQ(pipe.backlog().bytes(), 10000u);
    EXPECT_EQ(pipe.queued(0), 9u);
    {
      std::lock_guard<std::mutex> lock(gate_lock);
      open = true;
    }
    gate_opened.notify_all();
    pipe.stop();  // the worker finishes the message it holds, then the rest are dropped
    EXPECT_EQ(pipe.queued(0), 0u);
    EXPECT_EQ(pipe.backlog().bytes(), 0u);
    EXPECT_LE(applied.load(), 10);
    EXPECT_GE(applied.load(), 1);
  }
}

}  // namespace
