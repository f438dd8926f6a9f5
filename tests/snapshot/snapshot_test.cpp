// Snapshots: a random store written and loaded into a fresh one answers every fetch as before;
// damaged, truncated, foreign, newer and malformed files are refused and the older one used;
// the two newest are kept and every other file left alone; a write that fails (the file size
// limit standing in for a full disk) keeps the earlier snapshots; the taker forks its writer at
// rest, on request, on SIGUSR1 and at the stop, and never writes the same sequence twice.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include "metrics/metrics.h"
#include "random_ids.h"
#include "snapshot/snapshot_codec.h"
#include "snapshot/snapshot_file.h"
#include "snapshot/snapshot_taker.h"
#include "snapshot/store_snapshot.h"
#include "store/logic_center.h"
#include "store_image.h"
#include "temp_dir.h"

namespace {

using ids = std::vector<unsigned long>;
constexpr unsigned long top = ~0UL;
const std::string stream = "NORVEL";

// A directory of its own for each test, removed with what is in it.
class SnapshotDir : public ::testing::Test {
 protected:
  std::vector<std::string> names() const {
    std::vector<std::string> out;
    for (const snapshot::found_file& found : snapshot::list_files(dir, stream)) {
      out.push_back(found.path.substr(dir.size() + 1));
    }
    return out;
  }
  bool exists(const std::string& name) const {
    struct stat status {};
    return ::stat((dir + "/" + name).c_str(), &status) == 0;
  }
  void touch(const std::string& name, const std::string& content = "x") const {
    std::ofstream(dir + "/" + name) << content;
  }
  std::string read(const std::string& name) const {
    std::ifstream in(dir + "/" + name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  void write(const std::string& name, const std::string& bytes) const {
    std::ofstream(dir + "/" + name, std::ios::binary | std::ios::trunc) << bytes;
  }

  temp_dir scratch{"norvel_snap_"};  // a directory of its own for each test
  const std::string dir = scratch.path();
};

// A random store through the appliers, and a random inviter index, from one seed.
class random_store {
 public:
  explicit random_store(uint64_t seed) : random(seed) {}

  void fill(logic_center& store, int steps) {
    for (int step = 0; step < steps; ++step) {
      const unsigned long user = any_member();
      const bool adding = pick(0, 3) != 0;
      if (pick(0, 2) == 0) {
        ids followed(pick(0, 4));
        for (unsigned long& id : followed) {
          id = any_member();
        }
        adding ? store.do_add_follows(user, followed) : store.do_del_follows(user, followed);
      } else {
        std::vector<special> items;
        for (unsigned long n = pick(0, 5); n > 0; --n) {
          items.emplace_back(any_special(), user, static_cast<unsigned char>(pick(0, 2)));
        }
        adding ? store.do_add_special(user, items) : store.do_del_special(user, items);
      }
    }
    store.restore_inviters(inviters());
  }

 private:
  unsigned long pick(unsigned long low, unsigned long high) {
    return std::uniform_int_distribution<unsigned long>(low, high)(random);
  }
  unsigned long any_member() {
    const unsigned long members[] = {0, 1, 2, 3, 4, 5, 4294967296UL, top - 1, top};
    return pick(0, 2) == 0 ? members[pick(0, 8)] : pick(0, 400);
  }
  unsigned long any_special() { return any_special_id(random, 5000); }
  int any_int() {
    const int ends[] = {0, -1, -7, 2147483647, -2147483647 - 1};
    return pick(0, 4) == 0 ? ends[pick(0, 4)] : static_cast<int>(pick(0, 600));
  }
  inviter_manager::image inviters() {
    inviter_manager::image index;
    index.max_user_id = static_cast<int>(pick(0, 300));
    index.table_size = pick(0, 3) == 0 ? 0 : 2 * static_cast<uint64_t>(index.max_user_id);
    for (uint64_t member = 0; member < index.table_size; ++member) {
      if (pick(0, 2) != 0) {
        index.links.emplace_back(static_cast<int>(member), any_int());
      }
    }
    std::map<int, int> far;
    for (unsigned long n = pick(0, 20); n > 0; --n) {
      far[static_cast<int>(index.table_size + pick(0, 2147483647UL - index.table_size))] =
          any_int();
    }
    index.far_links.assign(far.begin(), far.end());
    for (unsigned long n = pick(0, 200); n > 0; --n) {
      index.inviter_keys.push_back(any_int());
      index.invitee_counts.push_back(static_cast<uint32_t>(pick(1, 5)));
      for (uint32_t i = 0; i < index.invitee_counts.back(); ++i) {
        index.invitees.push_back(any_int());
      }
    }
    return index;
  }

  std::mt19937_64 random;
};

// The inviter index as a value that does not depend on the table's order.
struct inviter_view {
  int max_user_id;
  uint64_t table_size;
  std::vector<std::pair<int, int>> links;
  std::map<int, std::vector<int>> invitees;
  std::vector<std::pair<int, int>> far_links;
  bool operator==(const inviter_view& other) const {
    return max_user_id == other.max_user_id && table_size == other.table_size &&
           links == other.links && invitees == other.invitees && far_links == other.far_links;
  }
};
inviter_view view_of(const logic_center& store) {
  const inviter_manager::image index = store.save_inviters();
  inviter_view view{index.max_user_id, index.table_size, index.links, {}, index.far_links};
  const int* member = index.invitees.data();
  for (size_t i = 0; i < index.inviter_keys.size(); ++i) {
    auto& listed = view.invitees[index.inviter_keys[i]];
    listed.assign(member, member + index.invitee_counts[i]);
    member += index.invitee_counts[i];
  }
  return view;
}

void expect_same_store(logic_center& loaded, logic_center& original) {
  const auto want = logic_center_inspector::of(original);
  const auto got = logic_center_inspector::of(loaded);
  EXPECT_EQ(got.follows, want.follows);
  EXPECT_EQ(got.own, want.own);
  EXPECT_EQ(got.feeds, want.feeds);
  EXPECT_EQ(got.pub, want.pub);
  EXPECT_TRUE(view_of(loaded) == view_of(original)) << "the inviter index differs";
  // The running counts a scrape reads follow the restore (and a restore dropped half way).
  EXPECT_TRUE(loaded.sizes() == loaded.walk_sizes()) << "the counts differ from the lists";
  EXPECT_TRUE(loaded.sizes() == original.walk_sizes());
  // The answers themselves, paged both ways, and the inviter queries.
  for (const auto& entry : want.own) {
    const unsigned long member = entry.first;
    for (unsigned long cursor : {0UL, 2500UL, top}) {
      for (auto dir : {logic_center::fetch_above, logic_center::fetch_below}) {
        EXPECT_EQ(loaded.fetch_self_specials(member, cursor, 7, dir),
                  original.fetch_self_specials(member, cursor, 7, dir));
        EXPECT_EQ(loaded.fetch_pri_specials(member, cursor, 7, dir),
                  original.fetch_pri_specials(member, cursor, 7, dir));
      }
    }
    EXPECT_EQ(loaded.fetch_follow(member), original.fetch_follow(member));
    EXPECT_EQ(loaded.has_member(member), original.has_member(member));
    EXPECT_EQ(loaded.has_feed(member), original.has_feed(member));
  }
  for (int member = -2; member < 620; ++member) {
    EXPECT_EQ(loaded.fetch_inviter(member), original.fetch_inviter(member));
    EXPECT_EQ(loaded.fetch_invitees(member), original.fetch_invitees(member));
  }
}

TEST_F(SnapshotDir, RandomStoresLoadIntoFreshStoresThatAnswerAsBefore) {
  for (uint64_t seed : {1u, 2u, 3u, 4u}) {
    SCOPED_TRACE(seed);
    logic_center original;
    random_store(seed).fill(original, seed == 1 ? 0 : 3000);  // the first one empty
    const snapshot::write_outcome written = snapshot::save_store(original, dir, stream, seed * 10);
    ASSERT_TRUE(written.ok) << written.error;

    logic_center loaded;
    const snapshot::load_result result = snapshot::load_newest(dir, stream, loaded);
    ASSERT_TRUE(result.loaded);
    EXPECT_EQ(result.sequence, seed * 10);
    expect_same_store(loaded, original);
    // And the loaded store written again gives the same bytes' worth of content.
    logic_center reloaded;
    ASSERT_TRUE(snapshot::save_store(loaded, dir, stream, seed * 10 + 1).ok);
    ASSERT_TRUE(snapshot::load_newest(dir, stream, reloaded).loaded);
    expect_same_store(reloaded, original);
  }
}

// ---- refusals ----

class SnapshotRefusal : public SnapshotDir {
 protected:
  void SetUp() override {
    SnapshotDir::SetUp();
    random_store(11).fill(older, 1500);
    random_store(12).fill(newer, 1500);
    ASSERT_TRUE(snapshot::save_store(older, dir, stream, 5).ok);
    ASSERT_TRUE(snapshot::save_store(newer, dir, stream, 9).ok);
    newest_name = snapshot::file_name(stream, 9);
    good_bytes = read(newest_name);
  }

  // Replaces the newest file with `bytes` and loads: the older one must come back whole.
  void expect_older_loaded(const std::string& bytes) {
    write(newest_name, bytes);
    logic_center loaded;
    const snapshot::load_result result = snapshot::load_newest(dir, stream, loaded);
    ASSERT_TRUE(result.loaded);
    EXPECT_EQ(result.sequence, 5u);
    expect_same_store(loaded, older);
  }
  // The checksum recomputed, so only the content is wrong.
  static std::string with_checksum(std::string bytes) {
    const uint32_t sum = snapshot::checksum(0, bytes.data(), bytes.size() - 4);
    for (int i = 0; i < 4; ++i) {
      bytes[bytes.size() - 4 + i] = static_cast<char>(sum >> (8 * i));
    }
    return bytes;
  }

  logic_center older;
  logic_center newer;
  std::string newest_name;
  std::string good_bytes;
};

TEST_F(SnapshotRefusal, DamagedOrTruncatedFilesAreRefusedAndTheOlderOneLoads) {
  std::mt19937 random(3);
  for (int round = 0; round < 8; ++round) {
    std::string damaged = good_bytes;
    damaged[std::uniform_int_distribution<size_t>(0, damaged.size() - 1)(random)] ^= 0x20;
    expect_older_loaded(damaged);
  }
  for (size_t keep :
       {size_t{0}, size_t{7}, size_t{20}, good_bytes.size() / 2, good_bytes.size() - 1}) {
    expect_older_loaded(good_bytes.substr(0, keep));
  }
}

TEST_F(SnapshotRefusal, ForeignNewerAndMisnamedFilesAreRefused) {
  // Another stream's snapshot under this stream's name.
  logic_center foreign;
  random_store(13).fill(foreign, 100);
  ASSERT_TRUE(snapshot::save_store(foreign, dir, "OTHER", 9).ok);
  expect_older_loaded(read(snapshot::file_name("OTHER", 9)));
  EXPECT_TRUE(exists(snapshot::file_name("OTHER", 9))) << "another stream's files stay";

  // A format this build does not know (the version follows the 8-byte magic).
  std::string future = good_bytes;
  future[8] = static_cast<char>(snapshot::format_version + 1);
  expect_older_loaded(future);
  expect_older_loaded(with_checksum(future));

  // A file renamed to a sequence it does not hold.
  expect_older_loaded(read(snapshot::file_name(stream, 5)));
}

TEST_F(SnapshotRefusal, AWellSummedButMalformedFileLeavesTheStoreEmptyAndIsRefused) {
  // Sections that announce more than they hold, written with a good checksum.
  const std::vector<snapshot::section_writer> broken = {
      {1,
       [](snapshot::byte_writer& out) {
         out.varint(3);
         out.varint(1);
       }},
      {2, [](snapshot::byte_writer& out) { out.varint(0); }},
      {3, [](snapshot::byte_writer& out) { out.varint(0); }},
      {4, [](snapshot::byte_writer& out) { out.varint(0); }},
  };
  ASSERT_TRUE(snapshot::write_file(dir, stream, 9, broken).ok);
  logic_center loaded;
  const snapshot::load_result result = snapshot::load_newest(dir, stream, loaded);
  ASSERT_TRUE(result.loaded);
  EXPECT_EQ(result.sequence, 5u);
  expect_same_store(loaded, older);

  // With no usable file at all, nothing is loaded and the store stays empty.
  ::unlink((dir + "/" + snapshot::file_name(stream, 5)).c_str());
  logic_center untouched;
  EXPECT_FALSE(snapshot::load_newest(dir, stream, untouched).loaded);
  EXPECT_EQ(untouched.member_count(), 0u);
  EXPECT_EQ(untouched.feed_count(), 0u);
  EXPECT_TRUE(untouched.public_ids().empty());
}

// ---- the directory ----

TEST_F(SnapshotDir, TheTwoNewestAreKeptAndOtherFilesLeftAlone) {
  logic_center store;
  random_store(5).fill(store, 200);
  touch("notes.txt");
  touch(snapshot::file_name("OTHER", 1));
  touch(stream + "-12.snap");                      // not 20 digits: not ours
  touch(snapshot::file_name(stream, 2) + ".tmp");  // a writer that died
  for (uint64_t sequence : {3u, 1u, 7u, 5u}) {
    ASSERT_TRUE(snapshot::save_store(store, dir, stream, sequence).ok);
  }
  EXPECT_EQ(names(), (std::vector<std::string>{snapshot::file_name(stream, 7),
                                               snapshot::file_name(stream, 5)}));
  EXPECT_TRUE(exists("notes.txt"));
  EXPECT_TRUE(exists(snapshot::file_name("OTHER", 1)));
  EXPECT_TRUE(exists(stream + "-12.snap"));
  EXPECT_FALSE(exists(snapshot::file_name(stream, 2) + ".tmp"));
  EXPECT_EQ(snapshot::file_name(stream, 42), "NORVEL-00000000000000000042.snap");
}

// The file size limit makes every write past it fail as a full disk would (EFBIG instead of
// ENOSPC), in this process and in the forked writer alike.
class file_size_limit {
 public:
  explicit file_size_limit(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &previous);
    previous_handler = ::signal(SIGXFSZ, SIG_IGN);
    rlimit limited = previous;
    limited.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &limited);
  }
  ~file_size_limit() {
    ::setrlimit(RLIMIT_FSIZE, &previous);
    ::signal(SIGXFSZ, previous_handler);
  }

