// The network anchor for benchmarks: a bare single-threaded server speaking the daemon's framing
// (ten zero-padded decimal digits giving the body length, then the body). Every whole request
// frame is answered with one fixed reply frame, by default the size of a 20-id feed page; bodies
// are not parsed. What it sustains is the most any server can on this machine's loopback with
// the same client.
//
// One thread, one epoll set, non-blocking sockets. A malformed header closes that connection.
// Stops on SIGINT or SIGTERM.

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <unordered_map>

namespace {

volatile sig_atomic_t stop_requested = 0;

void on_stop_signal(int) {
  stop_requested = 1;
}

// A request body larger than this closes the connection (the daemon's own limit is larger, but
// a bench request is tiny; this only guards the buffer).
constexpr std::size_t max_body = 16 * 1024 * 1024;

// A body shaped like a feed page: {"code":200,"data":{"specials":[ids]}} and a line feed,
// `ids` ids long and exactly `bytes` bytes when that is reachable (digits are spread over ids).
std::string make_reply_body(std::size_t bytes, int ids) {
  const std::string head = "{\"code\":200,\"data\":{\"specials\":[";
  const std::string tail = "]}}\n";
  std::size_t frame = head.size() + tail.size() + static_cast<std::size_t>(ids > 0 ? ids - 1 : 0);
  if (ids < 1 || bytes < frame + static_cast<std::size_t>(ids)) {
    std::string body = head + tail;
    if (body.size() < bytes) {
      body.insert(head.size() - 1, bytes - body.size(), ' ');  // JSON allows the blanks
    }
    return body;
  }
  std::size_t digits = bytes - frame;
  std::string body = head;
  for (int i = 0; i < ids; ++i) {
    std::size_t width =
        digits / static_cast<std::size_t>(ids) +
        (static_cast<std::size_t>(i) < digits % static_cast<std::size_t>(ids) ? 1 : 0);
    if (i > 0) {
      body += ',';
    }
    body += '1';
    body.append(width - 1, static_cast<char>('0' + i % 10));
  }
  return body + tail;
}

std::string make_reply_frame(const std::string& body) {
  char header[16];
  std::snprintf(header, sizeof header, "%010zu", body.size());
  return std::string(header, 10) + body;
}

struct connection {
  int fd;
  std::string in;
  std::string out;
  bool want_write = false;

