// The built daemon with a "stream" configured, on stream servers the test starts: a wrong
// "stream" member stops it with status 2 naming the member, --check-config reports the stream's
// last sequence (or status 1 when no server answers); a node applies whatever valid change the
// stream holds, whoever published it, skips what is not one, refuses to start without a
// snapshot once the stream holds changes, and --rebuild then serves them all.
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "change_requests.h"
#include "daemon_runner.h"
#include "eventually.h"
#include "foreground_daemon.h"
#include "jetstream_cluster.h"
#include "replica_node.h"
#include "snapshot/snapshot_file.h"
#include "stream/jetstream.h"
#include "stream_publisher.h"
#include "test_db.h"

namespace {

using requests::fetch_follow;
using requests::fetch_self;
using requests::special_add;

class StreamDaemon : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { db = std::make_unique<test_db>("e2e_stream"); }
  static void TearDownTestSuite() { db.reset(); }

  // The "stream" member's text for `servers` (a JSON array) with `more` members added.
  std::string stream_member(const std::string& servers, const std::string& more = "") const {
    return ",\"stream\":{\"servers\":" + servers + ",\"node\":\"n1\",\"snapshot_dir\":\"" +
           dir.path() + "/snap\",\"connect_timeout_s\":2" + more + "}";
  }

  static std::unique_ptr<test_db> db;
  temp_dir dir;
};

std::unique_ptr<test_db> StreamDaemon::db;

TEST_F(StreamDaemon, WrongStreamMemberExitsTwoNamingItStartingNothing) {
  const std::vector<std::pair<std::string, std::string>> wrong = {
      {",\"stream\":{\"servers\":[\"nats://127.0.0.1:1\"],\"snapshot_dir\":\"/x\"}", "\"node\""},
      {stream_member("[\"nats://127.0.0.1:1\"]", ",\"replicas\":\"3\""), "\"replicas\""},
      {stream_member("[]"), "\"servers\""},
      {stream_member("[\"nats://127.0.0.1:1\"]", ",\"reply_seq\":\"yes\""), "\"reply_seq\""},
  };
  for (const auto& [member, named] : wrong) {
    const std::string config = dir.write("norvel.ini", db->config_json(member));
    const command_result result =
        run_daemon_command({"--config", config, "--foreground", "--port",
                            std::to_string(free_port()), "--log-dir", dir.path()},
                           dir.path());
    EXPECT_EQ(result.exit_status, 2) << member;
    EXPECT_EQ(result.err.rfind("norvel: configuration: ", 0), 0u) << result.err;
    EXPECT_NE(result.err.substr(0, result.err.find('\n')).find(named), std::string::npos)
        << result.err;
  }
}

TEST_F(StreamDaemon, CheckConfigPrintsTheStreamsLastSequence) {
  jetstream_cluster servers(1);
  const std::string config =
      dir.write("norvel.ini", db->config_json(stream_member(servers.servers_json())));
  command_result result = run_daemon_command({"--config", config, "--check-config"}, dir.path());
  EXPECT_EQ(result.exit_status, 0) << result.err;
  EXPECT_NE(result.out.find("stream NORVEL last sequence 0\n"), std::string::npos) << result.out;

  stream_settings settings;
  settings.servers = servers.urls();
  settings.node = "t";
  jetstream stream(settings);
  stream.ensure_stream();
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(stream
                    .publish("norvel.mut.1", "{}", "t-" + std::to_string(i),
                             std::chrono::milliseconds(2000))
                    .ok);
  }
  // The stream holds changes and there is no snapshot: the start would be refused, and so is the
  // check.
  result = run_daemon_command({"--config", config, "--check-config"}, dir.path());
  EXPECT_EQ(result.exit_status, 1) << result.err;
  EXPECT_NE(result.out.find("stream NORVEL last sequence 3\n"), std::string::npos) << result.out;

  const std::string nowhere = dir.write(
      "nowhere.ini",
      db->config_json(stream_member("[\"nats://127.0.0.1:" + std::to_string(free_port()) + "\"]")));
  result = run_daemon_command({"--config", nowhere, "--check-config"}, dir.path());
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_NE(result.err.find("cannot reach the stream servers"), std::string::npos) << result.err;
}

TEST_F(StreamDaemon, AppliesTheStreamSkipsWhatIsNotAChangeAndRefusesAStartThatWouldMissChanges) {
  jetstream_cluster servers(1);
  stream_publisher publisher(servers);
  replica_node node("n1", dir.path(), db->config_json(), servers.servers_json());
  node.start();
  ASSERT_TRUE(node.wait_serving()) << node.output();

  publisher.publish(special_add(11, 101));
  publisher.publish("not json at all");
  publisher.publish(R"({"act":"special","op":"fetch_pub","params":{}})");  // not a change
  publisher.publish(R"({"act":"follow","op":"add","params":{"user_id":"x","friends":[1]}})");
  publisher.publish(special_add(11, 102));
  publisher.publish(R"({"act":"follow","op":"add","params":{"user_id":12,"friends":[11]}})");
  EXPECT_TRUE(eventually([&] {
    return node.ask(fetch_self(11)) == R"({"code":200,"data":{"specials":[102,101]}})"
                                       "\n";
  })) << node.ask(fetch_self(11));
  EXPECT_TRUE(eventually([&] {
    return node.ask(fetch_follow(12)) == R"({"code":200,"data":{"follows":[11]}})"
                                         "\n";
  }));
  EXPECT_EQ(node.stop(SIGTERM), 0) << node.output();
  // The stop wrote a snapshot; without it, the stream now holds changes the database lacks.
  ASSERT_FALSE(snapshot::list_files(node.snapshot_dir(), "NORVEL").empty());
  for (const snapshot::found_file& found : snapshot::list_files(node.snapshot_dir(), "NORVEL")) {
    ASSERT_EQ(::unlink(found.path.c_str()), 0);
  }
  node.start();
  EXPECT_EQ(node.wait_exit(), 1);
  EXPECT_NE(node.output().find("--rebuild"), std::string::npos) << node.output();
  EXPECT_NE(node.output().find(node.snapshot_dir()), std::string::npos) << node.output();

  // --rebuild: the database, then the whole stream; its first answers hold every change.
  node.start({"--rebuild"});
  ASSERT_TRUE(node.wait_serving()) << node.output();
  EXPECT_EQ(node.ask(fetch_self(11)), R"({"code":200,"data":{"specials":[102,101]}})"
                                      "\n");
  EXPECT_EQ(node.ask(fetch_follow(12)), R"({"code":200,"data":{"follows":[11]}})"
                                        "\n");
  publisher.publish(special_add(11, 103));
  EXPECT_TRUE(eventually([&] {
    return node.ask(fetch_self(11)) == R"({"code":200,"data":{"specials":[103,102,101]}})"
                                       "\n";
  }));
  EXPECT_EQ(node.stop(SIGTERM), 0);
}

