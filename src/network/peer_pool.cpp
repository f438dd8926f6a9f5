#include "network/peer_pool.h"

#include <algorithm>
#include <array>
#include <deque>
#include <utility>

#include <boost/asio.hpp>

#include "network/frame_codec.h"
#include "support/log.h"

namespace asio = boost::asio;
using boost::asio::ip::tcp;
using steady = std::chrono::steady_clock;

struct peer_pool::peer {
  explicit peer(std::string where) : address(std::move(where)) {}
  const std::string address;
  bool down_logged = false;  // a failure is logged; cleared once the peer answers again
};

namespace {

// Each read takes at most this many bytes; a longer reply is collected across reads.
constexpr std::size_t receive_chunk_size = 64 * 1024;

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

// A reply header is what a peer of ours writes: exactly ten digits. Anything else (blanks, a
// sign, letters) means the stream is not what we think it is.
bool is_ten_digits(const char* header) {
  return std::all_of(header, header + frame_header_size, is_digit);
}

// "host:port", "[v6 host]:port": false when there is no host or the port is not 1 to 65535.
bool split_address(const std::string& address, std::string& host, unsigned short& port) {
  const std::size_t colon = address.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == address.size() ||
      address.size() - colon - 1 > 5) {
    return false;
  }
  unsigned long number = 0;
  for (std::size_t i = colon + 1; i < address.size(); ++i) {
    if (!is_digit(address[i])) {
      return false;
    }
    number = number * 10 + static_cast<unsigned long>(address[i] - '0');
  }
  if (number == 0 || number > 65535) {
    return false;
  }
  host = address.substr(0, colon);
  if (host.front() == '[') {
    if (host.size() < 3 || host.back() != ']') {
      return false;
    }
    host = host.substr(1, host.size() - 2);
  }
  port = static_cast<unsigned short>(number);
  return true;
}

// Hands one outcome to its callback in a later turn of the loop, never inside the caller.
void post_reply(asio::io_context& loop, peer_pool::reply_fn done, bool ok, std::string reply) {
  if (!done) {
    return;  // nobody to tell
  }
  asio::post(loop, [done = std::move(done), ok, reply = std::move(reply)]() mutable {
    done(ok, std::move(reply));
  });
}

}  // namespace

// One connection to a peer: connects on the first request, writes the framed requests in the
// order sent (one write in flight, later ones gathered behind it), reads the replies and gives
// each to the oldest waiting request. A failure of any kind closes it for good and fails every
// waiting request. The deadline timer waits for the oldest request's deadline; it is not moved
// on each reply, only re-armed for the new oldest one when it fires early.
// Owned by shared_ptr: the pool's list and every pending handler (which holds `self`).
class peer_pool::connection : public std::enable_shared_from_this<connection> {
 public:
  connection(asio::io_context& io, std::shared_ptr<peer> to, std::chrono::milliseconds wait)
      : loop(io), target(std::move(to)), timeout(wait), resolver(io), socket(io), timer(io) {}
  connection(const connection&) = delete;
  connection& operator=(const connection&) = delete;

  // Queues one request; the first one also starts the connecting.
  void send(const std::string& body, reply_fn done) {
    if (closed) {
      post_reply(loop, std::move(done), false, std::string());
      return;
    }
    append_frame_header(body.size(), output);
    output += body;
    waiting.push_back(request{std::move(done), steady::now() + timeout});
    if (!timer_armed) {
      arm_timer();
    }
    if (!started) {
      started = true;
      start();
    } else {
      do_write();
    }
  }

  // The pool is going away: closes without calling any callback.
  void drop() {
    waiting.clear();
    close();
  }

  bool failed() const { return closed; }
  std::size_t waiting_count() const { return waiting.size(); }

 private:
  struct request {
    reply_fn done;
    steady::time_point deadline;
  };

  void start() {
    std::string host;
    unsigned short port = 0;
    if (!split_address(target->address, host, port)) {
      fail("the address is not host:port");
      return;
    }
    boost::system::error_code not_literal;
    const asio::ip::address literal = asio::ip::make_address(host, not_literal);
    if (!not_literal) {
      socket.async_connect(tcp::endpoint(literal, port),
                           [self = shared_from_this()](const boost::system::error_code& ec) {
                             self->on_connected(ec);
                           });
      return;
    }
    resolver.async_resolve(host, std::to_string(port),
                           [self = shared_from_this()](const boost::system::error_code& ec,
                                                       const tcp::resolver::results_type& found) {
                             if (self->closed) {
                               return;
                             }
                             if (ec) {
                               self->fail("cannot resolve", ec);
                               return;
                             }
                             asio::async_connect(
                                 self->socket, found,
                                 [self](const boost::system::error_code& connect_ec,
                                        const tcp::endpoint&) { self->on_connected(connect_ec); });
                           });
  }

  void on_connected(const boost::system::error_code& ec) {
    if (closed) {
      return;
    }
    if (ec) {
      fail("cannot connect", ec);
      return;
    }
    connected = true;
    boost::system::error_code ignored_ec;  // a missing no-delay only costs latency
    socket.set_option(tcp::no_delay(true), ignored_ec);
    do_read();
    do_write();
  }

  // Writes what has gathered in `output`, unless a write is in flight already (its handler
  // comes back for the rest).
  void do_write() {
    if (!connected || !writing.empty() || output.empty()) {
      return;
    }
    writing.swap(output);
    asio::async_write(
        socket, asio::buffer(writing),
        [self = shared_from_this()](const boost::system::error_code& ec, std::size_t) {
          if (self->closed) {
            return;
          }
          if (ec) {
            self->fail("cannot write", ec);
            return;
          }
          self->writing.clear();
          self->do_write();
        });
  }

