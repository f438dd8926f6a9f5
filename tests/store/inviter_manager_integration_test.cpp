#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio.hpp>

#include "db/inviter_reloader.h"
#include "locked_tables.h"
#include "metrics/metrics.h"
#include "store/inviter_manager.h"
#include "store/inviter_source.h"
#include "support/app_config.h"
#include "support/object_manager.h"
#include "test_db.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class InviterIndex : public ::testing::Test {
 protected:
  void SetUp() override {
    object_manager::init();
    db.configure_app();
    index.set_pacing({std::chrono::milliseconds(0)});  // a reload for every member beyond
    index.count_reloads_into(&metrics::global().inviter_reloads);
    read_from_database(index);
  }
  void TearDown() override { object_manager::fini(); }

  // Points `target` at this test's database, each wait for it bounded by `timeout_s`.
  static void read_from_database(inviter_manager& target, unsigned int timeout_s = 10) {
    target.set_source(
        std::make_unique<inviter_reloader>(singleton<app_cfg>::instance()->db, timeout_s));
  }

  // reinit() with its standard output captured.
  std::string reload() {
    ::testing::internal::CaptureStdout();
    index.reinit();
    return ::testing::internal::GetCapturedStdout();
  }
  // The rows (1, 0), (3, 1), (5, 3): 5 invited by 3, 3 by 1, 1 by nobody.
  void load_small_tree() {
    db.exec("INSERT INTO brix_member (member_id, inviter_id) VALUES (1, 0), (3, 1), (5, 3)");
    reload();
  }

  test_db db{"inviter"};
  inviter_manager index;
};

TEST_F(InviterIndex, LoadedRowsAnswerChainsAndInvitees) {
  db.exec("INSERT INTO brix_member (member_id, inviter_id) VALUES (1, 0), (3, 1), (5, 3)");
  EXPECT_EQ(reload(), "max user id=5 max_bucket=53\nstart rehash\n");
  EXPECT_EQ(index.max_user(), 5);
  EXPECT_EQ(index.table_size(), 10u);
  EXPECT_THAT(index.list(5), ElementsAre(3, 1));
  EXPECT_THAT(index.list(1), IsEmpty());
  EXPECT_THAT(index.list(4), IsEmpty()) << "a member without a row";
  EXPECT_THAT(index.list(10), IsEmpty()) << "beyond the table";
  EXPECT_THAT(index.list(-1), IsEmpty());
  EXPECT_THAT(index.invitees(1), ElementsAre(3));
  EXPECT_THAT(index.invitees(0), ElementsAre(1)) << "key 0 collects members without inviter";
  EXPECT_THAT(index.invitees(5), IsEmpty());
  EXPECT_THAT(index.invitees(-3), IsEmpty());
}

TEST_F(InviterIndex, EmptyMemberTableGivesAnEmptyIndex) {
  EXPECT_EQ(reload(), "");
  EXPECT_EQ(index.max_user(), 0);
  EXPECT_THAT(index.list(0), IsEmpty());
  EXPECT_THAT(index.invitees(0), IsEmpty());
  EXPECT_TRUE(index.add(0, 0)) << "beyond the empty table: a reload, still true";
  EXPECT_THAT(index.invitees(0), IsEmpty());
}

TEST_F(InviterIndex, RowsOutsideTheTableRulesAreSkipped) {
  db.exec(
      "INSERT INTO brix_member (member_id, inviter_id) VALUES "
      "(-4, 1), (1, 0), (2, -1), (3, 9), (4, NULL), (6, 1)");
  reload();
  EXPECT_EQ(index.max_user(), 6);
  EXPECT_THAT(index.invitees(1), ElementsAre(6)) << "a negative member id is skipped";
  EXPECT_THAT(index.invitees(-1), IsEmpty());
  EXPECT_THAT(index.list(2), IsEmpty());
  EXPECT_THAT(index.list(3), IsEmpty()) << "an inviter above the highest member is skipped";
  EXPECT_THAT(index.invitees(9), IsEmpty());
  EXPECT_THAT(index.invitees(0), ElementsAre(1, 4)) << "a NULL inviter reads as none";
}

