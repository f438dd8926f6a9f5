// The sessions' sockets on an epoll set of our own, and the turn of the event loop that serves
// them.
//
// Why not one Asio operation per read: Boost 1.74's reactor tries every read at once and, on a
// drained socket, fails with EAGAIN before it waits, one wasted system call per request; waiting
// for readiness first costs an epoll_ctl per request instead. Here each socket is registered
// once, edge-triggered, for input and output. A read shorter than asked means the socket is
// drained, so no read is made that can only fail; replies are sent with one send() per session
// at the end of the turn, and output readiness matters only after a send that did not take all.
//
// Asio still runs the process's loop: the acceptor, the timers, the signals and posted handlers
// stay with the io_context. The epoll set is one more descriptor there: when it has events Asio
// calls run_turn(), which takes them without blocking (epoll_wait with no timeout), serves them
// and waits again. One wait per turn, not per request.
//
// A turn: log entries of this thread wait in the log's batch; each session that had an event
// reads and answers what it can; when the turn ends the batch is written and only then do the
// turn's replies go out, so a client holding a reply finds its request's entries in the file.
// A session that can go on without an event (more input than one turn's share, room again for
// replies, resumed after the workers' backlog) is served in the next turn, which is posted to Asio
// instead of waiting.
//
// The loop drives its sessions through socket_loop::client alone (session.h implements it): it
// knows their descriptors, hands them their events, serves them again and ends their turns.
//
// Threads: the event loop's only (asserted in debug builds). Ownership: the server owns the
// loop (shared_ptr: the pending wait holds a weak reference); the loop owns every registered
// client until it finishes (no more reading and nothing left to write), then lets it go at the
// end of the turn. The epoll descriptor is owned by `waiter` and closed with it. A client's
// descriptor leaves the set when the client closes it. The set is made before the daemon
// detaches, while it is still empty; the io_context's fork notices register `waiter` again in
// the child's reactor.
#ifndef NORVEL_SOCKET_LOOP_H_
#define NORVEL_SOCKET_LOOP_H_

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include <boost/asio.hpp>

#include "support/thread_check.h"

class socket_loop : public std::enable_shared_from_this<socket_loop> {
 public:
  // A connection the loop drives. Its place in the loop's lists for a turn is the loop's own
  // bookkeeping, kept in the client so that finding it costs nothing.
  class client {
   public:
    // The non-blocking socket registered with the loop (-1 once closed).
    virtual int descriptor() const = 0;
    // The socket's epoll events, in a turn.
    virtual void on_events(std::uint32_t events) = 0;
    // Served again without an event (serve_again()), in a turn.
    virtual void serve() = 0;
    // After the turn's log entries are written: sends what waits; true once the client has
    // finished (the loop then lets it go).
    virtual bool end_of_turn() = 0;
    // The shared_ptr that owns this client, for the loop to hold it through a turn.
    virtual std::shared_ptr<client> shared_client() = 0;

    virtual ~client() = default;

   protected:
    client() = default;
    client(const client&) = delete;
    client& operator=(const client&) = delete;

   private:
    friend class socket_loop;
    bool in_turn = false;       // in the loop's list of this turn
    bool again_queued = false;  // in the loop's list for the next turn
  };

  // Throws boost::system::system_error("epoll_create1") when no epoll set can be made.
  explicit socket_loop(boost::asio::io_context& io);
  ~socket_loop();
  socket_loop(const socket_loop&) = delete;
  socket_loop& operator=(const socket_loop&) = delete;

  // Registers the client's (non-blocking) socket and owns the client until it finishes.
  // Throws boost::system::system_error("epoll_ctl") if the socket cannot be registered.
  void add(std::shared_ptr<client> joining);

  // `served` took part in the current turn: at its end its replies go out and, if it has
  // finished, it is let go.
  void touch(client& served);
  // `ready` can go on without a new event (more input than one turn's share, or room again for
  // replies): it is served in the next turn, which then does not wait.
  void serve_again(client& ready);

  // Lets every client go (they end); at the server's teardown.
  void release();

 private:
  void arm();
  void run_turn();
  // Has run_turn() called soon without waiting, for the sessions in `again`.
  void post_turn();
  void begin_turn();
  void end_turn();

  boost::asio::io_context& io;
  boost::asio::posix::stream_descriptor waiter;  // owns the epoll descriptor
  std::unordered_map<const client*, std::shared_ptr<client>> sessions;
  std::vector<std::shared_ptr<client>> touched;  // served in this turn
  std::vector<std::shared_ptr<client>> again;    // to serve in the next turn
  std::vector<std::shared_ptr<client>> serving;  // `again` of the previous turn, being served
  int turn_depth = 0;
  bool armed = false;         // a wait for the epoll set is pending
  bool again_posted = false;  // a turn is posted for `again`
  bool released = false;      // torn down: no more waits
  thread_check loop_thread;   // every call comes from the thread that made the loop
};

#endif  // NORVEL_SOCKET_LOOP_H_
