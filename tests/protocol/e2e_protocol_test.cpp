// The built daemon over the wire, against a freshly seeded database: every action and operation,
// mutations becoming visible once applied, pipelined frames, bad input ending only its own
// connection, the command-line client, and a clean stop on SIGTERM.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "daemon_runner.h"
#include "test_db.h"

namespace {

const std::string dispatched_null = "{\"code\":200,\"data\":null}\n";
const std::string failed = "{\"code\":0}\n";

std::string specials_reply(const std::string& ids) {
  return "{\"code\":200,\"data\":{\"specials\":[" + ids + "]}}\n";
}

std::string fetch(const std::string& op, const std::string& params) {
  return R"({"act":"special","op":")" + op + R"(","params":)" + params + "}";
}

// Newest first: the first page of a member's feed or of the public list.
std::string newest(const std::string& op, int user) {
  return fetch(
      op, R"({"user_id":)" + std::to_string(user) + R"(,"special_id":-1,"count":100,"type":1})");
}

// Members 1 <- 3 <- 5 in an invitation chain (and 8 without inviter), each with a few specials;
// rows that the load must skip are mixed in.
const char* seed_sql =
    "INSERT INTO brix_member (member_id, inviter_id) VALUES (1,0),(3,1),(5,3),(8,0);"
    "INSERT INTO brix_mb_special (special_id, member_id, reader_type, from_user, state) VALUES"
    " (100,1,0,1,0),(101,3,0,1,0),(102,3,1,1,0),(103,5,0,1,0),"
    " (104,5,2,1,0),"   // reader type 2: never loaded
    " (105,8,0,0,0),"   // not from a user
    " (106,8,0,1,1);";  // not in state 0

class E2eProtocol : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(wait_port_free()) << "port 5000 is taken; stop the program that holds it";
    db = std::make_unique<test_db>("e2e_protocol");
    db->exec(seed_sql);
    runner = std::make_unique<daemon_runner>();
    db->write_config(runner->work_dir());
    const launch_result launched = runner->launch();
    ASSERT_EQ(launched.exit_status, 0) << launched.terminal_output;
    ASSERT_TRUE(runner->wait_listening()) << runner->output_file();
    ASSERT_NE(runner->daemon_pid(), 0);
    client = std::make_unique<frame_client>(daemon_runner::daemon_port);
  }

  void TearDown() override {
    client.reset();
    if (runner && runner->daemon_pid() != 0) {
      EXPECT_EQ(runner->stop(SIGTERM), 0);
    }
  }

  // Another daemon (an earlier test's, a demo's) may still be letting go of the port.
  static bool wait_port_free() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (port_accepts(daemon_runner::daemon_port)) {
      if (std::chrono::steady_clock::now() >= deadline) {
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return true;
  }

  std::string ask(const std::string& body) {
    client->send_frame(body);
    return client->recv_frame();
  }

  // Mutations are applied by the daemon's workers after the reply; ask again until `expected`
  // comes back or the deadline passes, and answer the last reply.
  std::string ask_until(const std::string& body, const std::string& expected) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::string last = ask(body);
    while (last != expected && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      last = ask(body);
    }
    return last;
  }

  std::unique_ptr<test_db> db;
  std::unique_ptr<daemon_runner> runner;
  std::unique_ptr<frame_client> client;
};

TEST_F(E2eProtocol, LoadedDataIsAnsweredByEveryQuery) {
  EXPECT_EQ(ask(R"({"act":"follow","op":"fetch","params":{"user_id":3}})"),
            "{\"code\":200,\"data\":{\"follows\":[1,5]}}\n");
  EXPECT_EQ(ask(R"({"act":"follow","op":"fetch","params":{"user_id":8}})"),
            "{\"code\":200,\"data\":{\"follows\":[]}}\n");

  EXPECT_EQ(ask(fetch("fetch_pub", R"({"special_id":-1,"count":10,"type":1})")),
            specials_reply("103,101,100"));
  EXPECT_EQ(ask(fetch("fetch_pub", R"({"special_id":100,"count":1,"type":0})")),
            specials_reply("101"));
  EXPECT_EQ(ask(newest("fetch_self", 3)), specials_reply("102,101"));
  // Member 3's feed: its own specials and those of 1 and 5, who follow it.
  EXPECT_EQ(ask(newest("fetch_pri", 3)), specials_reply("103,102,101,100"));
  EXPECT_EQ(ask(fetch("fetch_pri", R"({"user_id":3,"special_id":102,"count":2,"type":1})")),
            specials_reply("101,100"));
  EXPECT_EQ(ask(newest("fetch_pri", 8)), specials_reply(""));

  EXPECT_EQ(ask(R"({"act":"inviter","op":"list","params":{"user_id":5}})"),
            "{\"code\":200,\"data\":{\"inviters\":[3,1]}}\n");
  EXPECT_EQ(ask(R"({"act":"inviter","op":"invitees","params":{"user_id":1}})"),
            "{\"code\":200,\"data\":{\"invitees\":[3]}}\n");

  EXPECT_EQ(ask(R"({"act":"nothing"})"), dispatched_null);
  EXPECT_EQ(ask(R"({"act":"special","op":"fetch_all"})"), failed);
  EXPECT_EQ(ask(R"({"act":"follow","op":"fetch","params":{"user_id":-3}})"), failed);

  // An empty body gets an empty reply and the connection goes on.
  client->send_raw("0000000000");
  EXPECT_EQ(client->recv_exact(10), "0000000000");
  EXPECT_EQ(ask(R"({"act":"nothing"})"), dispatched_null);

  EXPECT_NE(runner->event_log().find("exception:request what=cannot find op:fetch_all"),
            std::string::npos);
}