  explicit connection(int socket) : fd(socket) {}
  connection(const connection&) = delete;
  connection& operator=(const connection&) = delete;
  ~connection() { ::close(fd); }
};

class echo_server {
 public:
  echo_server(const std::string& bind_address, unsigned short port, std::string reply)
      : reply_frame(std::move(reply)) {
    epoll_fd = epoll_create1(EPOLL_CLOEXEC);
    listen_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (epoll_fd < 0 || listen_fd < 0) {
      throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
    }
    int one = 1;
    setsockopt(listen_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    if (::inet_pton(AF_INET, bind_address.c_str(), &addr.sin_addr) != 1) {
      throw std::runtime_error("bad IPv4 address " + bind_address);
    }
    if (::bind(listen_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      throw std::runtime_error(std::string("bind: ") + std::strerror(errno));
    }
    if (::listen(listen_fd, 128) != 0) {
      throw std::runtime_error(std::string("listen: ") + std::strerror(errno));
    }
    socklen_t len = sizeof addr;
    getsockname(listen_fd, reinterpret_cast<sockaddr*>(&addr), &len);
    bound_port = ntohs(addr.sin_port);
    watch(listen_fd, EPOLLIN, nullptr, EPOLL_CTL_ADD);
  }

  ~echo_server() {
    connections.clear();
    ::close(listen_fd);
    ::close(epoll_fd);
  }

  echo_server(const echo_server&) = delete;
  echo_server& operator=(const echo_server&) = delete;

  unsigned short port() const { return bound_port; }

  void run() {
    epoll_event events[256];
    while (!stop_requested) {
      int n = epoll_wait(epoll_fd, events, 256, 500);
      if (n < 0 && errno != EINTR) {
        throw std::runtime_error(std::string("epoll_wait: ") + std::strerror(errno));
      }
      for (int i = 0; i < n; ++i) {
        auto* conn = static_cast<connection*>(events[i].data.ptr);
        if (conn == nullptr) {
          accept_all();
          continue;
        }
        if (!serve(*conn, events[i].events)) {
          connections.erase(conn->fd);
        }
      }
    }
  }

 private:
  void watch(int fd, std::uint32_t events, connection* conn, int op) {
    epoll_event ev{};
    ev.events = events;
    ev.data.ptr = conn;
    epoll_ctl(epoll_fd, op, fd, &ev);
  }

  void accept_all() {
    for (;;) {
      int fd = ::accept4(listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) {
        return;  // EAGAIN ends the batch; other accept errors only lose that peer
      }
      int one = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      auto conn = std::make_unique<connection>(fd);
      watch(fd, EPOLLIN, conn.get(), EPOLL_CTL_ADD);
      connections[fd] = std::move(conn);
    }
  }

  // Reads, answers and writes; false when the connection is to be closed.
  bool serve(connection& conn, std::uint32_t events) {
    if (events & (EPOLLIN | EPOLLERR | EPOLLHUP)) {
      if (!read_all(conn) || !answer_frames(conn)) {
        return false;
      }
    }
    return flush(conn);
  }

  bool read_all(connection& conn) {
    char buffer[65536];
    for (;;) {
      ssize_t n = ::recv(conn.fd, buffer, sizeof buffer, 0);
      if (n > 0) {
        conn.in.append(buffer, static_cast<std::size_t>(n));
        if (static_cast<std::size_t>(n) < sizeof buffer) {
          return true;
        }
        continue;
      }
      if (n < 0 && errno == EINTR) {
        continue;
      }
      return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
  }

  // Answers every whole frame in the input; false on a malformed or oversized header.
  bool answer_frames(connection& conn) {
    std::size_t pos = 0;
    while (conn.in.size() - pos >= 10) {
      std::size_t body = 0;
      for (std::size_t i = pos; i < pos + 10; ++i) {
        char c = conn.in[i];
        if (c < '0' || c > '9') {
          return false;
        }
        body = body * 10 + static_cast<std::size_t>(c - '0');
      }
      if (body > max_body) {
        return false;
      }
      if (conn.in.size() - pos < 10 + body) {
        break;
      }
      pos += 10 + body;
      conn.out += reply_frame;
    }
    conn.in.erase(0, pos);
    return true;
  }

  bool flush(connection& conn) {
    std::size_t sent = 0;
    while (sent < conn.out.size()) {
      ssize_t n = ::send(conn.fd, conn.out.data() + sent, conn.out.size() - sent, MSG_NOSIGNAL);
      if (n > 0) {
        sent += static_cast<std::size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) {
        continue;
      }
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        break;
      }
      return false;
    }
    conn.out.erase(0, sent);
    bool want = !conn.out.empty();
    if (want != conn.want_write) {
      conn.want_write = want;
      watch(conn.fd, EPOLLIN | (want ? EPOLLOUT : 0u), &conn, EPOLL_CTL_MOD);
    }
    return true;
  }

  std::string reply_frame;
  int epoll_fd = -1;
  int listen_fd = -1;
  unsigned short bound_port = 0;
  std::unordered_map<int, std::unique_ptr<connection>> connections;
};

void usage(FILE* to) {
  std::fprintf(to,
               "usage: echo_server [--bind ADDR] [--port P] [--reply-bytes N] [--reply-ids N]\n"
               "  --bind ADDR       IPv4 address to listen on (127.0.0.1)\n"
               "  --port P          port, 0 for any free one (5100)\n"
               "  --reply-bytes N   reply body size in bytes (195: 20 ids of 7 digits)\n"
               "  --reply-ids N     ids in the reply body (20)\n"
               "Prints \"echo_server listening on port P\" once ready; stops on SIGINT/SIGTERM.\n");
}

}  // namespace

int main(int argc, char** argv) {
  static const option long_options[] = {{"bind", required_argument, nullptr, 'b'},
                                        {"port", required_argument, nullptr, 'p'},
                                        {"reply-bytes", required_argument, nullptr, 'n'},
                                        {"reply-ids", required_argument, nullptr, 'i'},
                                        {"help", no_argument, nullptr, 'h'},
                                        {nullptr, 0, nullptr, 0}};
  std::string bind_address = "127.0.0.1";
  long port = 5100;
  long reply_bytes = 195;
  long reply_ids = 20;
  int c;
  while ((c = getopt_long(argc, argv, "h", long_options, nullptr)) != -1) {
    switch (c) {
      case 'b':
        bind_address = optarg;
        break;
      case 'p':
        port = std::strtol(optarg, nullptr, 10);
        break;
      case 'n':
        reply_bytes = std::strtol(optarg, nullptr, 10);
        break;
      case 'i':
        reply_ids = std::strtol(optarg, nullptr, 10);
        break;
      case 'h':
        usage(stdout);
        return 0;
      default:
        usage(stderr);
        return 2;
    }
  }
  if (optind != argc || port < 0 || port > 65535 || reply_bytes < 1 || reply_bytes > 1 << 24 ||
      reply_ids < 0 || reply_ids > 100000) {
    usage(stderr);
    return 2;
  }
  struct sigaction sa {};
  sa.sa_handler = on_stop_signal;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  try {
    std::string body =
        make_reply_body(static_cast<std::size_t>(reply_bytes), static_cast<int>(reply_ids));
    echo_server server(bind_address, static_cast<unsigned short>(port), make_reply_frame(body));
    std::printf("echo_server listening on port %u, reply body %zu bytes\n", server.port(),
                body.size());
    std::fflush(stdout);
    server.run();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "echo_server: %s\n", e.what());
    return 1;
  }
  return 0;
}
