// The built daemon with its metrics endpoint on: the page counts exactly what was done to the
// daemon, passes promtool's checks, reads the same through norvel-cli --stats, is scraped by a
// real Prometheus server, and hostile clients of the endpoint do not touch request serving.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio.hpp>

#include "daemon_runner.h"
#include "eventually.h"
#include "foreground_daemon.h"
#include "metrics_client.h"
#include "prometheus_server.h"
#include "test_db.h"

namespace {

// The program's path on PATH, or "" when it is not installed.
std::string find_program(const std::string& name) {
  std::istringstream path(std::string(std::getenv("PATH") ? std::getenv("PATH") : "") +
                          ":/usr/bin:/usr/sbin");
  std::string dir;
  while (std::getline(path, dir, ':')) {
    const std::string candidate = dir + "/" + name;
    if (!dir.empty() && ::access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
  }
  return std::string();
}

// Runs `command` with `input` on its standard input; answers its exit status and output.
std::pair<int, std::string> run_with_input(const std::string& command, const std::string& input,
                                           const std::string& output_file) {
  FILE* pipe = ::popen((command + " >" + output_file + " 2>&1").c_str(), "w");
  if (pipe == nullptr) {
    return {-1, "popen failed"};
  }
  std::fwrite(input.data(), 1, input.size(), pipe);
  const int status = ::pclose(pipe);
  std::ifstream in(output_file);
  std::stringstream text;
  text << in.rdbuf();
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, text.str()};
}

class DaemonMetrics : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    db = std::make_unique<test_db>("e2e_metrics");
    // Four rows the loader reads (one of reader type 2, which it then skips) and one it filters
    // out; members 3 <- 5 <- 7 in an invitation chain, and 9 without an inviter.
    db->exec(
        "INSERT INTO brix_mb_special (special_id, member_id, reader_type, from_user, state) "
        "VALUES (1,3,0,1,0),(2,3,1,1,0),(3,5,NULL,1,0),(4,5,2,1,0),(5,5,0,1,1);"
        "INSERT INTO brix_member (member_id, inviter_id) VALUES (3,0),(5,3),(7,5),(9,NULL)");
  }
  static void TearDownTestSuite() { db.reset(); }

  void SetUp() override {
    port = free_port();
    metrics_port = free_port();
    std::filesystem::create_directories(dir.path() + "/logs");
    const std::string config = dir.write("norvel.ini", db->config_json());
    daemon = std::make_unique<foreground_daemon>(
        std::vector<std::string>{"--foreground", "--config", config, "--listen", "127.0.0.1",
                                 "--port", std::to_string(port), "--metrics", metrics_address(),
                                 "--log-dir", dir.path() + "/logs"},
        dir.path());
    ASSERT_TRUE(wait_accepting(port, *daemon)) << daemon->output();
  }

  void TearDown() override {
    if (daemon) {
      EXPECT_EQ(daemon->stop(SIGTERM), 0) << daemon->output();
    }
  }

  std::string metrics_address() const { return "127.0.0.1:" + std::to_string(metrics_port); }

  std::string scrape() {
    const http_reply reply =
        http_get("127.0.0.1", std::to_string(metrics_port), "/metrics", std::chrono::seconds(10));
    EXPECT_EQ(reply.status, 200);
    return reply.body;
  }

  // The page's samples by "name{labels}".
  std::map<std::string, double> samples() {
    std::map<std::string, double> found;
    for (const metric_family& family : parse_exposition(scrape())) {
      for (const auto& s : family.samples) {
        found[s.name + "{" + s.labels + "}"] = s.value;
      }
    }
    return found;
  }

  command_result run_cli(const std::vector<std::string>& args) {
    return run_command(cli_binary(), args, dir.path());
  }

  std::string ask(frame_client& client, const std::string& body) {
    client.send_frame(body);
    return client.recv_frame();
  }

  static std::unique_ptr<test_db> db;
  temp_dir dir;
  unsigned short port = 0;
  unsigned short metrics_port = 0;
  std::unique_ptr<foreground_daemon> daemon;
};

std::unique_ptr<test_db> DaemonMetrics::db;