TEST_F(E2eProtocol, FollowAndSpecialChangesBecomeVisibleOnceApplied) {
  EXPECT_EQ(ask(R"({"act":"special","op":"add","params":{"user_id":8,"specials":[
                 {"spid":201,"type":1},{"spid":200,"type":0}]}})"),
            dispatched_null);
  EXPECT_EQ(ask_until(newest("fetch_self", 8), specials_reply("201,200")),
            specials_reply("201,200"));
  EXPECT_EQ(ask_until(fetch("fetch_pub", R"({"special_id":-1,"count":2,"type":1})"),
                      specials_reply("200,103")),
            specials_reply("200,103"));

  // 8 follows 3: 8's specials enter 3's feed.
  EXPECT_EQ(ask(R"({"act":"follow","op":"add","params":{"user_id":8,"friends":[3]}})"),
            dispatched_null);
  EXPECT_EQ(ask_until(newest("fetch_pri", 3), specials_reply("201,200,103,102,101,100")),
            specials_reply("201,200,103,102,101,100"));
  EXPECT_EQ(ask(R"({"act":"follow","op":"fetch","params":{"user_id":8}})"),
            "{\"code\":200,\"data\":{\"follows\":[3]}}\n");

  // Deleting a special takes it out of every list that held it.
  EXPECT_EQ(ask(R"({"act":"special","op":"del","params":{"user_id":8,"specials":[{"spid":200}]}})"),
            dispatched_null);
  EXPECT_EQ(ask_until(newest("fetch_pri", 3), specials_reply("201,103,102,101,100")),
            specials_reply("201,103,102,101,100"));
  EXPECT_EQ(ask(fetch("fetch_pub", R"({"special_id":-1,"count":1,"type":1})")),
            specials_reply("103"));

  // Unfollowing takes 8's remaining specials out of 3's feed again.
  EXPECT_EQ(ask(R"({"act":"follow","op":"del","params":{"user_id":8,"friends":[3]}})"),
            dispatched_null);
  EXPECT_EQ(ask_until(newest("fetch_pri", 3), specials_reply("103,102,101,100")),
            specials_reply("103,102,101,100"));
  EXPECT_EQ(ask(R"({"act":"follow","op":"fetch","params":{"user_id":8}})"),
            "{\"code\":200,\"data\":{\"follows\":[]}}\n");
}

