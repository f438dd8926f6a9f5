// The ordered dispatch: on random streams whose members share special ids, changes that share a
// member or an id take effect in stream order while unrelated ones overlap, follow changes run
// alone, and the applied sequence never runs ahead of a change not yet applied. A change that
// waits lets unrelated later ones pass, but with caps never an addition past a removal. Then the
// same through the store's real workers, compared with a model that applied the stream in order.
#include "stream/ordered_dispatch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <map>
#include <mutex>
#include <random>
#include <thread>

#include "eventually.h"
#include "store_image.h"
#include "store_model.h"

namespace {

// A random stream over few members and few special ids, so changes collide often.
std::vector<change_request> random_changes(std::mt19937_64& random, int count, bool with_follows) {
  auto pick = [&](unsigned long low, unsigned long high) {
    return std::uniform_int_distribution<unsigned long>(low, high)(random);
  };
  std::vector<change_request> out;
  for (int i = 0; i < count; ++i) {
    change_request change;
    change.user = pick(1, 8);
    const unsigned long roll = pick(0, 99);
    if (with_follows && roll < 10) {
      change.what = roll < 6 ? change_request::kind::add_follow : change_request::kind::del_follow;
      for (unsigned long n = pick(1, 3); n > 0; --n) {
        change.ids.push_back(pick(1, 8));
      }
    } else if (roll < 13) {
      change.what = change_request::kind::add_inviter;
      change.inviter_member = static_cast<int>(pick(1, 8));
      change.inviter = static_cast<int>(pick(1, 8));
    } else {
      change.what =
          roll < 65 ? change_request::kind::add_special : change_request::kind::del_special;
      std::set<unsigned long> ids;
      for (unsigned long n = pick(1, 3); n > 0; --n) {
        ids.insert(pick(1, 12));
      }
      for (unsigned long id : ids) {
        change.items.emplace_back(id, change.user, static_cast<unsigned char>(id % 3 == 0));
      }
    }
    out.push_back(std::move(change));
  }
  return out;
}

// Sinks that apply on a pool of threads after a random short delay, recording for every member
// and special id the sequences in the order they took effect.
class recording_pool {
 public:
  explicit recording_pool(int threads) {
    for (int i = 0; i < threads; ++i) {
      pool.emplace_back([this, i] { run(i); });
    }
  }
  ~recording_pool() {
    {
      std::lock_guard<std::mutex> hold(lock);
      stopping = true;
    }
    wake.notify_all();
    for (std::thread& thread : pool) {
      thread.join();
    }
  }
  ordered_dispatch::sink sink() {
    return [this](change_request&& change, ordered_dispatch::done_fn done) {
      std::lock_guard<std::mutex> hold(lock);
      work.push_back({std::move(change), std::move(done)});
      wake.notify_one();
    };
  }
  std::map<std::string, std::vector<std::uint64_t>> order;  // key -> sequences, as applied
  std::atomic<int> running{0};
  std::atomic<bool> overlap_seen{false};
  std::atomic<bool> follow_not_alone{false};
  // Read just before each change reports done: the applied sequence must still be below it.
  std::function<std::uint64_t()> applied_probe;
  std::atomic<bool> ran_ahead{false};

 private:
  struct item {
    change_request change;
    ordered_dispatch::done_fn done;
  };
  void run(int index) {
    std::mt19937 random(static_cast<unsigned>(index));
    while (true) {
      item next;
      {
        std::unique_lock<std::mutex> hold(lock);
        wake.wait(hold, [&] { return stopping || !work.empty(); });
        if (work.empty()) {
          return;
        }
        next = std::move(work.front());
        work.pop_front();
      }
      const int now = ++running;
      overlap_seen = overlap_seen || now > 1;
      const bool follow = next.change.what == change_request::kind::add_follow ||
                          next.change.what == change_request::kind::del_follow;
      std::this_thread::sleep_for(std::chrono::microseconds(random() % 200));
      follow_not_alone = follow_not_alone || (follow && running.load() > 1);
      {
        std::lock_guard<std::mutex> hold(lock);
        const std::uint64_t seq = next.change.stored_ns;  // the test keeps the sequence there
        if (next.change.what != change_request::kind::add_inviter) {
          order["m" + std::to_string(next.change.user)].push_back(seq);
        }
        for (const special& entry : next.change.items) {
          order["s" + std::to_string(entry.special_id)].push_back(seq);
        }
        if (next.change.what == change_request::kind::add_inviter) {
          order["inviters"].push_back(seq);
        }
      }
      --running;
      if (applied_probe && applied_probe() >= static_cast<std::uint64_t>(next.change.stored_ns)) {
        ran_ahead = true;
      }
      next.done();
    }
  }