const char* const follow_fetch = "{\"act\":\"follow\",\"op\":\"fetch\",\"params\":{\"user_id\":5}}";

std::string follow_fetch_body() {
  return "{\"act\":\"follow\",\"op\":\"fetch\",\"params\":{\"user_id\":77}}";
}

TEST_F(DaemonMetrics, CountExactlyWhatWasDoneAndPassPromtoolAndTheCliReadsTheSame) {
  // Waiting for the port took a connection of its own: count from when it has come and gone.
  double accepted_before = 0;
  ASSERT_TRUE(eventually([&] {
    std::map<std::string, double> now = samples();
    accepted_before = now["norvel_connections_accepted_total{}"];
    return accepted_before >= 1 && now["norvel_connections_open{}"] == 0;
  }));
  {
    frame_client client(port);
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(ask(client, follow_fetch), "{\"code\":200,\"data\":{\"follows\":[3,7]}}\n");
    }
    EXPECT_EQ(ask(client, "{\"act\":\"follow\",\"op\":\"remove\",\"params\":{\"user_id\":5}}"),
              "{\"code\":0}\n");
    EXPECT_EQ(ask(client,
                  "{\"act\":\"follow\",\"op\":\"add\",\"params\":{\"user_id\":9,"
                  "\"friends\":[3]}}"),
              "{\"code\":200,\"data\":null}\n");
    frame_client rude(port);
    rude.send_frame("not json");
    EXPECT_TRUE(rude.wait_closed());
  }
  std::map<std::string, double> page;
  ASSERT_TRUE(eventually([&] {
    page = samples();
    return page["norvel_connections_closed_total{}"] == accepted_before + 2 &&
           page["norvel_applied_messages_total{worker=\"4\"}"] == 1;  // member 9 -> worker 9 % 5
  })) << scrape();

  EXPECT_EQ(page["norvel_requests_total{act=\"follow\",op=\"fetch\",result=\"200\"}"], 3);
  EXPECT_EQ(page["norvel_requests_total{act=\"follow\",op=\"add\",result=\"200\"}"], 1);
  EXPECT_EQ(page["norvel_requests_total{act=\"other\",op=\"other\",result=\"0\"}"], 1);
  EXPECT_EQ(page["norvel_requests_total{act=\"other\",op=\"other\",result=\"closed\"}"], 1);
  EXPECT_EQ(page["norvel_request_duration_seconds_count{}"], 6);
  EXPECT_EQ(page["norvel_request_duration_seconds_bucket{le=\"+Inf\"}"], 6);
  EXPECT_EQ(page["norvel_connections_accepted_total{}"], accepted_before + 2);
  EXPECT_EQ(page["norvel_connections_open{}"], 0);
  EXPECT_GT(page["norvel_received_bytes_total{}"], 0);
  EXPECT_GT(page["norvel_sent_bytes_total{}"], 0);
  // What the load read: every live specials row (the type-2 one is read, then skipped), and
  // every member row.
  EXPECT_EQ(page["norvel_load_rows_total{table=\"brix_mb_special\"}"], 4);
  EXPECT_EQ(page["norvel_load_rows_total{table=\"brix_member\"}"], 4);
  EXPECT_EQ(page["norvel_load_in_progress{}"], 0);
  // Members 3, 5, 7 and now 9; follows 3-5, 5-7 both ways and 9 -> 3.
  EXPECT_EQ(page["norvel_store_members{}"], 4);
  EXPECT_EQ(page["norvel_store_entries{list=\"follows\"}"], 5);
  EXPECT_EQ(page["norvel_store_entries{list=\"own_specials\"}"], 3);
  EXPECT_EQ(page["norvel_store_entries{list=\"public\"}"], 2);
  EXPECT_GT(page["process_resident_memory_bytes{}"], 0);
  EXPECT_GT(page["norvel_memory_limit_bytes{}"], page["process_resident_memory_bytes{}"]);
  // Two member tables and the inviter index at least; the few short lists fit their heads.
  EXPECT_GT(page["norvel_store_bytes{structure=\"member_tables\"}"], 0);
  EXPECT_GT(page["norvel_store_bytes{structure=\"inviter_index\"}"], 0);
  EXPECT_EQ(page.count("norvel_store_bytes{structure=\"feeds\"}"), 1u);
  EXPECT_GT(page["norvel_log_entries_total{level=\"debug\"}"], 0);

  const std::string promtool = find_program("promtool");
  if (promtool.empty()) {
    GTEST_SKIP() << "promtool is not installed (scripts/install_deps.sh installs it)";
  }
  const std::string text = scrape();
  const auto [status, findings] =
      run_with_input(promtool + " check metrics", text, dir.path() + "/promtool.out");
  EXPECT_EQ(status, 0) << findings;

  const command_result stats = run_cli({"--stats", metrics_address()});
  EXPECT_EQ(stats.exit_status, 0) << stats.err;
  EXPECT_NE(stats.out.find("act=follow op=fetch result=200  3\n"), std::string::npos) << stats.out;
  EXPECT_NE(stats.out.find("table=brix_member  4\n"), std::string::npos) << stats.out;
  EXPECT_NE(stats.out.find("structure=member_tables  "), std::string::npos) << stats.out;
}

