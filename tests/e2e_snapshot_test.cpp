// The built daemon's snapshots on a real stream: a node killed with SIGKILL starts again from its
// newest snapshot and replays what the stream got meanwhile before it answers, so its first
// answers are caught up; a stop writes a snapshot of everything applied; a damaged newest file is
// refused and the older one, with a longer replay, gives the same answers.
#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "eventually.h"
#include "foreground_daemon.h"
#include "jetstream_cluster.h"
#include "replica_node.h"
#include "snapshot/snapshot_file.h"
#include "stream/jetstream.h"
#include "test_db.h"

namespace {

class SnapshotDaemon : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { db = std::make_unique<test_db>("e2e_snapshot"); }
  static void TearDownTestSuite() { db.reset(); }

  static std::unique_ptr<test_db> db;
  temp_dir dir;
};

std::unique_ptr<test_db> SnapshotDaemon::db;

// Publishes changes to the stream as another node would.
class publisher {
 public:
  explicit publisher(const jetstream_cluster& servers) {
    stream_settings settings;
    settings.servers = servers.urls();
    settings.node = "test";
    stream = std::make_unique<jetstream>(settings);
    stream->ensure_stream();
  }
  std::uint64_t publish(const std::string& body) {
    const publish_outcome outcome = stream->publish(
        "norvel.mut.x", body, "snap-" + std::to_string(++counter), std::chrono::milliseconds(5000));
    EXPECT_TRUE(outcome.ok) << outcome.error;
    return outcome.seq;
  }

 private:
  std::unique_ptr<jetstream> stream;
  int counter = 0;
};

std::string special_add(unsigned long user, unsigned long spid) {
  return R"({"act":"special","op":"add","params":{"user_id":)" + std::to_string(user) +
         R"(,"specials":[{"spid":)" + std::to_string(spid) + R"(,"type":0}]}})";
}
std::string fetch_self(unsigned long user) {
  return R"({"act":"special","op":"fetch_self","params":{"user_id":)" + std::to_string(user) +
         R"(,"special_id":-1,"count":100,"type":1}})";
}
std::string fetch_pri(unsigned long user) {
  return R"({"act":"special","op":"fetch_pri","params":{"user_id":)" + std::to_string(user) +
         R"(,"special_id":-1,"count":100,"type":1}})";
}
std::string specials(const std::string& ids) {
  return R"({"code":200,"data":{"specials":[)" + ids + "]}}\n";
}

std::vector<snapshot::found_file> snapshots_of(const replica_node& node) {
  return snapshot::list_files(node.snapshot_dir(), "NORVEL");
}

TEST_F(SnapshotDaemon, RestartsFromItsSnapshotCaughtUpAndRefusesADamagedOneForTheOlder) {
  jetstream_cluster servers(1);
  publisher changes(servers);
  replica_node node("n1", dir.path(), db->config_json(), servers.servers_json(),
                    ",\"snapshot_interval_s\":1");
  node.start();
  ASSERT_TRUE(node.wait_serving()) << node.output();

  changes.publish(R"({"act":"follow","op":"add","params":{"user_id":31,"friends":[32]}})");
  changes.publish(special_add(31, 301));
  const std::uint64_t third = changes.publish(special_add(31, 302));
  ASSERT_TRUE(eventually([&] { return node.ask(fetch_self(31)) == specials("302,301"); }));
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
  EXPECT_EQ(node.ask(fetch_self(31)), specials("304,303,302,301")) << "caught up at once";
  EXPECT_EQ(node.ask(fetch_pri(32)), specials("304,303,302,301"));

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
  EXPECT_EQ(node.ask(fetch_self(31)), specials("304,303,302,301"));
  EXPECT_EQ(node.ask(fetch_pri(32)), specials("304,303,302,301"));
  EXPECT_EQ(node.stop(SIGTERM), 0) << node.output();
}

}  // namespace