TEST_F(E2eProtocol, PagingWalksEveryIdUpToTheLargestThirtyTwoBitOne) {
  // Ids on both sides of 2^31 and at 2^32-1: a client passing each page's last id back as the
  // next cursor sees every one of them, newest first and oldest first.
  const std::vector<std::string> ids = {"4294967295", "3000000005", "3000000003",
                                        "2147483648", "2147483647", "200"};
  std::string specials;
  for (const std::string& id : ids) {
    specials += std::string(specials.empty() ? "" : ",") + R"({"spid":)" + id + R"(,"type":0})";
  }
  EXPECT_EQ(
      ask(R"({"act":"special","op":"add","params":{"user_id":8,"specials":[)" + specials + "]}}"),
      dispatched_null);
  const std::string all = "4294967295,3000000005,3000000003,2147483648,2147483647,200";
  ASSERT_EQ(ask_until(newest("fetch_self", 8), specials_reply(all)), specials_reply(all));

  // Pages of two, by fetch_self and by fetch_pub (the public list also holds 100..103).
  auto walk = [&](const std::string& op, const std::string& first, int type) {
    std::vector<std::string> seen;
    std::string cursor = first;
    for (int page = 0; page < 10; ++page) {
      const std::string reply =
          ask(fetch(op, R"({"user_id":8,"special_id":)" + cursor + R"(,"count":2,"type":)" +
                            std::to_string(type) + "}"));
      const std::string prefix = "{\"code\":200,\"data\":{\"specials\":[";
      if (reply.rfind(prefix, 0) != 0) {
        seen.push_back(reply);  // a failure reply ends the walk and shows in the comparison
        break;
      }
      std::istringstream list(reply.substr(prefix.size(), reply.find(']') - prefix.size()));
      std::string id;
      bool any = false;
      while (std::getline(list, id, ',')) {
        seen.push_back(id);
        cursor = id;
        any = true;
      }
      if (!any) {
        break;
      }
    }
    return seen;
  };
  EXPECT_EQ(walk("fetch_self", "-1", 1), ids);
  EXPECT_EQ(walk("fetch_self", "0", 0), std::vector<std::string>(ids.rbegin(), ids.rend()));
  std::vector<std::string> pub = ids;
  pub.insert(pub.end(), {"103", "101", "100"});
  EXPECT_EQ(walk("fetch_pub", "-1", 1), pub);

  // Beyond 32 bits the cursor is still refused; every negative one stays "above every id".
  EXPECT_EQ(ask(fetch("fetch_pub", R"({"special_id":4294967296,"count":1,"type":1})")), failed);
  EXPECT_EQ(ask(fetch("fetch_pub", R"({"special_id":-2147483649,"count":1,"type":1})")), failed);
  EXPECT_EQ(ask(fetch("fetch_pub", R"({"special_id":-7,"count":1,"type":1})")),
            specials_reply("4294967295"));
  EXPECT_EQ(ask(fetch("fetch_pub", R"({"special_id":-1,"count":1,"type":0})")), specials_reply(""));
}

TEST_F(E2eProtocol, InviterAddRecordsInPlaceOrReloadsFromTheDatabase) {
  // 9 lies within the loaded index: recorded at once.
  EXPECT_EQ(ask(R"({"act":"inviter","op":"add","params":{"user_id":9,"inviter_id":5}})"),
            dispatched_null);
  EXPECT_EQ(ask(R"({"act":"inviter","op":"list","params":{"user_id":9}})"),
            "{\"code\":200,\"data\":{\"inviters\":[5,3,1]}}\n");
  EXPECT_EQ(ask(R"({"act":"inviter","op":"invitees","params":{"user_id":5}})"),
            "{\"code\":200,\"data\":{\"invitees\":[9]}}\n");

  // 40 lies beyond it: the index is reloaded from the member table, which now holds 40.
  db->exec("INSERT INTO brix_member (member_id, inviter_id) VALUES (40,8)");
  EXPECT_EQ(ask(R"({"act":"inviter","op":"add","params":{"user_id":40,"inviter_id":8}})"),
            dispatched_null);
  EXPECT_EQ(ask(R"({"act":"inviter","op":"list","params":{"user_id":40}})"),
            "{\"code\":200,\"data\":{\"inviters\":[8]}}\n");
  EXPECT_EQ(ask(R"({"act":"inviter","op":"invitees","params":{"user_id":8}})"),
            "{\"code\":200,\"data\":{\"invitees\":[40]}}\n");
}

TEST_F(E2eProtocol, PipelinedFramesOnOneConnectionAreAnsweredInOrder) {
  const int followed = 60;
  std::string batch;
  std::vector<std::string> expected;
  for (int i = 1; i <= followed; ++i) {
    batch += frame(R"({"act":"follow","op":"add","params":{"user_id":20,"friends":[)" +
                   std::to_string(i) + "]}}");
    expected.push_back(dispatched_null);
    batch += frame(R"({"act":"inviter","op":"list","params":{"user_id":5}})");
    expected.push_back("{\"code\":200,\"data\":{\"inviters\":[3,1]}}\n");
    batch += frame(R"({"act":"follow","op":"zap"})");
    expected.push_back(failed);
  }
  client->send_raw(batch);
  for (size_t i = 0; i < expected.size(); ++i) {
    ASSERT_EQ(client->recv_frame(), expected[i]) << "reply " << i;
  }

  std::string all;
  for (int i = 1; i <= followed; ++i) {
    all += (i > 1 ? "," : "") + std::to_string(i);
  }
  const std::string full = "{\"code\":200,\"data\":{\"follows\":[" + all + "]}}\n";
  EXPECT_EQ(ask_until(R"({"act":"follow","op":"fetch","params":{"user_id":20}})", full), full);
}

