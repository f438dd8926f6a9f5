// The built daemon run with options: wrong ones stop it before anything starts, --check-config
// reports what a start would load, and --foreground serves on the address, port and log directory
// it was given (from the command line or the configuration file) without detaching.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "daemon_runner.h"
#include "foreground_daemon.h"
#include "test_db.h"

namespace {

// The service manager's end of the readiness protocol: a datagram socket the daemon is told of in
// NOTIFY_SOCKET.
class notify_listener {
 public:
  explicit notify_listener(const std::string& socket_path) : path(socket_path) {
    fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof(address.sun_path) - 1);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
      throw std::runtime_error("cannot bind " + path);
    }
  }
  ~notify_listener() { ::close(fd); }
  notify_listener(const notify_listener&) = delete;
  notify_listener& operator=(const notify_listener&) = delete;

  // The next message, or "" when none comes within the time.
  std::string next(std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
    pollfd entry{fd, POLLIN, 0};
    if (::poll(&entry, 1, static_cast<int>(timeout.count())) <= 0) {
      return std::string();
    }
    char buffer[4096];
    const ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
  }
  // Reads messages until one holds `field`; answers it, or "" at the timeout.
  std::string wait_for(const std::string& field) {
    for (std::string message = next(); !message.empty(); message = next()) {
      if (message.find(field) != std::string::npos) {
        return message;
      }
    }
    return std::string();
  }

  std::string environment() const { return "NOTIFY_SOCKET=" + path; }

 private:
  std::string path;
  int fd = -1;
};

class DaemonOptions : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    db = std::make_unique<test_db>("e2e_options");
    // Three specials the load keeps (a NULL type reads as 0), one of type 2 and one deleted,
    // which it skips; four members, two of them invited.
    db->exec(
        "INSERT INTO brix_mb_special (special_id, member_id, reader_type, from_user, state) "
        "VALUES (1,3,0,1,0),(2,3,1,1,0),(3,5,NULL,1,0),(4,5,2,1,0),(5,5,0,1,1);"
        "INSERT INTO brix_member (member_id, inviter_id) VALUES (3,0),(5,3),(7,5),(9,NULL)");
  }
  static void TearDownTestSuite() { db.reset(); }

  static std::unique_ptr<test_db> db;
  temp_dir dir;
};

std::unique_ptr<test_db> DaemonOptions::db;

TEST_F(DaemonOptions, WrongOptionsExitTwoWithOneLineAndAPointerToTheUsageStartingNothing) {
  const unsigned short port = free_port();
  const std::string config = dir.write("norvel.ini", db->config_json());
  dir.write("broken.ini", "{\"DB\":");
  const std::vector<std::vector<std::string>> wrong = {
      {"--bogus"},
      {"--port", "70000"},
      {"--listen", "not-an-address"},
      {"--config", dir.path() + "/missing.ini"},
      {"--config", dir.path() + "/broken.ini"},
      {"--config", config, "--log-dir", dir.path() + "/no-such-dir"},
      {"--config", dir.write("typo.ini", "{\"daemon\":{\"prot\":1}}")},
  };
  for (std::vector<std::string> args : wrong) {
    args.push_back("--foreground");  // were it started by mistake, it would stay our child
    if (args[0] != "--port") {
      args.insert(args.end(), {"--port", std::to_string(port)});
    }
    const command_result result = run_daemon_command(args, dir.path());
    EXPECT_EQ(result.exit_status, 2) << args[0] << " " << args[1];
    EXPECT_EQ(result.err.rfind("norvel: ", 0), 0u) << result.err;
    const std::size_t line_end = result.err.find('\n');
    EXPECT_EQ(result.err.substr(line_end + 1), "see --help\n") << result.err;
    EXPECT_EQ(result.out, "") << args[0];
  }
  EXPECT_FALSE(port_accepts(port));
  EXPECT_FALSE(std::filesystem::exists(dir.path() + "/no-such-dir"));
}

TEST_F(DaemonOptions, HelpAndVersionPrintAndExitZero) {
  const command_result help = run_daemon_command({"--help"}, dir.path());
  EXPECT_EQ(help.exit_status, 0);
  EXPECT_EQ(help.out.rfind("usage: norvel", 0), 0u);
  EXPECT_NE(help.out.find("--check-config"), std::string::npos);
  const command_result version = run_daemon_command({"--version"}, dir.path());
  EXPECT_EQ(version.exit_status, 0);
  EXPECT_EQ(version.out.rfind("norvel ", 0), 0u) << version.out;
  EXPECT_EQ(version.err, "");
}

TEST_F(DaemonOptions, CheckConfigCountsWhatTheLoadWouldReadAndStartsNothing) {
  const std::string config = dir.write("norvel.ini", db->config_json());
  const command_result ok = run_daemon_command({"--config", config, "--check-config"}, dir.path());
  EXPECT_EQ(ok.exit_status, 0) << ok.out << ok.err;
  EXPECT_NE(ok.out.find("would load: 3 specials (brix_mb_special), 4 members of which 2 have an "
                        "inviter (brix_member)"),
            std::string::npos)
      << ok.out;
  EXPECT_EQ(ok.err, "");

  std::string wrong_password = db->config_json();
  wrong_password.replace(wrong_password.find(db->password()), db->password().size(), "wrong");
  const command_result refused = run_daemon_command(
      {"--config", dir.write("bad.ini", wrong_password), "--check-config"}, dir.path());
  EXPECT_EQ(refused.exit_status, 1);
  EXPECT_NE(refused.err.find("cannot connect to the database"), std::string::npos) << refused.err;

  // The classic default path, missing: the same report the daemon would give, and status 1.
  const command_result missing = run_daemon_command({"--check-config"}, dir.path());
  EXPECT_EQ(missing.exit_status, 1);
  EXPECT_NE(missing.out.find("Exception app_cfg::open_file: file is not exist"), std::string::npos);
}

