// The mutation pipeline on its own, with a message type of the test's: every message put to one
// worker is applied in the order it was put, a message applied in turns holds back only its own
// user's later messages, the backlog counts exactly what waits or runs, and a stop drops what is
// still queued without leaving its cost behind (a backlog that never drained would hold every
// session back for good).
#include "apply/mutation_pipeline.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <vector>

#include "eventually.h"

namespace {

struct test_message {
  unsigned long user = 0;  // whose messages keep their order
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
    return true;
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

// Random users on one worker, some messages needing many turns: each user's messages are done in
// the order they were put, one at a time, while other users' messages finish between the turns.
TEST(MutationPipeline, MessagesInTurnsKeepEachUsersOrderAndLetOtherUsersPass) {
  std::mutex seen_lock;
  std::map<unsigned long, std::vector<int>> done_by_user;
  std::vector<int> done_order;
  std::map<int, int> turns_left;               // by serial
  std::map<unsigned long, int> begun_by_user;  // the serial under way, for each user
  bool two_at_once = false;
  std::atomic<int> applied_callbacks{0};
  pipeline pipe;
  std::mt19937 random(11);
  std::map<unsigned long, std::vector<int>> expected;
  constexpr int total = 3000;
  for (int serial = 0; serial < total; ++serial) {
    test_message message;
    message.user = random() % 7;
    message.serial = serial;
    message.cost = 10;
    message.on_applied = [&applied_callbacks] { applied_callbacks.fetch_add(1); };
    turns_left[serial] = random() % 10 == 0 ? 1 + random() % 50 : 1;
    expected[message.user].push_back(serial);
    pipe.put(0, std::move(message));
  }
  pipe.start([&](test_message& message) {
    std::lock_guard<std::mutex> lock(seen_lock);
    const auto under_way = begun_by_user.find(message.user);
    if (under_way != begun_by_user.end() && under_way->second != message.serial) {
      two_at_once = true;
    }
    begun_by_user[message.user] = message.serial;
    if (--turns_left[message.serial] > 0) {
      return false;
    }
    begun_by_user.erase(message.user);
    done_by_user[message.user].push_back(message.serial);
    done_order.push_back(message.serial);
    return true;
  });
  ASSERT_TRUE(eventually([&] { return applied_callbacks.load() == total; }));
  EXPECT_EQ(pipe.backlog().bytes(), 0u);
  std::lock_guard<std::mutex> lock(seen_lock);
  EXPECT_EQ(done_by_user, expected);
  EXPECT_FALSE(two_at_once);
  // Some message finished before one put ahead of it: turns let others pass.
  EXPECT_FALSE(std::is_sorted(done_order.begin(), done_order.end()));
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
      return true;
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
