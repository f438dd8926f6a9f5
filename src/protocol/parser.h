// Turns one request body (the JSON text of one frame) into one reply body: parses the document
// (the strict fast reader first, the JSON library for anything else), runs the operation table
// over the matching parameter reader, and renders the reply compactly with a trailing line feed.
// The protocol's other parts: value_conversion, request_params, operation_table, change_request
// (what the stream carries), operation_result (the replies).
// Every operation answers an `operation_result`; request() writes it straight into the reply
// text (the hot path, no JSON tree), dispatch() turns the same result into a Json::Value.
//
// Threads: a parser lives for one request on the event-loop thread; queries run synchronously
// there, the "add" and "del" operations only queue work for the store's workers.
// Bodies of the exact shape clients send are read by the strict fast path (fast_request.h); all
// others by the JSON library, so odd input keeps the general path's replies and log entries.
// Ownership: holds the parsed request by value; the fast form points into the body.
#ifndef NORVEL_PARSER_H_
#define NORVEL_PARSER_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <json/json.h>

#include "network/request_context.h"
#include "protocol/change_request.h"
#include "protocol/fast_request.h"
#include "protocol/operation_result.h"
#include "protocol/value_conversion.h"
#include "store/logic_center.h"

// Which way a parser reads its body.
enum class parse_path {
  any,        // the strict fast path when the body has the exact shape clients send, else JSON
  json_only,  // always the general JSON path (the fast path's differential tests compare)
};

class parser {
 public:
  // Parses `body`; text that is not JSON throws std::logic_error("cannot parse body to json").
  // Operations run on `on`. The body and the store must outlive the parser.
  parser(const std::string& body, logic_center& on, parse_path path = parse_path::any);
  // The same with no store, to read a change alone (read_change): request() then answers
  // every operation as failed and dispatch() throws.
  explicit parser(const std::string& body, parse_path path = parse_path::any);
  parser(const parser&) = delete;
  parser& operator=(const parser&) = delete;

  // The reply text: {"code":200,"data":...} when dispatched, {"code":0} when the operation
  // failed, followed by "\n". A top-level value that is not an object or null, or an "act" or
  // "op" that is an array or object, throws (the session then drops the connection).
  std::string request();
  // The same reply text, appended to `reply` (the session's output: no copy of the text).
  void request(std::string& reply);
  // The same for a connection's request: an inviter add that waits for the database appends
  // nothing and defers its reply through `on` instead, holding the connection's later requests.
  void request(std::string& reply, request_context& on);
  // Whether request() queued a change for the store's workers (an "add" or "del" of follow or
  // special that reached the store); the session may then hold back.
  bool queued_work() const { return queued; }

  // Runs the operation named by `act` and `op` and returns the reply's "data". Throws on an
  // unknown operation of a known action and on a failed parameter conversion; in both cases
  // the store has not been touched.
  Json::Value dispatch(const std::string& act, const std::string& op);

  // Whether the request names a change (an "add" or "del" of follow or special, an inviter
  // "add"). Throws where request() would drop the connection (an "act" or "op" not text).
  bool names_change() const;
  // Whether it names a follow or special "add" or "del": answered by queueing work for the
  // store's workers alone, which any thread may do. Throws as names_change() does.
  bool names_queued_change() const;
  // A read of what only the member's own shard keeps (a "special" "fetch_pri" or a "follow"
  // "fetch") whose "user_id" converts: true, with the member in `member`. Throws nothing: a
  // request that request() would fail or drop answers false, and is answered where it is.
  bool names_owned_read(unsigned long& member) const;
  // Whether it is {"act":"cluster","op":"map"}. Throws nothing.
  bool names_cluster_map() const;
  // When the request is a change (an "add" or "del" of follow or special, an inviter "add"),
  // converts its parameters as request() would and answers true; false for anything else,
  // which request() answers. Throws where request() would fail the request (a parameter that
  // does not convert) or drop the connection (an "act" or "op" that is not text).
  bool read_change(change_request& out);

 private:
  // The one dispatch table behind request() and dispatch(); throws as dispatch() does.
  operation_result run(std::string_view act, std::string_view op);
  // Runs the operation and appends the reply text; a failure is logged and answers code 0.
  void answer(std::string_view act, std::string_view op, std::string& reply);

  logic_center* store = nullptr;  // not owned; null for a parser that only reads a change
  bool is_fast = false;  // the body was read by the fast path into `fast`, else into `document`
  bool queued = false;   // request() queued a change
  request_context* context = nullptr;  // while request(reply, on) runs
  fast_request fast;
  Json::Value document;
};

#endif  // NORVEL_PARSER_H_
