// A replicated site under the faults its operators meet, on real stream servers and real nodes:
// - each of three stream servers killed in turn while changes flow through two nodes: every node
//   takes up applying soon after the stream accepts writes again (a reader whose server died is
//   noticed and made again), and both end equal to the stream's order;
// - a node killed right after its first answer restarts on its own (it wrote a snapshot before
//   answering), and --check-config tells a node without a snapshot what its start would meet;
// - a node is not ready (/ready 503, norvel_ready 0) until it answers requests, and then is;
//   its request durations are counted; a "min_seq" that is not a sequence number is refused.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "change_requests.h"
#include "daemon_runner.h"
#include "eventually.h"
#include "jetstream_cluster.h"
#include "metrics_client.h"
#include "replica_node.h"
#include "stream/jetstream.h"
#include "stream_model.h"
#include "test_db.h"

namespace {

using requests::fetch_self;
using requests::special_add;

const char* const accepted = "{\"code\":200,\"data\":null}\n";
const char* const failed = "{\"code\":0}\n";
constexpr unsigned long members = 12;
constexpr unsigned long probe_member = 100;  // touched by the probes only

class SiteFaults : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { db = std::make_unique<test_db>("e2e_site_faults"); }
  static void TearDownTestSuite() { db.reset(); }

  static std::unique_ptr<test_db> db;
  temp_dir dir;
};

std::unique_ptr<test_db> SiteFaults::db;

// Changes through the front doors of `nodes`, one connection each, one change in flight on
// each, until stop(); what was acknowledged is kept.
class steady_writer {
 public:
  explicit steady_writer(std::vector<replica_node*> nodes) {
    for (std::size_t n = 0; n < nodes.size(); ++n) {
      threads.emplace_back([this, node = nodes[n], n] { run(*node, n); });
    }
  }
  ~steady_writer() { stop(); }
  void stop() {
    stopping = true;
    for (std::thread& each : threads) {
      if (each.joinable()) {
        each.join();
      }
    }
  }
  std::size_t acknowledged() const { return acked.load(); }

 private:
  void run(replica_node& node, std::size_t seed) {
    std::mt19937_64 random(20261208 + seed);
    while (!stopping) {
      try {
        frame_client client(node.port());
        while (!stopping) {
          client.send_frame(requests::random_change(random, members));
          if (client.recv_frame() == accepted) {
            ++acked;
          }
          std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
      } catch (const std::exception&) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
    }
  }

  std::atomic<bool> stopping{false};
  std::atomic<std::size_t> acked{0};
  std::vector<std::thread> threads;
};

// Publishes probes through `node` until one is acknowledged; answers its special id, or 0 when
// none was within a minute.
unsigned long acknowledged_probe(replica_node& node, unsigned long& next_probe) {
  unsigned long spid = 0;
  const bool acked = eventually(
      [&] {
        spid = next_probe++;
        return node.ask(special_add(probe_member, spid)) == accepted;
      },
      std::chrono::seconds(60));
  return acked ? spid : 0;
}

bool shows_probe(const replica_node& node, unsigned long spid) {
  return node.ask(fetch_self(probe_member, 1)) == requests::specials_reply(std::to_string(spid));
}

TEST_F(SiteFaults, EveryNodeTakesUpApplyingAfterEachStreamServerIsKilledInTurn) {
  jetstream_cluster servers(3);
  replica_node a("a", dir.path(), db->config_json(), servers.servers_json(), ",\"replicas\":3");
  replica_node b("b", dir.path(), db->config_json(), servers.servers_json(), ",\"replicas\":3");
  a.start();
  ASSERT_TRUE(a.wait_serving()) << a.output();
  b.start();
  ASSERT_TRUE(b.wait_serving()) << b.output();

  steady_writer writer({&a, &b});
  unsigned long next_probe = 1000;
  // Each node's reader lives on one of the three servers: killing each in turn kills every
  // reader's server once.
  // bench/server_kill_stall.sh asks for more rounds through NORVEL_KILL_ROUNDS.
  const char* rounds_asked = std::getenv("NORVEL_KILL_ROUNDS");
  const int rounds = rounds_asked != nullptr ? std::atoi(rounds_asked) : servers.size();
  for (int round = 0; round < rounds; ++round) {
    const int victim = round % servers.size();
    ASSERT_TRUE(eventually([&] { return writer.acknowledged() > 50u * (round + 1); }));
    servers.stop(victim, true);
    const unsigned long probe = acknowledged_probe(a, next_probe);
    ASSERT_NE(probe, 0u) << "the stream accepted no write within a minute";
    const auto accepting = std::chrono::steady_clock::now();
    for (replica_node* node : {&a, &b}) {
      // A reader left waiting on the dead server used to take up again only after its
      // heartbeats were missed, 3 to 49 s later. The target is 2 s (bench/README.md has the
      // figures); the bound here leaves room for a loaded machine.
      EXPECT_TRUE(eventually([&] { return shows_probe(*node, probe); }, std::chrono::seconds(4)))
          << "node " << (node == &a ? "a" : "b") << " after server " << victim << " was killed\n"
          << node->event_log();
    }
    const double resumed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - accepting).count();
    std::printf(
        "server %d killed: both nodes applied a change acknowledged after it within %.3f s\n",
        victim, resumed);
    servers.start(victim);
    // A server killed mid-write recovers its store before it rejoins: slow on a loaded machine.
    servers.wait_ready(std::chrono::seconds(90));
    // And has caught up with the stream: the next round's kill must leave a quorum behind.
    servers.wait_stream_current("NORVEL");
  }
  writer.stop();
  const std::string expected = every_answer(model_of_stream(servers), members);
  for (replica_node* node : {&a, &b}) {
    EXPECT_TRUE(eventually([&] { return every_answer(*node, members) == expected; }))
        << every_answer(*node, members) << "\nexpected\n"
        << expected;
  }
  EXPECT_EQ(a.stop(SIGTERM), 0);
  EXPECT_EQ(b.stop(SIGTERM), 0);
}

