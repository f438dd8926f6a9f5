// The built daemon started the way an operator starts it: it detaches, serves framed requests
// on port 5000, stops on SIGTERM or SIGINT, and refuses to report success when it cannot start.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio.hpp>

#include "daemon_runner.h"
#include "eventually.h"
#include "foreground_daemon.h"
#include "locked_tables.h"
#include "test_db.h"

namespace {

const char* const parent_line = "First fork parent exit\n";

// True if `lines` appear in `text` in this order (other text may come between them).
::testing::AssertionResult appear_in_order(const std::string& text,
                                           const std::vector<std::string>& lines) {
  size_t at = 0;
  for (const std::string& line : lines) {
    const size_t found = text.find(line, at);
    if (found == std::string::npos) {
      return ::testing::AssertionFailure() << "missing, or out of order: [" << line << "] in\n"
                                           << text;
    }
    at = found + line.size();
  }
  return ::testing::AssertionSuccess();
}

std::string umask_of(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("Umask:", 0) == 0) {
      return line.substr(line.find_first_not_of(" \t", 6));
    }
  }
  return std::string();
}

class DaemonLifecycle : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { db = std::make_unique<test_db>("e2e_startup"); }
  static void TearDownTestSuite() { db.reset(); }

  void SetUp() override {
    ASSERT_TRUE(wait_port_free(daemon_runner::daemon_port))
        << "port 5000 is taken by another process; stop it first";
    runner = std::make_unique<daemon_runner>();
  }

  // Launches with a working configuration and waits until the daemon serves: the port is bound
  // before the load, so the load's end too.
  void start_serving() {
    runner->write_config(db->config_json());
    const launch_result launched = runner->launch();
    ASSERT_EQ(launched.exit_status, 0) << launched.terminal_output;
    ASSERT_EQ(launched.terminal_output, std::string(parent_line) + parent_line);
    ASSERT_TRUE(runner->wait_listening());
    ASSERT_NE(runner->daemon_pid(), 0);
    ASSERT_TRUE(eventually([this] {
      return runner->output_file().find("init_data end\n") != std::string::npos;
    })) << runner->output_file();
  }

  static std::unique_ptr<test_db> db;
  std::unique_ptr<daemon_runner> runner;
};

std::unique_ptr<test_db> DaemonLifecycle::db;

TEST_F(DaemonLifecycle, DetachesServesAndStopsCleanlyOnSigterm) {
  start_serving();
  const pid_t daemon = runner->daemon_pid();

  const proc_stat info = read_proc_stat(daemon);
  EXPECT_NE(info.session, ::getsid(0)) << "still in the launcher's session";
  EXPECT_NE(info.session, daemon) << "a session leader could acquire a terminal again";
  EXPECT_EQ(info.terminal, 0);
  EXPECT_EQ(umask_of(daemon), "0000");

  {
    frame_client client(daemon_runner::daemon_port);
    client.send_frame("{\"act\":\"nothing\"}");
    EXPECT_EQ(client.recv_frame(), "{\"code\":200,\"data\":null}\n");
    client.send_raw("0000000000");
    EXPECT_EQ(client.recv_exact(10), "0000000000");
  }
  ASSERT_TRUE(
      eventually([&] { return runner->event_log().find("~session quit") != std::string::npos; }));

  EXPECT_EQ(runner->stop(SIGTERM), 0);
  EXPECT_FALSE(port_accepts(daemon_runner::daemon_port));
  EXPECT_TRUE(appear_in_order(
      runner->output_file(),
      {"stdout create ok\n", "stderr create ok\n", "start read config\n", "after read config\n"}));
  const std::string log = runner->event_log();
  EXPECT_TRUE(appear_in_order(
      log, {"\tDebug:\tsession start\r\n", "\tFatal:\tsession do read quit.\r\n",
            "\tDebug:\t~session quit\r\n",
            "\tDebug:\tZUL_Object_Manager::~ZUL_Object_Manager fun=12logic_center\r\n",
            "\tDebug:\tZUL_Object_Manager::~ZUL_Object_Manager fun=7app_cfg\r\n",
            "\tDebug:\tZUL_Object_Manager::~ZUL_Object_Manager\r\n", "\tDebug:\tfiniLog\r\n"}));
  EXPECT_EQ(log.find("Main Exception"), std::string::npos);
}

