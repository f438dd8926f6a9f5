// Closed-loop load generator for the daemon's framed protocol and for RESP servers.
//
// N connections each keep exactly one request in flight: send a request, wait for the whole
// reply, send the next. Requests are rendered from templates with placeholders drawn per request
// (a random member id, a fresh special id, ...). After a warm-up the run is measured for a fixed
// duration and the throughput and the latency percentiles are printed, reads and writes apart.
//
// One thread and one epoll set drive every connection, so the client costs little and can be
// pinned to one core (--cpu or taskset) while the server runs on another.
//
// Placeholders (anything else between braces is literal text, so JSON bodies need no escaping):
//   {USER}, {USER2}   random member ids from --users (each drawn once per request)
//   {SPECIAL}         a random special id from --specials
//   {NEW_ID}          the next id of a counter starting at --new-base (remembered for {OLD_ID})
//   {OLD_ID}          the oldest id handed out by {NEW_ID} and not yet taken by {OLD_ID}
//   {NEW_PAIR}, {OLD_PAIR}   the same over a second counter, rendered as nothing
//   {KEY_USER}, {KEY_USER2}  member ids derived from the request's NEW/OLD id or pair, so that a
//                     delete names the same member as the add it undoes
// The last three make add/delete mixes stationary: every delete undoes an earlier add.

#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using nanoseconds = std::uint64_t;

nanoseconds now_ns() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<nanoseconds>(ts.tv_sec) * 1000000000ull + static_cast<nanoseconds>(ts.tv_nsec);
}

std::uint64_t mix64(std::uint64_t x) {
  x += 0x9e3779b97f4a7c15ull;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
  return x ^ (x >> 31);
}

// A small, fast generator (splitmix64); the quality is ample for picking ids.
class random_source {
 public:
  explicit random_source(std::uint64_t seed) : state(seed) {}
  std::uint64_t next() { return mix64(state++); }
  std::uint64_t in_range(std::uint64_t lo, std::uint64_t hi) { return lo + next() % (hi - lo + 1); }
  double unit() { return static_cast<double>(next() >> 11) * (1.0 / 9007199254740992.0); }

 private:
  std::uint64_t state;
};

struct id_range {
  std::uint64_t lo = 1;
  std::uint64_t hi = 1;
};

enum class placeholder {
  literal,
  user,
  user2,
  special,
  new_id,
  old_id,
  new_pair,
  old_pair,
  key_user,
  key_user2
};

struct segment {
  placeholder kind = placeholder::literal;
  std::string text;  // literal kind only
};

struct placeholder_name {
  const char* name;
  placeholder kind;
};

const placeholder_name placeholder_names[] = {
    {"{USER}", placeholder::user},           {"{USER2}", placeholder::user2},
    {"{SPECIAL}", placeholder::special},     {"{NEW_ID}", placeholder::new_id},
    {"{OLD_ID}", placeholder::old_id},       {"{NEW_PAIR}", placeholder::new_pair},
    {"{OLD_PAIR}", placeholder::old_pair},   {"{KEY_USER}", placeholder::key_user},
    {"{KEY_USER2}", placeholder::key_user2},
};

// One text cut into literal pieces and placeholders, so rendering is a walk with no search.
class text_template {
 public:
  explicit text_template(const std::string& text) {
    std::string literal;
    for (std::size_t i = 0; i < text.size();) {
      const placeholder_name* found = nullptr;
      if (text[i] == '{') {
        for (const auto& p : placeholder_names) {
          if (text.compare(i, std::strlen(p.name), p.name) == 0) {
            found = &p;
            break;
          }
        }
      }
      if (found == nullptr) {
        literal += text[i++];
        continue;
      }
      flush_literal(literal);
      segments.push_back(segment{found->kind, {}});
      i += std::strlen(found->name);
    }
    flush_literal(literal);
  }

  bool uses(placeholder kind) const {
    return std::any_of(segments.begin(), segments.end(),
                       [&](const segment& s) { return s.kind == kind; });
  }
  const std::vector<segment>& parts() const { return segments; }

