// The pooled client connections to other nodes, against small peers on loopback ports served on
// the test's own event loop (one thread): peers that echo each body, answer late, close after a
// few replies, send a bad header or never accept.
#include "network/peer_pool.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <boost/asio.hpp>

#include "network/frame_codec.h"

namespace {

using boost::asio::ip::tcp;
using std::chrono::milliseconds;

// What a test peer does with the requests it reads.
struct peer_behaviour {
  milliseconds slow_delay{0};    // a body starting with "slow" is answered this much later
  std::size_t close_after = 0;   // ends each connection after this many replies (0: never)
  std::string raw_reply;         // when set, every reply is these bytes instead of a frame
  bool reply_in_pieces = false;  // each reply written in a few random pieces
};

// The reply a well-behaved peer gives: the body and a line feed, as the daemon's replies end; an
// empty body is answered with an empty body.
std::string expected_reply(const std::string& body) {
  return body.empty() ? std::string() : body + "\n";
}

// One accepted connection of a test peer. Replies go out in request order, a late one holding
// back those after it. Owned by its pending handlers.
class peer_connection : public std::enable_shared_from_this<peer_connection> {
 public:
  peer_connection(tcp::socket accepted, const peer_behaviour& behaviour, unsigned seed)
      : socket(std::move(accepted)), how(behaviour), random(seed) {}

  void start() { do_read(); }

 private:
  struct reply {
    std::string bytes;
    bool ready = false;
  };

  void do_read() {
    socket.async_read_some(
        boost::asio::buffer(area),
        [self = shared_from_this()](const boost::system::error_code& ec, std::size_t n) {
          if (ec) {
            return;
          }
          self->input.append(self->area.data(), n);
          self->cut_requests();
          self->do_read();
        });
  }

  void cut_requests() {
    while (!closing && input.size() >= frame_header_size) {
      const auto length = static_cast<std::size_t>(read_frame_length(input.data()));
      if (input.size() < frame_header_size + length) {
        return;
      }
      const std::string body = input.substr(frame_header_size, length);
      input.erase(0, frame_header_size + length);
      answer(body);
    }
  }

  void answer(const std::string& body) {
    auto next = std::make_shared<reply>();
    if (how.raw_reply.empty()) {
      const std::string text = expected_reply(body);
      append_frame_header(text.size(), next->bytes);
      next->bytes += text;
    } else {
      next->bytes = how.raw_reply;
    }
    replies.push_back(next);
    if (how.slow_delay.count() > 0 && body.rfind("slow", 0) == 0) {
      auto timer =
          std::make_shared<boost::asio::steady_timer>(socket.get_executor(), how.slow_delay);
      timer->async_wait([self = shared_from_this(), next, timer](const boost::system::error_code&) {
        next->ready = true;
        self->release_ready();
      });
    } else {
      next->ready = true;
    }
    release_ready();
  }

  // Moves the ready replies at the front to the writes, in pieces when asked.
  void release_ready() {
    while (!closing && !replies.empty() && replies.front()->ready) {
      std::string bytes = std::move(replies.front()->bytes);
      replies.pop_front();
      while (how.reply_in_pieces && bytes.size() > 1) {
        const std::size_t cut = std::uniform_int_distribution<std::size_t>(1, bytes.size())(random);
        pieces.push_back(bytes.substr(0, cut));
        bytes.erase(0, cut);
      }
      pieces.push_back(std::move(bytes));
      closing = how.close_after > 0 && ++replied == how.close_after;
    }
    write_next();
  }

  void write_next() {
    if (writing) {
      return;
    }
    if (pieces.empty()) {
      if (closing) {
        // Ends our side only and goes on reading, so the client sees the end of the stream after
        // the replies rather than a reset over requests left unread.
        boost::system::error_code ignored_ec;
        socket.shutdown(tcp::socket::shutdown_send, ignored_ec);
      }
      return;
    }
    writing = true;
    boost::asio::async_write(
        socket, boost::asio::buffer(pieces.front()),
        [self = shared_from_this()](const boost::system::error_code& ec, std::size_t) {
          self->writing = false;
          if (ec) {
            return;
          }
          self->pieces.pop_front();
          self->write_next();
        });
  }

  tcp::socket socket;
  const peer_behaviour how;
  std::mt19937 random;
  std::array<char, 4096> area;
  std::string input;
  std::deque<std::shared_ptr<reply>> replies;  // in request order, until written
  std::deque<std::string> pieces;              // what is to be written, in order
  bool writing = false;
  bool closing = false;  // close_after replies are out: no more answers
  std::size_t replied = 0;
};

// A peer listening on a free loopback port, on the test's event loop.
class test_peer {
 public:
  test_peer(boost::asio::io_context& io, peer_behaviour behaviour)
      : how(std::move(behaviour)),
        acceptor(io, tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0)) {
    do_accept();
  }