TEST_F(InviterIndex, IdsBeyondASigned32BitIntAreSkippedNotWrapped) {
  db.exec("ALTER TABLE brix_member MODIFY member_id BIGINT NOT NULL, MODIFY inviter_id BIGINT");
  db.exec(
      "INSERT INTO brix_member (member_id, inviter_id) VALUES "
      "(1, 0), (3, 1), (3000000000, 3), (4294967299, 1), (7, 4294967299)");
  EXPECT_EQ(reload(), "max user id=7 max_bucket=53\nstart rehash\n")
      << "the highest id that fits sizes the table";
  EXPECT_THAT(index.invitees(3), IsEmpty()) << "3000000000 does not fit; it is not wrapped";
  EXPECT_THAT(index.invitees(1), ElementsAre(3));
  EXPECT_THAT(index.list(7), IsEmpty());
}

TEST_F(InviterIndex, EveryPageOfALargeTableIsRead) {
  // 2,500 members in one chain: member m was invited by m - 1.
  std::string rows = "(1, 0)";
  for (int m = 2; m <= 2500; ++m) {
    rows += ",(" + std::to_string(m) + "," + std::to_string(m - 1) + ")";
  }
  db.exec("INSERT INTO brix_member (member_id, inviter_id) VALUES " + rows);
  EXPECT_EQ(reload(), "max user id=2500 max_bucket=3079\nstart rehash\n");
  const std::vector<int> chain = index.list(2500);
  ASSERT_EQ(chain.size(), 2499u);
  EXPECT_EQ(chain.front(), 2499);
  EXPECT_EQ(chain.back(), 1);
  EXPECT_THAT(index.invitees(1000), ElementsAre(1001));
  EXPECT_THAT(index.invitees(2000), ElementsAre(2001));
}

TEST_F(InviterIndex, AddWithinTheTableRecordsInPlace) {
  load_small_tree();
  EXPECT_TRUE(index.add(7, 3));
  EXPECT_THAT(index.list(7), ElementsAre(3, 1));
  EXPECT_THAT(index.invitees(3), ElementsAre(5, 7));
  EXPECT_TRUE(index.add(7, 3));
  EXPECT_THAT(index.invitees(3), ElementsAre(5, 7, 7)) << "the same pair twice is listed twice";
  EXPECT_FALSE(index.add(-1, 3));
  EXPECT_THAT(index.invitees(3), ElementsAre(5, 7, 7));
}

TEST_F(InviterIndex, AddBeyondTheTableReloadsFromTheDatabase) {
  load_small_tree();
  db.exec("INSERT INTO brix_member (member_id, inviter_id) VALUES (40, 5)");
  ::testing::internal::CaptureStdout();
  EXPECT_TRUE(index.add(40, 5));
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "max user id=40 max_bucket=53\nstart rehash\n");
  EXPECT_THAT(index.list(40), ElementsAre(5, 3, 1));
  EXPECT_EQ(index.table_size(), 80u);
}

TEST_F(InviterIndex, FailedReloadKeepsTheOldIndex) {
  load_small_tree();
  index.add(7, 3);

  // The member table is unreadable: the reload fails quietly and keeps everything.
  db.exec("RENAME TABLE brix_member TO brix_member_away");
  EXPECT_TRUE(index.add(100, 1));
  EXPECT_THAT(index.list(7), ElementsAre(3, 1));
  EXPECT_THAT(index.invitees(3), ElementsAre(5, 7));

  // The database is unreachable: the error reaches the caller, the index stays.
  db.exec("DROP DATABASE `" + db.name() + "`");
  EXPECT_THROW(index.add(100, 1), std::logic_error);
  EXPECT_THAT(index.list(5), ElementsAre(3, 1));
  EXPECT_THAT(index.invitees(0), ElementsAre(1));
}

TEST_F(InviterIndex, ChainWalksEndAtRepeatsAndAtIdsBeyondTheTable) {
  load_small_tree();
  index.add(3, 5);  // 3 and 5 now name each other
  EXPECT_THAT(index.list(5), ElementsAre(3));
  EXPECT_THAT(index.list(3), ElementsAre(5));
  index.add(1, 1);  // a member naming itself
  EXPECT_THAT(index.list(1), IsEmpty());

  index.add(2, 1000000);  // an inviter far beyond the table
  EXPECT_THAT(index.list(2), ElementsAre(1000000));
}

TEST_F(InviterIndex, InviteesOfIdsAboveTheBucketCountAreAnswered) {
  load_small_tree();
  index.add(9, 60);  // 60 lies above the 53 buckets of the loaded map
  EXPECT_THAT(index.invitees(60), ElementsAre(9));
  EXPECT_THAT(index.invitees(61), IsEmpty());
}