 private:
  void flush_literal(std::string& literal) {
    if (!literal.empty()) {
      segments.push_back(segment{placeholder::literal, literal});
      literal.clear();
    }
  }

  std::vector<segment> segments;
};

// The values of one request's placeholders, drawn before rendering so that every occurrence of a
// placeholder in the request gets the same value.
struct request_values {
  std::uint64_t user = 0;
  std::uint64_t user2 = 0;
  std::uint64_t special = 0;
  std::uint64_t key = 0;
  std::uint64_t key_user = 0;
  std::uint64_t key_user2 = 0;
};

// A counter whose issued values are handed back, oldest first, to the matching delete requests.
class key_stream {
 public:
  explicit key_stream(std::uint64_t base) : next_key(base) {}
  std::uint64_t issue() {
    outstanding.push_back(next_key);
    return next_key++;
  }
  // The oldest outstanding key; with none outstanding, a key never issued (the delete misses).
  std::uint64_t take_oldest() {
    if (outstanding.empty()) {
      return next_key + 1000000000ull;
    }
    std::uint64_t key = outstanding.front();
    outstanding.pop_front();
    return key;
  }

 private:
  std::uint64_t next_key;
  std::deque<std::uint64_t> outstanding;
};

enum class protocol { framed, resp };

// A request shape: the framed protocol has one body template, RESP one template per argument.
struct request_shape {
  std::vector<text_template> parts;

  bool uses(placeholder kind) const {
    return std::any_of(parts.begin(), parts.end(),
                       [&](const text_template& t) { return t.uses(kind); });
  }
};

struct options {
  std::string host = "127.0.0.1";
  std::string port = "5000";
  protocol proto = protocol::framed;
  int connections = 16;
  double warmup_seconds = 2;
  double duration_seconds = 10;
  id_range users{1, 1000};
  id_range specials{1, 1000000};
  std::uint64_t new_base = 4000000000ull;
  std::vector<std::string> reads;
  std::vector<std::string> writes;
  double write_fraction = 0;
  int cpu = -1;
  std::uint64_t seed = 1;
  std::string label;
};

class request_factory {
 public:
  request_factory(const options& opts, protocol wire)
      : proto(wire),
        users(opts.users),
        specials(opts.specials),
        ids(opts.new_base),
        pairs(opts.new_base),
        random(opts.seed) {
    for (const auto& text : opts.reads) {
      reads.push_back(make_shape(text));
    }
    for (const auto& text : opts.writes) {
      writes.push_back(make_shape(text));
    }
    write_fraction = writes.empty() ? 0 : opts.write_fraction;
  }

  // Renders the next request onto `out` (appending); returns whether it is a write.
  bool next(std::string& out) {
    bool is_write = write_fraction > 0 && random.unit() < write_fraction;
    const auto& pool = is_write ? writes : reads;
    const request_shape& shape = pool[random.next() % pool.size()];
    request_values values = draw(shape);
    if (proto == protocol::framed) {
      render_framed(shape, values, out);
    } else {
      render_resp(shape, values, out);
    }
    return is_write;
  }

 private:
  request_shape make_shape(const std::string& text) const {
    request_shape shape;
    if (proto == protocol::framed) {
      shape.parts.emplace_back(text);
      return shape;
    }
    std::size_t start = 0;
    while (start < text.size()) {
      std::size_t end = text.find(' ', start);
      if (end == std::string::npos) {
        end = text.size();
      }
      if (end > start) {
        shape.parts.emplace_back(text.substr(start, end - start));
      }
      start = end + 1;
    }
    if (shape.parts.empty()) {
      throw std::invalid_argument("empty RESP command template");
    }
    return shape;
  }

