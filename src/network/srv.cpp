#include "network/srv.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <utility>

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "apply/work_backlog.h"
#include "network/socket_loop.h"
#include "support/asio_errors.h"
#include "support/log.h"

using boost::asio::ip::tcp;

namespace {

bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

// Raises the recorded maximum to `value` if it is larger.
void raise_peak(std::atomic<std::size_t>& peak, std::size_t value) {
  std::size_t seen = peak.load(std::memory_order_relaxed);
  while (value > seen && !peak.compare_exchange_weak(seen, value, std::memory_order_relaxed)) {
  }
}

// Accept errors that say "not now" rather than "never": retrying at once would only spin.
bool is_resource_exhaustion(const boost::system::error_code& ec) {
  return ec == boost::asio::error::no_descriptors || ec == boost::asio::error::no_buffer_space ||
         ec == boost::asio::error::no_memory ||
         ec == boost::system::errc::too_many_files_open_in_system;
}

constexpr auto accept_retry_delay = std::chrono::milliseconds(100);
constexpr int listen_backlog = 128;

// Erases the bytes consumed so far from the front of the input on every way out, exceptions
// included, so a throwing handler never leaves answered frames behind to be answered again.
class consumed_eraser {
 public:
  explicit consumed_eraser(std::string& text) : input(text) {}
  ~consumed_eraser() { input.erase(0, consumed); }
  consumed_eraser(const consumed_eraser&) = delete;
  consumed_eraser& operator=(const consumed_eraser&) = delete;

  std::size_t consumed = 0;

 private:
  std::string& input;
};

// The session whose handler runs on this thread now, for defer_reply(); and whether the handler
// deferred the frame's reply.
thread_local session* deferring_session = nullptr;
thread_local bool reply_was_deferred = false;

// At most this many deferred replies wait on one connection; reading waits beyond it.
constexpr std::size_t max_deferred_replies = 4096;

}  // namespace

long long read_frame_length(const char* header) {
  std::size_t i = 0;
  while (i < frame_header_size && is_blank(header[i])) {
    ++i;
  }
  bool negative = false;
  if (i < frame_header_size && (header[i] == '+' || header[i] == '-')) {
    negative = header[i] == '-';
    ++i;
  }
  long long value = 0;
  for (; i < frame_header_size && is_digit(header[i]); ++i) {
    value = value * 10 + (header[i] - '0');
  }
  return negative ? -value : value;
}

namespace {

// Writes the ten-digit header for a body of `body_size` bytes at `at`, digit by digit: once per
// reply.
void write_frame_header(std::size_t body_size, char* at) {
  if (body_size > 9999999999ULL) {
    throw std::length_error("reply too large for a ten-digit frame header");
  }
  for (std::size_t i = frame_header_size; i > 0; --i) {
    at[i - 1] = static_cast<char>('0' + body_size % 10);
    body_size /= 10;
  }
}

// A writer for a handler that returns each reply: the reply is copied into the output.
reply_writer copying_writer(body_handler handler) {
  return [handler = std::move(handler)](const std::string& body, std::string& out) {
    out += handler(body);
  };
}

}  // namespace

void append_frame_header(std::size_t body_size, std::string& out) {
  char header[frame_header_size];
  write_frame_header(body_size, header);
  out.append(header, frame_header_size);
}

frame_status cut_frames(std::string& input, const body_handler& handler, std::string& output,
                        std::size_t output_limit, bool hold_back_work) {
  return cut_frames(input, copying_writer(handler), output, output_limit, hold_back_work);
}

