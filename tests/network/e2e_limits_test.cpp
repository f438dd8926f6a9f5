// What clients can take of the daemon, against the built daemon: as many connections as the
// machine's descriptor limit allows, but no more than the configured maximum, beyond which new
// connections are closed at once while the others are served on.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "apply/work_backlog.h"
#include "daemon_runner.h"
#include "locked_tables.h"
#include "metrics/process_stats.h"
#include "store/logic_center.h"
#include "store/special.h"
#include "test_db.h"
#include "text_search.h"

namespace {

const char* const fetch_public =
    R"({"act":"special","op":"fetch_pub","params":{"special_id":-1,"count":10,"type":1}})";
const std::string public_reply = "{\"code\":200,\"data\":{\"specials\":[900]}}\n";

// The soft limit on open files of process `pid`, from /proc.
unsigned long long soft_open_files(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/limits");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("Max open files", 0) == 0) {
      std::istringstream fields(line.substr(std::string("Max open files").size()));
      unsigned long long soft = 0;
      fields >> soft;
      return soft;
    }
  }
  return 0;
}

class E2eLimits : public ::testing::Test {
 protected:
  void SetUp() override {
    db = std::make_unique<test_db>("e2e_limits");
    db->exec(
        "INSERT INTO brix_member (member_id, inviter_id) VALUES (1,0);"
        "INSERT INTO brix_mb_special (special_id, member_id, reader_type, from_user, state)"
        " VALUES (900,1,0,1,0);");
    runner = std::make_unique<daemon_runner>();
  }

  void TearDown() override {
    if (runner && runner->daemon_pid() != 0) {
      EXPECT_EQ(runner->stop(SIGTERM), 0);
    }
  }

  // Starts the daemon with the database settings and `members` (",\"limits\":{...}", say).
  void start(const std::string& members = "") {
    runner->write_config(db->config_json(members));
    const launch_result launched = runner->launch();
    ASSERT_EQ(launched.exit_status, 0) << launched.terminal_output;
    ASSERT_TRUE(runner->wait_listening()) << runner->output_file();
  }

  // A connection that has been answered once, so the daemon holds a session for it.
  std::unique_ptr<frame_client> served_client() {
    auto client =
        std::make_unique<frame_client>(daemon_runner::daemon_port, std::chrono::milliseconds(5000));
    client->send_frame(fetch_public);
    EXPECT_EQ(client->recv_frame(), public_reply);
    return client;
  }

  // Entries reach the file a little after they are made: waits until `part` is there.
  bool log_shows(const std::string& part) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (runner->event_log().find(part) == std::string::npos) {
      if (std::chrono::steady_clock::now() > deadline) {
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
  }

  // How often `part` is in the event log once it is there at least `expected` times (or the
  // deadline passed), and a little later, so that one too many would show.
  std::size_t settled_count(const std::string& part, std::size_t expected) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (count_of(runner->event_log(), part) < expected &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return count_of(runner->event_log(), part);
  }

  std::unique_ptr<test_db> db;
  std::unique_ptr<daemon_runner> runner;
};

TEST_F(E2eLimits, SoftDescriptorLimitIsRaisedSoConnectionsBeyondItAreServed) {
  rlimit own{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &own), 0);
  const unsigned long long clients = 1500;
  if (own.rlim_max != RLIM_INFINITY && own.rlim_max < clients + 300) {
    GTEST_SKIP() << "the hard descriptor limit " << own.rlim_max << " is too low for this test";
  }
  own.rlim_cur = own.rlim_max == RLIM_INFINITY ? clients + 300 : own.rlim_max;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &own), 0);

  runner->set_open_files_limit(1024);
  start();
  const pid_t daemon = runner->daemon_pid();
  ASSERT_NE(daemon, 0);
  rlimit hard{};
  ::getrlimit(RLIMIT_NOFILE, &hard);
  if (hard.rlim_max != RLIM_INFINITY) {
    EXPECT_EQ(soft_open_files(daemon), hard.rlim_max);
  }
  EXPECT_TRUE(log_shows("open descriptors: soft limit " + std::to_string(soft_open_files(daemon)) +
                        " (inherited 1024); at most "))
      << runner->event_log();

  // All of them held open at once, each answered: far more than 1024 descriptors would hold.
  // Made in batches that the listen backlog takes without dropping a connection attempt.
  std::vector<std::unique_ptr<frame_client>> open;
  while (open.size() < clients) {
    const std::size_t batch_start = open.size();
    for (int i = 0; i < 100; ++i) {
      open.push_back(std::make_unique<frame_client>(daemon_runner::daemon_port,
                                                    std::chrono::milliseconds(5000)));
      open.back()->send_frame(fetch_public);
    }
    for (std::size_t i = batch_start; i < open.size(); ++i) {
      ASSERT_EQ(open[i]->recv_frame(), public_reply) << "client " << i;
    }
  }
}