  request_values draw(const request_shape& shape) {
    request_values v;
    v.user = random.in_range(users.lo, users.hi);
    v.user2 = random.in_range(users.lo, users.hi);
    v.special = random.in_range(specials.lo, specials.hi);
    if (shape.uses(placeholder::new_id)) {
      v.key = ids.issue();
    } else if (shape.uses(placeholder::old_id)) {
      v.key = ids.take_oldest();
    } else if (shape.uses(placeholder::new_pair)) {
      v.key = pairs.issue();
    } else if (shape.uses(placeholder::old_pair)) {
      v.key = pairs.take_oldest();
    }
    std::uint64_t span = users.hi - users.lo + 1;
    v.key_user = users.lo + mix64(v.key) % span;
    v.key_user2 = users.lo + mix64(v.key ^ 0x5bd1e9955bd1e995ull) % span;
    return v;
  }

  static void append_number(std::string& out, std::uint64_t n) {
    char digits[24];
    int len = std::snprintf(digits, sizeof digits, "%" PRIu64, n);
    out.append(digits, static_cast<std::size_t>(len));
  }

  static void render_text(const text_template& t, const request_values& v, std::string& out) {
    for (const segment& s : t.parts()) {
      switch (s.kind) {
        case placeholder::literal:
          out += s.text;
          break;
        case placeholder::user:
          append_number(out, v.user);
          break;
        case placeholder::user2:
          append_number(out, v.user2);
          break;
        case placeholder::special:
          append_number(out, v.special);
          break;
        case placeholder::new_id:
        case placeholder::old_id:
          append_number(out, v.key);
          break;
        case placeholder::new_pair:
        case placeholder::old_pair:
          break;
        case placeholder::key_user:
          append_number(out, v.key_user);
          break;
        case placeholder::key_user2:
          append_number(out, v.key_user2);
          break;
      }
    }
  }

  void render_framed(const request_shape& shape, const request_values& v, std::string& out) {
    scratch.clear();
    render_text(shape.parts.front(), v, scratch);
    char header[16];
    std::snprintf(header, sizeof header, "%010zu", scratch.size());
    out.append(header, 10);
    out += scratch;
  }

  void render_resp(const request_shape& shape, const request_values& v, std::string& out) {
    out += '*';
    append_number(out, shape.parts.size());
    out += "\r\n";
    for (const auto& part : shape.parts) {
      scratch.clear();
      render_text(part, v, scratch);
      out += '$';
      append_number(out, scratch.size());
      out += "\r\n";
      out += scratch;
      out += "\r\n";
    }
  }

  protocol proto;
  id_range users;
  id_range specials;
  key_stream ids;
  key_stream pairs;
  random_source random;
  std::vector<request_shape> reads;
  std::vector<request_shape> writes;
  double write_fraction = 0;
  std::string scratch;
};

// Result of looking for one whole reply at the front of a buffer.
struct reply_scan {
  enum { incomplete, complete, malformed } status = incomplete;
  std::size_t length = 0;  // bytes of the whole reply, when complete
  bool failed = false;     // the server answered with an error
};

// A framed reply: ten decimal digits, then that many bytes. A reply is counted as failed unless
// its body starts with {"code":200.
reply_scan scan_framed(const char* data, std::size_t size) {
  reply_scan scan;
  if (size < 10) {
    return scan;
  }
  std::size_t body = 0;
  for (int i = 0; i < 10; ++i) {
    if (data[i] < '0' || data[i] > '9') {
      scan.status = reply_scan::malformed;
      return scan;
    }
    body = body * 10 + static_cast<std::size_t>(data[i] - '0');
  }
  if (size < 10 + body) {
    return scan;
  }
  static const char ok_prefix[] = "{\"code\":200";
  scan.status = reply_scan::complete;
  scan.length = 10 + body;
  scan.failed =
      body < sizeof ok_prefix - 1 || std::memcmp(data + 10, ok_prefix, sizeof ok_prefix - 1) != 0;
  return scan;
}

// Length of the CRLF-terminated line at `pos`, excluding CRLF; npos when incomplete.
std::size_t resp_line(const char* data, std::size_t size, std::size_t pos) {
  for (std::size_t i = pos; i + 1 < size; ++i) {
    if (data[i] == '\r' && data[i + 1] == '\n') {
      return i - pos;
    }
  }
  return std::string::npos;
}