  std::string address() const { return "127.0.0.1:" + std::to_string(port()); }
  unsigned short port() const { return acceptor.local_endpoint().port(); }
  // Connections accepted so far.
  int accepted() const { return *accepts; }

 private:
  void do_accept() {
    acceptor.async_accept(
        [this, count = accepts](const boost::system::error_code& ec, tcp::socket peer) {
          if (ec) {
            return;  // closed with the peer: `this` may be gone
          }
          ++*count;
          std::make_shared<peer_connection>(std::move(peer), how, static_cast<unsigned>(*count))
              ->start();
          do_accept();
        });
  }

  const peer_behaviour how;
  tcp::acceptor acceptor;
  std::shared_ptr<int> accepts = std::make_shared<int>(0);
};

// A loopback address that takes no connection: a listener with a backlog of one that nobody
// accepts from, its queue filled, so that further handshakes are dropped and a connect hangs.
class blackhole {
 public:
  blackhole() {
    listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof where;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&where), size) != 0 ||
        ::listen(listener, 0) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&where), &size) != 0) {
      ADD_FAILURE() << "cannot listen on loopback";
      return;
    }
    port = ntohs(where.sin_port);
    // Connect until one handshake does not finish: the queue is full from then on.
    for (int i = 0; i < 16; ++i) {
      const int filler = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
      fillers.push_back(filler);
      ::connect(filler, reinterpret_cast<sockaddr*>(&where), size);
      pollfd wait{filler, POLLOUT, 0};
      if (::poll(&wait, 1, 200) == 0) {
        break;
      }
    }
  }
  ~blackhole() {
    for (int filler : fillers) {
      ::close(filler);
    }
    ::close(listener);
  }
  blackhole(const blackhole&) = delete;
  blackhole& operator=(const blackhole&) = delete;

  std::string address() const { return "127.0.0.1:" + std::to_string(port); }

 private:
  int listener = -1;
  unsigned short port = 0;
  std::vector<int> fillers;
};

// A loopback port nothing listens on: bound, then let go.
std::string refusing_address(boost::asio::io_context& io) {
  tcp::acceptor taken(io, tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0));
  const unsigned short port = taken.local_endpoint().port();
  return "127.0.0.1:" + std::to_string(port);
}

class PeerPool : public ::testing::Test {
 protected:
  struct outcome {
    int calls = 0;
    bool ok = false;
    std::string reply;
  };

  // Sends through `pool` and records the outcome under the returned index; checks that the
  // callback never runs inside send() and runs once.
  std::size_t send(peer_pool& pool, const std::string& address, const std::string& body) {
    const std::size_t index = outcomes.size();
    outcomes.emplace_back();
    sending = true;
    pool.send(address, body, [this, index](bool ok, std::string reply) {
      EXPECT_FALSE(sending) << "a reply given inside send()";
      outcome& got = outcomes[index];
      ++got.calls;
      got.ok = ok;
      got.reply = std::move(reply);
      ++answered;
    });
    sending = false;
    return index;
  }

  // Runs the loop until `done` holds or `limit` has passed; answers whether it held.
  bool run_until(const std::function<bool()>& done, milliseconds limit = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) {
        return false;
      }
      io.restart();
      io.run_one_for(milliseconds(10));
    }
    return true;
  }

  void run_for(milliseconds span) {
    io.restart();
    io.run_for(span);
  }

  bool all_answered() const { return answered == outcomes.size(); }

  void expect_answer(std::size_t index, const std::string& body) {
    ASSERT_LT(index, outcomes.size());
    EXPECT_EQ(outcomes[index].calls, 1) << "request " << index;
    EXPECT_TRUE(outcomes[index].ok) << "request " << index;
    EXPECT_EQ(outcomes[index].reply, expected_reply(body)) << "request " << index;
  }

  void expect_failed(std::size_t index) {
    ASSERT_LT(index, outcomes.size());
    EXPECT_EQ(outcomes[index].calls, 1) << "request " << index;
    EXPECT_FALSE(outcomes[index].ok) << "request " << index;
    EXPECT_EQ(outcomes[index].reply, "") << "request " << index;
  }

  boost::asio::io_context io;  // first in, last out: every socket and handler goes before it
  std::deque<outcome> outcomes;
  std::size_t answered = 0;
  bool sending = false;
};

