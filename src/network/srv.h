// The TCP side of the daemon: `server` accepts connections and turns each into a `session`, which
// cuts the byte stream into frames, hands every body to the body handler and writes the framed
// replies back on the same connection, in order.
//
// Frame, both directions: ten ASCII digits giving the body's length ("%010d"), then the body.
//
// Threads: everything here runs on the event loop's one thread; a session's buffers are touched
// by no other thread and need no lock. connection_stats is atomic only so that tests and tools on
// other threads may read it.
// Ownership: `server` owns the acceptor and the socket loop (socket_loop.h); each accepted socket
// is handed straight to its session, which the socket loop owns until it finishes.
#ifndef NORVEL_SRV_H_
#define NORVEL_SRV_H_

#include <array>
#include <atomic>
#include <deque>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio.hpp>

#include "metrics/connection_stats.h"

// Turns one request body into one reply body; the daemon wires it to the request parser. It may
// throw (the std::exception family): the session then stops reading that connection.
using body_handler = std::function<std::string(const std::string& body)>;
// The same, appending the reply to `out` instead of returning it, so the reply is written once,
// straight into the session's output. On a throw, what it appended is taken back.
using reply_writer = std::function<void(const std::string& body, std::string& out)>;

// The frame header: the body's length as ten zero-padded ASCII digits.
constexpr std::size_t frame_header_size = 10;
// Each read takes at most this many bytes; larger frames are collected across reads.
constexpr std::size_t read_chunk_size = 1024;
// The largest body a peer may announce: 16 MiB. A larger announced length closes the connection,
// so a peer cannot make the daemon buffer without bound.
constexpr std::size_t max_body_size = 16 * 1024 * 1024;
// Back-pressure: while a session's unwritten replies exceed 4 MiB it stops reading, and resumes
// once they drain below it, so a client that sends but never reads cannot grow our memory.
constexpr std::size_t max_unwritten_size = 4 * 1024 * 1024;

enum class frame_status {
  drained,     // every byte consumed: the input ends on a frame boundary
  need_more,   // an incomplete frame waits for more bytes (left in the input)
  bad_header,  // a header that is negative or announces more than max_body_size
  output_full,  // stopped because `output` passed its limit; complete frames may remain
  work_full,    // stopped after a frame that queued work while the workers' backlog is over its
                // bound (work_backlog.h); complete frames may remain
  deferred,     // stopped after a frame whose handler deferred its reply (defer_reply());
                // complete frames may remain
};

class session;

// A reply given later. The handler of a request whose answer has to wait (a change waiting for
// the stream's acknowledgement, a read waiting for a sequence) takes one with defer_reply() and
// completes it on the event loop; the session writes it in the request's place, after every
// reply before it, and holds every reply after it until then. Completing it after the session
// has ended does nothing. Event-loop thread; complete once.
class deferred_reply {
 public:
  deferred_reply() = default;
  // `reply`: the whole reply body (line feed included), framed by the session.
  void complete(const std::string& reply) const;

 private:
  friend class session;
  deferred_reply(std::weak_ptr<session> waiting, std::uint64_t id)
      : owner(std::move(waiting)), slot(id) {}
  std::weak_ptr<session> owner;
  std::uint64_t slot = 0;
};

// For a handler while its session runs it: this request's reply comes later, through the answer.
// The handler appends nothing. Throws std::logic_error when no session runs the handler
// (cut_frames driven directly).
deferred_reply defer_reply();

// The announced body length of a ten-byte header, read the way atoi reads text: leading blanks,
// an optional sign, then digits up to the first non-digit (no digits read as 0). Never
// overflows: ten digits fit in 64 bits.
long long read_frame_length(const char* header);

// Cuts every complete frame off the front of `input`, in order. For each, appends to `output`
// the framed reply: the handler's reply to a non-empty body, or an empty reply to an empty body
// (the handler is not called). Consumed frames are erased from `input`; an incomplete frame is
// left there. A bad header stops the cutting and is left in `input`. If the handler throws,
// the frames before it stay answered and consumed, and the exception passes to the caller.
// Once `output` holds more than `output_limit` bytes no further frame is cut (output_full), so
// a burst of pipelined requests cannot build more than one reply beyond the limit. With
// `hold_back_work`, a frame whose handling queued a mutation while the workers' backlog is over
// its bound is the last one cut (work_full).
// No sockets, so it can be driven byte by byte by tests and fuzzers.
frame_status cut_frames(std::string& input, const reply_writer& writer, std::string& output,
                        std::size_t output_limit = SIZE_MAX, bool hold_back_work = false);