TEST_F(E2eLimits, BeyondTheMaximumNewConnectionsAreClosedAtOnceAndLoggedOncePerRun) {
  start(",\"limits\":{\"max_connections\":20}");
  std::vector<std::unique_ptr<frame_client>> open;
  for (int i = 0; i < 20; ++i) {
    open.push_back(served_client());
  }
  for (int i = 0; i < 5; ++i) {
    frame_client extra(daemon_runner::daemon_port, std::chrono::milliseconds(5000));
    extra.send_frame(fetch_public);
    std::string received;
    EXPECT_TRUE(extra.wait_closed(&received)) << "connection " << 21 + i << " was kept open";
    EXPECT_EQ(received, "");
  }
  for (auto& client : open) {  // the others are served on
    client->send_frame(fetch_public);
    EXPECT_EQ(client->recv_frame(), public_reply);
  }
  const std::string limit_line = "connection limit of 20 reached";
  EXPECT_EQ(settled_count(limit_line, 1), 1u) << runner->event_log();

  // Once a client leaves, a new one is served again; a new run of refusals is logged anew.
  open.erase(open.begin(), open.begin() + 3);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (open.size() < 20 && std::chrono::steady_clock::now() < deadline) {
    auto probe =
        std::make_unique<frame_client>(daemon_runner::daemon_port, std::chrono::milliseconds(5000));
    try {
      probe->send_frame(fetch_public);
      EXPECT_EQ(probe->recv_frame(), public_reply);
      open.push_back(std::move(probe));
    } catch (const std::exception&) {  // closed: the daemon has not yet seen the others leave
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  ASSERT_EQ(open.size(), 20u);
  frame_client extra(daemon_runner::daemon_port, std::chrono::milliseconds(5000));
  EXPECT_TRUE(extra.wait_closed());
  EXPECT_EQ(settled_count(limit_line, 2), 2u) << runner->event_log();
}

// The changes waiting in the workers' queues now, from the daemon's metrics endpoint
// (127.0.0.1:9187); 0 if it does not answer.
std::size_t queued_messages() {
  try {
    frame_client http(9187, std::chrono::milliseconds(2000));
    http.send_raw("GET /metrics HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
    std::string page;
    http.wait_closed(&page);
    std::size_t total = 0;
    std::istringstream lines(page);
    for (std::string line; std::getline(lines, line);) {
      if (line.rfind("norvel_queued_messages{", 0) == 0) {
        total += std::stoul(line.substr(line.rfind(' ') + 1));
      }
    }
    return total;
  } catch (const std::exception&) {
    return 0;
  }
}

TEST_F(E2eLimits, MutationFloodIsHeldBackAndEveryAcceptedMutationIsApplied) {
  // Member 1 invited 1,000 members, so it follows them all: each of its specials goes into 1,000
  // feeds, and every special add of member 1 costs its worker 1,000 merges.
  std::string members = "(2,1)";  // member 1 is seeded already
  for (int m = 3; m <= 1001; ++m) {
    members += ",(" + std::to_string(m) + ",1)";
  }
  db->exec("INSERT INTO brix_member (member_id, inviter_id) VALUES " + members);
  start(",\"daemon\":{\"metrics\":\"127.0.0.1:9187\"}");
  const pid_t daemon = runner->daemon_pid();
  ASSERT_NE(daemon, 0);
  const long long resident_before = static_cast<long long>(resident_bytes_of(daemon));
  long long resident_peak = resident_before;
  std::size_t most_queued = 0;
  auto sample = [&] {
    resident_peak = std::max(resident_peak, static_cast<long long>(resident_bytes_of(daemon)));
    most_queued = std::max(most_queued, queued_messages());
  };

  // The same 1,000 specials again and again (~24 KB of queued work each), sent as fast as the
  // daemon takes them, never reading a reply.
  std::string specials;
  for (int id = 1; id <= 1000; ++id) {
    specials +=
        std::string(id == 1 ? "" : ",") + "{\"spid\":" + std::to_string(id) + ",\"type\":1}";
  }
  const std::string add =
      frame(R"({"act":"special","op":"add","params":{"user_id":1,"specials":[)" + specials + "]}}");
  frame_client flood(daemon_runner::daemon_port, std::chrono::milliseconds(120000));
  const std::size_t cap = 15000;  // ~360 MB of work: far beyond the bound
  std::size_t sent = 0;
  std::size_t offset = 0;  // into the frame being sent
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  while (sent < cap && std::chrono::steady_clock::now() < until) {
    pollfd entry{flood.descriptor(), POLLOUT, 0};
    if (::poll(&entry, 1, 20) <= 0) {
      sample();
      continue;
    }
    const ssize_t n = ::send(flood.descriptor(), add.data() + offset, add.size() - offset,
                             MSG_DONTWAIT | MSG_NOSIGNAL);
    ASSERT_GE(n, 0) << std::strerror(errno);
    offset += static_cast<std::size_t>(n);
    if (offset == add.size()) {
      offset = 0;
      if (++sent % 100 == 0) {
        sample();
      }
    }
  }
  if (offset != 0) {  // the frame under way goes out whole
    flood.send_raw(add.substr(offset));
    ++sent;
  }
  // Never more queued than the bound holds (64 MiB: ~2,800 of these) and the one past it.
  const std::size_t message_cost =
      sizeof(logic_center::inner_type) + 4 * sizeof(void*) + 1000 * sizeof(special);
  EXPECT_LE(most_queued, work_backlog::bound / message_cost + 2)
      << "the daemon kept reading mutations its workers could not apply";
  flood.send_frame(R"({"act":"special","op":"add","params":{"user_id":1,"specials":[
                      {"spid":5000000,"type":1}]}})");

  // Every request is answered and applied: the last one lands in a follower's feed.
  for (std::size_t i = 0; i <= sent; ++i) {
    ASSERT_EQ(flood.recv_frame(), "{\"code\":200,\"data\":null}\n") << "reply " << i;
    if (i % 100 == 0) {
      sample();
    }
  }
  frame_client reader(daemon_runner::daemon_port);
  const std::string newest_of_2 =
      R"({"act":"special","op":"fetch_pri","params":{"user_id":2,"special_id":-1,"count":2,"type":1}})";
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  std::string reply;
  do {
    reader.send_frame(newest_of_2);
    reply = reader.recv_frame();
  } while (reply != "{\"code\":200,\"data\":{\"specials\":[5000000,1000]}}\n" &&
           std::chrono::steady_clock::now() < deadline &&
           (std::this_thread::sleep_for(std::chrono::milliseconds(20)), true));
  EXPECT_EQ(reply, "{\"code\":200,\"data\":{\"specials\":[5000000,1000]}}\n");
  std::printf(
      "flood: %zu requests sent in 3 s, at most %zu queued, resident set grew by %lld MiB "
      "at most\n",
      sent, most_queued, (resident_peak - resident_before) / (1024 * 1024));
  RecordProperty("requests_sent", static_cast<int>(sent));
  RecordProperty("resident_growth_mib",
                 static_cast<int>((resident_peak - resident_before) / (1024 * 1024)));
  // Generous: the bound, the buffers and, under AddressSanitizer, its quarantine of freed memory.
  EXPECT_LT(resident_peak - resident_before, 768LL * 1024 * 1024);
}