TEST_F(DaemonMetrics, HostileMetricsClientsDoNotAffectRequests) {
  std::vector<std::unique_ptr<frame_client>> hostile;
  for (int i = 0; i < 40; ++i) {
    hostile.push_back(std::make_unique<frame_client>(metrics_port, std::chrono::milliseconds(200)));
    try {
      if (i % 3 == 0) {
        hostile.back()->send_raw("\x01\x02 garbage \xff\r\n\r\n");
      } else if (i % 3 == 1) {
        std::string never_read;
        for (int r = 0; r < 500; ++r) {
          never_read += "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n";
        }
        hostile.back()->send_raw(never_read);
      }  // else: connects and says nothing
    } catch (const std::exception&) {
      // refused or stalled: that is the endpoint defending itself
    }
  }
  frame_client client(port);
  for (int i = 0; i < 200; ++i) {
    ASSERT_EQ(ask(client, follow_fetch), "{\"code\":200,\"data\":{\"follows\":[3,7]}}\n");
  }
  hostile.clear();
  EXPECT_TRUE(eventually([&] {
    try {
      return samples()["norvel_requests_total{act=\"follow\",op=\"fetch\",result=\"200\"}"] == 200;
    } catch (const std::exception&) {
      return false;  // still busy with the hostile ones
    }
  }));
}