// The same with a handler that returns each reply (copied into `output`).
frame_status cut_frames(std::string& input, const body_handler& handler, std::string& output,
                        std::size_t output_limit = SIZE_MAX, bool hold_back_work = false);

// Appends the ten-digit header for a body of `body_size` bytes to `out`.
void append_frame_header(std::size_t body_size, std::string& out);

class session;
class socket_loop;

// Sessions held back because the workers' backlog of mutations is over its bound, resumed
// together once it is down to the resume level. The workers cannot call into the event loop, so
// a timer looks at the backlog every millisecond while any session waits.
// Threads: the event loop's only. Ownership: owned by the server (and by its pending timer
// wait); it shares the held sessions with the socket loop until it resumes them or the server
// lets them go (release()).
class backlog_wait : public std::enable_shared_from_this<backlog_wait> {
 public:
  explicit backlog_wait(boost::asio::io_context& loop) : timer(loop) {}
  backlog_wait(const backlog_wait&) = delete;
  backlog_wait& operator=(const backlog_wait&) = delete;

  void hold(std::shared_ptr<session> waiting);
  // Drops every held session; at the server's teardown.
  void release();

 private:
  void arm();
  void on_timer(const boost::system::error_code& ec);

  boost::asio::steady_timer timer;
  bool armed = false;
  std::vector<std::shared_ptr<session>> held;
};

// One connection: reads at most read_chunk_size bytes at a time, answers every complete frame,
// and queues the framed replies, which the socket loop has sent at the end of the turn.
// Reading stops for a while when the unwritten replies pass max_unwritten_size or the workers'
// backlog is over its bound, and for good at the end of the stream, a read or write error, a
// bad header or a failing handler; the session finishes once nothing is left to write.
// Threads: the event loop's only. Ownership: shared; the socket loop holds it while it is
// registered, backlog_wait while it waits for the workers. Owns its socket descriptor.
class session : public std::enable_shared_from_this<session> {
 public:
  // Takes the accepted socket out of Asio's hands and makes it non-blocking; throws
  // boost::system::system_error if it cannot. `workers_wait`: when given, the session stops
  // reading after a request that queued work while the workers' backlog is over its bound, and
  // waits there until it is down again.
  session(boost::asio::ip::tcp::socket socket, std::shared_ptr<const reply_writer> handler,
          std::shared_ptr<connection_stats> stats, socket_loop& loop,
          std::shared_ptr<backlog_wait> workers_wait = nullptr);
  ~session();  // logs "~session quit"; closes the socket
  session(const session&) = delete;
  session& operator=(const session&) = delete;

  // Registers with the socket loop, which then owns the session. Call on a session owned by a
  // shared_ptr. Throws boost::system::system_error if the socket cannot be registered.
  void start();

 private:
  friend class socket_loop;
  friend class backlog_wait;
  friend class deferred_reply;
  friend deferred_reply defer_reply();

  // The socket loop's events for this socket, in a turn.
  void on_events(std::uint32_t events);
  // Reads and answers while it can, in a turn; a handler failure ends the reading.
  void serve();
  // Reads and answers while nothing stops it. Throws what the handler throws.
  void pump();
  // One read of at most read_chunk_size bytes, then the frames it completes are answered.
  void do_read();
  // Answers the complete frames in `input` as far as the output and the workers' bounds allow.
  void handler_req();
  // After the turn's log entries are written: sends the replies; true once the session has
  // finished (the loop then lets it go). Asks to be served again if it can go on.
  bool end_of_turn();
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
  // A place for the reply of the frame being answered, which comes later (defer_reply()).
  deferred_reply open_slot();
  // The reply of slot `id` has come: it and the replies held behind it go out, as far as every
  // reply before them is there.
  void complete_slot(std::uint64_t id, const std::string& reply);
  std::size_t unwritten() const { return output.size() - sent; }
  bool finished() const {
    return read_stopped && (write_failed || (slots.empty() && unwritten() == 0));
  }
  // Ends the connection at once.
  void close_socket();