// A client repeating "inviter add" for members beyond the inviter index no longer makes the
// daemon re-read the member table for each; a database that stops answering holds the waiting
// add for the read timeout, not for good, and does not keep SIGTERM from stopping it.
TEST_F(E2eLimits, InviterAddsBeyondTheIndexReloadOncePerIntervalAndAHungDatabaseOnlyPauses) {
  start(",\"inviter\":{\"reload_interval_ms\":1000,\"read_timeout_s\":1}");
  const std::size_t reloads_at_start = count_of(runner->output_file(), "max user id=");
  frame_client adder(daemon_runner::daemon_port);
  std::string adds;
  const int count = 300;
  for (int i = 0; i < count; ++i) {
    adds += frame(R"({"act":"inviter","op":"add","params":{"user_id":)" + std::to_string(1000 + i) +
                  R"(,"inviter_id":1}})");
  }
  const auto sent = std::chrono::steady_clock::now();
  adder.send_raw(adds);
  for (int i = 0; i < count; ++i) {
    ASSERT_EQ(adder.recv_frame(), "{\"code\":200,\"data\":null}\n") << "reply " << i;
  }
  const auto seconds_taken =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - sent)
          .count();
  EXPECT_LE(count_of(runner->output_file(), "max user id=") - reloads_at_start,
            static_cast<std::size_t>(seconds_taken) + 1)
      << "at most one reload a second";

  // The member table locked by another session: every read of it waits.
  db->exec("LOCK TABLES brix_member WRITE");
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));  // a reload is due
  adder.send_frame(R"({"act":"inviter","op":"add","params":{"user_id":5000,"inviter_id":1}})");
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  frame_client other(daemon_runner::daemon_port, std::chrono::milliseconds(10000));
  other.send_frame(fetch_public);
  EXPECT_EQ(other.recv_frame(), public_reply) << "other connections are answered";
  EXPECT_EQ(adder.recv_frame(), "{\"code\":200,\"data\":null}\n");
  EXPECT_TRUE(log_shows("the member table could not be read; the index is kept as it was"));

  // After the rest that follows a failure, the next add waits for the database again; SIGTERM
  // arriving meanwhile ends the daemon, interrupting the read.
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  adder.send_frame(R"({"act":"inviter","op":"add","params":{"user_id":5001,"inviter_id":1}})");
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(runner->stop(SIGTERM, std::chrono::seconds(10)), 0);
  db->exec("UNLOCK TABLES");
}

