// The metrics endpoint: a small HTTP/1.1 server (Boost.Beast) with its own event loop on its own
// thread, answering GET /metrics with the page its render function makes, and GET /ready with
// 200 or 503 as its ready function says (for load balancers and orchestrators). Nothing it does
// runs on the request event loop, so a slow or hostile metrics client cannot delay a request.
// Against such clients: a connection has 10 seconds to send each request (headers within 8 KiB,
// no body) and to take its reply; at most 32 connections are served at once and further ones
// are closed on accept; a malformed request gets 400 and the connection is closed.
//
// Threads: constructed, started and stopped by the main thread; everything else runs on the
// metrics thread. Ownership: owns its event loop, acceptor, thread and connections; the render
// function's sources must outlive stop().
#ifndef NORVEL_METRICS_SERVER_H_
#define NORVEL_METRICS_SERVER_H_

#include <functional>
#include <memory>
#include <string>
#include <thread>

#include <boost/asio.hpp>

class metrics_server {
 public:
  using render_fn = std::function<std::string()>;
  using ready_fn = std::function<bool()>;
  struct handlers {
    render_fn page;
    ready_fn ready;  // may be null
  };

  // Binds and listens on `where` (port 0 picks a free one). Throws boost::system::system_error
  // naming the failed step, as "bind: Address already in use".
  explicit metrics_server(const boost::asio::ip::tcp::endpoint& where);
  ~metrics_server();  // stop()
  metrics_server(const metrics_server&) = delete;
  metrics_server& operator=(const metrics_server&) = delete;

  // Around a fork of the process that made it: the prepare event before, the child event after.
  void notify_fork(boost::asio::io_context::fork_event event) { io->notify_fork(event); }
  // Starts serving on the metrics thread. Once. `ready` may be null: /ready then always answers
  // 200.
  void start(render_fn render, ready_fn ready = nullptr);
  // Stops the loop, joins the thread, and closes the listening socket and every connection.
  // Safe twice.
  void stop();

  unsigned short port() const;

 private:
  void do_accept();

  // Held by pointer so that stop() can destroy them, and with the loop every pending handler and
  // the connections they own; the acceptor and timer go before the loop they belong to.
  std::unique_ptr<boost::asio::io_context> io;
  std::unique_ptr<boost::asio::ip::tcp::acceptor> acceptor;
  std::unique_ptr<boost::asio::steady_timer> retry_timer;  // delays re-arming after a failure
  std::shared_ptr<const handlers> answers;
  std::shared_ptr<int> open_connections;  // metrics thread only
  std::thread thread;
};

#endif  // NORVEL_METRICS_SERVER_H_
