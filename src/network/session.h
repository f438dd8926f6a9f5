// One connection: reads at most read_chunk_size bytes at a time, answers every complete frame
// (frame_codec.h) through the request handler, and queues the framed replies, which go out at
// the end of the socket loop's turn, in request order.
// Reading stops for a while when the unwritten replies pass max_unwritten_size, when too many
// replies are deferred, or after a request that queued work while the workers' backlog is over
// its bound (backlog_wait.h); and for good at the end of the stream, a read or write error, a
// bad header or a failing handler. The session finishes once nothing is left to write.
//
// Replies given later (request_context.h): each deferred reply has a slot, in request order,
// holding the framed replies of the requests after it until it is completed; a slot that holds
// the later requests themselves stops the answering (and the reading) until then.
//
// Threads: the event loop's only (asserted in debug builds); its buffers need no lock.
// Ownership: shared; the socket loop holds it while it is registered, the backlog wait while it
// waits for the workers, a deferred_reply only weakly. Owns its socket descriptor.
#ifndef NORVEL_SESSION_H_
#define NORVEL_SESSION_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include <boost/asio/ip/tcp.hpp>

#include "metrics/connection_stats.h"
#include "network/backlog_wait.h"
#include "network/frame_codec.h"
#include "network/request_context.h"
#include "network/socket_loop.h"
#include "support/thread_check.h"

// Each read takes at most this many bytes; larger frames are collected across reads.
constexpr std::size_t read_chunk_size = 1024;
// Back-pressure: while a session's unwritten replies exceed 4 MiB it stops reading, and resumes
// once they drain below it, so a client that sends but never reads cannot grow our memory.
constexpr std::size_t max_unwritten_size = 4 * 1024 * 1024;

class session final : public socket_loop::client,
                      public reply_slots,
                      public std::enable_shared_from_this<session> {
 public:
  // Takes the accepted socket out of Asio's hands and makes it non-blocking; throws
  // boost::system::system_error if it cannot. `workers_wait`: when given, the session stops
  // reading after a request that queued work while the workers' backlog is over its bound, and
  // waits there until it is down again.
  session(boost::asio::ip::tcp::socket socket, std::shared_ptr<const frame_handler> handler,
          std::shared_ptr<connection_stats> stats, socket_loop& loop,
          std::shared_ptr<backlog_wait> workers_wait = nullptr);
  ~session();  // logs "~session quit"; closes the socket
  session(const session&) = delete;
  session& operator=(const session&) = delete;

  // Registers with the socket loop, which then owns the session. Call on a session owned by a
  // shared_ptr. Throws boost::system::system_error if the socket cannot be registered.
  void start();

  // ---- socket_loop::client ----
  int descriptor() const override { return fd; }
  void on_events(std::uint32_t events) override;
  // Reads and answers while it can; a handler failure ends the reading.
  void serve() override;
  bool end_of_turn() override;
  std::shared_ptr<socket_loop::client> shared_client() override { return shared_from_this(); }

  // ---- reply_slots ----
  deferred_reply open_slot(later_requests after) override;
  // The reply of slot `id` has come: it and the replies held behind it go out, as far as every
  // reply before them is there. Inside a handler of this session it is only noted, and goes
  // out once the handler has returned.
  void complete_slot(std::uint64_t id, const std::string& reply) override;
  // The slot's request ends the connection: reading stops, and the session ends once the replies
  // before it are written.
  void fail_slot(std::uint64_t id) override;

 private:
  // Reads and answers while nothing stops it. Throws what the handler throws.
  void pump();
  // One read of at most read_chunk_size bytes, then the frames it completes are answered.
  void do_read();
  // Answers the complete frames in `input` as far as the output, the deferred replies and the
  // workers' bounds allow.
  void handler_req();
  // Moves the answered slots at the front, with the replies held behind them, into `output`;
  // true if any moved.
  bool release_answered_slots();
  // Sends the queued replies until the socket takes no more.
  void flush();
  // Sends the first n unsent bytes; answers the bytes taken, 0 when the socket is full, or
  // -1 after a failure (logged, the connection closed).
  long do_write(unsigned long n);
  void fail_write();
  void end_reading_after_error();
  void reject_bad_header();
  // Stops reading until the workers' backlog is down again (backlog_wait resumes the session).
  void hold_for_workers();
  void note_read_paused();
  void resume_after_workers();
  // Logs the handler failure and stops reading; the queued replies still go out.
  void end_after_handler_error();
  std::size_t unwritten() const { return output.size() - sent; }
  bool finished() const {
    return read_stopped && (write_failed || (slots.empty() && unwritten() == 0));
  }
  // Ends the connection at once.
  void close_socket();

  int fd;  // -1 once closed
  std::shared_ptr<const frame_handler> handler;
  std::shared_ptr<connection_stats> stats;
  socket_loop* loop;                           // owns this session while it is registered
  std::shared_ptr<backlog_wait> workers_wait;  // null: no back-pressure from the workers
  cut_options cutting;  // what each cut_frames() call may do; its limit is set per call
  std::array<char, read_chunk_size> receive_area;
  std::string input;   // received bytes not yet consumed as frames
  std::string output;  // framed replies; the first `sent` bytes are written already
  std::size_t sent = 0;
  bool readable = false;  // the socket may hold bytes or the end: not read dry since its event
  // The peer has ended its stream or the connection broke: reads go on until they say so, since
  // a short read no longer means that nothing is left to see.
  bool end_seen = false;
  bool read_paused = false;          // reading waits for the unwritten replies to drain
  bool read_stopped = false;         // the connection reads no more (peer gone, error, bad input)
  bool frames_pending = false;       // complete frames wait in `input` until the replies drain
  bool write_failed = false;         // the connection writes no more
  bool waiting_for_workers = false;  // the last frame cut queued work over the backlog's bound
  bool held_by_wait = false;         // in workers_wait's list now
  // Replies given later, in request order: each with the replies of the frames after it, which
  // wait for it. The front one's predecessors are all in `output`.
  struct reply_slot {
    std::uint64_t id = 0;
    bool answered = false;
    bool holds_requests = false;  // the requests after it wait unread until it is answered
    std::string reply;            // the body, once answered
    std::string after;            // framed replies of the requests after it, up to the next slot
  };
  std::deque<reply_slot> slots;
  std::uint64_t next_slot = 1;
  // Reading waits for deferred replies: too many are pending, the replies held behind them
  // passed max_unwritten_size, or the last one holds the requests after it.
  bool waiting_for_replies = false;
  bool answering = false;  // a handler of this session runs now (slots may not move)
  thread_check loop_thread;
};

#endif  // NORVEL_SESSION_H_
