// norvel-cli: sends JSON requests to a running norvel daemon and prints each reply body.
//
//   norvel-cli [--host H] [--port P] [--timeout S] ['{"act":...}']
//   norvel-cli --stats ADDRESS:PORT [--timeout S]
//
// With a request argument it sends that one request; without one it reads standard input and
// sends one request per non-blank line, in order, on one connection. Frames are the daemon's:
// ten zero-padded ASCII digits giving the body's length, then the body.
// Exit status: 0 when every request got a reply, 1 when the daemon cannot be reached, closes the
// connection or does not answer in time, 2 for a wrong command line.
// --stats reads the daemon's metrics endpoint (its --metrics address) and prints the numbers
// readably.
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <stdexcept>
#include <string>

#include <boost/asio.hpp>

#include "metrics_client.h"
#include "network/srv.h"

namespace {

namespace asio = boost::asio;
using asio::ip::tcp;

struct options {
  std::string host = "127.0.0.1";
  std::string port = "5000";
  long timeout_seconds = 10;
  bool have_request = false;
  std::string request;
  std::string stats_address;  // --stats ADDRESS:PORT; empty: send requests
};

void print_usage(std::ostream& out) {
  out << "usage: norvel-cli [--host HOST] [--port PORT] [--timeout SECONDS] [REQUEST]\n"
         "       norvel-cli --stats ADDRESS:PORT [--timeout SECONDS]\n"
         "  Sends REQUEST (one JSON document) to the norvel daemon and prints the reply.\n"
         "  Without REQUEST, sends each non-blank line of standard input as one request.\n"
         "  Defaults: --host 127.0.0.1 --port 5000 --timeout 10\n"
         "  --stats prints the numbers of the daemon's metrics endpoint (its --metrics address).\n";
}

// One connection to the daemon. Every step runs on a private io_context with a deadline, so a
// daemon that stops answering ends the client with a message instead of a hang.
// Throws std::runtime_error with a message meant for the user.
class connection {
 public:
  connection(const std::string& host, const std::string& port, std::chrono::seconds step_timeout)
      : socket(io), timeout(step_timeout) {
    tcp::resolver resolver(io);
    boost::system::error_code ec;
    const auto endpoints = resolver.resolve(host, port, ec);
    if (ec) {
      throw std::runtime_error("cannot resolve " + host + ":" + port + ": " + ec.message());
    }
    asio::async_connect(socket, endpoints,
                        [&ec](const boost::system::error_code& e, const tcp::endpoint&) { ec = e; });
    run_until_done("connecting to " + host + ":" + port);
    if (ec) {
      throw std::runtime_error("cannot reach the daemon at " + host + ":" + port + ": " +
                               ec.message());
    }
  }

  // Sends one framed request and answers the body of its reply frame.
  std::string exchange(const std::string& body) {
    if (body.size() > max_body_size) {
      throw std::runtime_error("request longer than the daemon accepts (" +
                               std::to_string(max_body_size) + " bytes)");
    }
    std::string frame;
    append_frame_header(body.size(), frame);
    frame += body;

    boost::system::error_code ec;
    asio::async_write(socket, asio::buffer(frame),
                      [&ec](const boost::system::error_code& e, size_t) { ec = e; });
    run_until_done("sending the request");
    check(ec, "sending the request");

    std::string reply_header(frame_header_size, '\0');
    asio::async_read(socket, asio::buffer(&reply_header[0], frame_header_size),
                     [&ec](const boost::system::error_code& e, size_t) { ec = e; });
    run_until_done("waiting for the reply");
    check(ec, "waiting for the reply");

    const size_t length = parse_length(reply_header);
    std::string reply(length, '\0');
    if (length > 0) {
      asio::async_read(socket, asio::buffer(&reply[0], length),
                       [&ec](const boost::system::error_code& e, size_t) { ec = e; });
      run_until_done("reading the reply");
      check(ec, "reading the reply");
    }
    return reply;
  }

 private:
  void run_until_done(const std::string& step) {
    io.restart();
    io.run_for(timeout);
    if (!io.stopped()) {
      throw std::runtime_error("no answer from the daemon in time while " + step);
    }
  }

