// What a big request body does to every other connection: a server on loopback in this process
// (the daemon's request handler on a store with its five workers) gets follow adds of about
// 16 MB (2,000,000 ids) on one connection, one after the other, while another connection asks
// `fetch_self` back to back and times each answer. Prints the big requests' reply times and the
// other connection's p50/p99/max.
//
//   big_body_stall [--on-loop] [--bodies 5] [--ids 2000000]
//
// --on-loop parses every body on the event loop, as before bodies above offloaded_body_size were
// parsed on a thread of their own.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio.hpp>

#include "app/request_adaptors.h"
#include "network/frame_codec.h"
#include "network/srv.h"
#include "protocol/parse_offload.h"

namespace {

using clock_type = std::chrono::steady_clock;
using boost::asio::ip::tcp;

double since_ms(clock_type::time_point from) {
  return std::chrono::duration<double, std::milli>(clock_type::now() - from).count();
}

// One blocking client connection speaking frames.
class client {
 public:
  client(boost::asio::io_context& io, unsigned short port) : socket(io) {
    socket.connect(tcp::endpoint(boost::asio::ip::address_v4::loopback(), port));
    socket.set_option(tcp::no_delay(true));
  }
  std::string ask(const std::string& body) {
    std::string framed;
    append_frame_header(body.size(), framed);
    framed += body;
    boost::asio::write(socket, boost::asio::buffer(framed));
    char header[10];
    boost::asio::read(socket, boost::asio::buffer(header, sizeof header));
    std::string reply(static_cast<std::size_t>(read_frame_length(header)), '\0');
    boost::asio::read(socket, boost::asio::buffer(reply));
    return reply;
  }

 private:
  tcp::socket socket;
};

void print(const char* what, std::vector<double> values) {
  if (values.empty()) {
    return;
  }
  std::sort(values.begin(), values.end());
  auto at = [&](double p) {
    return values[std::min(values.size() - 1, static_cast<std::size_t>(p * values.size()))];
  };
  std::printf("%-22s n=%-7zu p50 %8.3f ms  p99 %8.3f ms  max %8.3f ms\n", what, values.size(),
              at(0.5), at(0.99), values.back());
}

}  // namespace

int main(int argc, char** argv) {
  bool on_loop = false;
  int bodies = 5;
  unsigned long ids = 2000000;
  for (int at = 1; at < argc; ++at) {
    const std::string arg = argv[at];
    if (arg == "--on-loop") {
      on_loop = true;
    } else if (arg == "--bodies" && at + 1 < argc) {
      bodies = std::atoi(argv[++at]);
    } else if (arg == "--ids" && at + 1 < argc) {
      ids = std::strtoul(argv[++at], nullptr, 10);
    } else {
      std::fprintf(stderr, "usage: big_body_stall [--on-loop] [--bodies N] [--ids N]\n");
      return 2;
    }
  }
  logic_center store;
  store.start_workers();
  logic_center* store_pointer = &store;
  boost::asio::io_context io;
  parse_offload big_bodies(io);
  // The handler's own time on the loop, for the big bodies.
  std::vector<double> handled;
  const frame_handler answer =
      request_handler(store_pointer, false, on_loop ? nullptr : &big_bodies);
  server listener(
      io, tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0),
      [&answer, &handled](const std::string& body, std::string& out, request_context& context) {
        const auto started = clock_type::now();
        answer(body, out, context);
        if (body.size() > offloaded_body_size) {
          handled.push_back(since_ms(started));
        }
      });
  std::thread loop([&io] { io.run(); });

  std::string body = R"({"act":"follow","op":"add","params":{"user_id":7,"friends":[)";
  for (unsigned long i = 0; i < ids; ++i) {
    body += (i == 0 ? "" : ",") + std::to_string(1000000 + i);
  }
  body += "]}}";

  boost::asio::io_context clients;
  std::atomic<bool> done{false};
  std::vector<double> reads;
  std::thread reader([&] {
    client asking(clients, listener.port());
    while (!done) {
      const auto started = clock_type::now();
      asking.ask(
          R"({"act":"special","op":"fetch_pub","params":{"special_id":-1,"count":20,"type":1}})");
      reads.push_back(since_ms(started));
    }
  });
  std::vector<double> big;
  {
    client sending(clients, listener.port());
    for (int i = 0; i < bodies; ++i) {
      const auto started = clock_type::now();
      sending.ask(body);
      big.push_back(since_ms(started));
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
  }
  done = true;
  reader.join();
  io.stop();
  loop.join();
  std::printf("%s, %d bodies of %zu bytes\n",
              on_loop ? "parsed on the loop" : "parsed off the loop", bodies, body.size());
  print("big request replied", big);
  print("its handler on the loop", handled);
  print("other connection", reads);
  return 0;
}
