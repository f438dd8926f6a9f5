// The built daemon's snapshots on a real stream: a node killed with SIGKILL starts again from its
// newest snapshot and replays what the stream got meanwhile before it answers, so its first
// answers are caught up; a stop writes a snapshot of everything applied; a damaged newest file is
// refused and the older one, with a longer replay, gives the same answers. SIGUSR1 writes one;
// a full disk fails the write, keeps the previous snapshot and the node serving. A stop that
// comes while a snapshot pauses the changes, or while inviter changes wait for the event loop,
// ends at once and still writes a snapshot of exactly what was applied.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "change_requests.h"
#include "eventually.h"
#include "foreground_daemon.h"
#include "jetstream_cluster.h"
#include "replica_node.h"
#include "snapshot/snapshot_file.h"
#include "stream/jetstream.h"
#include "stream_model.h"
#include "stream_publisher.h"
#include "test_db.h"

namespace {

using requests::fetch_invitees;
using requests::fetch_pri;
using requests::fetch_self;
using requests::ids_reply;
using requests::inviter_add;
using requests::special_add;
using requests::specials_reply;

class SnapshotDaemon : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { db = std::make_unique<test_db>("e2e_snapshot"); }
  static void TearDownTestSuite() { db.reset(); }

  static std::unique_ptr<test_db> db;
  temp_dir dir;
};

std::unique_ptr<test_db> SnapshotDaemon::db;

std::vector<snapshot::found_file> snapshots_of(const replica_node& node) {
  return snapshot::list_files(node.snapshot_dir(), "NORVEL");
}

TEST_F(SnapshotDaemon, RestartsFromItsSnapshotCaughtUpAndRefusesADamagedOneForTheOlder) {
  jetstream_cluster servers(1);
  stream_publisher changes(servers);
  replica_node node("n1", dir.path(), db->config_json(), servers.servers_json(),
                    ",\"snapshot_interval_s\":1");
  node.start();
  ASSERT_TRUE(node.wait_serving()) << node.output();

  changes.publish(R"({"act":"follow","op":"add","params":{"user_id":31,"friends":[32]}})");
  changes.publish(special_add(31, 301));
  const std::uint64_t third = changes.publish(special_add(31, 302));
  ASSERT_TRUE(eventually([&] { return node.ask(fetch_self(31)) == specials_reply("302,301"); }));
  // A periodic snapshot holds them all.
  ASSERT_TRUE(eventually([&] {
    const auto found = snapshots_of(node);
    return !found.empty() && found.front().sequence >= third;
  }));

  // Killed: no snapshot at the stop. Changes arrive while it is down.
  EXPECT_EQ(node.stop(SIGKILL), 128 + SIGKILL);
  changes.publish(special_add(31, 303));
  const std::uint64_t last = changes.publish(special_add(31, 304));
  node.start();
  ASSERT_TRUE(node.wait_serving()) << node.output();
  EXPECT_EQ(node.ask(fetch_self(31)), specials_reply("304,303,302,301")) << "caught up at once";
  EXPECT_EQ(node.ask(fetch_pri(32)), specials_reply("304,303,302,301"));

  // A clean stop writes what was applied; two files are kept.
  EXPECT_EQ(node.stop(SIGTERM), 0) << node.output();
  std::vector<snapshot::found_file> found = snapshots_of(node);
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found.front().sequence, last);
  EXPECT_LT(found.back().sequence, last);

  // The newest damaged: refused, the older one loaded and the rest replayed.
  {
    std::fstream file(found.front().path, std::ios::in | std::ios::out | std::ios::binary);
    file.seekg(40);
    const char byte = static_cast<char>(file.get() ^ 0x20);
    file.seekp(40);
    file.put(byte);
  }
  node.start();
  ASSERT_TRUE(node.wait_serving()) << node.output();
  EXPECT_EQ(node.ask(fetch_self(31)), specials_reply("304,303,302,301"));
  EXPECT_EQ(node.ask(fetch_pri(32)), specials_reply("304,303,302,301"));
  EXPECT_EQ(node.stop(SIGTERM), 0) << node.output();
}

std::string file_text(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream content;
  content << file.rdbuf();
  return content.str();
}