TEST_F(DaemonLifecycle, SigintStopsItTooClosingOpenConnections) {
  start_serving();
  frame_client idle(daemon_runner::daemon_port);
  idle.send_frame("{\"act\":\"nothing\"}");
  EXPECT_EQ(idle.recv_frame(), "{\"code\":200,\"data\":null}\n");

  EXPECT_EQ(runner->stop(SIGINT), 0);
  EXPECT_TRUE(idle.wait_closed());
  EXPECT_TRUE(appear_in_order(runner->event_log(),
                              {"\tDebug:\t~session quit\r\n", "\tDebug:\tfiniLog\r\n"}));
}

TEST_F(DaemonLifecycle, PortInUseExitsWithStatusOneBeforeDetaching) {
  boost::asio::io_context io;
  boost::asio::ip::tcp::acceptor holder(
      io, boost::asio::ip::tcp::endpoint(boost::asio::ip::address_v4::any(),
                                         daemon_runner::daemon_port));
  runner->write_config(db->config_json());

  const launch_result launched = runner->launch();
  EXPECT_EQ(launched.exit_status, 1);
  EXPECT_EQ(launched.terminal_output.rfind("Main Exception: bind", 0), 0u)
      << launched.terminal_output;
  EXPECT_EQ(launched.terminal_output.find("First fork parent exit"), std::string::npos);
  EXPECT_EQ(runner->daemon_pid(), 0);
  EXPECT_EQ(runner->event_log(), "");
  EXPECT_EQ(runner->output_file(), "");
}

// Each test runs in a private host, so /tmp/norvel.out is ours to replace.
TEST_F(DaemonLifecycle, UnusableOutputFileExitsWithStatusOneBeforeDetaching) {
  runner->write_config(db->config_json());
  const std::string output = daemon_runner::output_path;
  const std::string victim = runner->work_dir() + "/victim";
  auto replace_output = [&](const std::function<void()>& make) {
    std::filesystem::remove_all(output);
    make();
  };
  struct unusable {
    const char* what;
    std::function<void()> make;
    const char* message;
  };
  const std::vector<unusable> cases = {
      {"a symbolic link to a file the daemon may write",
       [&] {
         std::ofstream(victim) << "precious\n";
         std::filesystem::create_symlink(victim, output);
       },
       "Main Exception: /tmp/norvel.out is a symbolic link"},
      {"a dangling symbolic link",
       [&] { std::filesystem::create_symlink(victim + ".new", output); },
       "Main Exception: /tmp/norvel.out is a symbolic link"},
      {"a directory", [&] { std::filesystem::create_directory(output); },
       "Main Exception: cannot open /tmp/norvel.out for appending: Is a directory"},
      {"a FIFO no one reads", [&] { ASSERT_EQ(::mkfifo(output.c_str(), 0666), 0); },
       "Main Exception: cannot open /tmp/norvel.out for appending"},
  };
  for (const unusable& c : cases) {
    SCOPED_TRACE(c.what);
    replace_output(c.make);
    const launch_result launched = runner->launch();
    EXPECT_EQ(launched.exit_status, 1);
    EXPECT_EQ(launched.terminal_output.rfind(c.message, 0), 0u) << launched.terminal_output;
    EXPECT_EQ(launched.terminal_output.find("First fork parent exit"), std::string::npos);
    EXPECT_EQ(runner->daemon_pid(), 0);
    EXPECT_FALSE(port_accepts(daemon_runner::daemon_port));
  }
  std::ifstream kept(victim);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "precious\n");
  EXPECT_FALSE(std::filesystem::exists(victim + ".new"));
  EXPECT_EQ(runner->event_log(), "");

  // A plain file is appended to as before, and one that does not exist yet is made with mode 0644.
  replace_output([] {});
  const mode_t inherited = ::umask(077);
  start_serving();
  ::umask(inherited);
  struct stat info {};
  ASSERT_EQ(::lstat(output.c_str(), &info), 0);
  EXPECT_TRUE(S_ISREG(info.st_mode));
  EXPECT_EQ(info.st_mode & 0777, 0644u);
  EXPECT_EQ(runner->stop(SIGTERM), 0);
  std::ifstream appended(output);
  EXPECT_TRUE(appear_in_order(std::string(std::istreambuf_iterator<char>(appended), {}),
                              {"stdout create ok\n", "after read config\n"}));
}