TEST_F(PeerPool, PipelinedRequestsGetTheirOwnRepliesOverFewConnections) {
  peer_behaviour pieces;
  pieces.reply_in_pieces = true;
  test_peer first(io, pieces);
  test_peer second(io, pieces);
  // The second by name, which is resolved.
  const std::vector<std::string> addresses = {first.address(),
                                              "localhost:" + std::to_string(second.port())};
  peer_pool pool(io, std::chrono::seconds(20), 3);
  std::mt19937_64 random(20261208);
  auto pick = [&random](std::size_t low, std::size_t high) {
    return std::uniform_int_distribution<std::size_t>(low, high)(random);
  };
  std::vector<std::string> bodies;
  std::size_t most_in_flight = 0;
  for (int i = 0; i < 3000; ++i) {
    std::string body;
    const std::size_t kind = pick(0, 99);
    const std::size_t size = kind == 0 ? 0 : kind == 1 ? pick(64 * 1024, 300 * 1024) : pick(1, 200);
    for (std::size_t c = 0; c < size; ++c) {
      body += static_cast<char>(pick(0, 255));
    }
    body += std::to_string(i);  // distinct, so a reply given to another request shows
    if (kind == 0) {
      body.clear();
    }
    send(pool, addresses[pick(0, 1)], body);
    bodies.push_back(body);
    most_in_flight = std::max(most_in_flight, pool.in_flight());
    if (pick(0, 20) == 0) {
      io.restart();
      io.poll();  // some replies come back while more are sent
    }
  }
  ASSERT_TRUE(run_until([this] { return all_answered(); }));
  for (std::size_t i = 0; i < bodies.size(); ++i) {
    expect_answer(i, bodies[i]);
  }
  EXPECT_EQ(pool.in_flight(), 0u);
  EXPECT_GT(most_in_flight, 6u) << "requests were pipelined";
  EXPECT_LE(first.accepted(), 3);  // kept open and reused
  EXPECT_LE(second.accepted(), 3);
}

TEST_F(PeerPool, TimedOutRequestClosesItsConnectionSoTheLateReplyReachesNoOther) {
  peer_behaviour late;
  late.slow_delay = milliseconds(900);
  test_peer slow(io, late);
  peer_pool pool(io, milliseconds(400), 1);

  // A connection in use first: the timed-out request must not leave it to the next ones.
  const std::size_t quick = send(pool, slow.address(), "quick");
  ASSERT_TRUE(run_until([this] { return all_answered(); }));
  expect_answer(quick, "quick");

  // A late reply: the request fails, and so does the one waiting behind it on the connection.
  const std::size_t timed_out = send(pool, slow.address(), "slow 1");
  const std::size_t behind = send(pool, slow.address(), "behind 2");
  EXPECT_EQ(pool.in_flight(), 2u);
  ASSERT_TRUE(run_until([this] { return all_answered(); }));
  expect_failed(timed_out);
  expect_failed(behind);
  EXPECT_EQ(pool.in_flight(), 0u);

  // Sent before the late reply arrives, and after: each gets its own reply, on a new connection.
  const std::size_t before_late = send(pool, slow.address(), "good 3");
  ASSERT_TRUE(run_until([this] { return all_answered(); }));
  run_for(milliseconds(600));  // the late reply has come by now
  const std::size_t after_late = send(pool, slow.address(), "good 4");
  ASSERT_TRUE(run_until([this] { return all_answered(); }));
  expect_answer(before_late, "good 3");
  expect_answer(after_late, "good 4");
  EXPECT_EQ(slow.accepted(), 2);
}

TEST_F(PeerPool, RequestAnsweredAfterAnEarlierOnesDeadlineIsTimedFromItsOwnSending) {
  peer_behaviour late;
  late.slow_delay = milliseconds(600);
  test_peer slow(io, late);
  peer_pool pool(io, milliseconds(1000), 1);
  const std::size_t first = send(pool, slow.address(), "first");
  ASSERT_TRUE(run_until([this] { return all_answered(); }));
  run_for(milliseconds(700));
  // Sent 700 ms after the first, answered 600 ms later: past the first one's deadline, within
  // its own.
  const std::size_t second = send(pool, slow.address(), "slow second");
  ASSERT_TRUE(run_until([this] { return all_answered(); }));
  expect_answer(first, "first");
  expect_answer(second, "slow second");
  EXPECT_EQ(slow.accepted(), 1);
}