 private:
  rlimit previous{};
  void (*previous_handler)(int) = nullptr;
};

TEST_F(SnapshotDir, AWriteThatRunsOutOfRoomKeepsTheEarlierSnapshots) {
  logic_center small;
  random_store(6).fill(small, 50);
  ASSERT_TRUE(snapshot::save_store(small, dir, stream, 1).ok);
  logic_center large;
  random_store(7).fill(large, 5000);
  snapshot::write_outcome outcome;
  {
    const file_size_limit limit(4096);
    outcome = snapshot::save_store(large, dir, stream, 2);
  }
  EXPECT_FALSE(outcome.ok);
  EXPECT_NE(outcome.error.find("cannot write"), std::string::npos) << outcome.error;
  EXPECT_EQ(names(), std::vector<std::string>{snapshot::file_name(stream, 1)});
  EXPECT_FALSE(exists(snapshot::file_name(stream, 2) + ".tmp"));
  logic_center loaded;
  ASSERT_TRUE(snapshot::load_newest(dir, stream, loaded).loaded);
  expect_same_store(loaded, small);
}

// ---- the taker ----

// Stands in for the stream consumer: counts pauses and resumes and reports `applied` at rest.
class fake_gate : public snapshot::apply_gate {
 public:
  explicit fake_gate(boost::asio::io_context& context) : io(context) {}
  void pause(std::function<void(uint64_t)> at_rest) override {
    EXPECT_FALSE(paused) << "paused twice";
    paused = true;
    ++pauses;
    boost::asio::post(io, [this, at_rest] { at_rest(applied); });
  }
  void resume() override {
    EXPECT_TRUE(paused) << "resumed without a pause";
    paused = false;
  }

