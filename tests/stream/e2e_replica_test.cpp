// Two norvel nodes on a three-server stream cluster, each with its own port, log and snapshot
// directory: a random workload through both front doors (members that share special ids, so
// changes of different members meet), then every node answers every fetch for every member
// identically, and as a model store that applied the acknowledged changes in the stream's order.
// Faults: the stream's leader stopped mid-run; a node killed with SIGKILL and started again from
// its snapshot, whose first answers are already caught up; a new node started from a copy of a
// peer's snapshot. And on one node and one server: a follow change survives a restart, and a
// change published twice under one message id is applied once.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "change_requests.h"
#include "daemon_runner.h"
#include "eventually.h"
#include "foreground_daemon.h"
#include "jetstream_cluster.h"
#include "replica_node.h"
#include "store_model.h"
#include "stream/jetstream.h"
#include "stream_model.h"
#include "test_db.h"

namespace {

using requests::follow_change;
using requests::special_change;

const char* const accepted = "{\"code\":200,\"data\":null}\n";

// The newest snapshot file in `dir` (names sort by sequence), or "" when there is none.
std::string newest_snapshot(const std::string& dir) {
  std::string newest;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    if (entry.path().extension() == ".snap" && entry.path().string() > newest) {
      newest = entry.path().string();
    }
  }
  return newest;
}

class ReplicaSite : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { db = std::make_unique<test_db>("e2e_replica"); }
  static void TearDownTestSuite() { db.reset(); }

  std::string random_change() { return requests::random_change(random, members); }

  static std::unique_ptr<test_db> db;
  temp_dir dir;
  std::mt19937_64 random{20261207};
  const unsigned long members = 12;
};

std::unique_ptr<test_db> ReplicaSite::db;

TEST_F(ReplicaSite, TwoFrontDoorsThroughALeaderChangeAndAKilledNodeEndEqualToTheStreamsOrder) {
  jetstream_cluster servers(3);
  replica_node a("a", dir.path(), db->config_json(), servers.servers_json(),
                 ",\"replicas\":3,\"snapshot_interval_s\":1");
  replica_node b("b", dir.path(), db->config_json(), servers.servers_json(),
                 ",\"replicas\":3,\"snapshot_interval_s\":1");
  a.start();
  ASSERT_TRUE(a.wait_serving()) << a.output();
  b.start();
  ASSERT_TRUE(b.wait_serving()) << b.output();

  // Pipelined through the front doors of `nodes`, one connection each, in turn.
  auto run_batch = [&](std::vector<replica_node*> nodes, int count,
                       std::set<std::string>& acknowledged) {
    std::vector<std::string> changes;
    for (int i = 0; i < count; ++i) {
      changes.push_back(random_change());
    }
    const std::vector<std::string> replies = pipelined_through(nodes, changes);
    int failed = 0;
    for (std::size_t i = 0; i < changes.size(); ++i) {
      if (replies[i] == accepted) {
        acknowledged.insert(changes[i]);
      } else {
        EXPECT_EQ(replies[i], "{\"code\":0}\n");
        ++failed;
      }
    }
    return failed;
  };
  std::set<std::string> acknowledged;
  EXPECT_EQ(run_batch({&a, &b}, 400, acknowledged), 0);

  // The stream's leader goes away mid-run: publishes fail or wait for the election.
  const int leader = servers.leader_of("NORVEL");
  ASSERT_GE(leader, 0);
  servers.stop(leader);
  run_batch({&a, &b}, 200, acknowledged);

  // Node b dies without a word, once it has a snapshot, and comes back from it.
  const std::string first_snapshot = newest_snapshot(b.snapshot_dir());
  ASSERT_TRUE(eventually([&] { return newest_snapshot(b.snapshot_dir()) > first_snapshot; }))
      << b.output();
  run_batch({&a, &b}, 100, acknowledged);
  EXPECT_EQ(b.stop(SIGKILL), 128 + SIGKILL);
  EXPECT_TRUE(eventually([&] { return run_batch({&a}, 100, acknowledged) == 0; },
                         std::chrono::seconds(30)));
  servers.start(leader);
  b.start();
  ASSERT_TRUE(b.wait_serving()) << b.output();

  // Quiescence: a is caught up once the stream's last change shows on it; b answered first
  // only once caught up, and the later changes came after.
  std::set<std::string> stored;
  const store_model model = model_of_stream(servers, &stored);
  const std::string expected = every_answer(model, members);
  EXPECT_EQ(every_answer(b, members), expected) << "b's first answers after its restart\n"
                                                << b.output() << b.event_log();
  EXPECT_TRUE(eventually([&] { return every_answer(a, members) == expected; }))
      << every_answer(a, members) << "\nexpected\n"
      << expected;
  // Every acknowledged change is in the stream, which both nodes applied in its order.
  for (const std::string& change : acknowledged) {
    EXPECT_EQ(stored.count(change), 1u) << change;
  }

  // A new node from a copy of a's newest snapshot equals a.
  replica_node c("c", dir.path(), db->config_json(), servers.servers_json(), ",\"replicas\":3");
  const std::filesystem::path newest = newest_snapshot(a.snapshot_dir());
  ASSERT_FALSE(newest.empty()) << "a wrote no snapshot";
  std::filesystem::copy_file(newest, std::filesystem::path(c.snapshot_dir()) / newest.filename());
  c.start();
  ASSERT_TRUE(c.wait_serving()) << c.output();
  EXPECT_EQ(every_answer(c, members), expected);
  EXPECT_EQ(a.stop(SIGTERM), 0);
  EXPECT_EQ(b.stop(SIGTERM), 0);
  EXPECT_EQ(c.stop(SIGTERM), 0);
}