frame_status cut_frames(std::string& input, const reply_writer& writer, std::string& output,
                        std::size_t output_limit, bool hold_back_work) {
  consumed_eraser eraser(input);
  for (;;) {
    const std::size_t available = input.size() - eraser.consumed;
    if (available == 0) {
      return frame_status::drained;
    }
    if (output.size() > output_limit) {
      return frame_status::output_full;
    }
    if (available < frame_header_size) {
      return frame_status::need_more;
    }
    const long long length = read_frame_length(input.data() + eraser.consumed);
    if (length < 0 || static_cast<unsigned long long>(length) > max_body_size) {
      return frame_status::bad_header;
    }
    const std::size_t body_size = static_cast<std::size_t>(length);
    if (available - frame_header_size < body_size) {
      return frame_status::need_more;
    }
    // The reply is written after a header of zeros, which then gets its length.
    const std::size_t header_at = output.size();
    output.append(frame_header_size, '0');
    bool queued_work = false;
    if (body_size > 0) {
      // One buffer per thread holds each body in turn, so a request costs no allocation here.
      // A huge body's buffer is let go at the next ordinary one.
      constexpr std::size_t kept_body_capacity = 64 * 1024;
      thread_local std::string body;
      if (body.capacity() > kept_body_capacity && body_size <= kept_body_capacity) {
        std::string().swap(body);
      }
      body.assign(input, eraser.consumed + frame_header_size, body_size);
      const std::uint64_t queued_before = mutation_backlog().added();
      reply_was_deferred = false;
      try {
        writer(body, output);
        if (reply_was_deferred) {
          reply_was_deferred = false;
          output.resize(header_at);
          eraser.consumed += frame_header_size + body_size;
          return frame_status::deferred;
        }
        write_frame_header(output.size() - header_at - frame_header_size,
                           &output[header_at]);
      } catch (...) {
        output.resize(header_at);
        throw;
      }
      queued_work = mutation_backlog().added() != queued_before;
    }
    eraser.consumed += frame_header_size + body_size;
    if (hold_back_work && queued_work && mutation_backlog().over_bound()) {
      return frame_status::work_full;
    }
  }
}

// ---- the wait for the workers ----

constexpr auto backlog_poll_interval = std::chrono::milliseconds(1);

void backlog_wait::hold(std::shared_ptr<session> waiting) {
  held.push_back(std::move(waiting));
  arm();
}

void backlog_wait::release() {
  boost::system::error_code ignored_ec;  // cancelling an idle timer is not an error worth having
  timer.cancel(ignored_ec);
  std::vector<std::shared_ptr<session>> dropped;
  dropped.swap(held);
}

void backlog_wait::arm() {
  if (armed) {
    return;
  }
  armed = true;
  timer.expires_after(backlog_poll_interval);
  timer.async_wait([self = shared_from_this()](const boost::system::error_code& ec) {
    self->on_timer(ec);
  });
}

void backlog_wait::on_timer(const boost::system::error_code& ec) {
  armed = false;
  if (ec || held.empty()) {
    return;
  }
  if (!mutation_backlog().may_resume()) {
    arm();
    return;
  }
  std::vector<std::shared_ptr<session>> resumed;
  resumed.swap(held);
  for (const std::shared_ptr<session>& waiting : resumed) {
    waiting->resume_after_workers();  // served in the socket loop's next turn
  }
}

// ---- session ----

namespace {

// Reads a session makes in one turn before the others get theirs; it goes on in the next turn.
constexpr int reads_per_turn = 16;
// A drained output buffer larger than this is let go, so one burst does not pin its memory.
constexpr std::size_t kept_output_capacity = 64 * 1024;

int take_descriptor(tcp::socket& peer) {
  // Out of Asio's reactor: the socket loop alone watches it from now on.
  const int fd = peer.release();
  const int flags = ::fcntl(fd, F_GETFL, 0);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
    const int error = errno;
    ::close(fd);
    throw boost::system::system_error(
        boost::system::error_code(error, boost::system::system_category()), "fcntl");
  }
  return fd;
}

}  // namespace

session::session(tcp::socket peer, std::shared_ptr<const reply_writer> body,
                 std::shared_ptr<connection_stats> counters, socket_loop& owner,
                 std::shared_ptr<backlog_wait> wait)
    : fd(take_descriptor(peer)),
      handler(std::move(body)),
      stats(std::move(counters)),
      loop(&owner),
      workers_wait(std::move(wait)) {
  stats->open_sessions.fetch_add(1, std::memory_order_relaxed);
  log_event(log_debug, "%s start", "session");
}