// Scans one RESP value starting at `pos`; on completion `pos` is moved past it.
reply_scan scan_resp_value(const char* data, std::size_t size, std::size_t& pos, int depth) {
  reply_scan scan;
  if (depth > 8) {
    scan.status = reply_scan::malformed;
    return scan;
  }
  std::size_t line = resp_line(data, size, pos);
  if (line == std::string::npos) {
    return scan;
  }
  if (line == 0) {
    scan.status = reply_scan::malformed;
    return scan;
  }
  char type = data[pos];
  long long number = std::strtoll(std::string(data + pos + 1, line - 1).c_str(), nullptr, 10);
  std::size_t after_line = pos + line + 2;
  switch (type) {
    case '+':
    case ':':
      pos = after_line;
      scan.status = reply_scan::complete;
      return scan;
    case '-':
      pos = after_line;
      scan.status = reply_scan::complete;
      scan.failed = true;
      return scan;
    case '$':
      if (number < 0) {
        pos = after_line;
        scan.status = reply_scan::complete;
        return scan;
      }
      if (size < after_line + static_cast<std::size_t>(number) + 2) {
        return scan;
      }
      pos = after_line + static_cast<std::size_t>(number) + 2;
      scan.status = reply_scan::complete;
      return scan;
    case '*': {
      std::size_t cursor = after_line;
      bool failed = false;
      for (long long i = 0; i < number; ++i) {
        reply_scan element = scan_resp_value(data, size, cursor, depth + 1);
        if (element.status != reply_scan::complete) {
          return element;
        }
        failed = failed || element.failed;
      }
      pos = cursor;
      scan.status = reply_scan::complete;
      scan.failed = failed;
      return scan;
    }
    default:
      scan.status = reply_scan::malformed;
      return scan;
  }
}

reply_scan scan_resp(const char* data, std::size_t size) {
  std::size_t pos = 0;
  reply_scan scan = scan_resp_value(data, size, pos, 0);
  if (scan.status == reply_scan::complete) {
    scan.length = pos;
  }
  return scan;
}

// Latencies of one class of requests, kept whole so the percentiles are exact.
struct latency_log {
  std::vector<std::uint32_t> samples_ns;  // saturates at about 4.29 s
  std::uint64_t failed = 0;

  void add(nanoseconds latency) {
    samples_ns.push_back(static_cast<std::uint32_t>(std::min<nanoseconds>(latency, UINT32_MAX)));
  }
  // The q-quantile in microseconds (nearest rank); needs the samples sorted.
  double quantile_us(double q) const {
    if (samples_ns.empty()) {
      return 0;
    }
    auto rank = static_cast<std::size_t>(std::ceil(q * static_cast<double>(samples_ns.size())));
    rank = std::min(std::max<std::size_t>(rank, 1), samples_ns.size());
    return samples_ns[rank - 1] / 1000.0;
  }
};

struct connection {
  int fd = -1;
  std::string out;
  std::size_t out_sent = 0;
  std::string in;
  nanoseconds sent_at = 0;
  bool is_write = false;
  bool want_write = false;

  connection() = default;
  connection(const connection&) = delete;
  connection& operator=(const connection&) = delete;
  ~connection() {
    if (fd >= 0) {
      ::close(fd);
    }
  }
};

class file_descriptor {
 public:
  explicit file_descriptor(int owned) : fd(owned) {}
  ~file_descriptor() {
    if (fd >= 0) {
      ::close(fd);
    }
  }
  file_descriptor(const file_descriptor&) = delete;
  file_descriptor& operator=(const file_descriptor&) = delete;
  int get() const { return fd; }

 private:
  int fd;
};

