// Framing and connections: a real server on a free loopback port with its own body handler,
// driven by blocking clients (the frame cutter on its own: frame_codec_test.cpp).
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "daemon_runner.h"
#include "eventually.h"
#include "network/srv.h"
#include "support/log.h"
#include "temp_dir.h"

namespace {

std::string reply_to(const std::string& body) {
  return "R" + body;
}

// One event log per test process, in a private directory.
std::string log_text() {
  if (gLogger == nullptr) {
    return std::string();
  }
  std::ifstream in(gLogger->current_path(), std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

class ServedFraming : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    static const temp_dir dir("norvel-srv-log-");  // removed when the process ends
    init_log(dir.path().c_str(), "srv");
  }

  void SetUp() override { log_start = log_text().size(); }

  void TearDown() override {
    io.stop();
    if (runner.joinable()) {
      runner.join();
    }
    listener.reset();
  }

  // Starts the server with `handler` on a free port, served by a background thread.
  void serve(body_handler handler) {
    listener = std::make_unique<server>(io, 0, [this, handler](const std::string& body) {
      calls.fetch_add(1);
      return handler(body);
    });
    port = listener->port();
    runner = std::thread([this] { io.run(); });
  }

  // The log entries written since the test began.
  std::string new_log() const { return log_text().substr(log_start); }

  boost::asio::io_context io;
  std::unique_ptr<server> listener;
  std::thread runner;
  unsigned short port = 0;
  std::atomic<int> calls{0};
  size_t log_start = 0;
};

TEST_F(ServedFraming, RequestInPiecesOfOneToThreeBytesIsAnsweredOnce) {
  serve(reply_to);
  frame_client client(port);
  const std::string request = frame("{\"act\":\"follow\",\"op\":\"fetch\"}");
  for (size_t at = 0, piece = 1; at < request.size(); at += piece, piece = piece % 3 + 1) {
    client.send_raw(request.substr(at, piece));
  }
  EXPECT_EQ(client.recv_frame(), "R{\"act\":\"follow\",\"op\":\"fetch\"}");
  client.send_frame("next");
  EXPECT_EQ(client.recv_frame(), "Rnext");  // nothing else came in between
  EXPECT_EQ(calls.load(), 2);
}

TEST_F(ServedFraming, TwoFramesInOnePacketAreAnsweredInOrderOnce) {
  serve(reply_to);
  frame_client client(port);
  client.send_raw(frame("first") + frame("second"));
  EXPECT_EQ(client.recv_exact(2 * 10 + 6 + 7), frame("Rfirst") + frame("Rsecond"));
  client.send_frame("third");
  EXPECT_EQ(client.recv_frame(), "Rthird");
}

TEST_F(ServedFraming, EmptyAndNonDigitHeadersAreAnsweredWithBareHeader) {
  serve(reply_to);
  frame_client client(port);
  client.send_raw("0000000000");
  EXPECT_EQ(client.recv_exact(10), "0000000000");
  client.send_raw("abcdefghij");
  EXPECT_EQ(client.recv_exact(10), "0000000000");
  client.send_frame("after");
  EXPECT_EQ(client.recv_frame(), "Rafter");
  EXPECT_EQ(calls.load(), 1);  // empty bodies never reach the handler
}

TEST_F(ServedFraming, NegativeAndOversizedHeadersCloseOnlyTheirConnection) {
  serve(reply_to);
  frame_client bystander(port);
  bystander.send_raw(frame("patient").substr(0, 13));  // mid-frame while the others go bad
  char over[16];
  std::snprintf(over, sizeof(over), "%010zu", max_body_size + 1);
  for (const std::string& bad : {std::string("-000000001"), std::string(over)}) {
    frame_client offender(port);
    offender.send_frame("ok");
    offender.send_raw(bad + "trailing bytes");
    EXPECT_EQ(offender.recv_frame(), "Rok") << bad;  // earlier replies still go out
    EXPECT_TRUE(offender.wait_closed()) << bad;
  }
  bystander.send_raw(frame("patient").substr(13));
  EXPECT_EQ(bystander.recv_frame(), "Rpatient");
  EXPECT_EQ(listener->stats().bad_headers.load(), 2u);
  EXPECT_NE(new_log().find("session bad frame header"), std::string::npos);
}

TEST_F(ServedFraming, BodyOfTheLargestAllowedSizeIsAnswered) {
  serve([](const std::string& body) { return std::to_string(body.size()); });
  frame_client client(port);
  client.send_frame(std::string(max_body_size, 'x'));
  EXPECT_EQ(client.recv_frame(), std::to_string(max_body_size));
}

TEST_F(ServedFraming, SlowReaderBacklogStaysBoundedAndIsDeliveredInFull) {
  const size_t reply_size = 64 * 1024;
  serve([reply_size](const std::string& body) {
    std::string reply = body;
    reply.resize(reply_size, '.');
    return reply;
  });
  const int requests = 600;  // about 38 MiB of replies, far beyond the bound
  std::string all;
  char body[16];
  for (int i = 0; i < requests; ++i) {
    std::snprintf(body, sizeof(body), "n%06d", i);
    all += frame(body);
  }
  frame_client client(port);
  std::string send_error;
  std::thread sender([&] {
    try {
      client.send_raw(all);
    } catch (const std::exception& e) {
      send_error = e.what();
    }
  });

  ASSERT_TRUE(eventually([&] { return listener->stats().read_pauses.load() > 0; }));
  // At most one read's worth of requests is answered beyond the bound.
  const size_t request_frame = frame("n000000").size();
  const size_t allowed = max_unwritten_size + (read_chunk_size / request_frame + 1) * reply_size;
  EXPECT_LE(listener->stats().peak_unwritten_bytes.load(), allowed);

  for (int i = 0; i < requests; ++i) {
    std::snprintf(body, sizeof(body), "n%06d", i);
    const std::string reply = client.recv_frame();
    ASSERT_EQ(reply.size(), reply_size);
    ASSERT_EQ(reply.substr(0, 7), body);
  }
  sender.join();
  EXPECT_EQ(send_error, "");
  EXPECT_LE(listener->stats().peak_unwritten_bytes.load(), allowed);
  EXPECT_EQ(calls.load(), requests);
}

TEST_F(ServedFraming, PipelinedLargeRepliesStopCuttingAtTheBound) {
  // One read holds dozens of small requests; each asks for a large reply. The cutting itself
  // must stop at the bound, not only the next read.
  const size_t reply_size = 1024 * 1024;
  serve([reply_size](const std::string& body) {
    std::string reply = body;
    reply.resize(reply_size, '.');
    return reply;
  });
  const int requests = 56;
  std::string all;
  char body[16];
  for (int i = 0; i < requests; ++i) {
    std::snprintf(body, sizeof(body), "n%06d", i);
    all += frame(body);
  }
  ASSERT_LT(all.size(), read_chunk_size);  // all of them can arrive in one read
  frame_client client(port);
  client.send_raw(all);

  ASSERT_TRUE(eventually([&] { return listener->stats().read_pauses.load() > 0; }));
  const size_t allowed = max_unwritten_size + frame_header_size + reply_size;
  EXPECT_LE(listener->stats().peak_unwritten_bytes.load(), allowed);
  EXPECT_LT(calls.load(), requests);

  for (int i = 0; i < requests; ++i) {
    std::snprintf(body, sizeof(body), "n%06d", i);
    const std::string reply = client.recv_frame();
    ASSERT_EQ(reply.size(), reply_size);
    ASSERT_EQ(reply.substr(0, 7), body);
  }
  EXPECT_LE(listener->stats().peak_unwritten_bytes.load(), allowed);
  EXPECT_EQ(calls.load(), requests);
}

TEST_F(ServedFraming, HandlerFailureStopsReadingAfterEarlierReplies) {
  serve([](const std::string& body) -> std::string {
    if (body == "boom") {
      throw std::logic_error("cannot parse body to json");
    }
    return reply_to(body);
  });
  frame_client client(port);
  client.send_raw(frame("a") + frame("boom") + frame("c"));
  std::string received;
  EXPECT_TRUE(client.wait_closed(&received));
  EXPECT_EQ(received, frame("Ra"));
  EXPECT_NE(new_log().find("\tFatal:\thandler_req error.\r\n"), std::string::npos);

  frame_client other(port);  // the server itself goes on
  other.send_frame("d");
  EXPECT_EQ(other.recv_frame(), "Rd");
}

TEST_F(ServedFraming, ClosingClientLogsReadQuitThenSessionQuit) {
  serve(reply_to);
  {
    frame_client client(port);
    client.send_frame("hello");
    EXPECT_EQ(client.recv_frame(), "Rhello");
  }
  ASSERT_TRUE(eventually([&] { return listener->stats().open_sessions.load() == 0; }));
  const std::string log = new_log();
  const size_t started = log.find("\tDebug:\tsession start\r\n");
  const size_t read_quit = log.find("\tFatal:\tsession do read quit.\r\n");
  const size_t quit = log.find("\tDebug:\t~session quit\r\n");
  ASSERT_NE(started, std::string::npos) << log;
  ASSERT_NE(read_quit, std::string::npos) << log;
  ASSERT_NE(quit, std::string::npos) << log;
  EXPECT_LT(started, read_quit);
  EXPECT_LT(read_quit, quit);
}

// Entries are written once per turn of the event loop, and the turn's replies only after them:
// whoever holds a reply finds its request's entry in the file. Several clients keep requests in
// flight together, so turns carry several requests; each takes a moment, so a reply sent before
// the end of its turn would reach the client well before the entries do.
TEST_F(ServedFraming, ReplyArrivesOnlyAfterItsRequestsLogEntryIsWritten) {
  serve([](const std::string& body) {
    log_event(log_debug, "handled %s", body.c_str());
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return reply_to(body);
  });
  std::vector<std::unique_ptr<frame_client>> clients;
  for (int c = 0; c < 4; ++c) {
    clients.push_back(std::make_unique<frame_client>(port));
  }
  for (int round = 0; round < 20; ++round) {
    for (size_t c = 0; c < clients.size(); ++c) {
      clients[c]->send_frame("r" + std::to_string(round) + "c" + std::to_string(c));
    }
    for (size_t c = 0; c < clients.size(); ++c) {
      const std::string body = "r" + std::to_string(round) + "c" + std::to_string(c);
      ASSERT_EQ(clients[c]->recv_frame(), "R" + body);
      ASSERT_NE(new_log().find("\tDebug:\thandled " + body + "\r\n"), std::string::npos) << body;
    }
  }
}

// Many connections at once, each sending its own pipeline of frames in random pieces, in a random
// interleaving with the others, and reading replies as they come: each must receive exactly what
// one cutter makes of its whole stream, in order. Some end mid-frame with the end of the stream
// (they get the replies to their whole frames, then the close), some reset mid-frame, and a few
// take no reply until they have sent everything while asking for replies large enough to fill
// their sockets and pass the unwritten bound.
TEST_F(ServedFraming, RandomlySplitPipelinesOnManyConnectionsMatchOneCutter) {
  const body_handler answer = [](const std::string& body) {
    return body[0] == 'L' ? std::string(512 * 1024, 'L') + body : reply_to(body);
  };
  serve(answer);
  const unsigned seed = std::random_device()();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  auto pick = [&rng](std::size_t low, std::size_t high) {
    return std::uniform_int_distribution<std::size_t>(low, high)(rng);
  };

  enum class ending { whole, end_of_stream, reset };
  struct peer {
    std::unique_ptr<frame_client> client;
    std::string stream;  // everything it sends
    std::size_t sent = 0;
    std::string expected;  // the replies one cutter makes of its whole frames
    std::string received;
    ending end = ending::whole;
    bool stalled = false;  // reads nothing until all is sent
    bool closed = false;   // the server closed it (end of stream seen)
  };
  std::vector<peer> peers(40);
  for (std::size_t p = 0; p < peers.size(); ++p) {
    peer& one = peers[p];
    one.client = std::make_unique<frame_client>(port);
    one.stalled = p < 3;
    const std::size_t frames = one.stalled ? 40 : pick(1, 40);
    for (std::size_t f = 0; f < frames; ++f) {
      std::string body(pick(0, 3) == 0 ? pick(300, 3000) : pick(0, 40), 'x');
      for (char& c : body) {
        c = static_cast<char>(pick(32, 126));
      }
      if (!body.empty()) {
        body[0] = one.stalled ? 'L' : 'b';
      }
      one.stream += frame(body);
    }
    std::string whole = one.stream;
    ASSERT_EQ(cut_frames(whole, answer, one.expected), frame_status::drained);
    if (!one.stalled && pick(0, 5) == 0) {
      one.end = pick(0, 1) == 0 ? ending::end_of_stream : ending::reset;
      const std::string tail = frame(std::string(pick(1, 2000), 'b'));
      one.stream += tail.substr(0, pick(1, tail.size() - 1));
    }
  }

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  auto take_replies = [](peer& one) {
    char chunk[65536];
    for (;;) {
      const ssize_t n = ::recv(one.client->descriptor(), chunk, sizeof(chunk), MSG_DONTWAIT);
      if (n > 0) {
        one.received.append(chunk, static_cast<std::size_t>(n));
        continue;
      }
      if (n == 0) {
        one.closed = true;
      }
      return;
    }
  };
  auto finished = [](const peer& one) {
    if (one.end == ending::reset) {
      return one.client == nullptr;
    }
    return one.sent == one.stream.size() &&
           (one.end == ending::whole ? one.received.size() >= one.expected.size() : one.closed);
  };
  for (;;) {
    if (std::chrono::steady_clock::now() > deadline) {
      for (std::size_t p = 0; p < peers.size(); ++p) {
        if (!finished(peers[p])) {
          ADD_FAILURE() << "connection " << p << " stuck: sent " << peers[p].sent << " of "
                        << peers[p].stream.size() << ", received " << peers[p].received.size()
                        << " of " << peers[p].expected.size() << ", ending "
                        << static_cast<int>(peers[p].end) << ", stalled " << peers[p].stalled;
        }
      }
      FAIL() << "replies stopped coming";
    }
    bool all_done = true;
    for (peer& one : peers) {
      if (finished(one)) {
        continue;
      }
      all_done = false;
      if (one.sent < one.stream.size() && pick(0, 2) == 0) {
        const std::size_t piece = std::min(one.stream.size() - one.sent, pick(1, 1500));
        const ssize_t n = ::send(one.client->descriptor(), one.stream.data() + one.sent, piece,
                                 MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
          one.sent += static_cast<std::size_t>(n);
        }
        if (one.sent == one.stream.size() && one.end == ending::end_of_stream) {
          ::shutdown(one.client->descriptor(), SHUT_WR);
        }
        if (one.sent == one.stream.size() && one.end == ending::reset) {
          const linger abort_on_close{1, 0};
          ::setsockopt(one.client->descriptor(), SOL_SOCKET, SO_LINGER, &abort_on_close,
                       sizeof(abort_on_close));
          one.client.reset();
          continue;
        }
      }
      if (!one.stalled || one.sent == one.stream.size()) {
        take_replies(one);
      }
    }
    if (all_done) {
      break;
    }
    if (pick(0, 20) == 0) {
      std::this_thread::sleep_for(std::chrono::microseconds(pick(50, 500)));
    }
  }
  for (std::size_t p = 0; p < peers.size(); ++p) {
    if (peers[p].end != ending::reset) {
      EXPECT_TRUE(peers[p].received == peers[p].expected)
          << "connection " << p << ": " << peers[p].received.size() << " bytes received, "
          << peers[p].expected.size() << " expected";
    }
  }
  EXPECT_GT(listener->stats().read_pauses.load(), 0u);  // the stalled ones passed the bound
  peers.clear();
  EXPECT_TRUE(eventually([&] { return listener->stats().open_sessions.load() == 0; }));
  EXPECT_EQ(listener->stats().bad_headers.load(), 0u);
  frame_client after(port);
  after.send_frame("z");
  EXPECT_EQ(after.recv_frame(), "Rz");
}

TEST_F(ServedFraming, PortInUseFailsNamingTheBindStep) {
  serve(reply_to);
  boost::asio::io_context other;
  try {
    server second(other, port, reply_to);
    FAIL() << "a second server bound a port in use";
  } catch (const boost::system::system_error& e) {
    EXPECT_EQ(std::string(e.what()).rfind("bind", 0), 0u) << e.what();
    EXPECT_EQ(e.code(), boost::asio::error::address_in_use);
  }
}

}  // namespace
