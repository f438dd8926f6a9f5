// The TCP side of the daemon: `server` accepts connections and turns each into a `session`, which
// cuts the byte stream into frames, hands every body to the body handler and writes the framed
// replies back on the same connection, in order.
//
// Frame, both directions: ten ASCII digits giving the body's length ("%010d"), then the body.
//
// Threads: everything here runs on the event loop's one thread; a session's buffers are touched
// by no other thread and need no lock. connection_stats is atomic only so that tests and tools on
// other threads may read it.
// Ownership: `server` owns the acceptor; each accepted socket is handed straight to its session.
// A session is owned by shared_ptr: each pending read or write holds `self`, so it lives until
// its last handler has run (or until the event loop is destroyed).
#ifndef NORVEL_SRV_H_
#define NORVEL_SRV_H_

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio.hpp>

// Turns one request body into one reply body; the daemon wires it to the request parser. It may
// throw (the std::exception family): the session then stops reading that connection.
using body_handler = std::function<std::string(const std::string& body)>;

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
};

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
frame_status cut_frames(std::string& input, const body_handler& handler, std::string& output,
                        std::size_t output_limit = SIZE_MAX, bool hold_back_work = false);

// Appends the ten-digit header for a body of `body_size` bytes to `out`.
void append_frame_header(std::size_t body_size, std::string& out);

// Counters shared by a server and its sessions, for operators and tests.
struct connection_stats {
  std::atomic<std::size_t> open_sessions{0};
  std::atomic<std::size_t> accepted{0};
  std::atomic<std::size_t> read_pauses{0};  // times a session stopped reading for a slow peer
  std::atomic<std::size_t> peak_unwritten_bytes{0};  // largest backlog of unwritten replies seen
  std::atomic<std::size_t> bad_headers{0};
  std::atomic<std::size_t> closed{0};           // sessions ended
  std::atomic<std::size_t> refused{0};  // connections turned away: out of descriptors, or too many
  std::atomic<std::size_t> paused_sessions{0};  // sessions not reading for a slow peer, now
  std::atomic<std::uint64_t> bytes_received{0};
  std::atomic<std::uint64_t> bytes_sent{0};
};

class session;

// One turn of the event loop: the completion handlers that run between two waits for input.
// The event-log entries of a turn are written together when it ends, and only then do the
// replies of the turn go out, so a client that has a reply finds its request's entries in the
// file. The end is a handler posted at the turn's first request; the loop runs it after the
// handlers that were ready with it.
// Threads: the event loop's only. Owned by the server and by the posted end (shared_ptr).
class reply_turn : public std::enable_shared_from_this<reply_turn> {
 public:
  explicit reply_turn(boost::asio::io_context& loop) : io(loop) {}
  reply_turn(const reply_turn&) = delete;
  reply_turn& operator=(const reply_turn&) = delete;

  // Opens the turn if it is not open: log entries of this thread wait for its end.
  void open();
  // `replies_of` has replies to send when the turn ends. Opens the turn.
  void send_at_end(std::shared_ptr<session> replies_of);
  // Ends the turn now: writes the log entries, then starts the replies' writes. Does nothing
  // on another thread than the one that opened it.
  void end();

 private:
  boost::asio::io_context& io;
  bool is_open = false;
  std::thread::id opened_on;
  std::vector<std::shared_ptr<session>> waiting;  // sessions with replies of this turn
};

// Sessions held back because the workers' backlog of mutations is over its bound, resumed
// together once it is down to the resume level. The workers cannot call into the event loop, so
// a timer looks at the backlog every millisecond while any session waits.
// Threads: the event loop's only. Ownership: owned by the server (and by its pending timer
// wait); it owns the held sessions, which have no pending operation then, until it resumes them
// or the server lets them go (release()).
class backlog_wait : public std::enable_shared_from_this<backlog_wait> {
 public:
  explicit backlog_wait(boost::asio::io_context& loop) : timer(loop) {}
  backlog_wait(const backlog_wait&) = delete;
  backlog_wait& operator=(const backlog_wait&) = delete;

  void hold(std::shared_ptr<session> waiting);
  // Drops every held session (they end); at the server's teardown.
  void release();

 private:
  void arm();
  void on_timer(const boost::system::error_code& ec);

  boost::asio::steady_timer timer;
  bool armed = false;
  std::vector<std::shared_ptr<session>> held;
};

class session : public std::enable_shared_from_this<session> {
 public:
  // `workers_wait`: when given, the session stops reading after a request that queued work
  // while the workers' backlog is over its bound, and waits there until it is down again.
  session(boost::asio::ip::tcp::socket socket, std::shared_ptr<const body_handler> handler,
          std::shared_ptr<connection_stats> stats, std::shared_ptr<reply_turn> turn = nullptr,
          std::shared_ptr<backlog_wait> workers_wait = nullptr);
  ~session();  // logs "~session quit"; the socket closes with it
  session(const session&) = delete;
  session& operator=(const session&) = delete;

  // Starts reading. Call on a session owned by a shared_ptr.
  void start();

 private:
  friend class reply_turn;
  friend class backlog_wait;

  void do_read();
  void on_read(const boost::system::error_code& ec, std::size_t n);
  // Answers every complete frame in `input`; true if the input ended empty.
  bool handler_req();
  // Starts the one write in flight: the first n bytes of `in_flight`.
  void do_write(unsigned long n);
  void on_write(const boost::system::error_code& ec, std::size_t n);
  // Writes the queued replies if no write is in flight.
  void flush();
  // After frames were answered: the replies go out at the end of the turn (or at once).
  void send_replies();
  // Starts the next read unless reading has stopped or the unwritten replies are over the bound.
  void continue_reading();
  void reject_bad_header();
  // Stops reading until the workers' backlog is down again (backlog_wait resumes the session).
  void hold_for_workers();
  void note_read_paused();
  void resume_after_workers();
  // Logs the handler failure and stops reading; the queued replies still go out.
  void end_after_handler_error();
  std::size_t unwritten() const { return output.size() + in_flight.size(); }
  // Ends the connection at once; pending operations complete aborted.
  void close_socket();

  boost::asio::ip::tcp::socket socket;
  std::shared_ptr<const body_handler> handler;
  std::shared_ptr<connection_stats> stats;
  std::shared_ptr<reply_turn> turn;  // null: replies go out at once
  std::shared_ptr<backlog_wait> workers_wait;  // null: no back-pressure from the workers
  std::array<char, read_chunk_size> receive_area;
  std::string input;         // received bytes not yet consumed as frames
  std::string output;        // framed replies waiting for the next write
  std::string in_flight;     // the bytes of the one write in progress; untouched until it completes
  bool reading = false;      // a read is pending
  bool read_paused = false;  // reading waits for the unwritten replies to drain
  bool read_stopped = false;  // the connection reads no more (peer gone, error, bad input)
  bool frames_pending = false;  // complete frames wait in `input` until the replies drain
  bool write_failed = false;  // the connection writes no more
  bool waiting_for_workers = false;  // the last frame cut queued work over the backlog's bound
  bool held_by_wait = false;  // in workers_wait's list now
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
  ~server();  // closes the acceptor; sessions live on until their pending operations end
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
  std::shared_ptr<const body_handler> handler;
  std::shared_ptr<connection_stats> counters;
  std::shared_ptr<reply_turn> turn;
  std::shared_ptr<backlog_wait> workers_wait;
  // Lets completion handlers that run after the server is gone see that it is gone.
  std::shared_ptr<bool> alive;
  std::size_t max_connections = SIZE_MAX;
  bool refusing = false;  // the last connection accepted was refused
};

#endif  // NORVEL_SRV_H_
