#include "metrics/metrics_server.h"

#include <chrono>
#include <optional>
#include <utility>

#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include "metrics/metrics_http.h"
#include "support/asio_errors.h"
#include "support/log.h"

namespace beast = boost::beast;
namespace http = boost::beast::http;
using boost::asio::ip::tcp;

namespace {

constexpr auto io_timeout = std::chrono::seconds(10);
constexpr int max_connections = 32;

// One client of the endpoint: reads requests and answers each, until the client closes, asks
// to close, errs or times out. Owned by shared_ptr: each pending operation holds `self`.
class metrics_connection : public std::enable_shared_from_this<metrics_connection> {
 public:
  metrics_connection(tcp::socket socket,
                     std::shared_ptr<const metrics_server::handlers> server_answers,
                     std::shared_ptr<int> open_count)
      : stream(std::move(socket)), answers(std::move(server_answers)), open(std::move(open_count)) {
    ++*open;
  }
  ~metrics_connection() { --*open; }
  metrics_connection(const metrics_connection&) = delete;
  metrics_connection& operator=(const metrics_connection&) = delete;

  void start() { do_read(); }

 private:
  void do_read() {
    metrics_http::reset(request);
    stream.expires_after(io_timeout);
    http::async_read(stream, buffer, *request,
                     [self = shared_from_this()](const beast::error_code& ec, std::size_t) {
                       self->on_read(ec);
                     });
  }

  void on_read(const beast::error_code& ec) {
    if (ec == http::error::end_of_stream) {
      close();
      return;
    }
    if (ec) {
      if (metrics_http::answer_refused(ec, response)) {
        send();
      }
      return;  // a timeout or a reset: the connection just ends
    }
    response = metrics_http::answer(request->get(), answers->page, answers->ready);
    send();
  }

  void send() {
    stream.expires_after(io_timeout);
    http::async_write(stream, response,
                      [self = shared_from_this()](const beast::error_code& ec, std::size_t) {
                        if (ec || !self->response.keep_alive()) {
                          self->close();
                          return;
                        }
                        self->do_read();
                      });
  }

  void close() {
    beast::error_code ignored_ec;  // the peer may be gone already; closing is all we want
    stream.socket().shutdown(tcp::socket::shutdown_both, ignored_ec);
    stream.socket().close(ignored_ec);
  }

  beast::tcp_stream stream;
  // Bounded: a longer header is an error, not growth.
  beast::flat_buffer buffer{metrics_http::header_limit};
  std::optional<metrics_http::request_parser> request;
  metrics_http::response response;
  std::shared_ptr<const metrics_server::handlers> answers;
  std::shared_ptr<int> open;
};

}  // namespace

metrics_server::metrics_server(const tcp::endpoint& where)
    : io(std::make_unique<boost::asio::io_context>()),
      acceptor(std::make_unique<tcp::acceptor>(*io)),
      retry_timer(std::make_unique<boost::asio::steady_timer>(*io)),
      open_connections(std::make_shared<int>(0)) {
  boost::system::error_code ec;
  acceptor->open(where.protocol(), ec);
  throw_if_failed(ec, "open");
  acceptor->set_option(tcp::acceptor::reuse_address(true), ec);
  throw_if_failed(ec, "set_option");
  acceptor->bind(where, ec);
  throw_if_failed(ec, "bind");
  acceptor->listen(boost::asio::socket_base::max_listen_connections, ec);
  throw_if_failed(ec, "listen");
}

metrics_server::~metrics_server() {
  stop();
}

unsigned short metrics_server::port() const {
  if (!acceptor) {
    return 0;
  }
  boost::system::error_code ec;
  const tcp::endpoint local = acceptor->local_endpoint(ec);
  return ec ? 0 : local.port();
}

void metrics_server::start(render_fn render, ready_fn ready) {
  answers = std::make_shared<const handlers>(handlers{std::move(render), std::move(ready)});
  do_accept();
  thread = std::thread([this] {
    for (;;) {
      try {
        io->run();
        return;
      } catch (const std::exception& e) {
        // A fault in one connection's handler must not end the endpoint, nor the daemon.
        log_event(log_error, "metrics endpoint: %s", e.what());
      }
    }
  });
}

void metrics_server::stop() {
  if (!io) {
    return;
  }
  io->stop();
  if (thread.joinable()) {
    thread.join();
  }
  retry_timer.reset();
  acceptor.reset();
  io.reset();  // destroys the pending handlers, and with them the connections
}

void metrics_server::do_accept() {
  acceptor->async_accept([this](const boost::system::error_code& ec, tcp::socket peer) {
    if (ec == boost::asio::error::operation_aborted) {
      return;
    }
    if (ec) {
      // Out of descriptors, most likely: try again shortly rather than spin.
      retry_timer->expires_after(std::chrono::milliseconds(100));
      retry_timer->async_wait([this](const boost::system::error_code& wait_ec) {
        if (!wait_ec) {
          do_accept();
        }
      });
      return;
    }
    if (*open_connections >= max_connections) {
      boost::system::error_code ignored_ec;  // turned away: nothing to report to it
      peer.close(ignored_ec);
    } else {
      std::make_shared<metrics_connection>(std::move(peer), answers, open_connections)->start();
    }
    do_accept();
  });
}