session::~session() {
  if (fd >= 0) {
    ::close(fd);  // as the socket object's destruction did: no shutdown first
  }
  stats->open_sessions.fetch_sub(1, std::memory_order_relaxed);
  stats->closed.fetch_add(1, std::memory_order_relaxed);
  if (read_paused) {
    stats->paused_sessions.fetch_sub(1, std::memory_order_relaxed);
  }
  log_event(log_debug, "%s quit", "~session");
}

void session::start() {
  loop->add(shared_from_this());
}

void session::on_events(std::uint32_t events) {
  if ((events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0) {
    readable = true;
  }
  if ((events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0) {
    end_seen = true;
  }
  // Output readiness needs nothing here: the turn's end sends whatever waits.
  serve();
}

void session::serve() {
  loop->touch(*this);
  try {
    pump();
  } catch (...) {
    end_after_handler_error();
  }
}

// Replies to the frames before the failing one are queued already and still go out; the session
// ends once they are written. Whatever the handler threw ends this connection only.
void session::end_after_handler_error() {
  log_event(log_fatal, "handler_req error.");
  read_stopped = true;
  input.clear();
}

void session::pump() {
  for (int reads = 0;;) {
    if (read_stopped || held_by_wait) {
      return;
    }
    if (waiting_for_replies) {
      note_read_paused();
      return;
    }
    if (waiting_for_workers && !mutation_backlog().may_resume()) {
      hold_for_workers();
      return;
    }
    waiting_for_workers = false;
    if (unwritten() <= max_unwritten_size && frames_pending) {
      // Frames received before the pause are answered before anything new is read.
      handler_req();
      continue;
    }
    if (frames_pending || unwritten() > max_unwritten_size) {
      note_read_paused();
      return;
    }
    if (read_paused) {
      read_paused = false;
      stats->paused_sessions.fetch_sub(1, std::memory_order_relaxed);
    }
    if (!readable) {
      return;  // the next event says when there is more
    }
    if (reads == reads_per_turn) {
      loop->serve_again(*this);
      return;
    }
    ++reads;
    do_read();
  }
}

void session::do_read() {
  ssize_t n;
  do {
    n = ::recv(fd, receive_area.data(), receive_area.size(), 0);
  } while (n < 0 && errno == EINTR);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
    readable = false;
    return;
  }
  if (n <= 0) {
    end_reading_after_error();  // the end of the stream, or a broken connection
    return;
  }
  if (static_cast<std::size_t>(n) < receive_area.size() && !end_seen) {
    readable = false;  // a short read drains the socket: the next bytes bring a new event
  }
  stats->bytes_received.fetch_add(static_cast<std::size_t>(n), std::memory_order_relaxed);
  input.append(receive_area.data(), static_cast<std::size_t>(n));
  handler_req();
}

void session::end_reading_after_error() {
  log_event(log_fatal, "session do read quit.");
  read_stopped = true;
  readable = false;
}

void session::handler_req() {
  session* const outer = deferring_session;
  deferring_session = this;
  struct restore {
    session* previous;
    ~restore() { deferring_session = previous; }
  } restore_on_exit{outer};
  for (;;) {
    if (slots.size() >= max_deferred_replies) {
      frames_pending = !input.empty();
      waiting_for_replies = true;
      return;
    }
    // Behind a deferred reply, replies wait in its slot. `output` begins with the `sent` bytes
    // already written, which do not count.
    std::string& target = slots.empty() ? output : slots.back().after;
    const std::size_t limit = slots.empty() ? max_unwritten_size + sent : max_unwritten_size;
    const frame_status status =
        cut_frames(input, *handler, target, limit, workers_wait != nullptr);
    if (status == frame_status::deferred) {
      continue;
    }
    frames_pending = status == frame_status::output_full || status == frame_status::work_full;
    waiting_for_workers = status == frame_status::work_full;
    waiting_for_replies = status == frame_status::output_full && !slots.empty();
    if (status == frame_status::bad_header) {
      reject_bad_header();
    }
    return;
  }
}

deferred_reply session::open_slot() {
  reply_slot slot;
  slot.id = next_slot++;
  slots.push_back(std::move(slot));
  return deferred_reply(weak_from_this(), slots.back().id);
}

void session::complete_slot(std::uint64_t id, const std::string& reply) {
  bool found = false;
  for (reply_slot& slot : slots) {
    if (slot.id == id && !slot.answered) {
      slot.answered = true;
      slot.reply = reply;
      found = true;
      break;
    }
  }
  if (!found || !slots.front().answered) {
    return;
  }
  while (!slots.empty() && slots.front().answered) {
    reply_slot& front = slots.front();
    if (!write_failed) {
      append_frame_header(front.reply.size(), output);
      output += front.reply;
      output += front.after;
    }
    slots.pop_front();
  }
  waiting_for_replies = false;  // looked at again when the frames are answered
  if (!write_failed || finished()) {
    loop->serve_again(*this);
  }
}

void deferred_reply::complete(const std::string& reply) const {
  if (const std::shared_ptr<session> waiting = owner.lock()) {
    waiting->complete_slot(slot, reply);
  }
}

deferred_reply defer_reply() {
  if (deferring_session == nullptr) {
    throw std::logic_error("a reply can be deferred only while a session answers a request");
  }
  reply_was_deferred = true;
  return deferring_session->open_slot();
}

void session::reject_bad_header() {
  stats->bad_headers.fetch_add(1, std::memory_order_relaxed);
  log_event(log_fatal, "session bad frame header: length %lld is negative or above %zu, closing",
            read_frame_length(input.data()), max_body_size);
  read_stopped = true;
  readable = false;
  input.clear();
  if (unwritten() == 0) {
    close_socket();
  }
  // Otherwise the socket closes with the session, once the queued replies are written.
}

void session::note_read_paused() {
  if (!read_paused) {
    read_paused = true;
    stats->read_pauses.fetch_add(1, std::memory_order_relaxed);
    stats->paused_sessions.fetch_add(1, std::memory_order_relaxed);
  }
}

void session::hold_for_workers() {
  note_read_paused();
  held_by_wait = true;
  workers_wait->hold(shared_from_this());
}

void session::resume_after_workers() {
  held_by_wait = false;
  loop->serve_again(*this);
}

bool session::end_of_turn() {
  flush();
  if (finished()) {
    return true;
  }
  // Room again for replies, pending frames, or more input than one turn's share.
  if (!read_stopped && !held_by_wait && !waiting_for_replies &&
      unwritten() <= max_unwritten_size && (frames_pending || readable || read_paused)) {
    loop->serve_again(*this);
  }
  return false;
}

void session::flush() {
  raise_peak(stats->peak_unwritten_bytes, unwritten());
  if (write_failed) {
    output.clear();
    sent = 0;
    return;
  }
  while (unwritten() > 0) {
    const long taken = do_write(unwritten());
    if (taken <= 0) {
      break;  // full (the socket loop's next event for it sends on) or failed
    }
    sent += static_cast<std::size_t>(taken);
  }
  if (unwritten() == 0) {
    output.clear();
    sent = 0;
    if (output.capacity() > kept_output_capacity) {
      std::string().swap(output);
    }
  } else if (sent >= output.size() / 2) {
    output.erase(0, sent);  // the written half goes, so the buffer does not creep
    sent = 0;
  }
}

long session::do_write(unsigned long n) {
  ssize_t taken;
  do {
    taken = ::send(fd, output.data() + sent, n, MSG_NOSIGNAL);
  } while (taken < 0 && errno == EINTR);
  if (taken >= 0) {
    stats->bytes_sent.fetch_add(static_cast<std::size_t>(taken), std::memory_order_relaxed);
    return taken;
  }
  if (errno == EAGAIN || errno == EWOULDBLOCK) {
    return 0;
  }
  fail_write();
  return -1;
}

void session::fail_write() {
  log_event(log_fatal, "session do write quit.");
  write_failed = true;
  output.clear();
  sent = 0;
  // A broken connection: whatever was to be read ends with it, as a read on it would.
  if (!read_stopped && (!read_paused || held_by_wait)) {
    end_reading_after_error();
  }
  read_stopped = true;
  input.clear();
  close_socket();
}

void session::close_socket() {
  if (fd < 0) {
    return;
  }
  ::shutdown(fd, SHUT_RDWR);  // the peer may be gone already; closing is all we want
  ::close(fd);  // leaves the socket loop's epoll set with it
  fd = -1;
}

// ---- server ----

server::server(boost::asio::io_context& io, unsigned short port, body_handler body)
    : server(io, tcp::endpoint(boost::asio::ip::address_v4::any(), port), std::move(body)) {}

server::server(boost::asio::io_context& io, const tcp::endpoint& local, body_handler body)
    : server(io, local, copying_writer(std::move(body))) {}

server::server(boost::asio::io_context& io, unsigned short port, reply_writer writer)
    : server(io, tcp::endpoint(boost::asio::ip::address_v4::any(), port), std::move(writer)) {}

server::server(boost::asio::io_context& io, const tcp::endpoint& local, reply_writer writer)
    : acceptor(io),
      retry_timer(io),
      handler(std::make_shared<const reply_writer>(std::move(writer))),
      counters(std::make_shared<connection_stats>()),
      sessions(std::make_shared<socket_loop>(io)),
      workers_wait(std::make_shared<backlog_wait>(io)),
      alive(std::make_shared<bool>(true)) {
  boost::system::error_code ec;
  acceptor.open(local.protocol(), ec);
  throw_if_failed(ec, "open");
  acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
  throw_if_failed(ec, "set_option");
  acceptor.bind(local, ec);
  throw_if_failed(ec, "bind");
  acceptor.listen(listen_backlog, ec);
  throw_if_failed(ec, "listen");
  do_accept();
}

server::~server() {
  workers_wait->release();
  sessions->release();  // every session ends here
  boost::system::error_code ignored_ec;  // nothing useful to do about a failing close at teardown
  retry_timer.cancel(ignored_ec);
  acceptor.close(ignored_ec);
}

unsigned short server::port() const {
  boost::system::error_code ec;
  const tcp::endpoint local = acceptor.local_endpoint(ec);
  return ec ? 0 : local.port();
}

void server::do_accept() {
  std::weak_ptr<bool> still_here = alive;
  acceptor.async_accept([this, still_here](const boost::system::error_code& ec, tcp::socket peer) {
    if (still_here.expired()) {
      return;  // the server is gone; `peer`, if any, closes here
    }
    on_accept(ec, std::move(peer));
  });
}

void server::on_accept(const boost::system::error_code& ec, tcp::socket peer) {
  if (!acceptor.is_open()) {
    return;  // closed at shutdown: nothing to re-arm
  }
  if (!ec && counters->open_sessions.load(std::memory_order_relaxed) >= max_connections) {
    refuse(std::move(peer));
  } else if (!ec) {
    refusing = false;
    counters->accepted.fetch_add(1, std::memory_order_relaxed);
    boost::system::error_code ignored_ec;  // a missing no-delay only costs latency
    peer.set_option(tcp::no_delay(true), ignored_ec);
    try {
      std::make_shared<session>(std::move(peer), handler, counters, *sessions, workers_wait)
          ->start();
    } catch (const std::exception& e) {
      log_event(log_fatal, "session start error: %s", e.what());
    }
  } else if (is_resource_exhaustion(ec)) {
    counters->refused.fetch_add(1, std::memory_order_relaxed);
    retry_accept_later();
    return;
  }
  do_accept();
}

void server::refuse(tcp::socket peer) {
  boost::system::error_code ignored_ec;  // the peer learns of the close either way
  peer.close(ignored_ec);
  counters->refused.fetch_add(1, std::memory_order_relaxed);
  if (!refusing) {
    refusing = true;  // one entry per run, so a flood of connections cannot flood the log
    log_event(log_warning,
              "connection limit of %zu reached: new connections are closed until one ends",
              max_connections);
  }
}

void server::retry_accept_later() {
  std::weak_ptr<bool> still_here = alive;
  retry_timer.expires_after(accept_retry_delay);
  retry_timer.async_wait([this, still_here](const boost::system::error_code& ec) {
    if (ec || still_here.expired() || !acceptor.is_open()) {
      return;
    }
    do_accept();
  });
}