  static void check(const boost::system::error_code& ec, const std::string& step) {
    if (ec == asio::error::eof || ec == asio::error::connection_reset) {
      throw std::runtime_error(
          "the daemon closed the connection while " + step +
          " (it drops a connection whose request is not a JSON object)");
    }
    if (ec) {
      throw std::runtime_error("connection failed while " + step + ": " + ec.message());
    }
  }

  static size_t parse_length(const std::string& header) {
    size_t length = 0;
    for (char c : header) {
      if (c < '0' || c > '9') {
        throw std::runtime_error("the daemon sent a malformed frame header");
      }
      length = length * 10 + static_cast<size_t>(c - '0');
    }
    return length;
  }

  asio::io_context io;
  tcp::socket socket;
  std::chrono::seconds timeout;
};

bool is_blank(const std::string& line) {
  return line.find_first_not_of(" \t\r\n") == std::string::npos;
}

void print_reply(const std::string& reply) {
  std::cout << reply;
  if (reply.empty() || reply.back() != '\n') {
    std::cout << '\n';
  }
  std::cout.flush();
}

// Fills `opts` from the command line; false (after a message) when it cannot be understood.
bool parse_options(int argc, char** argv, options& opts) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      print_usage(std::cout);
      std::exit(0);
    }
    if (arg == "--host" || arg == "--port" || arg == "--timeout" || arg == "--stats") {
      if (i + 1 >= argc) {
        std::cerr << "norvel-cli: " << arg << " needs a value\n";
        return false;
      }
      const std::string value = argv[++i];
      if (arg == "--stats") {
        opts.stats_address = value;
      } else if (arg == "--host") {
        opts.host = value;
      } else if (arg == "--port") {
        opts.port = value;
      } else {
        char* end = nullptr;
        opts.timeout_seconds = std::strtol(value.c_str(), &end, 10);
        if (value.empty() || *end != '\0' || opts.timeout_seconds <= 0) {
          std::cerr << "norvel-cli: --timeout needs a positive number of seconds\n";
          return false;
        }
      }
      continue;
    }
    if (arg.size() > 1 && arg[0] == '-' && arg[1] == '-') {
      std::cerr << "norvel-cli: unknown option " << arg << "\n";
      return false;
    }
    if (opts.have_request) {
      std::cerr << "norvel-cli: give at most one request (quote it)\n";
      return false;
    }
    opts.have_request = true;
    opts.request = arg;
  }
  return true;
}

// --stats: one scrape of the metrics endpoint, printed readably.
int print_stats(const options& opts) {
  const std::string& address = opts.stats_address;
  const std::size_t colon = address.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == address.size()) {
    std::cerr << "norvel-cli: --stats needs ADDRESS:PORT, as given to the daemon's --metrics\n";
    return 2;
  }
  std::string host = address.substr(0, colon);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  try {
    const http_reply reply = http_get(host, address.substr(colon + 1), "/metrics",
                                      std::chrono::seconds(opts.timeout_seconds));
    if (reply.status != 200) {
      std::cerr << "norvel-cli: the metrics endpoint answered HTTP " << reply.status << "\n";
      return 1;
    }
    std::cout << format_stats(reply.body);
    return 0;
  } catch (const std::exception& e) {
    std::cerr << "norvel-cli: " << e.what() << "\n";
    return 1;
  }
}

}  // namespace

int main(int argc, char** argv) {
  options opts;
  if (!parse_options(argc, argv, opts)) {
    print_usage(std::cerr);
    return 2;
  }
  if (!opts.stats_address.empty()) {
    return print_stats(opts);
  }
  try {
    connection daemon(opts.host, opts.port, std::chrono::seconds(opts.timeout_seconds));
    if (opts.have_request) {
      print_reply(daemon.exchange(opts.request));
      return 0;
    }
    std::string line;
    while (std::getline(std::cin, line)) {
      if (is_blank(line)) {
        continue;
      }
      print_reply(daemon.exchange(line));
    }
    return 0;
  } catch (const std::exception& e) {
    std::cerr << "norvel-cli: " << e.what() << "\n";
    return 1;
  }
}