  // Always one read pending while connected, so a peer that ends an idle connection is noticed
  // and the connection replaced before it is used again.
  void do_read() {
    socket.async_read_some(
        asio::buffer(receive_area),
        [self = shared_from_this()](const boost::system::error_code& ec, std::size_t n) {
          if (self->closed) {
            return;
          }
          if (ec == asio::error::eof) {
            self->fail("the peer closed the connection");
            return;
          }
          if (ec) {
            self->fail("cannot read", ec);
            return;
          }
          self->input.append(self->receive_area.data(), n);
          if (self->take_replies()) {
            self->do_read();
          }
        });
  }

  // Gives every complete reply in `input` to its request. False when the connection failed.
  bool take_replies() {
    std::size_t at = 0;
    bool answered = false;
    while (input.size() - at >= frame_header_size) {
      const char* header = input.data() + at;
      if (!is_ten_digits(header)) {
        fail("bad frame header");
        return false;
      }
      const auto length = static_cast<std::size_t>(read_frame_length(header));
      if (length > max_reply_bytes) {
        fail("reply longer than the limit");
        return false;
      }
      if (input.size() - at - frame_header_size < length) {
        input.reserve(at + frame_header_size + length);  // the rest arrives in place
        break;
      }
      if (waiting.empty()) {
        fail("a reply to no request");
        return false;
      }
      post_reply(loop, std::move(waiting.front().done), true,
                 input.substr(at + frame_header_size, length));
      waiting.pop_front();
      at += frame_header_size + length;
      answered = true;
    }
    input.erase(0, at);
    if (answered && target->down_logged) {
      target->down_logged = false;
      log_event(log_info, "peer %s answers again", target->address.c_str());
    }
    return true;
  }

  // Waits until the oldest waiting request's deadline.
  void arm_timer() {
    timer_armed = true;
    timer.expires_at(waiting.front().deadline);
    timer.async_wait([self = shared_from_this()](const boost::system::error_code& ec) {
      self->timer_armed = false;
      if (ec || self->closed || self->waiting.empty()) {
        return;  // cancelled at the close, or nothing waits any more
      }
      if (self->waiting.front().deadline <= steady::now()) {
        self->fail("no reply in time");
      } else {
        self->arm_timer();  // the request it waited for was answered; wait for the next one
      }
    });
  }

  // Closes for good and fails every waiting request. Logged when requests fail and the peer's
  // failure is not logged already.
  void fail(const char* why, const boost::system::error_code& ec = boost::system::error_code()) {
    if (!waiting.empty() && !target->down_logged) {
      target->down_logged = true;
      log_event(log_warning, "peer %s: %s%s%s; %zu waiting request(s) failed",
                target->address.c_str(), why, ec ? ": " : "", ec ? ec.message().c_str() : "",
                waiting.size());
    }
    std::deque<request> failing;
    failing.swap(waiting);
    close();
    for (request& each : failing) {
      post_reply(loop, std::move(each.done), false, std::string());
    }
  }

  // Cancels every pending operation; their handlers see `closed` and return.
  void close() {
    closed = true;
    boost::system::error_code ignored_ec;  // nothing is left to do on this socket either way
    socket.close(ignored_ec);
    timer.cancel(ignored_ec);
    resolver.cancel();
  }

  asio::io_context& loop;
  const std::shared_ptr<peer> target;
  const std::chrono::milliseconds timeout;
  tcp::resolver resolver;
  tcp::socket socket;
  asio::steady_timer timer;     // the oldest waiting request's deadline
  std::deque<request> waiting;  // sent and not answered, oldest first
  std::string output;           // framed requests not yet handed to a write
  std::string writing;          // the bytes of the write in flight
  std::string input;            // received bytes not yet cut into replies
  std::array<char, receive_chunk_size> receive_area;
  bool started = false;    // connecting has begun
  bool connected = false;  // the socket is open: writes and reads may go
  bool closed = false;     // failed or dropped: nothing more happens here
  bool timer_armed = false;
};

peer_pool::peer_pool(asio::io_context& io, std::chrono::milliseconds wait, std::size_t per_peer)
    : loop(io), timeout(wait), connections_per_peer(std::max<std::size_t>(per_peer, 1)) {}

peer_pool::~peer_pool() {
  for (auto& [address, entry] : pools) {
    for (const std::shared_ptr<connection>& each : entry.connections) {
      each->drop();
    }
  }
}

void peer_pool::send(const std::string& address, const std::string& body, reply_fn done) {
  loop_thread.assert_on_thread();
  pick(address)->send(body, std::move(done));
}

std::size_t peer_pool::in_flight() const {
  loop_thread.assert_on_thread();
  std::size_t total = 0;
  for (const auto& [address, entry] : pools) {
    for (const std::shared_ptr<connection>& each : entry.connections) {
      total += each->waiting_count();
    }
  }
  return total;
}

std::shared_ptr<peer_pool::connection> peer_pool::pick(const std::string& address) {
  peer_entry& entry = pools[address];
  if (!entry.target) {
    entry.target = std::make_shared<peer>(address);
  }
  std::vector<std::shared_ptr<connection>>& list = entry.connections;
  list.erase(std::remove_if(list.begin(), list.end(),
                            [](const std::shared_ptr<connection>& each) { return each->failed(); }),
             list.end());
  const connection* best = nullptr;
  std::size_t best_at = 0;
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (best == nullptr || list[i]->waiting_count() < best->waiting_count()) {
      best = list[i].get();
      best_at = i;
    }
  }
  if (best == nullptr || (best->waiting_count() > 0 && list.size() < connections_per_peer)) {
    list.push_back(std::make_shared<connection>(loop, entry.target, timeout));
    return list.back();
  }
  return list[best_at];
}