// ---- reloads paced by time ----

using std::chrono::milliseconds;

std::uint64_t reload_count() {
  return metrics::global().inviter_reloads.load(std::memory_order_relaxed);
}

template <typename Call>
milliseconds time_of(Call call) {
  const auto start = std::chrono::steady_clock::now();
  call();
  return std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - start);
}

// The event loop of an index that reads aside: answers posted by its reading thread run here,
// on the test's thread, while the test waits for them.
class answer_loop {
 public:
  answer_loop() : guard(boost::asio::make_work_guard(io)) {}

  inviter_reloader::loop_poster poster() {
    return [this](std::function<void()> answer) { boost::asio::post(io, std::move(answer)); };
  }
  // Runs answers until `done` holds (30 s at most).
  template <typename Predicate>
  void run_until(Predicate done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!done() && std::chrono::steady_clock::now() < deadline) {
      io.run_one_for(milliseconds(50));
    }
    ASSERT_TRUE(done()) << "no answer within 30 s";
  }
  void run_for(milliseconds time) { io.run_for(time); }
  // add() answered whenever its read is back.
  inviter_manager::add_outcome add(inviter_manager& target, int member, int inviter) {
    inviter_manager::add_outcome outcome;
    bool answered = false;
    if (!target.add(member, inviter, outcome, [&](const inviter_manager::add_outcome& later) {
          outcome = later;
          answered = true;
        })) {
      run_until([&answered] { return answered; });
    }
    return outcome;
  }

 private:
  boost::asio::io_context io;
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> guard;
};

// The database's reloader, counting the reads handed to it; owned by the index it reads for.
class counting_source : public inviter_source {
 public:
  explicit counting_source(std::unique_ptr<inviter_reloader> reloader)
      : inner(std::move(reloader)) {}

  bool read_table(const std::function<bool(int highest)>& on_highest,
                  const std::function<void(const table_rows::member_row&)>& on_row) override {
    ++tables;
    return inner->read_table(on_highest, on_row);
  }
  lookup read_member(int member, int& highest, table_rows::member_row& out) override {
    ++rows;
    return inner->read_member(member, highest, out);
  }
  void run_aside(std::function<void()> read, std::function<void()> then) override {
    inner->run_aside(std::move(read), std::move(then));
  }

  std::atomic<int> tables{0};
  std::atomic<int> rows{0};

 private:
  std::unique_ptr<inviter_reloader> inner;
};

// Points `target` at this test's database through a reloader that reads on a thread of its own
// and answers on `loop`; answers its counts.
counting_source& read_aside(inviter_manager& target, answer_loop& loop) {
  auto counted = std::make_unique<counting_source>(
      std::make_unique<inviter_reloader>(singleton<app_cfg>::instance()->db, 10, loop.poster()));
  counting_source& counts = *counted;
  target.set_source(std::move(counted));
  return counts;
}

// A change recorded in place (as the stream records them) for a member the load did not reach
// but the index admits: recorded without a database read, like add().
TEST_F(InviterIndex, InPlaceChangesReachEveryMemberTheIndexAdmits) {
  load_small_tree();  // highest id 5: ids below 10 are recorded in place
  const std::uint64_t reloads = reload_count();
  EXPECT_TRUE(index.add_in_place(9, 5));
  EXPECT_TRUE(index.add_in_place(7, 3));
  EXPECT_THAT(index.list(9), ElementsAre(5, 3, 1));
  EXPECT_THAT(index.invitees(3), ElementsAre(5, 7));
  EXPECT_THAT(index.invitees(5), ElementsAre(9));
  // Beyond the index: into the side table, the table does not grow, the answers are the same.
  const std::size_t table = index.table_size();
  EXPECT_TRUE(index.add_in_place(1000000, 3)) << "beyond the index";
  EXPECT_EQ(index.table_size(), table);
  EXPECT_THAT(index.invitees(3), ElementsAre(5, 7, 1000000));
  EXPECT_THAT(index.list(1000000), ElementsAre(3, 1));
  EXPECT_EQ(reload_count(), reloads);
}

// The rules written the plain way: an array of twice the highest id, and one list per inviter.
struct plain_index {
  std::vector<int> inviter_of;
  std::map<int, std::vector<int>> invitees_of;

