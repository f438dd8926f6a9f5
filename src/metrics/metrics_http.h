// What the metrics endpoint answers to one HTTP request, apart from the sockets that carry it:
// the bounds its request parser works within, which requests it answers with the page, which
// with an error, and the response it sends. The server and the fuzz target of its parsing share
// it, so both run exactly these rules.
// Threads: none of its own; the render function is called on the caller's thread.
#ifndef NORVEL_METRICS_HTTP_H_
#define NORVEL_METRICS_HTTP_H_

#include <cstddef>
#include <functional>
#include <optional>
#include <string>

#include <boost/beast/http.hpp>

namespace metrics_http {

namespace http = boost::beast::http;

// A request's header may not pass this size; it has no body.
constexpr std::size_t header_limit = 8 * 1024;

using request_parser = http::request_parser<http::empty_body>;
using request = http::request<http::empty_body>;
using response = http::response<http::string_body>;

// A parser for the next request of a connection, bounded as above.
void reset(std::optional<request_parser>& parser);

// The response to a parsed request: 200 with the page for GET and HEAD of /metrics; for /ready,
// 200 "ready" once `ready` answers true (or when there is no `ready`), else 503 "not ready"; 405
// for another method, 404 for another target; to HEAD with the length GET would get and no body.
// It keeps the connection open when the request asks to.
response answer(const request& message, const std::function<std::string()>& render,
                const std::function<bool()>& ready = nullptr);

// The response to a request the parser refused (the caller closes the connection after it); false
// for a failure that is no fault of the request's text (a timeout, a reset, the end of the
// stream), which gets no response.
bool answer_refused(const boost::system::error_code& ec, response& out);

}  // namespace metrics_http

#endif  // NORVEL_METRICS_HTTP_H_
