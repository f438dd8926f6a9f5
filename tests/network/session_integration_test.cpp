// A session's two signals from its request handler, over a real server on loopback: replies
// given later keep the request order whatever order they are completed in, and a request that
// queued work while the backlog is over its bound holds the connection back until the
// admission check lets it go on.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio.hpp>

#include "daemon_runner.h"
#include "eventually.h"
#include "network/srv.h"

namespace {

class SessionSignals : public ::testing::Test {
 protected:
  void TearDown() override {
    io.stop();
    if (runner.joinable()) {
      runner.join();
    }
    listener.reset();
  }

  // Starts a server with `handler` (and, when given, a bound on queued work) on a free port,
  // served by a background thread.
  void serve(frame_handler handler, work_admission* admission = nullptr) {
    listener = std::make_unique<server>(
        io, boost::asio::ip::tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0),
        std::move(handler));
    if (admission != nullptr) {
      listener->hold_back_work(*admission);
    }
    port = listener->port();
    runner = std::thread([this] { io.run(); });
  }

  // Runs `work` on the event loop and waits for it.
  template <typename Work>
  void on_loop(Work work) {
    std::atomic<bool> done{false};
    boost::asio::post(io, [&] {
      work();
      done = true;
    });
    ASSERT_TRUE(eventually([&] { return done.load(); }));
  }

  boost::asio::io_context io;
  std::unique_ptr<server> listener;
  std::thread runner;
  unsigned short port = 0;
};

// Each request names how it is answered: "now:N" at once, "inside:N" deferred and completed
// before its handler returns, "later:N" deferred and completed afterwards in a random order.
// Whatever the mix and the order, the client reads the replies in request order.
TEST_F(SessionSignals, DeferredRepliesComeBackInRequestOrderWhateverOrderTheyComplete) {
  std::vector<deferred_reply> later;  // event loop only
  std::atomic<int> handled{0};
  serve([&](const std::string& body, std::string& out, request_context& context) {
    if (body.rfind("now:", 0) == 0) {
      out += "R" + body;
    } else if (body.rfind("inside:", 0) == 0) {
      context.defer_reply().complete("R" + body);
    } else {
      deferred_reply reply = context.defer_reply();
      later.push_back(reply);
    }
    handled.fetch_add(1);
  });
  std::mt19937 random(20261207);
  for (int round = 0; round < 5; ++round) {
    frame_client client(port);
    std::vector<std::string> bodies;
    std::vector<std::string> later_bodies;
    std::string burst;
    for (int i = 0; i < 300; ++i) {
      const char* kinds[] = {"now:", "inside:", "later:"};
      const std::string body = kinds[random() % 3] + std::to_string(round * 1000 + i);
      bodies.push_back(body);
      if (body.rfind("later:", 0) == 0) {
        later_bodies.push_back(body);
      }
      burst += frame(body);
    }
    const int before = handled.load();
    client.send_raw(burst);
    ASSERT_TRUE(eventually([&] { return handled.load() == before + 300; }));
    on_loop([&] {
      ASSERT_EQ(later.size(), later_bodies.size());
      std::vector<std::size_t> order(later.size());
      for (std::size_t i = 0; i < order.size(); ++i) {
        order[i] = i;
      }
      std::shuffle(order.begin(), order.end(), random);
      for (std::size_t i : order) {
        later[i].complete("R" + later_bodies[i]);
        later[i].complete("twice");  // a second completion of one reply changes nothing
      }
      later.clear();
    });
    for (const std::string& body : bodies) {
      ASSERT_EQ(client.recv_frame(), "R" + body);
    }
  }
}

// A reply deferred with its later requests held: the connection answers nothing after it, and
// reads nothing more, until it is given; then the held requests are answered in order (one of
// them holding the rest again). A reply deferred the usual way before it still lets it go first
// only in request order. Other connections are served meanwhile.
TEST_F(SessionSignals, RequestsHeldBehindADeferredReplyWaitUnreadUntilItIsGiven) {
  std::mutex handled_lock;
  std::vector<std::string> handled;     // bodies in the order the handler saw them
  std::vector<deferred_reply> replies;  // event loop only
  serve([&](const std::string& body, std::string& out, request_context& context) {
    {
      const std::lock_guard<std::mutex> hold(handled_lock);
      handled.push_back(body);
    }
    if (body.rfind("hold", 0) == 0) {
      replies.push_back(context.defer_reply(later_requests::held));
    } else if (body.rfind("later", 0) == 0) {
      replies.push_back(context.defer_reply());
    } else {
      out += "R" + body;
    }
  });
  auto handled_now = [&] {
    const std::lock_guard<std::mutex> hold(handled_lock);
    return handled;
  };
  using bodies = std::vector<std::string>;
  frame_client client(port);
  client.send_raw(frame("a") + frame("later1") + frame("hold1") + frame("b") + frame("hold2") +
                  frame("c"));
  ASSERT_TRUE(eventually([&] { return handled_now().size() == 3; }));
  frame_client other(port);
  other.send_frame("x");
  EXPECT_EQ(other.recv_frame(), "Rx");
  EXPECT_EQ(handled_now(), (bodies{"a", "later1", "hold1", "x"}));

  on_loop([&] { replies[1].complete("Rhold1"); });
  ASSERT_TRUE(eventually([&] { return handled_now().size() == 6; }));
  other.send_frame("y");
  EXPECT_EQ(other.recv_frame(), "Ry");
  EXPECT_EQ(handled_now(), (bodies{"a", "later1", "hold1", "x", "b", "hold2", "y"}));
  on_loop([&] {
    replies[2].complete("Rhold2");
    replies[0].complete("Rlater1");
  });
  for (const char* reply : {"Ra", "Rlater1", "Rhold1", "Rb", "Rhold2", "Rc"}) {
    EXPECT_EQ(client.recv_frame(), reply);
  }
  EXPECT_EQ(handled_now().back(), "c");
}

