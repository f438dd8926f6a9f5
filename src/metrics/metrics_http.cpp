#include "metrics/metrics_http.h"

#include <utility>

#include "metrics/metrics_exposition.h"

namespace metrics_http {

namespace {

bool is_target(boost::beast::string_view target, boost::beast::string_view path) {
  return target == path ||
         (target.starts_with(path) && target.size() > path.size() && target[path.size()] == '?');
}

// `page`: the body is the metrics page (its own content type), else plain text.
response make(http::status status, std::string body, bool keep_alive, bool head = false,
              bool page = true) {
  response out;
  out.result(status);
  out.version(11);
  out.set(http::field::server, "norvel");
  out.set(http::field::content_type,
          status == http::status::ok && page ? metrics_content_type : "text/plain; charset=utf-8");
  out.body() = std::move(body);
  out.keep_alive(keep_alive);
  out.prepare_payload();
  if (head) {
    out.body().clear();  // the length stays that of the body a GET would get
  }
  return out;
}

}  // namespace

void reset(std::optional<request_parser>& parser) {
  parser.emplace();
  parser->header_limit(header_limit);
}

response answer(const request& message, const std::function<std::string()>& render,
                const std::function<bool()>& ready) {
  const bool keep_alive = message.keep_alive();
  if (message.method() != http::verb::get && message.method() != http::verb::head) {
    return make(http::status::method_not_allowed, "only GET and HEAD\n", keep_alive);
  }
  // A response to HEAD has no body whatever its status: a keep-alive client would read the
  // body as the start of the next response.
  const bool head = message.method() == http::verb::head;
  if (is_target(message.target(), "/ready")) {
    const bool serving = !ready || ready();
    return make(serving ? http::status::ok : http::status::service_unavailable,
                serving ? "ready\n" : "not ready\n", keep_alive, head, false);
  }
  if (!is_target(message.target(), "/metrics")) {
    return make(http::status::not_found, "the metrics are at /metrics\n", keep_alive, head);
  }
  return make(http::status::ok, render(), keep_alive, head);
}

bool answer_refused(const boost::system::error_code& ec, response& out) {
  if (ec == http::error::end_of_stream ||
      ec.category() != http::make_error_code(http::error::bad_target).category()) {
    return false;
  }
  out = make(http::status::bad_request, "malformed request\n", false);
  return true;
}

}  // namespace metrics_http
