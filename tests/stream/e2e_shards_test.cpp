// A sharded site on one stream answers every read as one full node does. Two shards of two nodes
// each and a full node on a three-server stream cluster take a random workload through every front
// door (members sharing special ids, follow churn); then every read of every member, asked of
// every node, local or forwarded, equals the full node's answer. A node of one shard is killed
// mid-run: the other shard's reads of its members fail over to its peer, and the killed node
// comes back from its snapshot caught up. The same with caps on the lists. With no node of a shard
// left, its members' reads are answered {"code":0} in bounded time. And growth: a one-shard node's
// snapshot starts both shards of a layout of two, which replay the rest and answer as the full
// node.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <json/json.h>

#include "change_requests.h"
#include "daemon_runner.h"
#include "eventually.h"
#include "jetstream_cluster.h"
#include "replica_node.h"
#include "store/shard_layout.h"
#include "stream_model.h"
#include "test_db.h"

namespace {

const char* const failed = "{\"code\":0}\n";

std::string shards_member(unsigned count, unsigned index) {
  return ",\"shards\":{\"count\":" + std::to_string(count) + ",\"index\":" + std::to_string(index) +
         "}";
}

class ShardedSite : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { db = std::make_unique<test_db>("e2e_shards"); }
  static void TearDownTestSuite() { db.reset(); }

  // Mostly specials, with more follow churn than the replica tests' mix.
  std::string random_change() {
    if (std::uniform_int_distribution<int>(0, 3)(random) == 0) {
      std::vector<unsigned long> friends;
      for (int n = std::uniform_int_distribution<int>(1, 4)(random); n > 0; --n) {
        friends.push_back(std::uniform_int_distribution<unsigned long>(1, members)(random));
      }
      const unsigned long user = std::uniform_int_distribution<unsigned long>(1, members)(random);
      return requests::follow_change(std::uniform_int_distribution<int>(0, 2)(random) != 0, user,
                                     friends);
    }
    return requests::random_change(random, members);
  }

  // `count` changes pipelined through the front doors of `nodes` in turn; answers how many failed.
  int run_batch(const std::vector<replica_node*>& nodes, int count) {
    std::vector<std::string> changes;
    for (int i = 0; i < count; ++i) {
      changes.push_back(random_change());
    }
    int failures = 0;
    for (const std::string& reply : pipelined_through(nodes, changes)) {
      failures += reply == failed ? 1 : 0;
    }
    return failures;
  }