  void record(int member, int inviter) {
    inviter_of[static_cast<size_t>(member)] = inviter;
    invitees_of[inviter].push_back(member);
  }
  std::vector<int> list(int member) const {
    std::vector<int> chain;
    if (member < 0 || static_cast<size_t>(member) >= inviter_of.size()) {
      return chain;
    }
    std::set<int> seen{member};
    for (;;) {
      member = inviter_of[static_cast<size_t>(member)];
      if (member <= 0 || !seen.insert(member).second) {
        return chain;
      }
      chain.push_back(member);
      if (static_cast<size_t>(member) >= inviter_of.size()) {
        return chain;
      }
    }
  }
  std::vector<int> invitees(int inviter) const {
    const auto found = invitees_of.find(inviter);
    return inviter < 0 || found == invitees_of.end() ? std::vector<int>() : found->second;
  }
};

// Random rows (inviters missing, NULL, negative, above the highest id, or naming each other;
// negative member ids), a load, then random adds within the index (repeated pairs, members
// changing inviter, any inviter id): every chain and every invitee list as the plain rules say.
TEST_F(InviterIndex, LoadAndAddsMatchThePlainRules) {
  const unsigned seed = ::testing::UnitTest::GetInstance()->random_seed();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  auto pick = [&random](int low, int high) {
    return std::uniform_int_distribution<int>(low, high)(random);
  };
  constexpr int highest = 2000;
  std::map<int, std::string> rows;  // member id -> inviter column, read back in member order
  rows[highest] = "0";
  for (int n = 0; n < 1500; ++n) {
    const int member = pick(0, 9) == 0 ? -pick(1, 50) : pick(0, highest);
    const int kind = pick(0, 19);
    rows[member] = kind == 0   ? "NULL"
                   : kind == 1 ? std::to_string(-pick(1, 5))
                   : kind == 2 ? std::to_string(highest + pick(1, 100))
                   : kind < 6  ? "0"
                               : std::to_string(pick(1, highest));
  }
  std::string values;
  plain_index model;
  model.inviter_of.assign(2 * highest, 0);
  for (const auto& [member, inviter] : rows) {
    values += (values.empty() ? "(" : ",(") + std::to_string(member) + "," + inviter + ")";
    const int read = inviter == "NULL" ? 0 : std::stoi(inviter);
    if (member >= 0 && read >= 0 && read <= highest) {
      model.record(member, read);
    }
  }
  db.exec("INSERT INTO brix_member (member_id, inviter_id) VALUES " + values);
  reload();
  ASSERT_EQ(index.table_size(), model.inviter_of.size());

  auto compare_all = [&](const char* when) {
    for (int id = -3; id <= 2 * highest + 3; ++id) {
      ASSERT_EQ(index.list(id), model.list(id)) << when << ": list " << id;
      ASSERT_EQ(index.invitees(id), model.invitees(id)) << when << ": invitees " << id;
    }
  };
  compare_all("after the load");
  for (int n = 0; n < 3000; ++n) {
    const int member = pick(0, 2 * highest - 1);
    const int inviter = pick(0, 9) == 0 ? -pick(1, 3) : pick(0, 3 * highest);
    ASSERT_TRUE(index.add(member, inviter));
    model.record(member, inviter);
  }
  compare_all("after the adds");
}

