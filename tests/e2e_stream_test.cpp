// The built daemon with a "stream" configured, on stream servers the test starts: a wrong
// "stream" member stops it with status 2 naming the member, and --check-config reports the
// stream's last sequence (or status 1 when no server answers).
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "foreground_daemon.h"
#include "jetstream.h"
#include "jetstream_cluster.h"
#include "test_db.h"

namespace {

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
    const command_result result = run_daemon_command(
        {"--config", config, "--foreground", "--port", std::to_string(free_port()), "--log-dir",
         dir.path()},
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
    ASSERT_TRUE(stream.publish("norvel.mut.1", "{}", "t-" + std::to_string(i),
                               std::chrono::milliseconds(2000)).ok);
  }
  result = run_daemon_command({"--config", config, "--check-config"}, dir.path());
  EXPECT_EQ(result.exit_status, 0) << result.err;
  EXPECT_NE(result.out.find("stream NORVEL last sequence 3\n"), std::string::npos) << result.out;

  const std::string nowhere = dir.write(
      "nowhere.ini",
      db->config_json(stream_member("[\"nats://127.0.0.1:" + std::to_string(free_port()) + "\"]")));
  result = run_daemon_command({"--config", nowhere, "--check-config"}, dir.path());
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_NE(result.err.find("cannot reach the stream servers"), std::string::npos) << result.err;
}

}  // namespace