TEST_F(E2eProtocol, BodyThatIsNotARequestEndsOnlyItsOwnConnection) {
  frame_client other(daemon_runner::daemon_port);
  for (const std::string bad : {"not json", "[1,2]", R"({"act":["follow"]})"}) {
    frame_client doomed(daemon_runner::daemon_port);
    // The frame before the bad one is still answered; then the connection ends.
    doomed.send_raw(frame(R"({"act":"nothing"})") + frame(bad));
    EXPECT_EQ(doomed.recv_frame(), dispatched_null);
    std::string rest;
    EXPECT_TRUE(doomed.wait_closed(&rest)) << bad;
    EXPECT_EQ(rest, "") << bad;
  }
  EXPECT_EQ(ask(R"({"act":"inviter","op":"list","params":{"user_id":3}})"),
            "{\"code\":200,\"data\":{\"inviters\":[1]}}\n");
  other.send_frame(R"({"act":"follow","op":"fetch","params":{"user_id":1}})");
  EXPECT_EQ(other.recv_frame(), "{\"code\":200,\"data\":{\"follows\":[3]}}\n");
  EXPECT_NE(runner->event_log().find("handler_req error."), std::string::npos);
}

// Runs the command-line client through the shell with `input` on its standard input.
struct cli_result {
  int status = -1;
  std::string out;
  std::string err;
};

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

cli_result run_cli(const std::string& dir, const std::string& args, const std::string& input) {
  const std::string in_path = dir + "/cli.in";
  const std::string out_path = dir + "/cli.out";
  const std::string err_path = dir + "/cli.err";
  std::ofstream(in_path, std::ios::binary) << input;
  const std::string command = "'" NORVEL_BINARY_DIR "/norvel-cli' " + args + " <'" + in_path +
                              "' >'" + out_path + "' 2>'" + err_path + "'";
  const int raw = std::system(command.c_str());
  cli_result result;
  result.status = (raw != -1 && WIFEXITED(raw)) ? WEXITSTATUS(raw) : -1;
  result.out = read_file(out_path);
  result.err = read_file(err_path);
  return result;
}

TEST_F(E2eProtocol, CommandLineClientSendsRequestsAndReportsFailures) {
  const std::string dir = runner->work_dir();
  cli_result one = run_cli(dir, R"('{"act":"follow","op":"fetch","params":{"user_id":5}}')", "");
  EXPECT_EQ(one.status, 0) << one.err;
  EXPECT_EQ(one.out, "{\"code\":200,\"data\":{\"follows\":[3]}}\n");

  cli_result lines = run_cli(dir, "--host 127.0.0.1 --port 5000",
                             "{\"act\":\"nothing\"}\n\n"
                             "{\"act\":\"inviter\",\"op\":\"list\",\"params\":{\"user_id\":5}}\n");
  EXPECT_EQ(lines.status, 0) << lines.err;
  EXPECT_EQ(lines.out, dispatched_null + "{\"code\":200,\"data\":{\"inviters\":[3,1]}}\n");

  cli_result dropped = run_cli(dir, "", "{\"act\":\"nothing\"}\n[1]\n{\"act\":\"nothing\"}\n");
  EXPECT_EQ(dropped.status, 1);
  EXPECT_EQ(dropped.out, dispatched_null);
  EXPECT_NE(dropped.err.find("closed the connection"), std::string::npos) << dropped.err;

  cli_result usage = run_cli(dir, "--port", "");
  EXPECT_EQ(usage.status, 2);

  client.reset();
  ASSERT_EQ(runner->stop(SIGTERM), 0);
  cli_result unreachable = run_cli(dir, R"('{"act":"nothing"}')", "");
  EXPECT_EQ(unreachable.status, 1);
  EXPECT_NE(unreachable.err.find("cannot reach the daemon"), std::string::npos) << unreachable.err;
}

TEST_F(E2eProtocol, SigtermStopsTheDaemonCleanlyWithConnectionsOpen) {
  EXPECT_EQ(ask(R"({"act":"nothing"})"), dispatched_null);
  EXPECT_EQ(runner->stop(SIGTERM), 0);
  EXPECT_TRUE(client->wait_closed());
  EXPECT_FALSE(port_accepts(daemon_runner::daemon_port));
  EXPECT_NE(runner->event_log().find("finiLog"), std::string::npos);
}

}  // namespace
