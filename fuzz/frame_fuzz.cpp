// Fuzzes the way from the socket to the store: arbitrary bytes are cut into frames exactly as a
// session cuts them, and every body goes through the request parser into the real store.
//
// The first byte of an input seeds the sizes of the pieces the rest arrives in; the rest is the
// byte stream of one connection. Checked for every input:
// - the parser path never crashes, and fails only by an exception of the std::exception family
//   (which ends the connection), never by anything else;
// - every reply is framed correctly: ten digits giving the exact length of a body that is empty
//   (for an empty request body) or one JSON object with "code" 200 or 0 and a final line feed;
// - cutting does not depend on how the bytes are split across reads: with a deterministic
//   handler, the stream fed in pieces gives the same replies, status and leftover bytes as the
//   stream fed at once;
// - a bad header is reported only for a header that reads negative or above the body maximum.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include <json/json.h>

#include "fuzz_store.h"
#include "network/srv.h"
#include "protocol/parser.h"

namespace {

void fail(const char* what) {
  std::fprintf(stderr, "frame_fuzz: %s\n", what);
  std::abort();
}

struct cut_outcome {
  frame_status status = frame_status::drained;  // of the last cut; meaningless if it threw
  bool handler_threw = false;
  std::string output;
  std::string leftover;  // bytes received but not consumed
  std::size_t consumed = 0;
};

// Feeds `stream` to cut_frames the way a session does: append what arrived, cut, and stop for
// good after a bad header or a throwing handler. `piece_seed` 0 feeds everything at once.
cut_outcome feed(const std::string& stream, unsigned piece_seed, const reply_writer& writer) {
  cut_outcome outcome;
  std::string input;
  std::size_t offset = 0;
  unsigned state = piece_seed;
  while (offset < stream.size()) {
    std::size_t piece = stream.size() - offset;
    if (piece_seed != 0) {
      state = state * 1103515245u + 12345u;
      // Mostly short pieces, which split headers, now and then a long one.
      const unsigned draw = (state >> 16) % 64;
      piece = std::min<std::size_t>(piece, draw < 48 ? 1 + draw : 64 * (draw - 47));
    }
    input.append(stream, offset, piece);
    offset += piece;
    try {
      outcome.status = cut_frames(input, writer, outcome.output);
    } catch (const std::exception&) {
      outcome.handler_threw = true;
      break;
    }
    if (outcome.status == frame_status::bad_header) {
      break;
    }
  }
  outcome.leftover = input;
  outcome.consumed = offset - input.size();
  return outcome;
}

// After a bad header or a failed body nothing more is read, so the bytes received by then depend
// on the pieces; what was consumed and answered must not.
bool same(const cut_outcome& a, const cut_outcome& b) {
  const bool stopped = a.handler_threw || a.status == frame_status::bad_header;
  if (a.handler_threw != b.handler_threw || a.output != b.output || a.consumed != b.consumed) {
    return false;
  }
  return a.handler_threw || (a.status == b.status && (stopped || a.leftover == b.leftover));
}

// A writer whose reply depends only on the body, failing the way the parser fails on bad JSON.
void deterministic_reply(const std::string& body, std::string& out) {
  if (body[0] == '!') {
    throw std::logic_error("refused");
  }
  out += std::to_string(body.size());
  out += ':';
  out.append(body, 0, 8);
  out += '\n';
}

// As the daemon's sessions answer: the reply is written straight into the output.
void parser_reply(const std::string& body, std::string& out) {
  parser(body, *singleton<logic_center>::instance()).request(out);
}

void check_reply_body(const std::string& body) {
  if (body.empty()) {
    return;  // the reply to an empty request body
  }
  if (body.back() != '\n') {
    fail("reply without its final line feed");
  }
  Json::Value reply;
  Json::Reader reader;
  if (!reader.parse(body, reply, false) || !reply.isObject()) {
    fail("reply is not a JSON object");
  }
  const Json::Value& code = reply["code"];
  if (!code.isInt() || (code.asInt() != 200 && code.asInt() != 0)) {
    fail("reply code is neither 200 nor 0");
  }
  if (code.asInt() == 0 && reply.isMember("data")) {
    fail("failed reply carries data");
  }
}

void check_framed_replies(const std::string& output) {
  std::size_t offset = 0;
  while (offset < output.size()) {
    if (output.size() - offset < frame_header_size) {
      fail("truncated reply header");
    }
    for (std::size_t i = 0; i < frame_header_size; ++i) {
      const char c = output[offset + i];
      if (c < '0' || c > '9') {
        fail("reply header is not ten digits");
      }
    }
    const std::size_t length = std::stoull(output.substr(offset, frame_header_size));
    offset += frame_header_size;
    if (output.size() - offset < length) {
      fail("reply shorter than its header says");
    }
    check_reply_body(output.substr(offset, length));
    offset += length;
  }
}

void check_bad_header(const cut_outcome& outcome) {
  if (outcome.status != frame_status::bad_header) {
    return;
  }
  if (outcome.leftover.size() < frame_header_size) {
    fail("bad header reported before ten bytes arrived");
  }
  const long long length = read_frame_length(outcome.leftover.data());
  if (length >= 0 && static_cast<unsigned long long>(length) <= max_body_size) {
    fail("acceptable header reported as bad");
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  fuzz_store::start();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!fuzz_store::begin_input(size)) {
    return 0;
  }
  const unsigned piece_seed = data[0] + 1u;
  const std::string stream(reinterpret_cast<const char*>(data) + 1, size - 1);

  static const reply_writer served_writer = parser_reply;
  static const reply_writer deterministic_writer = deterministic_reply;
  const cut_outcome served = feed(stream, piece_seed, served_writer);
  check_framed_replies(served.output);
  check_bad_header(served);

  const cut_outcome at_once = feed(stream, 0, deterministic_writer);
  const cut_outcome in_pieces = feed(stream, piece_seed, deterministic_writer);
  if (!same(at_once, in_pieces)) {
    fail("cutting depends on how the bytes are split");
  }
  check_bad_header(at_once);
  return 0;
}