int connect_to(const options& opts) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  int rc = getaddrinfo(opts.host.c_str(), opts.port.c_str(), &hints, &found);
  if (rc != 0) {
    throw std::runtime_error("cannot resolve " + opts.host + ": " + gai_strerror(rc));
  }
  std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> addresses(found, freeaddrinfo);
  std::string last_error = "no address";
  for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
    int fd = ::socket(a->ai_family, a->ai_socktype, a->ai_protocol);
    if (fd < 0) {
      last_error = std::strerror(errno);
      continue;
    }
    if (::connect(fd, a->ai_addr, a->ai_addrlen) == 0) {
      int one = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
      return fd;
    }
    last_error = std::strerror(errno);
    ::close(fd);
  }
  throw std::runtime_error("cannot connect to " + opts.host + ":" + opts.port + ": " + last_error);
}

// Runs the closed loop: every connection alternates one request and its whole reply.
class load_run {
 public:
  explicit load_run(const options& settings)
      : opts(settings), factory(settings, settings.proto), epoll(epoll_create1(EPOLL_CLOEXEC)) {
    if (epoll.get() < 0) {
      throw std::runtime_error(std::string("epoll_create1: ") + std::strerror(errno));
    }
    auto expected = static_cast<std::size_t>(opts.duration_seconds * 400000) + 1024;
    reads.samples_ns.reserve(expected);
    for (int i = 0; i < opts.connections; ++i) {
      auto conn = std::make_unique<connection>();
      conn->fd = connect_to(opts);
      epoll_event ev{};
      ev.events = EPOLLIN;
      ev.data.ptr = conn.get();
      if (epoll_ctl(epoll.get(), EPOLL_CTL_ADD, conn->fd, &ev) != 0) {
        throw std::runtime_error(std::string("epoll_ctl: ") + std::strerror(errno));
      }
      connections.push_back(std::move(conn));
    }
  }

  void run() {
    start = now_ns();
    measure_from = start + static_cast<nanoseconds>(opts.warmup_seconds * 1e9);
    measure_until = measure_from + static_cast<nanoseconds>(opts.duration_seconds * 1e9);
    for (auto& conn : connections) {
      send_next(*conn);
    }
    std::vector<epoll_event> events(256);
    while (open_connections() > 0) {
      nanoseconds now = now_ns();
      if (now >= measure_until) {
        break;
      }
      int timeout_ms = static_cast<int>((measure_until - now) / 1000000) + 1;
      int n = epoll_wait(epoll.get(), events.data(), static_cast<int>(events.size()), timeout_ms);
      if (n < 0 && errno != EINTR) {
        throw std::runtime_error(std::string("epoll_wait: ") + std::strerror(errno));
      }
      for (int i = 0; i < n; ++i) {
        auto* conn = static_cast<connection*>(events[i].data.ptr);
        if (events[i].events & (EPOLLIN | EPOLLERR | EPOLLHUP)) {
          on_readable(*conn);
        }
        if (conn->fd >= 0 && (events[i].events & EPOLLOUT)) {
          flush(*conn);
        }
      }
    }
    measured_seconds = static_cast<double>(std::min(now_ns(), measure_until) - measure_from) / 1e9;
  }