TEST_F(DaemonOptions, ForegroundServesWhereToldWithoutDetachingAndStopsOnSigterm) {
  // The configuration file names the address, a port and the log directory; the command line
  // overrides the port.
  const unsigned short config_port = free_port();
  const unsigned short port = free_port();
  std::filesystem::create_directories(dir.path() + "/logs");
  const std::string config =
      dir.write("norvel.ini", db->config_json(",\"daemon\":{\"listen\":\"127.0.0.1\",\"port\":" +
                                              std::to_string(config_port) + ",\"log_dir\":\"" +
                                              dir.path() + "/logs\"}"));
  const long long output_before = std::filesystem::exists(daemon_runner::output_path)
                                      ? std::filesystem::file_size(daemon_runner::output_path)
                                      : -1;

  foreground_daemon daemon({"--foreground", "--config", config, "--port", std::to_string(port)},
                           dir.path());
  ASSERT_TRUE(wait_accepting(port, daemon)) << daemon.output();
  EXPECT_FALSE(port_accepts(config_port));
  // No fork: the process we started is the one serving, still in our session.
  EXPECT_EQ(read_proc_stat(daemon.pid()).session, ::getsid(0));
  {
    frame_client client(port);
    client.send_frame(
        "{\"act\":\"special\",\"op\":\"fetch_pri\",\"params\":{\"user_id\":5,"
        "\"special_id\":-1,\"count\":10,\"type\":1}}");
    EXPECT_EQ(client.recv_frame(), "{\"code\":200,\"data\":{\"specials\":[3,2,1]}}\n");
  }
  EXPECT_EQ(daemon.stop(SIGTERM), 0);

  const std::string output = daemon.output();
  EXPECT_NE(output.find("start read config\nafter read config\n"), std::string::npos) << output;
  EXPECT_EQ(output.find("stdout create ok"), std::string::npos);
  const long long output_after = std::filesystem::exists(daemon_runner::output_path)
                                     ? std::filesystem::file_size(daemon_runner::output_path)
                                     : -1;
  EXPECT_EQ(output_after, output_before) << "wrote to /tmp/norvel.out";
  std::string log;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path() + "/logs")) {
    log += dir.read("logs/" + entry.path().filename().string());
  }
  EXPECT_NE(log.find("\tDebug:\tfiniLog\r\n"), std::string::npos) << log;
  // In the foreground the load reports its progress (every 5 s, and its totals at the end).
  EXPECT_NE(log.find("\tInfo:\tload progress: finished, brix_mb_special 4 rows, brix_member 4 "
                     "rows, 8 rows in "),
            std::string::npos)
      << log;
}

// With the log filtered above Debug, how the process ended is still written: the reason a start
// failed (on standard error too, in the foreground) and the end of the log; other Debug entries
// stay out.
TEST_F(DaemonOptions, AFilteredLogStillRecordsAFailedStartAndTheEnd) {
  std::filesystem::create_directories(dir.path() + "/logs");
  const std::string config = dir.write(
      "norvel.ini", R"({"DB":{"host":"127.0.0.1","user":"norvel_nobody","passwd":"wrong",)"
                    R"("name":"norvel_none","port":3306},"log":{"level":"info"}})");
  const command_result result =
      run_daemon_command({"--foreground", "--config", config, "--listen", "127.0.0.1", "--port",
                          std::to_string(free_port()), "--log-dir", dir.path() + "/logs"},
                         dir.path());
  EXPECT_EQ(result.exit_status, 1) << result.err;
  EXPECT_NE(result.err.find("Main Exception: mysql connection init error.\n"), std::string::npos)
      << result.err;
  std::string log;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path() + "/logs")) {
    log += dir.read("logs/" + entry.path().filename().string());
  }
  EXPECT_NE(log.find("\tDebug:\tMain Exception: mysql connection init error.\r\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("\tDebug:\tfiniLog\r\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("\tDebug:\tstart\r\n"), std::string::npos) << log;
}

TEST_F(DaemonOptions, ForegroundTellsTheServiceManagerOnceItServesAndWhenItStops) {
  const unsigned short port = free_port();
  const std::string config = dir.write("norvel.ini", db->config_json());
  std::filesystem::create_directories(dir.path() + "/logs");
  notify_listener manager(dir.path() + "/notify");

  foreground_daemon daemon({"--foreground", "--config", config, "--listen", "127.0.0.1", "--port",
                            std::to_string(port), "--log-dir", dir.path() + "/logs"},
                           dir.path(), {manager.environment()});
  const std::string ready = manager.wait_for("READY=1");
  ASSERT_NE(ready, "") << daemon.output();
  EXPECT_NE(daemon.output().find("init_data end\n"), std::string::npos) << "ready before the load";
  // Ready means loaded and serving: the first request is answered from the loaded store.
  frame_client client(port);
  client.send_frame("{\"act\":\"follow\",\"op\":\"fetch\",\"params\":{\"user_id\":5}}");
  EXPECT_EQ(client.recv_frame(), "{\"code\":200,\"data\":{\"follows\":[3,7]}}\n");

  ASSERT_EQ(::kill(daemon.pid(), SIGTERM), 0);
  EXPECT_NE(manager.wait_for("STOPPING=1"), "");
  EXPECT_EQ(daemon.wait_exit(), 0);
}

}  // namespace