// A client may half-close and still read: a session whose peer has gone waits for its deferred
// replies, then ends; completing them once it has ended changes nothing, and the server serves on.
TEST_F(SessionSignals, SessionOfAGoneClientEndsOnceItsDeferredRepliesComplete) {
  std::vector<deferred_reply> later;
  std::atomic<int> handled{0};
  serve([&](const std::string& body, std::string& out, request_context& context) {
    if (body == "wait") {
      later.push_back(context.defer_reply());
    } else {
      out += "R" + body;
    }
    handled.fetch_add(1);
  });
  {
    frame_client leaving(port);
    leaving.send_frame("wait");
    leaving.send_frame("after");
    ASSERT_TRUE(eventually([&] { return handled.load() == 2; }));
  }
  EXPECT_EQ(listener->stats().open_sessions.load(), 1u);  // its reply is still owed
  on_loop([&] { later.front().complete("Rwait"); });
  ASSERT_TRUE(eventually([&] { return listener->stats().open_sessions.load() == 0; }));
  on_loop([&] { later.front().complete("Rwait"); });  // the session is gone: nothing happens
  frame_client next(port);
  next.send_frame("hello");
  EXPECT_EQ(next.recv_frame(), "Rhello");
}

// "work" queues work; the bound says whether that holds the connection back. A held connection
// answers nothing more until the check lets it resume; other connections, and requests that
// queue nothing, are not held.
TEST_F(SessionSignals, QueuedWorkOverTheBoundHoldsOnlyThatConnectionUntilItMayResume) {
  std::atomic<bool> over{true};
  std::atomic<bool> may_resume{false};
  work_admission admission{[&] { return over.load(); }, [&] { return may_resume.load(); }};
  std::atomic<int> handled{0};
  serve(
      [&](const std::string& body, std::string& out, request_context& context) {
        if (body.rfind("work", 0) == 0) {
          context.note_queued_work();
        }
        out += "R" + body;
        handled.fetch_add(1);
      },
      &admission);
  frame_client reader(port);
  reader.send_raw(frame("read1") + frame("read2"));  // no work queued: never held
  EXPECT_EQ(reader.recv_frame(), "Rread1");
  EXPECT_EQ(reader.recv_frame(), "Rread2");

  frame_client held(port);
  held.send_raw(frame("work1") + frame("after1") + frame("after2"));
  EXPECT_EQ(held.recv_frame(), "Rwork1");  // the request that queued the work is answered
  reader.send_frame("read3");              // another connection goes on meanwhile
  EXPECT_EQ(reader.recv_frame(), "Rread3");
  EXPECT_EQ(handled.load(), 4);  // after1 and after2 wait, not answered

  may_resume = true;
  EXPECT_EQ(held.recv_frame(), "Rafter1");
  EXPECT_EQ(held.recv_frame(), "Rafter2");

  over = false;  // under the bound: work does not hold anything back
  held.send_raw(frame("work2") + frame("after3"));
  EXPECT_EQ(held.recv_frame(), "Rwork2");
  EXPECT_EQ(held.recv_frame(), "Rafter3");
}

// A handler run without a connection behind it cannot defer; the frames before it stay answered.
TEST(FrameCuttingContext, DeferringWithoutAConnectionFailsThatFrameOnly) {
  const frame_handler handler = [](const std::string& body, std::string& out,
                                   request_context& context) {
    if (body == "defer") {
      context.defer_reply();
    }
    out += "R" + body;
  };
  std::string input = frame("a") + frame("defer") + frame("c");
  std::string output;
  EXPECT_THROW(cut_frames(input, handler, output, cut_options()), std::logic_error);
  EXPECT_EQ(output, frame("Ra"));
  EXPECT_EQ(input, frame("defer") + frame("c"));
}

}  // namespace
