// norvel-cli top against the built daemon under a small load, beside three endpoints that fail
// in the ways a site's do: one that is down, one that accepts and never answers, one that
// answers something that is not a node's page. --once prints the node's figures and each of the
// others as unreachable; under a real terminal (tmux) the full-screen view shows the same,
// refreshes, and quits on q.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio.hpp>

#include "daemon_runner.h"
#include "eventually.h"
#include "foreground_daemon.h"
#include "test_db.h"

namespace {

using boost::asio::ip::tcp;

// Endpoints that fail: `silent` accepts connections and never answers; `foreign` answers every
// connection with an HTTP page that is not a metrics page, then closes it.
class failing_endpoints {
 public:
  failing_endpoints()
      : silent(io, tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0)),
        foreign(io, tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0)) {
    serve_foreign();
    runner = std::thread([this] { io.run(); });
  }
  ~failing_endpoints() {
    io.stop();
    runner.join();
  }
  failing_endpoints(const failing_endpoints&) = delete;
  failing_endpoints& operator=(const failing_endpoints&) = delete;

  std::string silent_address() const {
    return "127.0.0.1:" + std::to_string(silent.local_endpoint().port());
  }
  std::string foreign_address() const {
    return "127.0.0.1:" + std::to_string(foreign.local_endpoint().port());
  }

 private:
  void serve_foreign() {
    foreign.async_accept([this](const boost::system::error_code& ec, tcp::socket socket) {
      if (ec) {
        return;
      }
      auto peer = std::make_shared<tcp::socket>(std::move(socket));
      auto reply = std::make_shared<std::string>(
          "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 23\r\n"
          "Connection: close\r\n\r\n<html>it works!</html>\n");
      boost::asio::async_write(*peer, boost::asio::buffer(*reply),
                               [peer, reply](const boost::system::error_code&, std::size_t) {});
      serve_foreign();
    });
  }

  boost::asio::io_context io;
  tcp::acceptor silent;  // listens, never accepts: connections wait in its backlog
  tcp::acceptor foreign;
  std::thread runner;
};

class TopView : public ::testing::Test {
 protected:
  void SetUp() override {
    db = std::make_unique<test_db>("e2e_top");
    db->exec(
        "INSERT INTO brix_member (member_id, inviter_id) VALUES (3,0),(5,3);"
        "INSERT INTO brix_mb_special (special_id, member_id, reader_type, from_user, state) "
        "VALUES (1,3,0,1,0)");
    port = free_port();
    metrics = "127.0.0.1:" + std::to_string(free_port());
    std::filesystem::create_directories(dir.path() + "/logs");
    daemon = std::make_unique<foreground_daemon>(
        std::vector<std::string>{"--foreground", "--config",
                                 dir.write("norvel.ini", db->config_json()), "--listen",
                                 "127.0.0.1", "--port", std::to_string(port), "--metrics", metrics,
                                 "--log-dir", dir.path() + "/logs"},
        dir.path());
    ASSERT_TRUE(wait_accepting(port, *daemon)) << daemon->output();
    load = std::thread([this] {
      frame_client client(port);
      while (!stop) {
        client.send_frame("{\"act\":\"follow\",\"op\":\"fetch\",\"params\":{\"user_id\":5}}");
        client.recv_frame();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
    });
  }

  void TearDown() override {
    stop = true;
    if (load.joinable()) {
      load.join();
    }
    if (daemon) {
      EXPECT_EQ(daemon->stop(SIGTERM), 0) << daemon->output();
    }
  }

  std::unique_ptr<test_db> db;
  temp_dir dir;
  unsigned short port = 0;
  std::string metrics;
  std::unique_ptr<foreground_daemon> daemon;
  std::atomic<bool> stop{false};
  std::thread load;
  failing_endpoints failing;
};

TEST_F(TopView, OnceShowsTheNodeAndEachFailingEndpointAsUnreachable) {
  const std::string down = "127.0.0.1:" + std::to_string(free_port());
  const auto started = std::chrono::steady_clock::now();
  const command_result result = run_command(
      cli_binary(),
      {"top", "--once", metrics, failing.silent_address(), failing.foreign_address(), down},
      dir.path(), std::chrono::seconds(20));
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
  EXPECT_EQ(result.exit_status, 1) << result.err;  // not every node could be read
  const std::string& out = result.out;
  const std::size_t node = out.find(" " + metrics + " ready=1 rps=");
  ASSERT_NE(node, std::string::npos) << out;
  EXPECT_NE(out.find(" ops=follow/fetch:", node), std::string::npos) << out;
  EXPECT_NE(out.find(" mem=feeds:", node), std::string::npos) << out;
  EXPECT_NE(out.find(" " + failing.silent_address() + " unreachable: no answer"), std::string::npos)
      << out;
  EXPECT_NE(out.find(" " + failing.foreign_address() + " unreachable: not a norvel metrics page"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find(" " + down + " unreachable: "), std::string::npos) << out;

  const command_result wrong = run_command(cli_binary(), {"top", "--interval", "0", metrics},
                                           dir.path(), std::chrono::seconds(5));
  EXPECT_EQ(wrong.exit_status, 2);
}

TEST_F(TopView, UnderATerminalItRefreshesAndQuitsOnQ) {
  if (::access("/usr/bin/tmux", X_OK) != 0) {
    GTEST_SKIP() << "tmux is not installed (scripts/install_deps.sh installs it)";
  }
  const std::string socket = dir.path() + "/tmux.sock";
  const std::string command = cli_binary() + " top " + metrics + " " + failing.silent_address() +
                              "; echo $? >" + dir.path() + "/status";
  auto tmux = [&](const std::vector<std::string>& args) {
    std::vector<std::string> all = {"-S", socket};
    all.insert(all.end(), args.begin(), args.end());
    return run_command("/usr/bin/tmux", all, dir.path(), std::chrono::seconds(10),
                       {"TERM=xterm-256color"});
  };
  ASSERT_EQ(tmux({"new-session", "-d", "-x", "100", "-y", "30", command}).exit_status, 0);

  // The screen shows the node's rates (after its second scrape) and the silent endpoint, and
  // its clock moves on.
  std::string screen;
  std::string first_title;
  const bool refreshed = eventually(
      [&] {
        screen = tmux({"capture-pane", "-p"}).out;
        const std::string title = screen.substr(0, screen.find('\n'));
        if (first_title.empty() && title.rfind("norvel top  2 nodes", 0) == 0) {
          first_title = title;
        }
        return !first_title.empty() && title != first_title &&
               screen.find(metrics + "  ready") != std::string::npos &&
               screen.find("    follow fetch ") != std::string::npos &&
               screen.find(failing.silent_address() + "  UNREACHABLE  no answer") !=
                   std::string::npos;
      },
      std::chrono::seconds(15));
  EXPECT_TRUE(refreshed) << screen;

  ASSERT_EQ(tmux({"send-keys", "q"}).exit_status, 0);
  EXPECT_TRUE(eventually([&] { return !dir.read("status").empty(); }, std::chrono::seconds(5)))
      << tmux({"capture-pane", "-p"}).out;
  EXPECT_EQ(dir.read("status"), "0\n");
  tmux({"kill-server"});
}

}  // namespace
