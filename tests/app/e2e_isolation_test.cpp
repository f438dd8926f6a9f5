// The end-to-end tests on a machine where a daemon already serves port 5000 (the demo, a
// production instance): they pass, and leave that daemon, its port, its output file and its event
// log exactly as they were. This test plays the machine: inside its own private host it starts a
// daemon the way the demo does, then runs end-to-end tests of the other executables beside it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "daemon_runner.h"
#include "private_host.h"
#include "test_db.h"

namespace {

namespace fs = std::filesystem;

const char* const fetch_public =
    R"({"act":"special","op":"fetch_pub","params":{"special_id":-1,"count":10,"type":1}})";

// What a file holds and when it was last written.
struct file_state {
  std::string content;
  long long modified_ns = 0;
  bool operator==(const file_state& other) const {
    return content == other.content && modified_ns == other.modified_ns;
  }
};

file_state state_of(const fs::path& path) {
  file_state state;
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  state.content = text.str();
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0) {
    state.modified_ns = info.st_mtim.tv_sec * 1000000000LL + info.st_mtim.tv_nsec;
  }
  return state;
}

// Every file the running daemon owns: its output and everything in its log directory.
std::map<std::string, file_state> daemon_files() {
  std::map<std::string, file_state> files;
  files[daemon_runner::output_path] = state_of(daemon_runner::output_path);
  for (const auto& entry : fs::directory_iterator(daemon_runner::log_dir)) {
    files[entry.path().string()] = state_of(entry.path());
  }
  return files;
}

// The files once nothing has been written to them for half a second (a log may be flushed a
// little after the line was made).
std::map<std::string, file_state> settled_daemon_files() {
  std::map<std::string, file_state> last = daemon_files();
  for (int round = 0; round < 20; ++round) {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    std::map<std::string, file_state> now = daemon_files();
    if (now == last) {
      break;
    }
    last = std::move(now);
  }
  return last;
}

// Runs one end-to-end executable of this build with a test filter; answers its exit status and
// leaves its output in `*output`.
int run_tests(const std::string& executable, const std::string& filter, const std::string& dir,
              std::string* output) {
  const std::string log = dir + "/" + executable + ".log";
  const std::string command = std::string(NORVEL_BINARY_DIR) + "/tests/" + executable +
                              " --gtest_filter='" + filter + "' >'" + log + "' 2>&1";
  const int status = std::system(command.c_str());
  *output = state_of(log).content;
  return status;
}

TEST(E2eIsolation, TestsPassBesideARunningDaemonAndLeaveItAndItsFilesAlone) {
  if (!in_private_host()) {
    GTEST_SKIP() << "no private host: this test would start a daemon on the host's port 5000";
  }
  test_db db("e2e_isolation");
  db.exec(
      "INSERT INTO brix_member (member_id, inviter_id) VALUES (1,0);"
      "INSERT INTO brix_mb_special (special_id, member_id, reader_type, from_user, state)"
      " VALUES (7001,1,0,1,0);");
  daemon_runner running;
  db.write_config(running.work_dir());
  ASSERT_EQ(running.launch().exit_status, 0);
  ASSERT_TRUE(running.wait_listening()) << running.output_file();
  const pid_t running_pid = running.daemon_pid();
  ASSERT_NE(running_pid, 0);
  {
    frame_client client(daemon_runner::daemon_port);
    client.send_frame(fetch_public);
    ASSERT_EQ(client.recv_frame(), "{\"code\":200,\"data\":{\"specials\":[7001]}}\n");
  }
  const std::map<std::string, file_state> before = settled_daemon_files();

  std::string output;
  EXPECT_EQ(run_tests("e2e_protocol_test",
                      "E2eProtocol.LoadedDataIsAnsweredByEveryQuery:"
                      "E2eProtocol.SigtermStopsTheDaemonCleanlyWithConnectionsOpen",
                      running.work_dir(), &output),
            0)
      << output;
  EXPECT_EQ(run_tests("e2e_startup_test",
                      "DaemonLifecycle.DetachesServesAndStopsCleanlyOnSigterm:"
                      "DaemonLifecycle.PortInUseExitsWithStatusOneBeforeDetaching",
                      running.work_dir(), &output),
            0)
      << output;

  EXPECT_TRUE(daemon_files() == before) << "the running daemon's output or event log changed";
  EXPECT_EQ(running.daemon_pid(), running_pid);
  frame_client client(daemon_runner::daemon_port);
  client.send_frame(fetch_public);
  EXPECT_EQ(client.recv_frame(), "{\"code\":200,\"data\":{\"specials\":[7001]}}\n");
  EXPECT_EQ(running.stop(SIGTERM), 0);
}

}  // namespace
