// Turns one request body (the JSON text of one frame) into one reply body: parses the document,
// picks the handler by "act" and "op", converts "params" into the store's types, calls the
// store it is handed and renders the reply compactly with a trailing line feed.
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

#include "network/fast_request.h"
#include "network/request_context.h"
#include "store/logic_center.h"

// What an operation answers: nothing (the reply's "data" is null) or a list of ids held under
// one key of the "data" object. Ids are written as their low 32 bits.
struct operation_result {
  const char* key = nullptr;  // null: no data; else a static name such as "specials"
  std::vector<unsigned long> ids;
  bool queued_work = false;  // the operation queued a change for the store's workers
  bool deferred = false;     // its reply is given later (request_context::defer_reply)

  // The reply's "data" as a JSON value.
  Json::Value to_json() const;
  // Appends the whole reply text of a dispatched operation: exactly what Json::FastWriter writes
  // for {"code":200,"data":to_json()}, line feed included.
  void render_reply(std::string& out) const;
};

// The change an "add" or "del" request asks for, converted by the same rules as when the request
// is answered: what the stream carries, and what a node applies from it.
struct change_request {
  enum class kind { none, add_follow, del_follow, add_special, del_special, add_inviter };
  kind what = kind::none;
  unsigned long user = 0;              // the follow and special changes' member
  std::vector<unsigned long> ids;      // the follow changes' members
  std::vector<special> items;          // the special changes' items
  int inviter_member = 0;              // add_inviter: who was invited
  int inviter = 0;                     // add_inviter: by whom
  std::int64_t stored_ns = 0;          // when the stream stored it (0: not from the stream)

  // A follow or special change with no member or item in it: answered, never published.
  bool empty() const {
    return (what == kind::add_follow || what == kind::del_follow) ? ids.empty()
           : (what == kind::add_special || what == kind::del_special) ? items.empty()
                                                                      : what == kind::none;
  }
};

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

namespace helper {
// Empties `out`, then appends each element of `array` as an unsigned 32-bit number, in order.
// A non-array has no elements (an object throws on indexing). True when `out` is not empty.
bool from_array(const Json::Value& array, std::vector<unsigned long>& out);
// Empties `out`; for an array appends (element "spid", `user`, low 8 bits of element "type")
// per element, in order. A non-array yields nothing. True when `out` is not empty.
bool from_array(const Json::Value& array, unsigned long user, std::vector<special>& out);
// Makes `out` an array of the low 32 bits of each id (an empty array for no ids). Always true.
bool to_array(const std::vector<unsigned long>& in, Json::Value& out);
bool to_array(const std::vector<int>& in, Json::Value& out);
}  // namespace helper

#endif  // NORVEL_PARSER_H_