  // Every node answers every read as `full` does (the full node caught up first: the stream's
  // last change shows on it once its answers stop moving).
  ::testing::AssertionResult all_answer_as(const replica_node& full,
                                           const std::vector<replica_node*>& nodes) {
    std::string expected;
    std::string differing;
    const bool same = eventually(
        [&] {
          expected = every_answer(full, members);
          for (replica_node* node : nodes) {
            if (every_answer(*node, members) != expected) {
              differing = node->output();
              return false;
            }
          }
          return true;
        },
        std::chrono::seconds(45));
    if (same) {
      return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "a node differs from the full node:\n" << differing;
  }

  // A member of shard `index` of 2, among 1..members.
  unsigned long member_of(unsigned index) const {
    for (unsigned long member = 1; member <= members; ++member) {
      if ((shard_layout{1024, 2, 0}).shard_of(member) == index) {
        return member;
      }
    }
    return 0;
  }

  static std::unique_ptr<test_db> db;
  temp_dir dir;
  std::mt19937_64 random{20261208};
  const unsigned long members = 24;
};

std::unique_ptr<test_db> ShardedSite::db;

TEST_F(ShardedSite, EveryNodeAnswersAsTheFullNodeThroughAKilledShardNode) {
  jetstream_cluster servers(3);
  const std::string common = ",\"replicas\":3,\"snapshot_interval_s\":1";
  replica_node full("full", dir.path(), db->config_json(), servers.servers_json(), common);
  std::vector<std::unique_ptr<replica_node>> shard_nodes;
  for (const char* name : {"s0a", "s0b", "s1a", "s1b"}) {
    const unsigned index = name[1] == '0' ? 0 : 1;
    shard_nodes.push_back(std::make_unique<replica_node>(name, dir.path(), db->config_json(),
                                                         servers.servers_json(),
                                                         common + shards_member(2, index)));
  }
  replica_node& s0a = *shard_nodes[0];
  replica_node& s0b = *shard_nodes[1];
  replica_node& s1a = *shard_nodes[2];
  replica_node& s1b = *shard_nodes[3];
  full.start();
  ASSERT_TRUE(full.wait_serving()) << full.output();
  for (auto& node : shard_nodes) {
    node->start();
    ASSERT_TRUE(node->wait_serving()) << node->output();
  }
  std::vector<replica_node*> everyone = {&full, &s0a, &s0b, &s1a, &s1b};
  EXPECT_EQ(run_batch(everyone, 400), 0);
  EXPECT_TRUE(all_answer_as(full, {&s0a, &s0b, &s1a, &s1b}));

  // The map: both shards with both nodes; a full node's map is of one shard.
  EXPECT_TRUE(eventually([&] {
    Json::Value map;
    Json::Reader().parse(s0a.ask(R"({"act":"cluster","op":"map"})"), map);
    const Json::Value& nodes = map["data"]["nodes"];
    return map["data"]["shards"] == 2 && map["data"]["partitions"] == 1024 &&
           map["data"]["index"] == 0 && nodes.size() == 2 && nodes[0].size() == 2 &&
           nodes[1].size() == 2 && nodes[1][0]["address"].asString().rfind("127.0.0.1:", 0) == 0;
  })) << s0a.ask(R"({"act":"cluster","op":"map"})");
  EXPECT_EQ(full.ask(R"({"act":"cluster","op":"map"})"),
            "{\"code\":200,\"data\":{\"index\":0,\"nodes\":[[]],\"partitions\":1024,"
            "\"shards\":1}}\n");

  // A node of shard 1 dies without a word once it has a snapshot; shard 0's reads of shard 1's
  // members go to its peer, also while the dead node is still in the map.
  const std::string before_kill = every_answer(full, members);
  EXPECT_EQ(s1a.stop(SIGKILL), 128 + SIGKILL);
  // At once, with the dead node still in the map: every read answered right the first time.
  EXPECT_EQ(every_answer(s0a, members), before_kill);
  EXPECT_EQ(every_answer(s0b, members), before_kill);
  EXPECT_EQ(run_batch({&full, &s0a, &s0b, &s1b}, 200), 0);
  EXPECT_TRUE(all_answer_as(full, {&s0a, &s0b, &s1b}));
  // Its entry, no longer refreshed, drops out of the map.
  EXPECT_TRUE(eventually(
      [&] {
        Json::Value map;
        Json::Reader().parse(s0b.ask(R"({"act":"cluster","op":"map"})"), map);
        return map["data"]["nodes"][1].size() == 1 &&
               map["data"]["nodes"][1][0]["address"] == "127.0.0.1:" + std::to_string(s1b.port());
      },
      std::chrono::seconds(20)))
      << s0b.ask(R"({"act":"cluster","op":"map"})");
  s1a.start();
  ASSERT_TRUE(s1a.wait_serving()) << s1a.output();
  EXPECT_EQ(run_batch(everyone, 100), 0);
  EXPECT_TRUE(all_answer_as(full, {&s0a, &s0b, &s1a, &s1b}));

  // No node of shard 1 left: its members' reads fail in bounded time, shard 0's still answer.
  s1a.stop(SIGTERM);
  s1b.stop(SIGTERM);
  const unsigned long away = member_of(1);
  const unsigned long here = member_of(0);
  ASSERT_NE(away, 0u);
  const auto asked = std::chrono::steady_clock::now();
  EXPECT_EQ(s0a.ask(requests::fetch_pri(away)), failed);
  EXPECT_EQ(s0a.ask(requests::fetch_follow(away)), failed);
  EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(10));
  EXPECT_EQ(s0a.ask(requests::fetch_pri(here)), full.ask(requests::fetch_pri(here)));
  EXPECT_EQ(s0b.ask(requests::fetch_self(away)), full.ask(requests::fetch_self(away)));
}