// The site stores a member's row, then names the same pair in "inviter add" (for a member beyond
// the index the request may also name another inviter, which the stored row overrules); now
// and then a request names a member beyond the index that the database does not have, once or
// again. Each stored member is added once: a pair recorded twice is listed twice until the next
// reload, and pacing changes when that comes. In that order of events an index that reloads at
// most once an hour, reading on a thread of its own, must answer every request exactly as one
// that reloads for every member beyond it, reading on the caller's thread, without reloading at
// all and reading each missing member's row once.
TEST_F(InviterIndex, PacedReloadsAnswerExactlyAsAReloadForEveryMemberBeyond) {
  db.exec("INSERT INTO brix_member (member_id, inviter_id) VALUES (1, 0), (2, 1), (3, 1), (5, 2)");
  inviter_manager every;
  every.set_pacing({milliseconds(0)});
  every.count_reloads_into(&metrics::global().inviter_reloads);
  read_from_database(every);
  answer_loop loop;
  inviter_manager paced;
  paced.set_pacing({std::chrono::hours(1)});
  paced.count_reloads_into(&metrics::global().inviter_reloads);
  counting_source& paced_reads = read_aside(paced, loop);
  ::testing::internal::CaptureStdout();  // every reload prints its two lines
  every.reinit();
  paced.reinit();

  const unsigned seed = ::testing::UnitTest::GetInstance()->random_seed();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  auto below = [&random](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
  std::vector<int> members = {1, 2, 3, 5};
  std::set<int> missing;  // added, never stored
  int next = 5;
  std::uint64_t paced_reloads = 0;
  auto add_to_both = [&](int member, int inviter) {
    const bool reply = every.add(member, inviter);
    const std::uint64_t before = reload_count();
    EXPECT_EQ(loop.add(paced, member, inviter).failed, !reply) << member;
    paced_reloads += reload_count() - before;
  };
  auto same_answers = [&](int id) {
    EXPECT_EQ(paced.list(id), every.list(id)) << "list " << id;
    EXPECT_EQ(paced.invitees(id), every.invitees(id)) << "invitees " << id;
  };

  // Only the answers are compared, not the two indexes' sizes or highest members: an add of a
  // member known missing reloads the other index, sizing it to the members stored until then,
  // while the paced one reads nothing and sizes itself at its next read, to the member read.
  for (int step = 0; step < 1000; ++step) {
    const int choice = below(10);
    if (choice < 5) {
      const bool beyond = below(6) == 0 && next < 20000;
      next = beyond ? static_cast<int>(every.table_size()) + below(40) : next + 1 + below(3);
      const int stored =
          below(5) == 0 ? 0 : members[static_cast<size_t>(below(static_cast<int>(members.size())))];
      // An add within the index records what it names at once, which the next reload of the
      // reload-per-add index would then correct: so a request may name another inviter only
      // for a member beyond both indexes (the paced one may have grown past the other by then).
      const bool member_beyond = static_cast<size_t>(next) >= every.table_size() &&
                                 static_cast<size_t>(next) >= paced.table_size();
      const int named = member_beyond && below(3) == 0 ? stored + 1 : stored;
      db.exec("INSERT INTO brix_member (member_id, inviter_id) VALUES (" + std::to_string(next) +
              "," + std::to_string(stored) + ")");
      add_to_both(next, named);
      members.push_back(next);
    } else if (choice == 5) {
      // Far beyond anything stored; the same one again now and then.
      const int absent = missing.empty() || below(2) == 0
                             ? 1000000 + below(1000000)
                             : *std::next(missing.begin(), below(static_cast<int>(missing.size())));
      add_to_both(absent, below(100));
      missing.insert(absent);
    } else {
      same_answers(below(2 * next + 4) - 2);
    }
  }
  inviter_manager fresh;
  read_from_database(fresh);
  fresh.reinit();
  ::testing::internal::GetCapturedStdout();

  for (int id = -1; id <= 2 * next + 2; ++id) {
    same_answers(id);
    EXPECT_EQ(fresh.list(id), every.list(id)) << "list " << id;
    EXPECT_EQ(fresh.invitees(id), every.invitees(id)) << "invitees " << id;
  }
  EXPECT_EQ(paced_reloads, 0u);
  EXPECT_EQ(paced_reads.tables.load(), 1) << "the first reinit() only";
  // Every stored member beyond the index read once; a missing one once, however often added.
  EXPECT_LE(paced_reads.rows.load(), static_cast<int>(members.size() + missing.size()));
}

// Reads run aside: while the database holds the member table locked, an add beyond the index
// waits for its read and the index goes on answering (and recording within it); adds beyond it
// that come meanwhile wait behind the read, in order, and one read answers every add of the
// same member. A member found missing is not read again until the next reload, even once its
// row is stored.
TEST_F(InviterIndex, AddsBeyondTheIndexWaitForOneReadAsideWhileTheIndexAnswers) {
  answer_loop loop;
  inviter_manager aside;
  aside.set_pacing({std::chrono::hours(1)});
  aside.count_reloads_into(&metrics::global().inviter_reloads);
  counting_source& reads = read_aside(aside, loop);
  db.exec("INSERT INTO brix_member (member_id, inviter_id) VALUES (1, 0), (3, 1), (5, 3)");
  ::testing::internal::CaptureStdout();
  aside.reinit();
  ::testing::internal::GetCapturedStdout();
  ASSERT_EQ(aside.table_size(), 10u);

  db.exec("LOCK TABLES brix_member WRITE");
  db.exec("INSERT INTO brix_member (member_id, inviter_id) VALUES (40, 5)");
  std::vector<std::string> answered;
  auto note = [&answered](const std::string& what) {
    return [&answered, what](const inviter_manager::add_outcome& outcome) {
      answered.push_back(what + (outcome.failed ? " failed" : " ok"));
    };
  };
  inviter_manager::add_outcome now;
  EXPECT_FALSE(aside.add(40, 5, now, note("40")));
  EXPECT_TRUE(aside.reading());
  EXPECT_FALSE(aside.add(40, 9, now, note("40 again")));
  EXPECT_FALSE(aside.add(200, 3, now, note("200")));
  EXPECT_TRUE(aside.add(7, 3, now, note("7"))) << "within the index: answered at once";
  EXPECT_FALSE(now.failed);
  EXPECT_THAT(aside.list(7), ElementsAre(3, 1));
  EXPECT_THAT(aside.list(5), ElementsAre(3, 1));
  EXPECT_TRUE(answered.empty());

  db.exec("UNLOCK TABLES");
  loop.run_until([&] { return answered.size() == 3; });
  EXPECT_THAT(answered, ElementsAre("40 ok", "40 again ok", "200 ok"));
  EXPECT_FALSE(aside.reading());
  EXPECT_EQ(reads.rows.load(), 2) << "40 once, then 200";
  // The second add of 40 came after its row was read: within the grown index, recorded as named.
  EXPECT_EQ(aside.table_size(), 80u);
  EXPECT_THAT(aside.list(40), ElementsAre(9));
  EXPECT_THAT(aside.invitees(5), ElementsAre(40));
  EXPECT_THAT(aside.invitees(9), ElementsAre(40));
  EXPECT_THAT(aside.list(200), IsEmpty());

  // 200 is missing, and stays known as missing until the next reload, stored or not.
  db.exec("INSERT INTO brix_member (member_id, inviter_id) VALUES (200, 3)");
  for (int again = 0; again < 3; ++again) {
    EXPECT_TRUE(aside.add(200, 3, now, note("200 later"))) << "answered without a read";
    EXPECT_FALSE(now.failed);
  }
  EXPECT_EQ(reads.rows.load(), 2);
  EXPECT_THAT(aside.list(200), IsEmpty());
  ::testing::internal::CaptureStdout();
  aside.reinit();
  ::testing::internal::GetCapturedStdout();
  EXPECT_THAT(aside.list(200), ElementsAre(3, 1));
  EXPECT_EQ(answered.size(), 3u);
}

// An index whose read waits for a locked table lets go at once when it is destroyed: the read is
// interrupted, its answer never comes, and nothing waits for the database.
TEST_F(InviterIndex, DestroyingTheIndexEndsAReadUnderWay) {
  answer_loop loop;
  bool answered = false;
  {
    auto aside = std::make_unique<inviter_manager>();
    aside->set_pacing({std::chrono::hours(1)});
    aside->count_reloads_into(&metrics::global().inviter_reloads);
    read_aside(*aside, loop);
    db.exec("INSERT INTO brix_member (member_id, inviter_id) VALUES (1, 0)");
    ::testing::internal::CaptureStdout();
    aside->reinit();
    ::testing::internal::GetCapturedStdout();
    locked_tables locked(db);
    inviter_manager::add_outcome now;
    ASSERT_FALSE(aside->add(50, 1, now,
                            [&answered](const inviter_manager::add_outcome&) { answered = true; }));
    ASSERT_TRUE(locked.waiting());
    aside.reset();
  }
  loop.run_for(milliseconds(100));
  EXPECT_FALSE(answered);
}

TEST_F(InviterIndex, RowsStoredWithoutARequestAppearAtTheFirstReloadAfterTheInterval) {
  index.set_pacing({milliseconds(1000)});
  index.count_reloads_into(&metrics::global().inviter_reloads);
  load_small_tree();
  db.exec("INSERT INTO brix_member (member_id, inviter_id) VALUES (8, 5), (40, 3)");
  const std::uint64_t reloads = reload_count();
  EXPECT_TRUE(index.add(40, 3));
  EXPECT_THAT(index.list(40), ElementsAre(3, 1)) << "the member's own row is read";
  EXPECT_THAT(index.list(8), IsEmpty()) << "no reload yet";
  EXPECT_EQ(index.table_size(), 80u) << "sized as a reload would";
  EXPECT_EQ(reload_count(), reloads);

  std::this_thread::sleep_for(milliseconds(1100));
  db.exec("INSERT INTO brix_member (member_id, inviter_id) VALUES (90, 8)");
  reload();  // reinit() itself counts as the last reload
  EXPECT_THAT(index.list(90), ElementsAre(8, 5, 3, 1));
  std::this_thread::sleep_for(milliseconds(1100));
  db.exec("INSERT INTO brix_member (member_id, inviter_id) VALUES (200, 90), (7, 1)");
  ::testing::internal::CaptureStdout();
  EXPECT_TRUE(index.add(200, 90));
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "max user id=200 max_bucket=389\nstart rehash\n");
  EXPECT_EQ(reload_count(), reloads + 1);
  EXPECT_THAT(index.list(200), ElementsAre(90, 8, 5, 3, 1));
  EXPECT_THAT(index.list(7), ElementsAre(1));
}

