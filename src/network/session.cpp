#include "network/session.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <utility>

#include <boost/system/system_error.hpp>

#include "support/log.h"

using boost::asio::ip::tcp;

namespace {

// Reads a session makes in one turn before the others get theirs; it goes on in the next turn.
constexpr int reads_per_turn = 16;
// A drained output buffer larger than this is let go, so one burst does not pin its memory.
constexpr std::size_t kept_output_capacity = 64 * 1024;
// At most this many deferred replies wait on one connection; reading waits beyond it.
constexpr std::size_t max_deferred_replies = 4096;

// Raises the recorded maximum to `value` if it is larger.
void raise_peak(std::atomic<std::size_t>& peak, std::size_t value) {
  std::size_t seen = peak.load(std::memory_order_relaxed);
  while (value > seen && !peak.compare_exchange_weak(seen, value, std::memory_order_relaxed)) {
  }
}

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

session::session(tcp::socket peer, std::shared_ptr<const frame_handler> body,
                 std::shared_ptr<connection_stats> counters, socket_loop& owner,
                 std::shared_ptr<backlog_wait> wait)
    : fd(take_descriptor(peer)),
      handler(std::move(body)),
      stats(std::move(counters)),
      loop(&owner),
      workers_wait(std::move(wait)) {
  if (workers_wait) {
    backlog_wait* const bound = workers_wait.get();
    cutting.hold_back_after_work = [bound] { return bound->over_bound(); };
  }
  cutting.slots = this;
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
  loop_thread.assert_on_thread();
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
    if (waiting_for_workers && !workers_wait->may_resume()) {
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
  for (;;) {
    if (slots.size() >= max_deferred_replies) {
      frames_pending = !input.empty();
      waiting_for_replies = true;
      return;
    }
    // Behind a deferred reply, replies wait in its slot. `output` begins with the `sent` bytes
    // already written, which do not count.
    std::string& target = slots.empty() ? output : slots.back().after;
    cutting.output_limit = slots.empty() ? max_unwritten_size + sent : max_unwritten_size;
    frame_status status = frame_status::drained;
    answering = true;
    try {
      status = cut_frames(input, *handler, target, cutting);
    } catch (...) {
      answering = false;
      release_answered_slots();
      throw;
    }
    answering = false;
    // A handler may have completed a reply while it ran: it goes out now.
    release_answered_slots();
    if (status == frame_status::deferred) {
      if (!slots.empty() && slots.back().holds_requests && !slots.back().answered) {
        frames_pending = !input.empty();
        waiting_for_replies = true;  // until complete_slot() releases it
        return;
      }
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

deferred_reply session::open_slot(later_requests after) {
  reply_slot slot;
  slot.id = next_slot++;
  slot.holds_requests = after == later_requests::held;
  slots.push_back(std::move(slot));
  return deferred_reply(std::weak_ptr<reply_slots>(shared_from_this()), slots.back().id);
}

void session::complete_slot(std::uint64_t id, const std::string& reply) {
  loop_thread.assert_on_thread();
  bool found = false;
  bool held_requests = false;
  for (reply_slot& slot : slots) {
    if (slot.id == id && !slot.answered) {
      slot.answered = true;
      slot.reply = reply;
      found = true;
      held_requests = slot.holds_requests;
      break;
    }
  }
  if (!found || answering) {
    return;  // inside a handler, handler_req() releases it once the handler has returned
  }
  // The requests it held are answered now, even while an earlier reply is still owed: their
  // replies wait behind that one.
  if (!release_answered_slots() && !held_requests) {
    return;
  }
  waiting_for_replies = false;  // looked at again when the frames are answered
  if (!write_failed || finished()) {
    loop->serve_again(*this);
  }
}

void session::fail_slot(std::uint64_t id) {
  loop_thread.assert_on_thread();
  const auto failed = std::find_if(slots.begin(), slots.end(), [id](const reply_slot& slot) {
    return slot.id == id && !slot.answered;
  });
  if (failed == slots.end()) {
    return;
  }
  // A slot holding the requests after it is the last one: nothing after it was answered.
  slots.erase(failed, slots.end());
  end_after_handler_error();
  frames_pending = false;
  waiting_for_replies = false;
  release_answered_slots();
  loop->serve_again(*this);
}

bool session::release_answered_slots() {
  bool moved = false;
  while (!slots.empty() && slots.front().answered) {
    reply_slot& front = slots.front();
    if (!write_failed) {
      append_frame_header(front.reply.size(), output);
      output += front.reply;
      output += front.after;
    }
    slots.pop_front();
    moved = true;
  }
  return moved;
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
  workers_wait->hold([self = shared_from_this()] { self->resume_after_workers(); });
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
  if (!read_stopped && !held_by_wait && !waiting_for_replies && unwritten() <= max_unwritten_size &&
      (frames_pending || readable || read_paused)) {
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
  ::close(fd);                // leaves the socket loop's epoll set with it
  fd = -1;
}