  int report() {
    std::sort(reads.samples_ns.begin(), reads.samples_ns.end());
    std::sort(writes.samples_ns.begin(), writes.samples_ns.end());
    latency_log all;
    all.samples_ns = reads.samples_ns;
    all.samples_ns.insert(all.samples_ns.end(), writes.samples_ns.begin(), writes.samples_ns.end());
    std::sort(all.samples_ns.begin(), all.samples_ns.end());
    all.failed = reads.failed + writes.failed;
    double seconds = measured_seconds > 0 ? measured_seconds : 1;
    double reply_mean = all.samples_ns.empty() ? 0
                                               : static_cast<double>(reply_bytes) /
                                                     static_cast<double>(all.samples_ns.size());
    const char* proto_name = opts.proto == protocol::framed ? "framed" : "resp";

    std::printf("loadgen: %s %s:%s, %d connections, warm-up %.1f s, measured %.2f s\n", proto_name,
                opts.host.c_str(), opts.port.c_str(), opts.connections, opts.warmup_seconds,
                seconds);
    std::printf(
        "  all    %10zu requests %10.0f/s  p50 %8.1f us  p99 %8.1f us  p99.9 %8.1f us  failed "
        "%" PRIu64 "\n",
        all.samples_ns.size(), all.samples_ns.size() / seconds, all.quantile_us(0.5),
        all.quantile_us(0.99), all.quantile_us(0.999), all.failed);
    if (!writes.samples_ns.empty()) {
      print_class("reads", reads, seconds);
      print_class("writes", writes, seconds);
    }
    std::printf("  mean reply %.1f bytes, connections lost %d\n", reply_mean, lost_connections);
    std::printf(
        "RESULT label=%s proto=%s conns=%d seconds=%.3f rps=%.1f p50_us=%.1f p99_us=%.1f "
        "p999_us=%.1f read_rps=%.1f read_p50_us=%.1f read_p99_us=%.1f read_p999_us=%.1f "
        "write_rps=%.1f write_p99_us=%.1f failed=%" PRIu64 " lost=%d reply_bytes=%.1f\n",
        opts.label.empty() ? "-" : opts.label.c_str(), proto_name, opts.connections, seconds,
        all.samples_ns.size() / seconds, all.quantile_us(0.5), all.quantile_us(0.99),
        all.quantile_us(0.999), reads.samples_ns.size() / seconds, reads.quantile_us(0.5),
        reads.quantile_us(0.99), reads.quantile_us(0.999), writes.samples_ns.size() / seconds,
        writes.quantile_us(0.99), all.failed, lost_connections, reply_mean);
    if (all.samples_ns.empty()) {
      std::fprintf(stderr, "loadgen: no reply was received in the measured window\n");
      return 1;
    }
    return lost_connections > 0 ? 1 : 0;
  }

 private:
  static void print_class(const char* name, const latency_log& log, double seconds) {
    std::printf(
        "  %-6s %10zu requests %10.0f/s  p50 %8.1f us  p99 %8.1f us  p99.9 %8.1f us  failed "
        "%" PRIu64 "\n",
        name, log.samples_ns.size(), log.samples_ns.size() / seconds, log.quantile_us(0.5),
        log.quantile_us(0.99), log.quantile_us(0.999), log.failed);
  }

  int open_connections() const { return opts.connections - lost_connections; }

  void send_next(connection& conn) {
    conn.out.clear();
    conn.out_sent = 0;
    conn.is_write = factory.next(conn.out);
    conn.sent_at = now_ns();
    flush(conn);
  }

  void flush(connection& conn) {
    while (conn.out_sent < conn.out.size()) {
      ssize_t n = ::send(conn.fd, conn.out.data() + conn.out_sent, conn.out.size() - conn.out_sent,
                         MSG_NOSIGNAL);
      if (n > 0) {
        conn.out_sent += static_cast<std::size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) {
        continue;
      }
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        watch_writable(conn, true);
        return;
      }
      lose(conn, n < 0 ? std::strerror(errno) : "send returned 0");
      return;
    }
    watch_writable(conn, false);
  }

  void watch_writable(connection& conn, bool want) {
    if (conn.want_write == want) {
      return;
    }
    conn.want_write = want;
    epoll_event ev{};
    ev.events = EPOLLIN | (want ? EPOLLOUT : 0u);
    ev.data.ptr = &conn;
    epoll_ctl(epoll.get(), EPOLL_CTL_MOD, conn.fd, &ev);
  }

  void on_readable(connection& conn) {
    char buffer[65536];
    for (;;) {
      ssize_t n = ::recv(conn.fd, buffer, sizeof buffer, 0);
      if (n > 0) {
        conn.in.append(buffer, static_cast<std::size_t>(n));
        if (static_cast<std::size_t>(n) < sizeof buffer) {
          break;
        }
        continue;
      }
      if (n < 0 && errno == EINTR) {
        continue;
      }
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        break;
      }
      lose(conn, n == 0 ? "closed by the server" : std::strerror(errno));
      return;
    }
    consume_reply(conn);
  }

  void consume_reply(connection& conn) {
    reply_scan scan = opts.proto == protocol::framed ? scan_framed(conn.in.data(), conn.in.size())
                                                     : scan_resp(conn.in.data(), conn.in.size());
    if (scan.status == reply_scan::incomplete) {
      return;
    }
    if (scan.status == reply_scan::malformed) {
      lose(conn, "malformed reply");
      return;
    }
    nanoseconds done = now_ns();
    if (conn.sent_at >= measure_from && done <= measure_until) {
      latency_log& log = conn.is_write ? writes : reads;
      log.add(done - conn.sent_at);
      log.failed += scan.failed ? 1 : 0;
      reply_bytes += scan.length;
    }
    if (scan.length != conn.in.size()) {
      // Closed loop: one request in flight, so anything past the reply is a server fault.
      lose(conn, "unexpected bytes after a reply");
      return;
    }
    conn.in.clear();
    send_next(conn);
  }

  void lose(connection& conn, const char* why) {
    std::fprintf(stderr, "loadgen: connection lost: %s\n", why);
    epoll_ctl(epoll.get(), EPOLL_CTL_DEL, conn.fd, nullptr);
    ::close(conn.fd);
    conn.fd = -1;
    ++lost_connections;
  }

  const options& opts;
  request_factory factory;
  file_descriptor epoll;
  std::vector<std::unique_ptr<connection>> connections;
  latency_log reads;
  latency_log writes;
  std::uint64_t reply_bytes = 0;
  int lost_connections = 0;
  nanoseconds start = 0;
  nanoseconds measure_from = 0;
  nanoseconds measure_until = 0;
  double measured_seconds = 0;
};

