#include "network/srv.h"

#include <chrono>
#include <exception>
#include <utility>

#include "network/session.h"
#include "support/asio_errors.h"
#include "support/log.h"

using boost::asio::ip::tcp;

namespace {

// Accept errors that say "not now" rather than "never": retrying at once would only spin.
bool is_resource_exhaustion(const boost::system::error_code& ec) {
  return ec == boost::asio::error::no_descriptors || ec == boost::asio::error::no_buffer_space ||
         ec == boost::asio::error::no_memory ||
         ec == boost::system::errc::too_many_files_open_in_system;
}

constexpr auto accept_retry_delay = std::chrono::milliseconds(100);
constexpr int listen_backlog = 128;

tcp::endpoint every_address(unsigned short port) {
  return tcp::endpoint(boost::asio::ip::address_v4::any(), port);
}

}  // namespace

server::server(boost::asio::io_context& io, unsigned short port, body_handler body)
    : server(io, every_address(port), as_frame_handler(std::move(body))) {}

server::server(boost::asio::io_context& io, const tcp::endpoint& local, body_handler body)
    : server(io, local, as_frame_handler(std::move(body))) {}

server::server(boost::asio::io_context& io, unsigned short port, reply_writer writer)
    : server(io, every_address(port), as_frame_handler(std::move(writer))) {}

server::server(boost::asio::io_context& io, const tcp::endpoint& local, reply_writer writer)
    : server(io, local, as_frame_handler(std::move(writer))) {}

server::server(boost::asio::io_context& loop, const tcp::endpoint& local, frame_handler answer)
    : event_loop(loop),
      acceptor(loop),
      retry_timer(loop),
      handler(std::make_shared<const frame_handler>(std::move(answer))),
      counters(std::make_shared<connection_stats>()),
      sessions(std::make_shared<socket_loop>(loop)),
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
  if (workers_wait) {
    workers_wait->release();
  }
  sessions->release();                   // every session ends here
  boost::system::error_code ignored_ec;  // nothing useful to do about a failing close at teardown
  retry_timer.cancel(ignored_ec);
  acceptor.close(ignored_ec);
}

void server::hold_back_work(work_admission admission) {
  if (workers_wait) {
    workers_wait->release();
  }
  workers_wait = std::make_shared<backlog_wait>(event_loop, std::move(admission));
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
  loop_thread.assert_on_thread();
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