TEST_F(StreamDaemon, UnreachableStreamEndsTheStartWithStatusOne) {
  replica_node node("n1", dir.path(), db->config_json(),
                    "[\"nats://127.0.0.1:" + std::to_string(free_port()) + "\"]",
                    ",\"connect_timeout_s\":1");
  node.start();
  EXPECT_EQ(node.wait_exit(), 1);
  EXPECT_NE(node.output().find("cannot reach the stream servers"), std::string::npos)
      << node.output();
}

// The front door: changes are answered only once the stream holds them, in request order with
// the reads between them; one connection's changes reach the stream in its order; nothing that
// is not a change is published; with the stream gone changes fail with code 0 while reads go on,
// and the node reconnects by itself. With reply_seq a change's sequence lets a read wait for it.
TEST_F(StreamDaemon, FrontDoorAnswersOnTheStreamsAcknowledgementInRequestOrder) {
  jetstream_cluster servers(1);
  replica_node node("n1", dir.path(), db->config_json(), servers.servers_json(),
                    ",\"reply_seq\":true,\"min_seq_wait_ms\":300,\"publish_timeout_ms\":500");
  node.start();
  ASSERT_TRUE(node.wait_serving()) << node.output();
  stream_settings settings;
  settings.servers = servers.urls();
  settings.node = "t";
  jetstream stream(settings);

  // Pipelined on one connection: changes with reads between them.
  frame_client client(node.port());
  std::vector<std::string> expected_order;
  for (unsigned long spid = 1; spid <= 200; ++spid) {
    client.send_frame(special_add(21, spid));
    if (spid % 50 == 0) {
      client.send_frame(fetch_follow(21));
    }
  }
  std::uint64_t last_seq = 0;
  for (unsigned long spid = 1; spid <= 200; ++spid) {
    const std::string reply = client.recv_frame();
    ASSERT_EQ(reply.rfind("{\"code\":200,\"data\":{\"seq\":", 0), 0u) << reply;
    const std::uint64_t seq = std::stoull(reply.substr(26));
    EXPECT_GT(seq, last_seq);  // the stream stored them in request order
    last_seq = seq;
    if (spid % 50 == 0) {
      EXPECT_EQ(client.recv_frame(), "{\"code\":200,\"data\":{\"follows\":[]}}\n");
    }
  }
  // Read your writes: a fetch carrying the last sequence sees every change.
  const std::string after =
      R"({"act":"special","op":"fetch_self","params":{"user_id":21,"special_id":-1,"count":1,"type":1,"min_seq":)" +
      std::to_string(last_seq) + "}}";
  EXPECT_EQ(node.ask(after), "{\"code\":200,\"data\":{\"specials\":[200]}}\n");
  const std::string too_far =
      R"({"act":"special","op":"fetch_self","params":{"user_id":21,"special_id":-1,"count":1,"type":1,"min_seq":)" +
      std::to_string(last_seq + 1000) + "}}";
  EXPECT_EQ(node.ask(too_far), "{\"code\":0}\n");

  // Not published: a change that fails conversion, and one with nothing in it.
  EXPECT_EQ(node.ask(R"({"act":"follow","op":"add","params":{"user_id":"x","friends":[1]}})"),
            "{\"code\":0}\n");
  EXPECT_EQ(node.ask(R"({"act":"follow","op":"add","params":{"user_id":21,"friends":[]}})"),
            "{\"code\":200,\"data\":null}\n");
  EXPECT_EQ(stream.state().last_seq, last_seq);

  // The stream goes away: changes fail, reads are answered from memory.
  servers.stop(0);
  EXPECT_EQ(node.ask(special_add(21, 500)), "{\"code\":0}\n");
  EXPECT_EQ(node.ask(fetch_follow(21)), "{\"code\":200,\"data\":{\"follows\":[]}}\n");
  servers.start(0);
  servers.wait_ready();
  std::string reply;
  EXPECT_TRUE(eventually([&] {
    reply = node.ask(special_add(21, 501));
    return reply.rfind("{\"code\":200", 0) == 0;
  })) << reply;
  EXPECT_TRUE(eventually([&] {
    return node.ask(
               R"({"act":"special","op":"fetch_self","params":{"user_id":21,"special_id":-1,"count":1,"type":1}})") ==
           "{\"code\":200,\"data\":{\"specials\":[501]}}\n";
  }));
  EXPECT_EQ(node.stop(SIGTERM), 0);
}

}  // namespace