// However short the interval, reloads of a big table take at most a tenth of the time.
TEST_F(InviterIndex, ReloadsWaitNineTimesAsLongAsTheLastOneTook) {
  db.exec(
      "INSERT INTO brix_member (member_id, inviter_id) SELECT seq, seq DIV 2 "
      "FROM seq_1_to_50000");
  index.set_pacing({milliseconds(1)});
  index.count_reloads_into(&metrics::global().inviter_reloads);
  ::testing::internal::CaptureStdout();
  const milliseconds took = time_of([&] { index.reinit(); });
  std::this_thread::sleep_for(milliseconds(5));  // past the interval, not past nine reloads
  const std::uint64_t reloads = reload_count();
  db.exec("INSERT INTO brix_member (member_id, inviter_id) VALUES (100001, 7), (60000, 3)");
  EXPECT_TRUE(index.add(100001, 7));
  EXPECT_EQ(reload_count(), reloads) << "a row read, not a reload";
  EXPECT_THAT(index.list(100001), ElementsAre(7, 3, 1));
  EXPECT_THAT(index.list(60000), IsEmpty());

  std::this_thread::sleep_for(9 * took + milliseconds(50));
  EXPECT_TRUE(index.add(200003, 7));
  ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(reload_count(), reloads + 1);
  EXPECT_THAT(index.list(60000), ElementsAre(3, 1));
}