TEST_F(SiteFaults, ANodeKilledRightAfterItsFirstAnswerRestartsOnItsOwn) {
  jetstream_cluster servers(1);
  replica_node a("a", dir.path(), db->config_json(), servers.servers_json());
  a.start();
  ASSERT_TRUE(a.wait_serving()) << a.output();
  ASSERT_EQ(a.ask(special_add(3, 501)), accepted);
  std::this_thread::sleep_for(std::chrono::seconds(1));
  EXPECT_EQ(a.stop(SIGKILL), 128 + SIGKILL);
  a.start();
  ASSERT_TRUE(a.wait_serving()) << a.output() << a.event_log();
  EXPECT_EQ(a.ask(fetch_self(3)), requests::specials_reply("501"));
  EXPECT_EQ(a.stop(SIGTERM), 0);

  // A second node with no snapshot of its own would be refused while the stream holds changes:
  // the check says so, as the start would; with --rebuild it passes.
  replica_node b("b", dir.path(), db->config_json(), servers.servers_json());
  const command_result check =
      run_daemon_command({"--config", b.config_path(), "--check-config"}, dir.path());
  EXPECT_EQ(check.exit_status, 1) << check.out << check.err;
  EXPECT_NE(check.err.find("changes and there is no snapshot in"), std::string::npos) << check.err;
  const command_result rebuild =
      run_daemon_command({"--config", b.config_path(), "--check-config", "--rebuild"}, dir.path());
  EXPECT_EQ(rebuild.exit_status, 0) << rebuild.out << rebuild.err;
}

TEST_F(SiteFaults, ANodeIsReadyOnlyOnceItAnswersAndCountsItsRequests) {
  jetstream_cluster servers(1);
  servers.stop(0);
  const unsigned short metrics_port = free_port();
  replica_node node("n", dir.path(), db->config_json(), servers.servers_json(),
                    ",\"connect_timeout_s\":60");
  node.start({"--metrics", "127.0.0.1:" + std::to_string(metrics_port)});
  auto get = [&](const std::string& target) {
    return http_get("127.0.0.1", std::to_string(metrics_port), target, std::chrono::seconds(5));
  };
  // The node waits for its stream: the request port may accept, but the node is not ready.
  ASSERT_TRUE(eventually([&] {
    try {
      return get("/ready").status == 503;
    } catch (const std::exception&) {
      return false;
    }
  })) << node.output();
  EXPECT_NE(get("/metrics").body.find("\nnorvel_ready 0\n"), std::string::npos);

  servers.start(0);
  ASSERT_TRUE(node.wait_serving()) << node.output();
  const http_reply ready = get("/ready");
  EXPECT_EQ(ready.status, 200);
  EXPECT_EQ(ready.body, "ready\n");
  EXPECT_EQ(node.ask(special_add(4, 601)), accepted);
  for (const char* refused : {R"("1")", "-1", "[1]", "18446744073709551616"}) {
    EXPECT_EQ(node.ask(std::string(R"({"act":"special","op":"fetch_self","params":{"user_id":4,)"
                                   R"("special_id":-1,"count":5,"type":1,"min_seq":)") +
                       refused + "}}"),
              failed)
        << refused;
  }
  // null reads as 0: no wait, answered once the node has read its own change back.
  EXPECT_TRUE(eventually([&] {
    return node.ask(R"({"act":"special","op":"fetch_self","params":{"user_id":4,"special_id":-1,)"
                    R"("count":5,"type":1,"min_seq":null}})") == requests::specials_reply("601");
  }));
  const std::string page = get("/metrics").body;
  EXPECT_NE(page.find("\nnorvel_ready 1\n"), std::string::npos);
  EXPECT_EQ(page.find("\nnorvel_request_duration_seconds_count 0\n"), std::string::npos) << page;
  EXPECT_EQ(node.stop(SIGTERM), 0);
}