// The endpoint's own bounds keep a crowd of metrics clients off the request port: with the
// request port allowed 16 connections, 300 connections to the metrics port (some trickling a
// request a byte at a time) leave every one of the 16 served, the daemon holds at most the
// endpoint's 32 of them open, and a trickling client is cut once its time for a request is up.
TEST(DaemonMetricsBounds, ACrowdOnTheMetricsPortTakesNothingFromTheRequestPort) {
  test_db db("e2e_metrics_bounds");
  temp_dir dir;
  const unsigned short port = free_port();
  const unsigned short metrics_port = free_port();
  std::filesystem::create_directories(dir.path() + "/logs");
  const std::string config =
      dir.write("norvel.ini", db.config_json(",\"limits\":{\"max_connections\":16}"));
  foreground_daemon daemon(
      {"--foreground", "--config", config, "--listen", "127.0.0.1", "--port", std::to_string(port),
       "--metrics", "127.0.0.1:" + std::to_string(metrics_port), "--log-dir", dir.path() + "/logs"},
      dir.path());
  ASSERT_TRUE(wait_accepting(port, daemon)) << daemon.output();
  const auto open_descriptors = [&daemon] {
    const std::string fds = "/proc/" + std::to_string(daemon.pid()) + "/fd";
    return std::distance(std::filesystem::directory_iterator(fds),
                         std::filesystem::directory_iterator());
  };
  const long before = open_descriptors();

  std::vector<std::unique_ptr<frame_client>> crowd;
  for (int i = 0; i < 300; ++i) {
    try {
      crowd.push_back(std::make_unique<frame_client>(metrics_port, std::chrono::milliseconds(200)));
      crowd.back()->send_raw("GET /metrics HTTP/1.1\r\nHo");  // and then nothing, or a trickle
    } catch (const std::exception&) {
      // refused or closed at once: the endpoint's bound at work
    }
  }
  std::vector<std::unique_ptr<frame_client>> clients;
  for (int i = 0; i < 16; ++i) {
    clients.push_back(std::make_unique<frame_client>(port));
  }
  // One byte a second per trickler; every request client asks meanwhile. The crowd beyond the
  // endpoint's bound is closed at once; the rest are cut when their 10 s for a request are up.
  std::vector<int> cut_at(crowd.size(), -1);
  for (int second = 0; second < 15; ++second) {
    for (auto& client : clients) {
      client->send_frame(follow_fetch_body());
      ASSERT_EQ(client->recv_frame().rfind("{\"code\":200,", 0), 0u);
    }
    EXPECT_LE(open_descriptors(), before + 16 + 33) << "metrics connections beyond the bound";
    for (std::size_t i = 0; i < crowd.size(); ++i) {
      if (cut_at[i] >= 0) {
        continue;
      }
      try {
        crowd[i]->send_raw("s");
      } catch (const std::exception&) {
        cut_at[i] = second;  // reset by the endpoint
      }
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
  }
  int admitted = 0;
  for (std::size_t i = 0; i < crowd.size(); ++i) {
    EXPECT_GE(cut_at[i], 0) << "a client trickling one request for 15 s is still connected";
    if (cut_at[i] >= 5) {
      ++admitted;
    }
  }
  EXPECT_GT(admitted, 0) << "no trickler was served until its time was up";
  EXPECT_LE(admitted, 32);
  crowd.clear();
  EXPECT_TRUE(eventually([&] {
    try {
      return http_get("127.0.0.1", std::to_string(metrics_port), "/metrics",
                      std::chrono::seconds(2))
                 .status == 200;
    } catch (const std::exception&) {
      return false;
    }
  }));
  EXPECT_EQ(daemon.stop(SIGTERM), 0) << daemon.output();
}

TEST_F(DaemonMetrics, APrometheusServerScrapesIt) {
  if (!prometheus_server::installed()) {
    GTEST_SKIP() << "prometheus is not installed (scripts/install_deps.sh installs it)";
  }
  {
    frame_client client(port);
    for (int i = 0; i < 7; ++i) {
      ask(client, follow_fetch);
    }
  }
  const prometheus_server server(dir.path(), {metrics_address()});
  std::string answer;
  const bool scraped = eventually(
      [&] {
        std::string error;
        const Json::Value result = server.query(
            "norvel_requests_total{act=\"follow\",op=\"fetch\",result=\"200\"}", error);
        answer = error.empty() ? result.toStyledString() : error;
        return result.size() == 1 && result[0]["metric"]["job"].asString() == "norvel" &&
               result[0]["value"][1].asString() == "7";
      },
      std::chrono::seconds(60));
  EXPECT_TRUE(scraped) << answer << "\n" << server.output();
  std::string error;
  const Json::Value up = server.query("up", error);
  ASSERT_EQ(up.size(), 1u) << error;
  EXPECT_EQ(up[0]["value"][1].asString(), "1");
}

TEST(DaemonMetricsAddress, InUseExitsTwoStartingNothing) {
  boost::asio::io_context io;
  boost::asio::ip::tcp::acceptor holder(
      io, boost::asio::ip::tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0));
  const unsigned short taken = holder.local_endpoint().port();
  const unsigned short port = free_port();
  temp_dir dir;
  const command_result result =
      run_daemon_command({"--foreground", "--listen", "127.0.0.1", "--port", std::to_string(port),
                          "--metrics", "127.0.0.1:" + std::to_string(taken)},
                         dir.path());
  EXPECT_EQ(result.exit_status, 2);
  EXPECT_EQ(result.err.rfind("norvel: cannot serve metrics on 127.0.0.1:", 0), 0u) << result.err;
  EXPECT_EQ(result.out, "");  // not even the start of the configuration read
  EXPECT_FALSE(port_accepts(port));
}

}  // namespace