// A node that starts while the stream servers have no leader (two of three down) waits for one
// instead of giving up after the first lookup's timeout, and then creates its stream.
TEST_F(ReplicaSite, ANodeStartedWhileTheServersHaveNoLeaderWaitsForOne) {
  jetstream_cluster servers(3);
  servers.stop(1);
  servers.stop(2);
  replica_node node("n", dir.path(), db->config_json(), servers.servers_json(),
                    ",\"replicas\":3,\"connect_timeout_s\":40");
  node.start();
  // Longer than one lookup may wait for its answer.
  std::this_thread::sleep_for(std::chrono::seconds(7));
  EXPECT_TRUE(node.running()) << node.output();
  servers.start(1);
  servers.start(2);
  ASSERT_TRUE(node.wait_serving()) << node.output();
  EXPECT_EQ(node.stop(SIGTERM), 0);
}

TEST_F(ReplicaSite, OneNodeKeepsAFollowChangeAcrossARestartAndAppliesAMessageIdOnce) {
  jetstream_cluster servers(1);
  replica_node node("n", dir.path(), db->config_json(), servers.servers_json());
  node.start();
  ASSERT_TRUE(node.wait_serving()) << node.output();
  EXPECT_EQ(node.ask(follow_change(true, 3, {4})), accepted);
  EXPECT_EQ(node.ask(special_change(true, 3, {special(77, 3, 0)})), accepted);
  EXPECT_EQ(node.stop(SIGTERM), 0) << node.output();
  node.start();
  ASSERT_TRUE(node.wait_serving()) << node.output();
  EXPECT_EQ(node.ask(R"({"act":"follow","op":"fetch","params":{"user_id":3}})"),
            "{\"code\":200,\"data\":{\"follows\":[4]}}\n");
  EXPECT_EQ(
      node.ask(
          R"({"act":"special","op":"fetch_pri","params":{"user_id":4,"special_id":-1,"count":10,"type":1}})"),
      "{\"code\":200,\"data\":{\"specials\":[77]}}\n");

  // add 88 (id x), del 88, add 88 again under id x: the stream keeps the first only.
  stream_settings settings;
  settings.servers = servers.urls();
  settings.node = "t";
  jetstream stream(settings);
  const auto wait = std::chrono::milliseconds(5000);
  ASSERT_TRUE(
      stream.publish("norvel.mut.t", special_change(true, 5, {special(88, 5, 0)}), "t-x", wait).ok);
  ASSERT_TRUE(
      stream.publish("norvel.mut.t", special_change(false, 5, {special(88, 5, 0)}), "t-y", wait)
          .ok);
  const publish_outcome again =
      stream.publish("norvel.mut.t", special_change(true, 5, {special(88, 5, 0)}), "t-x", wait);
  ASSERT_TRUE(again.ok);
  EXPECT_TRUE(again.duplicate);
  ASSERT_TRUE(
      stream.publish("norvel.mut.t", special_change(true, 5, {special(89, 5, 0)}), "t-z", wait).ok);
  const std::string self5 =
      R"({"act":"special","op":"fetch_self","params":{"user_id":5,"special_id":-1,"count":10,"type":1}})";
  EXPECT_TRUE(eventually([&] {
    return node.ask(self5) == "{\"code\":200,\"data\":{\"specials\":[89]}}\n";
  })) << node.ask(self5);
  EXPECT_EQ(node.stop(SIGTERM), 0);
}

// norvel-cli over two nodes: a member's requests go to one node, the client reads its own
// writes through min_seq, and a node that is gone is left for the other.
TEST_F(ReplicaSite, ClientSpreadsMembersOverNodesReadsItsWritesAndFailsOver) {
  jetstream_cluster servers(1);
  replica_node a("a", dir.path(), db->config_json(), servers.servers_json(), ",\"reply_seq\":true");
  replica_node b("b", dir.path(), db->config_json(), servers.servers_json(), ",\"reply_seq\":true");
  a.start();
  ASSERT_TRUE(a.wait_serving()) << a.output();
  b.start();
  ASSERT_TRUE(b.wait_serving()) << b.output();
  const std::string site =
      "127.0.0.1:" + std::to_string(a.port()) + ",127.0.0.1:" + std::to_string(b.port());
  std::string lines;
  for (unsigned long user = 1; user <= 6; ++user) {
    lines += special_change(true, user, {special(300 + user, user, 0)}) + "\n";
    lines += R"({"act":"special","op":"fetch_self","params":{"user_id":)" + std::to_string(user) +
             R"(,"special_id":-1,"count":5,"type":1}})"
             "\n";
  }
  const std::string input = dir.write("requests.txt", lines);
  const command_result run = run_command("/bin/sh",
                                         {"-c", "'" NORVEL_BINARY_DIR "/norvel-cli' --servers " +
                                                    site + " --wait-writes < '" + input + "'"},
                                         dir.path(), std::chrono::seconds(60));
  EXPECT_EQ(run.exit_status, 0) << run.err;
  for (unsigned long user = 1; user <= 6; ++user) {
    EXPECT_NE(
        run.out.find("{\"code\":200,\"data\":{\"specials\":[" + std::to_string(300 + user) + "]}}"),
        std::string::npos)
        << run.out;
  }
  EXPECT_EQ(a.stop(SIGTERM), 0);
  const command_result failover = run_command(
      NORVEL_BINARY_DIR "/norvel-cli",
      {"--servers", site,
       R"({"act":"special","op":"fetch_self","params":{"user_id":2,"special_id":-1,"count":5,"type":1}})"},
      dir.path());
  EXPECT_EQ(failover.exit_status, 0) << failover.err;
  EXPECT_EQ(failover.out, "{\"code\":200,\"data\":{\"specials\":[302]}}\n");
  EXPECT_EQ(b.stop(SIGTERM), 0);
}

}  // namespace