// A follow add of 300,000 friends (about 2.4 MB, beyond the servers' 1 MiB message limit) through
// one node's front door is applied whole on both nodes, at its place among the changes around it;
// parts whose change was never completed, or completed by a message whose parts do not add up,
// are applied nowhere, and what follows them is.
TEST_F(SiteFaults, AChangeLargerThanAStreamMessageIsAppliedWholeEverywhereOrNowhere) {
  jetstream_cluster servers(1);
  replica_node a("a", dir.path(), db->config_json(), servers.servers_json());
  replica_node b("b", dir.path(), db->config_json(), servers.servers_json());
  a.start();
  ASSERT_TRUE(a.wait_serving()) << a.output();
  b.start();
  ASSERT_TRUE(b.wait_serving()) << b.output();

  std::vector<unsigned long> friends;
  for (unsigned long id = 1000000; friends.size() < 300000; id += 3) {
    friends.push_back(id);
  }
  const std::string big = requests::follow_change(true, 7, friends);
  ASSERT_GT(big.size(), 1u << 20);
  EXPECT_EQ(a.ask(special_add(7, 70)), accepted);
  EXPECT_EQ(a.ask(big), accepted) << a.event_log();
  // It went as parts: the servers would have refused it whole.
  EXPECT_NE(a.event_log().find(" bytes in 3 parts"), std::string::npos) << a.event_log();
  // A big body naming "min_seq" is read on the event loop, its parts published from there.
  std::string on_loop = requests::follow_change(true, 17, friends);
  on_loop.insert(on_loop.size() - 2, ",\"min_seq\":null");
  EXPECT_EQ(a.ask(on_loop), accepted) << a.event_log();
  EXPECT_EQ(a.ask(requests::follow_change(false, 7, {1000000})), accepted);
  const std::vector<unsigned long> all_friends = friends;
  friends.erase(friends.begin());
  const std::string follows = requests::ids_reply("follows", friends);
  for (replica_node* node : {&a, &b}) {
    EXPECT_TRUE(eventually([&] { return node->ask(requests::fetch_follow(7)) == follows; }))
        << node->event_log();
    EXPECT_TRUE(eventually([&] {
      return node->ask(requests::fetch_follow(17)) == requests::ids_reply("follows", all_friends);
    })) << node->event_log();
    // The earlier special went into every new friend's feed: the change was applied after it.
    EXPECT_EQ(node->ask(requests::fetch_pri(1000003)), requests::specials_reply("70"));
  }

  // A part whose change never came, and a last message whose parts do not add up.
  stream_settings settings;
  settings.servers = servers.urls();
  settings.node = "t";
  jetstream stream(settings);
  const auto wait = std::chrono::milliseconds(5000);
  const std::string lost = requests::follow_change(true, 8, {1, 2, 3});
  const publish_outcome part =
      stream.publish("norvel.mut.t", lost.substr(0, 20), "t-p0", wait, {{part_header, "t-x 0"}});
  ASSERT_TRUE(part.ok);
  ASSERT_TRUE(
      stream
          .publish("norvel.mut.t", "", "t-x", wait,
                   {{parts_header, std::to_string(lost.size()) + " " + std::string(32, '0') + " " +
                                       std::to_string(part.seq)}})
          .ok);
  EXPECT_EQ(a.ask(requests::follow_change(true, 9, {4})), accepted);
  for (replica_node* node : {&a, &b}) {
    EXPECT_TRUE(eventually([&] {
      return node->ask(requests::fetch_follow(9)) == requests::ids_reply("follows", {4});
    }));
    EXPECT_EQ(node->ask(requests::fetch_follow(8)), requests::ids_reply("follows", {}));
  }
  EXPECT_EQ(a.stop(SIGTERM), 0);
  EXPECT_EQ(b.stop(SIGTERM), 0);
}

}  // namespace