TEST_F(ShardedSite, WithCapsEveryShardKeepsWhatTheFullNodeKeeps) {
  jetstream_cluster servers(1);
  const std::string capped = db->config_json(",\"store\":{\"feed_cap\":4,\"public_cap\":6}");
  replica_node full("full", dir.path(), capped, servers.servers_json());
  replica_node s0("s0", dir.path(), capped, servers.servers_json(),
                  shards_member(2, 0) + ",\"reply_seq\":true");
  replica_node s1("s1", dir.path(), capped, servers.servers_json(),
                  shards_member(2, 1) + ",\"reply_seq\":true");
  for (replica_node* node : {&full, &s0, &s1}) {
    node->start();
    ASSERT_TRUE(node->wait_serving()) << node->output();
  }
  EXPECT_EQ(run_batch({&full, &s0, &s1}, 400), 0);
  EXPECT_TRUE(all_answer_as(full, {&s0, &s1}));

  // Read your write across shards: a change of shard 1's member through shard 0's node, then at
  // once its feed through the same node with the change's sequence as "min_seq", which goes
  // along to the owner and is waited for there.
  const unsigned long away = member_of(1);
  frame_client client(s0.port());
  for (unsigned long spid = 1000; spid < 1010; ++spid) {
    client.send_frame(requests::special_change(true, away, {special(spid, away, 1)}));
    Json::Value accepted;
    ASSERT_TRUE(Json::Reader().parse(client.recv_frame(), accepted));
    const std::string seq = accepted["data"]["seq"].asString();
    ASSERT_FALSE(seq.empty());
    client.send_frame(R"({"act":"special","op":"fetch_pri","params":{"user_id":)" +
                      std::to_string(away) + R"(,"special_id":-1,"count":1,"type":1,"min_seq":)" +
                      seq + "}}");
    EXPECT_EQ(client.recv_frame(), requests::specials_reply(std::to_string(spid)));
  }
}

TEST_F(ShardedSite, AOneShardNodesSnapshotStartsBothShardsOfALayoutOfTwo) {
  jetstream_cluster servers(1);
  replica_node full("full", dir.path(), db->config_json(), servers.servers_json());
  replica_node one("one", dir.path(), db->config_json(), servers.servers_json(),
                   shards_member(1, 0));
  full.start();
  ASSERT_TRUE(full.wait_serving()) << full.output();
  one.start();
  ASSERT_TRUE(one.wait_serving()) << one.output();
  EXPECT_EQ(run_batch({&full, &one}, 300), 0);
  EXPECT_TRUE(all_answer_as(full, {&one}));
  EXPECT_EQ(one.stop(SIGTERM), 0);  // its snapshot of the stop
  EXPECT_EQ(run_batch({&full}, 150), 0);

  std::vector<std::unique_ptr<replica_node>> halves;
  for (unsigned index = 0; index < 2; ++index) {
    halves.push_back(std::make_unique<replica_node>("half" + std::to_string(index), dir.path(),
                                                    db->config_json(), servers.servers_json(),
                                                    shards_member(2, index)));
    for (const auto& entry : std::filesystem::directory_iterator(one.snapshot_dir())) {
      std::filesystem::copy(entry.path(), halves.back()->snapshot_dir());
    }
    halves.back()->start();
    ASSERT_TRUE(halves.back()->wait_serving()) << halves.back()->output();
  }
  EXPECT_EQ(run_batch({&full, halves[0].get(), halves[1].get()}, 100), 0);
  EXPECT_TRUE(all_answer_as(full, {halves[0].get(), halves[1].get()}));
  // A node of the old layout finds no snapshot of its own part in a half's directory.
  replica_node again("again", dir.path(), db->config_json(), servers.servers_json());
  halves[0]->stop(SIGTERM);
  std::string newest;
  for (const auto& entry : std::filesystem::directory_iterator(halves[0]->snapshot_dir())) {
    if (entry.path().extension() == ".snap" && entry.path().string() > newest) {
      newest = entry.path().string();
    }
  }
  std::filesystem::copy(newest, again.snapshot_dir());
  again.start();
  EXPECT_NE(again.wait_exit(), 0);
  EXPECT_NE(again.event_log().find("which does not hold all of a full node"), std::string::npos)
      << again.event_log();
}

}  // namespace
