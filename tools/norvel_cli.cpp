// norvel-cli: sends JSON requests to a running norvel daemon and prints each reply body.
//
//   norvel-cli [--host H] [--port P] [--timeout S] ['{"act":...}']
//   norvel-cli --stats ADDRESS:PORT [--timeout S]
//   norvel-cli --servers H:P,H:P,... [--wait-writes] [--timeout S] ['{"act":...}']
//   norvel-cli top [--once | --interval N] ADDRESS:PORT...   (see top.h)
//
// With a request argument it sends that one request; without one it reads standard input and
// sends one request per non-blank line, in order, on one connection. Frames are the daemon's:
// ten zero-padded ASCII digits giving the body's length, then the body.
// Exit status: 0 when every request got a reply, 1 when the daemon cannot be reached, closes the
// connection or does not answer in time, 2 for a wrong command line.
// --stats reads the daemon's metrics endpoint (its --metrics address) and prints the numbers
// readably.
// --servers names the nodes of a replicated site: each request goes to the node chosen by its
// member id (params.user_id modulo the number of nodes; the first node without one), so one
// member's reads stay on one node and never go back in time; a node that cannot be reached or
// does not answer is left for the next one. With --wait-writes every read carries "min_seq": the
// highest sequence the client's own changes were answered with (the nodes' "reply_seq").
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <boost/asio.hpp>
#include <json/json.h>

#include "metrics_client.h"
#include "network/srv.h"
#include "top.h"

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
  std::vector<std::pair<std::string, std::string>> servers;  // --servers; empty: --host/--port
  bool wait_writes = false;
};

void print_usage(std::ostream& out) {
  out << "usage: norvel-cli [--host HOST] [--port PORT] [--timeout SECONDS] [REQUEST]\n"
         "       norvel-cli --stats ADDRESS:PORT [--timeout SECONDS]\n"
         "  Sends REQUEST (one JSON document) to the norvel daemon and prints the reply.\n"
         "  Without REQUEST, sends each non-blank line of standard input as one request.\n"
         "  Defaults: --host 127.0.0.1 --port 5000 --timeout 10\n"
         "       norvel-cli --servers HOST:PORT,HOST:PORT,... [--wait-writes] [REQUEST]\n"
         "  --stats prints the numbers of the daemon's metrics endpoint (its --metrics address).\n"
         "  --servers sends each request to the node its member id picks, the next one when a\n"
         "  node does not answer; --wait-writes makes reads wait for the client's own changes\n"
         "  (the nodes need \"reply_seq\": true).\n"
         "       norvel-cli top [--once | --interval SECONDS] ADDRESS:PORT [ADDRESS:PORT ...]\n"
         "  A live view of nodes from their metrics endpoints (norvel-cli top --help).\n";
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
    asio::async_connect(
        socket, endpoints,
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
      throw std::runtime_error("the daemon closed the connection while " + step +
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

// The nodes of a replicated site, one connection each, made when first needed and made again
// after a failure.
class node_set {
 public:
  node_set(std::vector<std::pair<std::string, std::string>> addresses, std::chrono::seconds timeout,
           bool wait_writes)
      : nodes(std::move(addresses)),
        connections(nodes.size()),
        step_timeout(timeout),
        wait_for_own_writes(wait_writes) {}

  std::string exchange(const std::string& body) {
    Json::Value request;
    Json::Reader reader;
    const bool parsed = reader.parse(body, request, false) && request.isObject();
    std::string text = body;
    std::size_t first = 0;
    if (parsed) {
      const Json::Value& params = request["params"];
      if (params.isObject() && params["user_id"].isUInt64()) {
        first = static_cast<std::size_t>(params["user_id"].asUInt64() % nodes.size());
      }
      const std::string op = request["op"].isString() ? request["op"].asString() : "";
      if (wait_for_own_writes && highest_seq != 0 && op != "add" && op != "del") {
        request["params"]["min_seq"] = Json::UInt64(highest_seq);
        Json::FastWriter writer;
        writer.omitEndingLineFeed();
        text = writer.write(request);
      }
    }
    std::string last_error;
    for (std::size_t tried = 0; tried < nodes.size(); ++tried) {
      const std::size_t index = (first + tried) % nodes.size();
      try {
        if (!connections[index]) {
          connections[index] =
              std::make_unique<connection>(nodes[index].first, nodes[index].second, step_timeout);
        }
        std::string reply = connections[index]->exchange(text);
        note_sequence(reply);
        return reply;
      } catch (const std::exception& e) {
        connections[index].reset();
        last_error = e.what();
      }
    }
    throw std::runtime_error("no node answered: " + last_error);
  }

 private:
  void note_sequence(const std::string& reply) {
    Json::Value document;
    Json::Reader reader;
    if (reader.parse(reply, document, false) && document.isObject() &&
        document["data"].isObject() && document["data"]["seq"].isUInt64()) {
      highest_seq = std::max<std::uint64_t>(highest_seq, document["data"]["seq"].asUInt64());
    }
  }

  std::vector<std::pair<std::string, std::string>> nodes;
  std::vector<std::unique_ptr<connection>> connections;
  std::chrono::seconds step_timeout;
  bool wait_for_own_writes;
  std::uint64_t highest_seq = 0;
};

// "H:P,H:P" into host and port pairs; false when a part has no port.
bool parse_servers(const std::string& text, std::vector<std::pair<std::string, std::string>>& out) {
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t comma = text.find(',', start);
    const std::string part =
        text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    const std::size_t colon = part.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == part.size()) {
      return false;
    }
    out.emplace_back(part.substr(0, colon), part.substr(colon + 1));
    if (comma == std::string::npos) {
      return true;
    }
    start = comma + 1;
  }
  return false;
}

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
    if (arg == "--wait-writes") {
      opts.wait_writes = true;
      continue;
    }
    if (arg == "--host" || arg == "--port" || arg == "--timeout" || arg == "--stats" ||
        arg == "--servers") {
      if (i + 1 >= argc) {
        std::cerr << "norvel-cli: " << arg << " needs a value\n";
        return false;
      }
      const std::string value = argv[++i];
      if (arg == "--stats") {
        opts.stats_address = value;
      } else if (arg == "--servers") {
        if (!parse_servers(value, opts.servers)) {
          std::cerr << "norvel-cli: --servers needs HOST:PORT[,HOST:PORT...]\n";
          return false;
        }
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
  if (argc > 1 && (std::string(argv[1]) == "top" || std::string(argv[1]) == "--top")) {
    return run_top(argc, argv, 2);
  }
  options opts;
  if (!parse_options(argc, argv, opts)) {
    print_usage(std::cerr);
    return 2;
  }
  if (!opts.stats_address.empty()) {
    return print_stats(opts);
  }
  if (!opts.servers.empty()) {
    try {
      node_set site(opts.servers, std::chrono::seconds(opts.timeout_seconds), opts.wait_writes);
      if (opts.have_request) {
        print_reply(site.exchange(opts.request));
        return 0;
      }
      std::string line;
      while (std::getline(std::cin, line)) {
        if (!is_blank(line)) {
          print_reply(site.exchange(line));
        }
      }
      return 0;
    } catch (const std::exception& e) {
      std::cerr << "norvel-cli: " << e.what() << "\n";
      return 1;
    }
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