  int fd;  // -1 once closed
  std::shared_ptr<const reply_writer> handler;
  std::shared_ptr<connection_stats> stats;
  socket_loop* loop;  // owns this session while it is registered
  std::shared_ptr<backlog_wait> workers_wait;  // null: no back-pressure from the workers
  std::array<char, read_chunk_size> receive_area;
  std::string input;         // received bytes not yet consumed as frames
  std::string output;        // framed replies; the first `sent` bytes are written already
  std::size_t sent = 0;
  bool readable = false;     // the socket may hold bytes or the end: not read dry since its event
  // The peer has ended its stream or the connection broke: reads go on until they say so, since
  // a short read no longer means that nothing is left to see.
  bool end_seen = false;
  bool read_paused = false;  // reading waits for the unwritten replies to drain
  bool read_stopped = false;  // the connection reads no more (peer gone, error, bad input)
  bool frames_pending = false;  // complete frames wait in `input` until the replies drain
  bool write_failed = false;  // the connection writes no more
  bool waiting_for_workers = false;  // the last frame cut queued work over the backlog's bound
  bool held_by_wait = false;  // in workers_wait's list now
  // Replies given later, in request order: each with the replies of the frames after it, which
  // wait for it. The front one's predecessors are all in `output`.
  struct reply_slot {
    std::uint64_t id = 0;
    bool answered = false;
    std::string reply;  // the body, once answered
    std::string after;  // framed replies of the requests after it, up to the next slot
  };
  std::deque<reply_slot> slots;
  std::uint64_t next_slot = 1;
  // Reading waits for deferred replies: too many are pending, or the replies held behind them
  // passed max_unwritten_size.
  bool waiting_for_replies = false;
  bool in_turn = false;       // in the socket loop's list of this turn
  bool again_queued = false;  // in the socket loop's list for the next turn
};

class server {
 public:
  // Opens, configures, binds and listens an IPv4 acceptor on every local address and `port`
  // (0 picks a free one), then starts accepting. Throws boost::system::system_error whose
  // message names the failed step: "open", "set_option", "bind" or "listen".
  server(boost::asio::io_context& io, unsigned short port, body_handler handler);
  // The same on one local address (IPv4 or IPv6) and port.
  server(boost::asio::io_context& io, const boost::asio::ip::tcp::endpoint& local,
         body_handler handler);
  // The same with a handler that appends each reply to the session's output.
  server(boost::asio::io_context& io, unsigned short port, reply_writer writer);
  server(boost::asio::io_context& io, const boost::asio::ip::tcp::endpoint& local,
         reply_writer writer);
  ~server();  // closes the acceptor and every session
  server(const server&) = delete;
  server& operator=(const server&) = delete;

  unsigned short port() const;  // the bound port
  // At most `count` sessions at once (no maximum until set): a connection accepted beyond it is
  // closed at once, and the first of each run of such connections is logged.
  void set_max_connections(std::size_t count) { max_connections = count; }
  const connection_stats& stats() const { return *counters; }

 private:
  void do_accept();
  void on_accept(const boost::system::error_code& ec, boost::asio::ip::tcp::socket peer);
  // Re-arms the accept later when the process is out of descriptors or memory, so that a
  // failing accept does not spin the event loop.
  void retry_accept_later();
  // Closes `peer` (by letting it go) and counts it; logs when a run of refusals begins.
  void refuse(boost::asio::ip::tcp::socket peer);

  boost::asio::ip::tcp::acceptor acceptor;
  boost::asio::steady_timer retry_timer;  // delays re-arming after resource exhaustion
  std::shared_ptr<const reply_writer> handler;
  std::shared_ptr<connection_stats> counters;
  std::shared_ptr<socket_loop> sessions;
  std::shared_ptr<backlog_wait> workers_wait;
  // Lets completion handlers that run after the server is gone see that it is gone.
  std::shared_ptr<bool> alive;
  std::size_t max_connections = SIZE_MAX;
  bool refusing = false;  // the last connection accepted was refused
};

#endif  // NORVEL_SRV_H_