  std::mutex lock;
  std::condition_variable wake;
  std::deque<item> work;
  bool stopping = false;
  std::vector<std::thread> pool;
};

TEST(OrderedDispatch, SharedIdsKeepStreamOrderUnrelatedOnesOverlapAppliedNeverRunsAhead) {
  std::mt19937_64 random(7);
  recording_pool pool(5);
  ordered_dispatch dispatch(pool.sink(), pool.sink(), 64, false);
  pool.applied_probe = [&dispatch] { return dispatch.applied(); };
  dispatch.start_after(100);
  std::vector<change_request> changes = random_changes(random, 3000, true);
  std::uint64_t seq = 100;
  for (change_request& change : changes) {
    ++seq;
    if (seq % 97 == 0) {
      dispatch.pass(seq);  // an invalid message in its turn
      continue;
    }
    change.stored_ns = static_cast<std::int64_t>(seq);
    ASSERT_TRUE(dispatch.submit(seq, std::move(change)));
  }
  ASSERT_TRUE(dispatch.wait_applied(seq, std::chrono::seconds(30)));
  EXPECT_EQ(dispatch.applied(), seq);
  for (const auto& [key, sequences] : pool.order) {
    EXPECT_TRUE(std::is_sorted(sequences.begin(), sequences.end())) << key;
  }
  EXPECT_FALSE(pool.ran_ahead);
  EXPECT_TRUE(pool.overlap_seen);
  EXPECT_FALSE(pool.follow_not_alone);
}

TEST(OrderedDispatch, PauseWaitsForRestAndHoldsHandOutsUntilResumed) {
  recording_pool pool(2);
  ordered_dispatch dispatch(pool.sink(), pool.sink(), 8, false);
  std::mt19937_64 random(3);
  std::vector<change_request> changes = random_changes(random, 200, false);
  std::atomic<std::uint64_t> rest_at{0};
  std::thread feeder([&] {
    std::uint64_t seq = 0;
    for (change_request& change : changes) {
      change.stored_ns = static_cast<std::int64_t>(++seq);
      dispatch.submit(seq, std::move(change));
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  dispatch.pause([&](std::uint64_t applied) { rest_at = applied == 0 ? 1000000 : applied; });
  ASSERT_TRUE(dispatch.drain(std::chrono::seconds(10)));
  const std::uint64_t held = dispatch.applied();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(dispatch.applied(), held);  // nothing more handed out while paused
  EXPECT_EQ(rest_at.load(), held == 0 ? 1000000u : held);
  dispatch.resume();
  feeder.join();
  EXPECT_TRUE(dispatch.wait_applied(200, std::chrono::seconds(10)));
}

// A sink that holds every change it gets until the test lets it finish, remembering the order.
class holding_sink {
 public:
  ordered_dispatch::sink sink() {
    return [this](change_request&& change, ordered_dispatch::done_fn done) {
      std::lock_guard<std::mutex> hold(lock);
      handed.push_back(change.stored_ns);
      held.emplace(change.stored_ns, std::move(done));
    };
  }
  std::vector<std::int64_t> handed_out() {
    std::lock_guard<std::mutex> hold(lock);
    return handed;
  }
  void finish(std::int64_t seq) {
    ordered_dispatch::done_fn done;
    {
      std::lock_guard<std::mutex> hold(lock);
      done = std::move(held.at(seq));
      held.erase(seq);
    }
    done();
  }

 private:
  std::mutex lock;
  std::vector<std::int64_t> handed;
  std::map<std::int64_t, ordered_dispatch::done_fn> held;
};

change_request special_change(change_request::kind what, unsigned long user, unsigned long id,
                              std::int64_t seq) {
  change_request change;
  change.what = what;
  change.user = user;
  change.items.emplace_back(id, user, 1);
  change.stored_ns = seq;  // the test keeps the sequence there
  return change;
}

// A big account's two changes back to back: the second waits for the first, which is still being
// applied, and the changes of another member after it are handed out meanwhile, in order. With
// caps, a removal waits for the addition before it, and holds the additions after it.
TEST(OrderedDispatch, AChangeThatWaitsLetsUnrelatedLaterChangesPass) {
  for (const bool capped : {false, true}) {
    SCOPED_TRACE(capped ? "with caps" : "without caps");
    holding_sink applier;
    ordered_dispatch dispatch(applier.sink(), applier.sink(), 64, capped);
    using kind = change_request::kind;
    std::thread reader([&] {
      ASSERT_TRUE(dispatch.submit(1, special_change(kind::add_special, 5, 100, 1)));
      ASSERT_TRUE(dispatch.submit(2, special_change(kind::add_special, 5, 101, 2)));
      ASSERT_TRUE(dispatch.submit(3, special_change(kind::add_special, 10, 200, 3)));
      ASSERT_TRUE(dispatch.submit(4, special_change(kind::add_special, 10, 201, 4)));
      ASSERT_TRUE(dispatch.submit(5, special_change(kind::del_special, 12, 300, 5)));
      ASSERT_TRUE(dispatch.submit(6, special_change(kind::add_special, 13, 400, 6)));
    });
    const std::vector<std::int64_t> first_wave =
        capped ? std::vector<std::int64_t>{1, 3} : std::vector<std::int64_t>{1, 3, 5, 6};
    const bool passed = eventually([&] { return applier.handed_out().size() == first_wave.size(); },
                                   std::chrono::seconds(5));
    if (!passed) {
      dispatch.stop();  // the reader, still waiting in a submit, gives up
    }
    reader.join();
    ASSERT_TRUE(passed);
    EXPECT_EQ(applier.handed_out(), first_wave);
    EXPECT_EQ(dispatch.applied(), 0u);
    applier.finish(3);
    ASSERT_TRUE(eventually([&] { return applier.handed_out().size() == first_wave.size() + 1; }));
    EXPECT_EQ(applier.handed_out().back(), 4);  // member 10's next change, past 2
    EXPECT_EQ(dispatch.applied(), 0u);          // 1 still runs
    applier.finish(1);
    ASSERT_TRUE(eventually([&] { return applier.handed_out().size() == first_wave.size() + 2; }));
    EXPECT_EQ(dispatch.applied(), 1u);
    EXPECT_EQ(dispatch.in_flight(), 4u);
    std::vector<std::int64_t> expected = first_wave;
    expected.push_back(4);
    expected.push_back(2);
    if (capped) {
      EXPECT_EQ(applier.handed_out(), expected);  // the removal (5) waits for 2 and 4
      applier.finish(4);
      applier.finish(2);
      expected.push_back(5);
      ASSERT_TRUE(eventually([&] { return applier.handed_out() == expected; }));
      applier.finish(5);
      expected.push_back(6);
      ASSERT_TRUE(eventually([&] { return applier.handed_out() == expected; }));
      applier.finish(6);
    } else {
      EXPECT_EQ(applier.handed_out(), expected);
      for (std::int64_t seq : {2, 4, 5, 6}) {
        applier.finish(seq);
      }
    }
    EXPECT_TRUE(dispatch.wait_applied(6, std::chrono::seconds(5)));
  }
}

// A stop while a change waits (a node shutting down during a big account's fan-out): the change
// is still handed out once it is free, so that when the dispatch is at rest the applied sequence
// covers exactly what was applied, as the snapshot written at the stop records it.
TEST(OrderedDispatch, ChangesTakenBeforeAStopStillRunSoTheAppliedSequenceCoversTheStore) {
  holding_sink applier;
  ordered_dispatch dispatch(applier.sink(), applier.sink(), 64, false);
  using kind = change_request::kind;
  ASSERT_TRUE(dispatch.submit(1, special_change(kind::add_special, 5, 100, 1)));
  ASSERT_TRUE(dispatch.submit(2, special_change(kind::add_special, 5, 101, 2)));
  ASSERT_TRUE(dispatch.submit(3, special_change(kind::add_special, 10, 200, 3)));
  dispatch.stop();
  EXPECT_FALSE(dispatch.submit(4, special_change(kind::add_special, 11, 300, 4)));
  EXPECT_EQ(applier.handed_out(), (std::vector<std::int64_t>{1, 3}));
  applier.finish(3);
  applier.finish(1);
  EXPECT_EQ(applier.handed_out(), (std::vector<std::int64_t>{1, 3, 2}));
  EXPECT_FALSE(dispatch.drain(std::chrono::milliseconds(20)));
  EXPECT_EQ(dispatch.applied(), 1u);
  applier.finish(2);
  EXPECT_TRUE(dispatch.drain(std::chrono::seconds(5)));
  EXPECT_EQ(dispatch.applied(), 3u);
}

// The real workers, fed through the dispatch, against the model applying the stream in order.
void compare_with_model(logic_center::list_caps caps, unsigned seed) {
  logic_center store;
  store.set_caps(caps);
  store.start_workers();
  store_model model(caps);
  const bool capped = caps.feed_cap != 0 || caps.public_cap != 0;
  ordered_dispatch dispatch(
      [&store](change_request&& change, ordered_dispatch::done_fn done) {
        const auto kind = change.what == change_request::kind::add_follow
                              ? logic_center::mutation_kind::add_follow
                          : change.what == change_request::kind::del_follow
                              ? logic_center::mutation_kind::del_follow
                          : change.what == change_request::kind::add_special
                              ? logic_center::mutation_kind::add_special
                              : logic_center::mutation_kind::del_special;
        store.queue_tracked(kind, change.user, std::move(change.ids), std::move(change.items),
                            std::move(done));
      },
      [](change_request&&, ordered_dispatch::done_fn done) { done(); }, 256, capped);
  std::mt19937_64 random(seed);
  std::vector<change_request> changes = random_changes(random, 4000, true);
  std::uint64_t seq = 0;
  for (change_request& change : changes) {
    switch (change.what) {
      case change_request::kind::add_follow:
      case change_request::kind::del_follow:
        model.follow(change.user, change.ids, change.what == change_request::kind::add_follow);
        break;
      case change_request::kind::add_special:
      case change_request::kind::del_special:
        model.specials(change.user, change.items, change.what == change_request::kind::add_special);
        break;
      default:
        break;
    }
    ASSERT_TRUE(dispatch.submit(++seq, std::move(change)));
  }
  ASSERT_TRUE(dispatch.wait_applied(seq, std::chrono::seconds(60)));
  const logic_center_inspector::image got = logic_center_inspector::of(store);
  expect_store_equals_model(got, model);
}

TEST(OrderedDispatch, WorkersFedInStreamOrderEqualTheModel) {
  for (unsigned seed = 1; seed <= 3; ++seed) {
    compare_with_model(logic_center::list_caps{}, seed);
  }
}

TEST(OrderedDispatch, WithCapsAdditionsAndRemovalsKeepTheirOrderAndEqualTheModel) {
  for (unsigned seed = 11; seed <= 13; ++seed) {
    compare_with_model(logic_center::list_caps{3, 5}, seed);
  }
}

}  // namespace
