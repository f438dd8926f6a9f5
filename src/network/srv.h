// The TCP side of the daemon: `server` owns the listening socket, accepts connections and turns
// each into a `session` (session.h) on its socket loop (socket_loop.h). It keeps the limits of
// accepting: a maximum of open connections, and a pause before accepting again when the process
// is out of descriptors or memory.
//
// Threads: the event loop's only (asserted in debug builds); connection_stats is atomic only so
// that tests and tools on other threads may read it.
// Ownership: `server` owns the acceptor, the socket loop, the request handler the sessions share
// and the wait for the workers' backlog; each accepted socket is handed straight to its session,
// which the socket loop owns until it finishes.
#ifndef NORVEL_SRV_H_
#define NORVEL_SRV_H_

#include <cstddef>
#include <cstdint>
#include <memory>

#include <boost/asio.hpp>

#include "metrics/connection_stats.h"
#include "network/backlog_wait.h"
#include "network/frame_codec.h"
#include "network/session.h"  // the connections it makes, and their limits
#include "network/socket_loop.h"
#include "support/thread_check.h"

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
  // The same with the daemon's handler, which may say that a request queued work or defer its
  // reply (request_context.h).
  server(boost::asio::io_context& io, const boost::asio::ip::tcp::endpoint& local,
         frame_handler handler);
  ~server();  // closes the acceptor and every session
  server(const server&) = delete;
  server& operator=(const server&) = delete;

  unsigned short port() const;  // the bound port
  // At most `count` sessions at once (no maximum until set): a connection accepted beyond it is
  // closed at once, and the first of each run of such connections is logged.
  void set_max_connections(std::size_t count) { max_connections = count; }
  // Sessions accepted from now on stop reading after a request that queued work while
  // `admission` says the backlog is over its bound, until it says they may resume. Without it a
  // session is never held back for queued work. Before the loop runs.
  void hold_back_work(work_admission admission);
  const connection_stats& stats() const { return *counters; }

 private:
  void do_accept();
  void on_accept(const boost::system::error_code& ec, boost::asio::ip::tcp::socket peer);
  // Re-arms the accept later when the process is out of descriptors or memory, so that a
  // failing accept does not spin the event loop.
  void retry_accept_later();
  // Closes `peer` (by letting it go) and counts it; logs when a run of refusals begins.
  void refuse(boost::asio::ip::tcp::socket peer);

  boost::asio::io_context& event_loop;  // runs the acceptor, the sessions and the wait
  boost::asio::ip::tcp::acceptor acceptor;
  boost::asio::steady_timer retry_timer;  // delays re-arming after resource exhaustion
  std::shared_ptr<const frame_handler> handler;
  std::shared_ptr<connection_stats> counters;
  std::shared_ptr<socket_loop> sessions;
  std::shared_ptr<backlog_wait> workers_wait;  // null until hold_back_work()
  // Lets completion handlers that run after the server is gone see that it is gone.
  std::shared_ptr<bool> alive;
  std::size_t max_connections = SIZE_MAX;
  bool refusing = false;     // the last connection accepted was refused
  thread_check loop_thread;  // the accepts' thread
};

#endif  // NORVEL_SRV_H_