// A write lock taken by another session makes every read of the member table wait for ever.
TEST_F(InviterIndex, AHungDatabaseFailsWithinTheTimeoutAndIsThenLeftAloneForAWhile) {
  index.set_pacing({milliseconds(1000)});
  index.count_reloads_into(&metrics::global().inviter_reloads);
  read_from_database(index, 1);
  load_small_tree();
  index.add(7, 3);
  db.exec("LOCK TABLES brix_member WRITE");
  db.exec("INSERT INTO brix_member (member_id, inviter_id) VALUES (40, 5)");

  // Within the interval: the member's row is read, and that read gives up.
  milliseconds took = time_of([&] { EXPECT_TRUE(index.add(40, 5)); });
  EXPECT_GE(took, milliseconds(800));
  EXPECT_LT(took, milliseconds(3500));
  EXPECT_THAT(index.list(40), IsEmpty());
  EXPECT_THAT(index.list(7), ElementsAre(3, 1)) << "the index is kept whole";
  // Right after a failure the database is not asked at all.
  took = time_of([&] { EXPECT_TRUE(index.add(40, 5)); });
  EXPECT_LT(took, milliseconds(200));

  // Once the rest (the interval) is over, the reload due gives up the same way.
  std::this_thread::sleep_for(milliseconds(1100));
  const std::uint64_t reloads = reload_count();
  took = time_of([&] { EXPECT_TRUE(index.add(40, 5)); });
  EXPECT_EQ(reload_count(), reloads + 1);
  EXPECT_GE(took, milliseconds(800));
  EXPECT_LT(took, milliseconds(3500));
  EXPECT_THAT(index.invitees(3), ElementsAre(5, 7));

  // The second failure in a row rests twice as long; then all is read again.
  db.exec("UNLOCK TABLES");
  std::this_thread::sleep_for(milliseconds(500));
  EXPECT_TRUE(index.add(40, 5));
  EXPECT_THAT(index.list(40), IsEmpty()) << "still resting";
  std::this_thread::sleep_for(milliseconds(1700));
  EXPECT_TRUE(index.add(40, 5));
  EXPECT_THAT(index.list(40), ElementsAre(5, 3, 1));
}

}  // namespace