// A small tmpfs mounted over `dir` for the test's life (the test runs in a mount namespace of its
// own), so the disk can be filled for real.
class small_disk {
 public:
  explicit small_disk(const std::string& where) : dir(where) {
    mounted = ::mount("tmpfs", dir.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=256k") == 0;
    if (!mounted) {
      why = std::strerror(errno);
    }
  }
  ~small_disk() {
    if (mounted) {
      ::umount2(dir.c_str(), MNT_DETACH);
    }
  }
  small_disk(const small_disk&) = delete;
  small_disk& operator=(const small_disk&) = delete;

  bool ready() const { return mounted; }
  const std::string& failure() const { return why; }
  // Writes a filler file until the disk takes nothing more.
  void fill() {
    std::ofstream filler(dir + "/filler", std::ios::binary);
    const std::string block(4096, 'x');
    while (filler.write(block.data(), static_cast<std::streamsize>(block.size())) &&
           filler.flush()) {
    }
  }
  void make_room() { ::unlink((dir + "/filler").c_str()); }

 private:
  std::string dir;
  bool mounted = false;
  std::string why;
};

TEST_F(SnapshotDaemon, SignalWritesOneAndAFullDiskKeepsThePreviousOneAndTheNodeServing) {
  jetstream_cluster servers(1);
  stream_publisher changes(servers);
  replica_node node("n1", dir.path(), db->config_json(), servers.servers_json(),
                    ",\"snapshot_interval_s\":0");
  small_disk disk(node.snapshot_dir());
  if (!disk.ready()) {
    GTEST_SKIP() << "cannot mount a tmpfs for the snapshots: " << disk.failure();
  }
  node.start();
  ASSERT_TRUE(node.wait_serving()) << node.output();

  // SIGUSR1: a snapshot of what is applied, while the node runs.
  changes.publish(special_add(41, 401));
  const std::uint64_t first = changes.publish(special_add(41, 402));
  ASSERT_TRUE(eventually([&] { return node.ask(fetch_self(41)) == specials_reply("402,401"); }));
  node.send_signal(SIGUSR1);
  ASSERT_TRUE(eventually([&] {
    const auto found = snapshots_of(node);
    return !found.empty() && found.front().sequence == first;
  })) << node.event_log();
  const std::string kept_path = snapshots_of(node).front().path;
  const std::string kept = file_text(kept_path);
  const std::size_t files = snapshots_of(node).size();  // with the one written at the start

  // The disk is full: the next one fails, the previous one stays whole, the node serves on.
  disk.fill();
  const std::uint64_t last = changes.publish(special_add(41, 403));
  ASSERT_TRUE(
      eventually([&] { return node.ask(fetch_self(41)) == specials_reply("403,402,401"); }));
  node.send_signal(SIGUSR1);
  ASSERT_TRUE(eventually([&] { return node.event_log().find("not written") != std::string::npos; }))
      << node.event_log();
  EXPECT_TRUE(node.running());
  EXPECT_EQ(node.ask(fetch_pri(41)), specials_reply("403,402,401"));
  ASSERT_EQ(snapshots_of(node).size(), files);
  EXPECT_EQ(snapshots_of(node).front().path, kept_path);
  EXPECT_EQ(file_text(kept_path), kept);

  // Killed, with room again: it starts from the kept snapshot and replays the rest; a signal
  // then writes the newest.
  EXPECT_EQ(node.stop(SIGKILL), 128 + SIGKILL);
  disk.make_room();
  node.start();
  ASSERT_TRUE(node.wait_serving()) << node.output();
  EXPECT_EQ(node.ask(fetch_self(41)), specials_reply("403,402,401"));
  node.send_signal(SIGUSR1);
  EXPECT_TRUE(eventually([&] {
    const auto found = snapshots_of(node);
    return !found.empty() && found.front().sequence == last;
  })) << node.event_log();
  EXPECT_EQ(node.stop(SIGTERM), 0) << node.output();
}

// A stop while changes flow, right after SIGUSR1: the snapshot's pause may be waiting for the
// changes in flight, and inviter changes may be posted to the event loop as it ends. Neither
// may hold the stop, and the stop's snapshot must hold exactly what was applied: the node
// started from it and replaying the rest answers as the stream's order says.
TEST_F(SnapshotDaemon, AStopDuringASnapshotPauseOrBehindInviterChangesEndsWithItsSnapshot) {
  jetstream_cluster servers(1);
  stream_publisher changes(servers);
  replica_node node("n1", dir.path(), db->config_json(), servers.servers_json(),
                    ",\"snapshot_interval_s\":0");
  constexpr unsigned long inviters = 7;
  constexpr unsigned long owners = 13;
  std::vector<std::vector<unsigned long>> invitees(inviters + 1);
  unsigned long next_member = 1000;
  for (int round = 0; round < 4; ++round) {
    node.start();
    ASSERT_TRUE(node.wait_serving()) << node.output();
    std::atomic<int> published{0};
    std::thread flood([&] {
      for (int i = 0; i < 400; ++i) {
        const unsigned long member = next_member++;
        invitees[1 + member % inviters].push_back(member);
        changes.publish(inviter_add(member, 1 + member % inviters));
        changes.publish(special_add(1 + member % owners, member));
        published.fetch_add(1);
      }
    });
    EXPECT_TRUE(eventually([&] { return published.load() >= 100 + 50 * round; }));
    node.send_signal(SIGUSR1);
    const int status = node.stop(SIGTERM);
    flood.join();
    ASSERT_EQ(status, 0) << "round " << round << "\n" << node.output() << node.event_log();
    EXPECT_EQ(node.event_log().find("no snapshot at the stop"), std::string::npos)
        << node.event_log();
    ASSERT_FALSE(snapshots_of(node).empty());
  }
  node.start();
  ASSERT_TRUE(node.wait_serving()) << node.output();
  for (unsigned long inviter = 1; inviter <= inviters; ++inviter) {
    EXPECT_EQ(node.ask(fetch_invitees(inviter)), ids_reply("invitees", invitees[inviter]));
  }
  EXPECT_EQ(every_answer(node, owners), every_answer(model_of_stream(servers), owners));
  EXPECT_EQ(node.stop(SIGTERM), 0) << node.output();
}

}  // namespace