TEST_F(PeerPool, BrokenPeersFailTheirWaitingRequestsAndTheNextSendConnectsAfresh) {
  // A peer that ends each connection after two replies: of five pipelined requests the first two
  // are answered, the rest fail; the next request gets a new connection.
  peer_behaviour short_lived;
  short_lived.close_after = 2;
  test_peer closing(io, short_lived);
  peer_pool pool(io, std::chrono::seconds(5), 1);
  std::vector<std::size_t> sent;
  for (int i = 0; i < 5; ++i) {
    sent.push_back(send(pool, closing.address(), "request " + std::to_string(i)));
  }
  ASSERT_TRUE(run_until([this] { return all_answered(); }));
  expect_answer(sent[0], "request 0");
  expect_answer(sent[1], "request 1");
  for (int i = 2; i < 5; ++i) {
    expect_failed(sent[i]);
  }
  const std::size_t again = send(pool, closing.address(), "again");
  ASSERT_TRUE(run_until([this] { return all_answered(); }));
  expect_answer(again, "again");
  EXPECT_EQ(closing.accepted(), 2);

  // Bad headers: letters, a sign, a length above the limit. Each fails its request and leaves
  // the connection, so the second request connects again.
  for (const std::string raw : {"12345abcde{}\n", "-000000001x", "9999999999{}"}) {
    peer_behaviour garbage;
    garbage.raw_reply = raw;
    test_peer bad(io, garbage);
    const std::size_t one = send(pool, bad.address(), "one");
    ASSERT_TRUE(run_until([this] { return all_answered(); }));
    const std::size_t two = send(pool, bad.address(), "two");
    ASSERT_TRUE(run_until([this] { return all_answered(); }));
    expect_failed(one);
    expect_failed(two);
    EXPECT_EQ(bad.accepted(), 2) << raw;
  }

  // Nothing listening, an address that cannot be read: failed, never inside send().
  const std::size_t refused = send(pool, refusing_address(io), "refused");
  const std::size_t unreadable = send(pool, "no port here", "unreadable");
  const std::size_t no_port = send(pool, "127.0.0.1:0", "no port");
  ASSERT_TRUE(run_until([this] { return all_answered(); }));
  expect_failed(refused);
  expect_failed(unreadable);
  expect_failed(no_port);
  EXPECT_EQ(pool.in_flight(), 0u);
}

TEST_F(PeerPool, PeerThatNeverAcceptsFailsByTheTimeout) {
  const blackhole nowhere;
  peer_pool pool(io, milliseconds(300), 2);
  const std::size_t first = send(pool, nowhere.address(), "first");
  const std::size_t second = send(pool, nowhere.address(), "second");
  EXPECT_EQ(pool.in_flight(), 2u);
  ASSERT_TRUE(run_until([this] { return all_answered(); }, std::chrono::seconds(5)));
  expect_failed(first);
  expect_failed(second);
  EXPECT_EQ(pool.in_flight(), 0u);
}

TEST_F(PeerPool, DestroyedWithRequestsInFlightDropsThemAndLeavesNothingBehind) {
  peer_behaviour late;
  late.slow_delay = milliseconds(200);
  test_peer slow(io, late);
  peer_behaviour pieces;
  pieces.reply_in_pieces = true;
  test_peer echo(io, pieces);
  const blackhole nowhere;
  // A callback's captures are let go with it: `alive` counts the callbacks still held anywhere.
  auto alive = std::make_shared<int>(0);
  int called = 0;
  int failed = 0;
  auto send_tracked = [&](peer_pool& pool, const std::string& address, const std::string& body) {
    pool.send(address, body, [&called, &failed, alive](bool ok, std::string) {
      ++called;
      failed += ok ? 0 : 1;
    });
  };
  // Destroyed at every stage: before any handler ran (connecting), and after some progress
  // (connected, writes in flight, replies half read, some replies posted and not yet run).
  for (int progress_turns : {0, 1, 5, 40}) {
    auto pool = std::make_unique<peer_pool>(io, std::chrono::seconds(5), 2);
    for (int i = 0; i < 50; ++i) {
      send_tracked(*pool, echo.address(), std::string(static_cast<std::size_t>(i) * 997, 'e'));
      send_tracked(*pool, slow.address(), i % 2 == 0 ? "slow" : "after slow");
      send_tracked(*pool, nowhere.address(), "nowhere");
    }
    io.restart();
    for (int turn = 0; turn < progress_turns; ++turn) {
      io.run_one_for(milliseconds(10));
    }
    const int called_before = called;
    pool.reset();
    run_for(milliseconds(300));  // past the slow replies: every handler left has run
    if (progress_turns == 0) {
      EXPECT_EQ(called, called_before) << "nothing was answered before the pool went";
    }
  }
  EXPECT_EQ(failed, 0) << "a dropped request is not failed: its callback is not called";
  EXPECT_LT(called, 4 * 150);
  EXPECT_EQ(alive.use_count(), 1) << "every dropped callback was destroyed";
}

}  // namespace