// An add beyond the index waits for the database on a thread of its own: the member table held
// locked by another session, that connection's add and the requests after it wait, in order,
// while another connection is answered (the inviter index too); once the table is free the add
// reads the member's row and the requests behind it see what it recorded.
TEST_F(E2eLimits, AnAddWaitingForTheDatabaseHoldsOnlyItsOwnConnection) {
  start(",\"inviter\":{\"reload_interval_ms\":60000,\"read_timeout_s\":60}");
  const std::unique_ptr<frame_client> other = served_client();  // the load is done
  frame_client adder(daemon_runner::daemon_port);
  const char* const list_1 = R"({"act":"inviter","op":"list","params":{"user_id":1}})";
  const char* const list_5000 = R"({"act":"inviter","op":"list","params":{"user_id":5000}})";
  {
    locked_tables locked(*db);
    db->exec("INSERT INTO brix_member (member_id, inviter_id) VALUES (5000, 1)");
    adder.send_raw(
        frame(R"({"act":"inviter","op":"add","params":{"user_id":5000,"inviter_id":1}})") +
        frame(list_5000) + frame(fetch_public));
    ASSERT_TRUE(locked.waiting()) << runner->output_file();
    for (int i = 0; i < 3; ++i) {
      other->send_frame(fetch_public);
      EXPECT_EQ(other->recv_frame(), public_reply);
      other->send_frame(list_1);
      EXPECT_EQ(other->recv_frame(), "{\"code\":200,\"data\":{\"inviters\":[]}}\n");
    }
    pollfd waiting{adder.descriptor(), POLLIN, 0};
    EXPECT_EQ(::poll(&waiting, 1, 0), 0) << "the waiting connection was answered";
  }
  EXPECT_EQ(adder.recv_frame(), "{\"code\":200,\"data\":null}\n");
  EXPECT_EQ(adder.recv_frame(), "{\"code\":200,\"data\":{\"inviters\":[1]}}\n");
  EXPECT_EQ(adder.recv_frame(), public_reply);
}

}  // namespace
