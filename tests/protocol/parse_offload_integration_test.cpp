// Big bodies parsed off the event loop, over a real server on loopback: the same random pipelined
// requests on one connection get byte for byte the same replies, and leave the same store, as
// when every body is parsed on the loop: big changes, small ones, queries, failing operations,
// and bodies that are not requests (the connection then ends after the replies before them).
// Meanwhile the loop serves other connections.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio.hpp>

#include "app/request_adaptors.h"
#include "daemon_runner.h"
#include "eventually.h"
#include "network/srv.h"
#include "protocol/parse_offload.h"
#include "store_image.h"

namespace {

// A store with its workers, served on a free port by a loop on a thread of its own; big bodies
// parsed off the loop when `offload_above` is given.
class served_store {
 public:
  explicit served_store(const std::size_t* offload_above) {
    store.start_workers();
    store_pointer = &store;
    if (offload_above != nullptr) {
      big_bodies = std::make_unique<parse_offload>(io, *offload_above);
    }
    listener = std::make_unique<server>(
        io, boost::asio::ip::tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0),
        request_handler(store_pointer, false, big_bodies.get()));
    port = listener->port();
    runner = std::thread([this] { io.run(); });
  }
  ~served_store() {
    io.stop();
    runner.join();
    listener.reset();
    big_bodies.reset();
  }

  // Everything queued is applied: each worker applies a marker special queued last.
  void drain() {
    for (unsigned long queue = 0; queue < logic_center::worker_count; ++queue) {
      const unsigned long owner = (1UL << 50) + queue;
      const unsigned long marker = (1UL << 55) + next_marker++;
      store.add_special(owner, {special(marker, owner, 1)});
      ASSERT_TRUE(eventually([&] {
        return store.fetch_self_specials(owner, ~0UL, 1, logic_center::fetch_below) ==
               std::vector<unsigned long>{marker};
      }));
    }
  }

  logic_center store;
  logic_center* store_pointer = nullptr;
  boost::asio::io_context io;
  std::unique_ptr<parse_offload> big_bodies;
  std::unique_ptr<server> listener;
  std::thread runner;
  unsigned short port = 0;
  unsigned long next_marker = 0;
};

std::string ids_text(std::mt19937_64& random, std::size_t count, unsigned long below) {
  std::string text;
  for (std::size_t i = 0; i < count; ++i) {
    text += (i == 0 ? "" : ",") + std::to_string(random() % below);
  }
  return text;
}

// A random request, now and then one that fails; with `junk`, one that is not a request at all.
std::string random_body(std::mt19937_64& random, bool junk) {
  const std::string user = std::to_string(random() % 20);
  switch (junk ? 9 : random() % 9) {
    case 0:
    case 1:
    case 2: {
      const std::size_t count = random() % 4 == 0 ? 20000 + random() % 40000 : random() % 10;
      return std::string(R"({"act":"follow","op":")") + (random() % 4 == 0 ? "del" : "add") +
             R"(","params":{"user_id":)" + user + R"(,"friends":[)" +
             ids_text(random, count, 100000) + "]}}";
    }
    case 3:
    case 4:
    case 5: {
      std::string items;
      for (std::size_t i = 0, count = 1 + random() % 3; i < count; ++i) {
        items += (i == 0 ? "" : ",") + std::string(R"({"spid":)") +
                 std::to_string(random() % 1000) + R"(,"type":)" + std::to_string(random() % 2) +
                 "}";
      }
      return std::string(R"({"act":"special","op":")") + (random() % 4 == 0 ? "del" : "add") +
             R"(","params":{"user_id":)" + user + R"(,"specials":[)" + items + "]}}";
    }
    case 6:
      // A member nothing changes, so the answer does not wait on the workers' progress.
      return R"({"act":"special","op":"fetch_self","params":{"user_id":999,"special_id":-1,)"
             R"("count":5,"type":1}})" +
             std::string(random() % 2 == 0 ? 0 : 300000, ' ');
    case 7:
      return R"({"act":"follow","op":"nope","params":{"user_id":)" + user + "}}" +
             std::string(random() % 2 == 0 ? 0 : 300000, ' ');
    case 8:
      return R"({"act":"follow","op":"add","params":{"user_id":)" + user +
             R"(,"friends":[1,"x"]}})";
    default:
      switch (random() % 3) {
        case 0:
          return "not a request" + std::string(300000, '[');
        case 1:
          return "[1,2,3]";
        default:
          return R"({"act":"follow","op":"add","params":{"user_id":1,"friends":[)" +
                 ids_text(random, 50000, 100) + "]";  // cut short
      }
  }
}

// What a connection receives for `bodies` sent at once, until the server ends it or every
// request is answered.
std::string replies_to(unsigned short port, const std::vector<std::string>& bodies) {
  std::string burst;
  for (const std::string& body : bodies) {
    burst += frame(body);
  }
  frame_client client(port);
  std::thread sender([&] {
    try {
      client.send_raw(burst);
      client.shutdown_write();
    } catch (const std::exception&) {
      // The server ended the connection at a body that is not a request: the rest is not read.
    }
  });
  std::string received;
  client.wait_closed(&received);
  sender.join();
  return received;
}

TEST(ParseOffload, BigBodiesOffTheLoopAnswerAndChangeExactlyAsOnTheLoop) {
  std::mt19937_64 random(26);
  const std::size_t everything = 0;
  for (int round = 0; round < 8; ++round) {
    std::vector<std::string> bodies;
    for (int i = 0, count = 10 + static_cast<int>(random() % 30); i < count; ++i) {
      bodies.push_back(random_body(random, false));
    }
    if (round % 2 == 1) {  // the connection ends there; what follows is never answered
      bodies.insert(bodies.end() - 3, random_body(random, true));
    }
    std::string on_loop, off_loop;
    logic_center_inspector::image on_loop_store, off_loop_store;
    {
      served_store served(nullptr);
      on_loop = replies_to(served.port, bodies);
      served.drain();
      on_loop_store = logic_center_inspector::of(served.store);
    }
    {
      served_store served(&everything);
      off_loop = replies_to(served.port, bodies);
      served.drain();
      off_loop_store = logic_center_inspector::of(served.store);
    }
    EXPECT_EQ(off_loop, on_loop) << "round " << round;
    EXPECT_EQ(off_loop_store.follows, on_loop_store.follows) << "round " << round;
    EXPECT_EQ(off_loop_store.own, on_loop_store.own) << "round " << round;
    EXPECT_EQ(off_loop_store.feeds, on_loop_store.feeds) << "round " << round;
    EXPECT_EQ(off_loop_store.pub, on_loop_store.pub) << "round " << round;
  }
}

}  // namespace