id_range parse_range(const char* text) {
  id_range r;
  char* end = nullptr;
  r.lo = std::strtoull(text, &end, 10);
  if (*end == '-') {
    r.hi = std::strtoull(end + 1, &end, 10);
  } else {
    r.hi = r.lo;
  }
  if (*end != '\0' || r.hi < r.lo) {
    throw std::invalid_argument(std::string("bad range '") + text + "' (want LO-HI)");
  }
  return r;
}

void usage(FILE* to) {
  std::fprintf(to,
               "usage: loadgen [options]\n"
               "  --host H            server address (127.0.0.1)\n"
               "  --port P            server port (5000)\n"
               "  --resp              speak RESP instead of the framed JSON protocol\n"
               "  -c, --connections N concurrent connections, one request in flight each (16)\n"
               "  -w, --warmup S      seconds of warm-up before measuring (2)\n"
               "  -d, --duration S    measured seconds (10)\n"
               "  -r, --read T        read request template (repeatable; required)\n"
               "      --write T       write request template (repeatable)\n"
               "  -m, --write-fraction F  share of requests taken from the write templates (0)\n"
               "  -u, --users LO-HI   member id range for {USER} and {USER2} (1-1000)\n"
               "      --specials LO-HI  special id range for {SPECIAL} (1-1000000)\n"
               "      --new-base N    first id of {NEW_ID} and {NEW_PAIR} (4000000000)\n"
               "      --cpu N         pin this process to CPU N\n"
               "      --seed N        random seed (1)\n"
               "      --label L       label carried into the RESULT line\n"
               "A framed template is a request body; a RESP template is a command whose\n"
               "arguments are separated by single spaces. Placeholders: {USER} {USER2} {SPECIAL}\n"
               "{NEW_ID} {OLD_ID} {NEW_PAIR} {OLD_PAIR} {KEY_USER} {KEY_USER2}.\n"
               "The last line is a machine-readable RESULT line.\n");
}

double parse_number(const char* text, const char* what) {
  char* end = nullptr;
  double value = std::strtod(text, &end);
  if (end == text || *end != '\0' || !(value >= 0)) {
    throw std::invalid_argument(std::string("bad ") + what + " '" + text + "'");
  }
  return value;
}

