// Fuzzes the metrics endpoint's side of HTTP: arbitrary bytes are one connection's stream,
// parsed request by request with the endpoint's parser and bounds, in pieces as reads would
// bring them, and answered by the endpoint's rules. Checked for every input:
// - parsing and answering never crash and fail only with the parser's error codes;
// - a request is never taken past the header limit, nor with a body;
// - the page (200) goes only to GET or HEAD of /metrics, HEAD without its body but with its
//   length; a refused request gets 400 and the connection closes after it;
// - every response reads back as one well-formed HTTP response with the body its length says;
// - cutting does not depend on the pieces: the stream fed at once gives the same responses
//   (streams shorter than 7 KiB, below).
// Threads: the fuzzer's one thread. No socket, no file, no log.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <sstream>
#include <string>

#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include "metrics/metrics_http.h"

namespace {

namespace beast = boost::beast;
namespace http = boost::beast::http;

// Near its header limit the parser's verdict depends on where the pieces end (the start line
// parsed apart counts differently from one parsed with its fields), so a header of about 8 KiB
// may be taken whole and refused in pieces. Streams this long are checked piecewise only.
constexpr std::size_t near_header_limit = metrics_http::header_limit - 1024;

const std::string page_text = "# TYPE norvel_up gauge\nnorvel_up 1\n";

void fail(const char* what, const std::string& detail) {
  std::fprintf(stderr, "metrics_http_fuzz: %s\n%s\n", what, detail.c_str());
  std::abort();
}

std::string serialize(const metrics_http::response& response) {
  std::ostringstream out;
  out << response;
  return out.str();
}

// Reads `wire` back as one response to a request of `method`; fails unless it is exactly one.
void check_wire(const std::string& wire, http::verb method, http::status status) {
  http::response_parser<http::string_body> reader;
  reader.skip(method == http::verb::head);
  reader.eager(true);
  beast::error_code ec;
  const std::size_t used = reader.put(boost::asio::buffer(wire), ec);
  if (!ec && !reader.is_done()) {
    reader.put_eof(ec);
  }
  if (ec || !reader.is_done() || used != wire.size()) {
    fail("a response does not read back as one HTTP response", wire);
  }
  const auto& message = reader.get();
  if (message.result() != status) {
    fail("a response reads back with another status", wire);
  }
  if (status == http::status::ok && method == http::verb::get && message.body() != page_text) {
    fail("the page is not the rendered page", wire);
  }
  if (status == http::status::ok && method == http::verb::head &&
      message[http::field::content_length] != std::to_string(page_text.size())) {
    fail("HEAD does not carry the page's length", wire);
  }
}

// One connection: requests are cut from `stream` in pieces of sizes drawn from `seed` (0: all
// that is left, bounded by the read buffer) and answered. The wire text of every response,
// followed by how the connection ended.
std::string serve(const std::string& stream, unsigned seed) {
  std::string out;
  beast::flat_buffer buffer{metrics_http::header_limit};
  std::optional<metrics_http::request_parser> parser;
  metrics_http::reset(parser);
  std::size_t offset = 0;
  unsigned state = seed;
  for (;;) {
    beast::error_code ec;
    if (buffer.size() > 0) {
      buffer.consume(parser->put(buffer.data(), ec));
    } else {
      ec = http::error::need_more;
    }
    if (ec == http::error::need_more) {
      ec = {};
      if (offset == stream.size()) {
        if (!parser->got_some()) {
          return out + "closed";  // between requests: the client closed
        }
        parser->put_eof(ec);  // as a read does when the stream ends in a request
        if (!ec && !parser->is_done()) {
          fail("the parser took an end without finishing", "");
        }
      } else {
        const std::size_t room = buffer.max_size() - buffer.size();
        if (room == 0) {
          ec = http::error::buffer_overflow;
        } else {
          std::size_t piece = std::min(room, stream.size() - offset);
          if (seed != 0) {
            state = state * 1103515245u + 12345u;
            piece = std::min<std::size_t>(piece, 1 + (state >> 16) % 53);
          }
          const auto space = buffer.prepare(piece);
          std::memcpy(space.data(), stream.data() + offset, piece);
          buffer.commit(piece);
          offset += piece;
          continue;
        }
      }
    }
    if (ec) {
      metrics_http::response refused;
      if (metrics_http::answer_refused(ec, refused)) {
        if (refused.result() != http::status::bad_request || refused.keep_alive()) {
          fail("a refused request is not answered 400 and closed", ec.message());
        }
        const std::string wire = serialize(refused);
        check_wire(wire, http::verb::get, http::status::bad_request);
        out += wire;
      }
      // Which error the parser names may depend on where the stream ended; the client sees the
      // 400 and the close, never the name.
      return out + "closed after a refusal";
    }
    if (!parser->is_done()) {
      continue;
    }
    const metrics_http::request& message = parser->get();
    if (message.payload_size().value_or(0) != 0) {
      // The empty body's parser refuses a body; one that got through is a fault.
      fail("a request with a body was taken", std::string(message.target()));
    }
    // The node is not ready: /ready answers 503, so a 200 is the page and nothing else.
    metrics_http::response response = metrics_http::answer(
        message, [] { return page_text; }, [] { return false; });
    const bool page_allowed =
        (message.method() == http::verb::get || message.method() == http::verb::head) &&
        (message.target() == "/metrics" || message.target().starts_with("/metrics?"));
    if ((response.result() == http::status::ok) != page_allowed) {
      fail("the page is answered to the wrong request", std::string(message.target()));
    }
    if (response.keep_alive() != message.keep_alive()) {
      fail("the response does not keep the connection as asked", std::string(message.target()));
    }
    const std::string wire = serialize(response);
    check_wire(wire, message.method(), response.result());
    out += wire;
    if (!response.keep_alive()) {
      return out + "closed after the response";
    }
    metrics_http::reset(parser);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) {
    return 0;
  }
  const std::string stream(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::string in_pieces = serve(stream, data[0] + 1u);
  if (stream.size() > near_header_limit) {
    return 0;
  }
  const std::string at_once = serve(stream, 0);
  if (in_pieces != at_once) {
    fail("the responses depend on how the bytes are split", in_pieces + "\n----\n" + at_once);
  }
  return 0;
}