// A stop during a load that waits for the database: the reads are interrupted, the stop is
// logged, no request is answered, and the daemon ends with the failed start-up's status while
// the tables are still locked (so the load cannot have finished), detached and in the foreground.
TEST_F(DaemonLifecycle, StopDuringAStalledLoadAbandonsItAndServesNothing) {
  for (const int signal_number : {SIGTERM, SIGINT}) {
    locked_tables locked(*db);
    runner->write_config(db->config_json());
    EXPECT_EQ(runner->launch().exit_status, 0);
    ASSERT_TRUE(locked.waiting()) << runner->output_file();
    frame_client early(daemon_runner::daemon_port);  // taken by the kernel, never served
    early.send_frame("{\"act\":\"follow\",\"op\":\"fetch\",\"params\":{\"user_id\":1}}");
    EXPECT_EQ(runner->stop(signal_number), 1) << runner->output_file();
    std::string received;
    EXPECT_TRUE(early.wait_closed(&received));
    EXPECT_EQ(received, "") << "answered during an abandoned load";
    EXPECT_TRUE(appear_in_order(
        runner->event_log(),
        {"\tInfo:\tsignal " + std::to_string(signal_number) +
             " during the start-up load: the load is abandoned",
         "\tDebug:\tMain Exception: the start-up load was abandoned by a stop signal", "finiLog"}));
    EXPECT_EQ(runner->output_file().find("init_data end"), std::string::npos);
    EXPECT_FALSE(port_accepts(daemon_runner::daemon_port));
    runner = std::make_unique<daemon_runner>();  // fresh files for the next signal
  }

  locked_tables locked(*db);
  temp_dir dir;
  const unsigned short port = free_port();
  std::filesystem::create_directories(dir.path() + "/logs");
  foreground_daemon daemon(
      {"--foreground", "--config", dir.write("norvel.ini", db->config_json()), "--listen",
       "127.0.0.1", "--port", std::to_string(port), "--log-dir", dir.path() + "/logs"},
      dir.path());
  ASSERT_TRUE(locked.waiting()) << daemon.output();
  EXPECT_EQ(daemon.stop(SIGTERM), 1) << daemon.output();
  EXPECT_EQ(daemon.output().find("init_data end"), std::string::npos) << daemon.output();
}

TEST_F(DaemonLifecycle, FailedLoadAfterDetachingExitsWithStatusOne) {
  // No configuration file: the settings stay empty and the store cannot reach its database.
  const launch_result launched = runner->launch();
  EXPECT_EQ(launched.exit_status, 0);  // the parents had already reported the detach

  EXPECT_EQ(runner->wait_exit(), 1);
  EXPECT_TRUE(
      appear_in_order(runner->output_file(),
                      {"start read config\n", "Exception app_cfg::open_file: file is not exist\n",
                       "after read config\n"}));
  EXPECT_TRUE(appear_in_order(runner->event_log(), {"\tDebug:\tMain Exception: ", "finiLog"}));
  EXPECT_FALSE(port_accepts(daemon_runner::daemon_port));
}

}  // namespace