options parse_options(int argc, char** argv) {
  enum {
    opt_host = 1000,
    opt_port,
    opt_resp,
    opt_write,
    opt_specials,
    opt_new_base,
    opt_cpu,
    opt_seed,
    opt_label
  };
  static const option long_options[] = {{"host", required_argument, nullptr, opt_host},
                                        {"port", required_argument, nullptr, opt_port},
                                        {"resp", no_argument, nullptr, opt_resp},
                                        {"connections", required_argument, nullptr, 'c'},
                                        {"warmup", required_argument, nullptr, 'w'},
                                        {"duration", required_argument, nullptr, 'd'},
                                        {"read", required_argument, nullptr, 'r'},
                                        {"write", required_argument, nullptr, opt_write},
                                        {"write-fraction", required_argument, nullptr, 'm'},
                                        {"users", required_argument, nullptr, 'u'},
                                        {"specials", required_argument, nullptr, opt_specials},
                                        {"new-base", required_argument, nullptr, opt_new_base},
                                        {"cpu", required_argument, nullptr, opt_cpu},
                                        {"seed", required_argument, nullptr, opt_seed},
                                        {"label", required_argument, nullptr, opt_label},
                                        {"help", no_argument, nullptr, 'h'},
                                        {nullptr, 0, nullptr, 0}};
  options opts;
  int c;
  while ((c = getopt_long(argc, argv, "c:w:d:r:m:u:h", long_options, nullptr)) != -1) {
    switch (c) {
      case opt_host:
        opts.host = optarg;
        break;
      case opt_port:
        opts.port = optarg;
        break;
      case opt_resp:
        opts.proto = protocol::resp;
        break;
      case 'c':
        opts.connections = static_cast<int>(parse_number(optarg, "connection count"));
        break;
      case 'w':
        opts.warmup_seconds = parse_number(optarg, "warm-up");
        break;
      case 'd':
        opts.duration_seconds = parse_number(optarg, "duration");
        break;
      case 'r':
        opts.reads.push_back(optarg);
        break;
      case opt_write:
        opts.writes.push_back(optarg);
        break;
      case 'm':
        opts.write_fraction = parse_number(optarg, "write fraction");
        break;
      case 'u':
        opts.users = parse_range(optarg);
        break;
      case opt_specials:
        opts.specials = parse_range(optarg);
        break;
      case opt_new_base:
        opts.new_base = static_cast<std::uint64_t>(parse_number(optarg, "base"));
        break;
      case opt_cpu:
        opts.cpu = static_cast<int>(parse_number(optarg, "cpu"));
        break;
      case opt_seed:
        opts.seed = static_cast<std::uint64_t>(parse_number(optarg, "seed"));
        break;
      case opt_label:
        opts.label = optarg;
        break;
      case 'h':
        usage(stdout);
        std::exit(0);
      default:
        usage(stderr);
        std::exit(2);
    }
  }
  if (optind != argc) {
    throw std::invalid_argument(std::string("unexpected argument '") + argv[optind] + "'");
  }
  if (opts.reads.empty()) {
    throw std::invalid_argument("at least one --read template is needed");
  }
  if (opts.connections < 1 || opts.duration_seconds <= 0) {
    throw std::invalid_argument("need at least one connection and a positive duration");
  }
  if (opts.write_fraction > 1) {
    throw std::invalid_argument("the write fraction is a share between 0 and 1");
  }
  if (opts.write_fraction > 0 && opts.writes.empty()) {
    throw std::invalid_argument("--write-fraction needs at least one --write template");
  }
  return opts;
}

void pin_to_cpu(int cpu) {
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  if (sched_setaffinity(0, sizeof set, &set) != 0) {
    throw std::runtime_error("cannot pin to CPU " + std::to_string(cpu) + ": " +
                             std::strerror(errno));
  }
}

}  // namespace

int main(int argc, char** argv) {
  try {
    options opts = parse_options(argc, argv);
    if (opts.cpu >= 0) {
      pin_to_cpu(opts.cpu);
    }
    load_run run(opts);
    run.run();
    return run.report();
  } catch (const std::invalid_argument& e) {
    std::fprintf(stderr, "loadgen: %s\n", e.what());
    usage(stderr);
    return 2;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "loadgen: %s\n", e.what());
    return 1;
  }
}