  boost::asio::io_context& io;
  uint64_t applied = 0;
  bool paused = false;
  int pauses = 0;
};

class SnapshotTaker : public SnapshotDir {
 protected:
  // Runs the loop until the taker is idle again.
  void settle(snapshot::snapshot_taker& taker) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    do {
      io.run_for(std::chrono::milliseconds(20));
      io.restart();
    } while (taker.busy() && std::chrono::steady_clock::now() < deadline);
    ASSERT_FALSE(taker.busy());
  }
  void expect_loads_as(uint64_t sequence, logic_center& original) {
    logic_center loaded;
    const snapshot::load_result result = snapshot::load_newest(dir, stream, loaded);
    ASSERT_TRUE(result.loaded);
    EXPECT_EQ(result.sequence, sequence);
    expect_same_store(loaded, original);
  }

  boost::asio::io_context io;
  fake_gate gate{io};
};

TEST_F(SnapshotTaker, ForksAWriterAtRestOnRequestOnSignalAndAtTheStop) {
  logic_center store;
  store.start_workers();  // threads running beside the fork, as in the daemon
  random_store seeded(8);
  seeded.fill(store, 1000);
  const metrics::snapshot_figures& figures = metrics::global().snapshots;
  const uint64_t written_before = figures.written.load();
  snapshot::snapshot_taker taker(io, store, gate, {dir, stream, std::chrono::seconds(0)},
                                 metrics::global().snapshots);
  taker.start();

  gate.applied = 3;
  taker.take();
  settle(taker);
  expect_loads_as(3, store);
  EXPECT_EQ(figures.written.load(), written_before + 1);

  // Nothing applied since: no new file.
  taker.take();
  settle(taker);
  EXPECT_EQ(names(), std::vector<std::string>{snapshot::file_name(stream, 3)});

  seeded.fill(store, 500);
  gate.applied = 8;
  ::raise(SIGUSR1);
  ASSERT_TRUE([&] {
    for (int i = 0; i < 300 && gate.pauses < 3; ++i) {
      io.run_for(std::chrono::milliseconds(20));
      io.restart();
    }
    return gate.pauses == 3;
  }());
  settle(taker);
  expect_loads_as(8, store);

  seeded.fill(store, 500);
  EXPECT_TRUE(taker.write_here(12));
  expect_loads_as(12, store);
  EXPECT_EQ(names(), (std::vector<std::string>{snapshot::file_name(stream, 12),
                                               snapshot::file_name(stream, 8)}));
  EXPECT_FALSE(gate.paused);
}

TEST_F(SnapshotTaker, ARequestWhileAWriterRunsIsTakenWhenItEnds) {
  logic_center store;
  random_store seeded(11);
  seeded.fill(store, 300);
  snapshot::snapshot_taker taker(io, store, gate, {dir, stream, std::chrono::seconds(0)},
                                 metrics::global().snapshots);
  taker.start();
  gate.applied = 4;
  taker.take();
  while (gate.pauses == 0 || gate.paused) {  // until the writer is forked and changes flow
    io.run_one();
  }
  ASSERT_TRUE(taker.busy());

  // Applied after the fork, so not in the file being written: a request now must not be
  // swallowed by the writer under way.
  seeded.fill(store, 300);
  gate.applied = 9;
  taker.take();
  settle(taker);
  EXPECT_EQ(gate.pauses, 2);
  expect_loads_as(9, store);
}

TEST_F(SnapshotTaker, AWriterThatRunsOutOfRoomIsCountedAndTheNodeRunsOn) {
  logic_center store;
  random_store(9).fill(store, 50);
  snapshot::snapshot_taker taker(io, store, gate, {dir, stream, std::chrono::seconds(0)},
                                 metrics::global().snapshots);
  taker.start();
  gate.applied = 1;
  taker.take();
  settle(taker);
  const uint64_t failed_before = metrics::global().snapshots.failed.load();

  random_store(10).fill(store, 5000);
  gate.applied = 2;
  {
    const file_size_limit limit(4096);  // the child inherits it
    taker.take();
    settle(taker);
  }
  EXPECT_EQ(metrics::global().snapshots.failed.load(), failed_before + 1);
  EXPECT_EQ(names(), std::vector<std::string>{snapshot::file_name(stream, 1)});
  EXPECT_FALSE(gate.paused) << "changes flow again";

  taker.take();  // room again: the next one is written
  settle(taker);
  expect_loads_as(2, store);
}

}  // namespace
