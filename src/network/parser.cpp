#include "network/parser.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <utility>

#include "metrics/metrics.h"
#include "network/fast_request.h"
#include "support/log.h"

namespace {

// The op as it may appear in a log record: control bytes are written as \xNN so that a client
// cannot break a record in two or forge one of its own.
std::string printable(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7f) {
      char escaped[5];
      std::snprintf(escaped, sizeof(escaped), "\\x%02x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

// Member ids of the inviter index are signed 32-bit with the same bits as the request's number.
int as_inviter_member(const Json::Value& value) { return static_cast<int>(value.asUInt()); }

logic_center::fetch_type as_fetch_type(const Json::Value& value) {
  return value.asUInt() == 0 ? logic_center::fetch_above : logic_center::fetch_below;
}

// The cursor is an id (unsigned 32-bit, like spid), or a negative number widened with its sign,
// so -1 means "from the very top". Numbers from 2^31 up are ids a client was given back and
// passes on as the next cursor; anything beyond 32 bits still fails the conversion.
unsigned long as_cursor(const Json::Value& value) {
  const bool past_signed = value.isDouble() ? value.asDouble() > 2147483647.0
                                            : value.isUInt64() && value.asUInt64() > 2147483647U;
  if (past_signed) {
    return value.asUInt();
  }
  return static_cast<unsigned long>(static_cast<long>(value.asInt()));
}

operation_result ids_under(const char* key, std::vector<unsigned long> ids) {
  operation_result result;
  result.key = key;
  result.ids = std::move(ids);
  return result;
}

// Inviter ids are signed; the reply writes their bits as an unsigned 32-bit number.
operation_result ids_under(const char* key, const std::vector<int>& ids) {
  operation_result result;
  result.key = key;
  result.ids.reserve(ids.size());
  for (int id : ids) {
    result.ids.push_back(static_cast<unsigned int>(id));
  }
  return result;
}

const char dispatched_prefix[] = "{\"code\":200,\"data\":";
const char failed_reply[] = "{\"code\":0}\n";
const char no_data_reply[] = "{\"code\":200,\"data\":null}\n";

// The request's parameters as the general path reads them: each member when the operation
// asks for it, converted by the JSON library's rules, which throw on a value of the wrong kind.
class json_params {
 public:
  explicit json_params(const Json::Value& document) : params(document["params"]) {}

  unsigned long user() const { return params["user_id"].asUInt(); }
  int inviter_member() const { return as_inviter_member(params["user_id"]); }
  int inviter() const { return as_inviter_member(params["inviter_id"]); }
  unsigned long cursor() const { return as_cursor(params["special_id"]); }
  unsigned long count() const { return params["count"].asUInt(); }
  logic_center::fetch_type direction() const { return as_fetch_type(params["type"]); }
  bool friends(std::vector<unsigned long>& out) const {
    return helper::from_array(params["friends"], out);
  }
  void specials(unsigned long user, std::vector<special>& out) const {
    helper::from_array(params["specials"], user, out);
  }

 private:
  const Json::Value& params;
};

// The same parameters read by the fast path: already converted, nothing left to fail.
class fast_params {
 public:
  explicit fast_params(const fast_request& request) : fast(request) {}

  unsigned long user() const { return fast.user_id; }
  int inviter_member() const { return static_cast<int>(fast.user_id); }
  int inviter() const { return static_cast<int>(fast.inviter_id); }
  unsigned long cursor() const { return static_cast<unsigned long>(long{fast.special_id}); }
  unsigned long count() const { return fast.count; }
  logic_center::fetch_type direction() const {
    return fast.type == 0 ? logic_center::fetch_above : logic_center::fetch_below;
  }
  bool friends(std::vector<unsigned long>& out) const {
    out.assign(fast.friends.begin(), fast.friends.end());
    return !out.empty();
  }
  void specials(unsigned long user, std::vector<special>& out) const {
    out.clear();
    out.reserve(fast.specials.size());
    for (const fast_request::item& item : fast.specials) {
      out.emplace_back(item.spid, user, static_cast<unsigned char>(item.type & 0xffU));
    }
  }

 private:
  const fast_request& fast;
};

// The one dispatch table, over either way of reading the parameters. Each operation reads its
// parameters in the order listed and calls the store only after all of them converted; an
// unknown operation of a known action throws, an unknown action answers no data.
template <typename Params>
operation_result run_follow(logic_center* store, std::string_view op, const Params& params) {
  const unsigned long user = params.user();
  if (op == "add" || op == "del") {
    std::vector<unsigned long> friends;
    if (params.friends(friends)) {
      if (op == "add") {
        store->add_follow(user, friends);
      } else {
        store->del_follow(user, friends);
      }
      operation_result queued;
      queued.queued_work = true;
      return queued;
    }
    return operation_result();
  }
  if (op == "fetch") {
    return ids_under("follows", store->fetch_follow(user));
  }
  throw std::logic_error("cannot find op:" + printable(op));
}

// The reply of an inviter add that waited for the database, as answer() would have written it
// then, counted and logged the same way.
void answer_inviter_add(const deferred_reply& later, const inviter_manager::add_outcome& outcome) {
  if (outcome.failed) {
    log_event(log_debug, "exception:%s what=%s", "request", outcome.why.c_str());
  }
  if (metrics::enabled()) {
    metrics::count_request(metrics::classify("inviter", "add"),
                           outcome.failed ? metrics::result_failed : metrics::result_ok);
  }
  later.complete(outcome.failed ? failed_reply : no_data_reply);
}

// An inviter add on a connection: answered now, or, while the inviter index waits for a
// database read, later; the connection's later requests wait unread behind it meanwhile, as
// they may read what it records. Without a connection that can wait, answered in the call.
operation_result add_inviter(logic_center& store, int member, int inviter,
                             request_context* context) {
  if (context == nullptr || !context->can_defer()) {
    store.add_inviter(member, inviter);
    return operation_result();
  }
  auto later = std::make_shared<deferred_reply>();
  inviter_manager::add_outcome outcome;
  if (store.add_inviter(member, inviter, outcome,
                        [later](const inviter_manager::add_outcome& done) {
                          answer_inviter_add(*later, done);
                        })) {
    if (outcome.failed) {
      throw std::logic_error(outcome.why);
    }
    return operation_result();
  }
  *later = context->defer_reply(later_requests::held);  // before the answer: it never comes inside
  operation_result deferred;
  deferred.deferred = true;
  return deferred;
}

template <typename Params>
operation_result run_inviter(logic_center* store, std::string_view op, const Params& params,
                             request_context* context) {
  const int member = params.inviter_member();
  if (op == "add") {
    const int inviter = params.inviter();
    return add_inviter(*store, member, inviter, context);
  }
  if (op == "list") {
    return ids_under("inviters", store->fetch_inviter(member));
  }
  if (op == "invitees") {
    return ids_under("invitees", store->fetch_invitees(member));
  }
  throw std::logic_error("act=inviter cannot find op:" + printable(op));
}

template <typename Params>
operation_result run_special(logic_center* store, std::string_view op, const Params& params) {
  if (op == "add" || op == "del") {
    const unsigned long user = params.user();
    std::vector<special> items;
    params.specials(user, items);
    if (op == "add") {
      store->add_special(user, items);
    } else {
      store->del_special(user, items);
    }
    operation_result queued;
    queued.queued_work = true;
    return queued;
  }
  if (op == "fetch_pub") {
    const unsigned long cursor = params.cursor();
    const unsigned long count = params.count();
    const logic_center::fetch_type direction = params.direction();
    return ids_under("specials", store->fetch_pub_specials(cursor, count, direction));
  }
  if (op == "fetch_pri" || op == "fetch_self") {
    const unsigned long user = params.user();
    const unsigned long cursor = params.cursor();
    const unsigned long count = params.count();
    const logic_center::fetch_type direction = params.direction();
    if (op == "fetch_pri") {
      return ids_under("specials", store->fetch_pri_specials(user, cursor, count, direction));
    }
    return ids_under("specials", store->fetch_self_specials(user, cursor, count, direction));
  }
  throw std::logic_error("cannot find op:" + printable(op));
}

template <typename Params>
operation_result run_operation(logic_center* store, std::string_view act, std::string_view op,
                               const Params& params, request_context* context) {
  if (store == nullptr) {
    throw std::logic_error("no store to run the request on");
  }
  if (act == "follow") {
    return run_follow(store, op, params);
  }
  if (act == "inviter") {
    return run_inviter(store, op, params, context);
  }
  if (act == "special") {
    return run_special(store, op, params);
  }
  return operation_result();  // an unknown action is not an error
}

// The change behind an add or del, read in the order the operation reads its parameters.
template <typename Params>
bool read_change_of(std::string_view act, std::string_view op, const Params& params,
                    change_request& out) {
  const bool adding = op == "add";
  if (!adding && op != "del") {
    return false;
  }
  if (act == "follow") {
    out.user = params.user();
    params.friends(out.ids);
    out.what = adding ? change_request::kind::add_follow : change_request::kind::del_follow;
    return true;
  }
  if (act == "special") {
    out.user = params.user();
    params.specials(out.user, out.items);
    out.what = adding ? change_request::kind::add_special : change_request::kind::del_special;
    return true;
  }
  if (act == "inviter" && adding) {
    out.inviter_member = params.inviter_member();
    out.inviter = params.inviter();
    out.what = change_request::kind::add_inviter;
    return true;
  }
  return false;
}

}  // namespace

parser::parser(const std::string& body, logic_center& on, parse_path path) : parser(body, path) {
  store = &on;
}

parser::parser(const std::string& body, parse_path path) {
  if (path == parse_path::any && parse_fast_request(body.data(), body.size(), fast)) {
    is_fast = true;
    return;
  }
  Json::Reader reader;
  bool parsed = false;
  try {
    // Parsed in place: the std::string overload would first copy the whole body.
    parsed = reader.parse(body.data(), body.data() + body.size(), document, false);
  } catch (const std::exception&) {
    // The reader gives up on documents nested too deeply by throwing; that is unparsable too.
    parsed = false;
  }
  if (!parsed) {
    throw std::logic_error("cannot parse body to json");
  }
}

std::string parser::request() {
  std::string reply;
  request(reply);
  return reply;
}

void parser::request(std::string& reply, request_context& on) {
  context = &on;
  request(reply);
  context = nullptr;
}

void parser::request(std::string& reply) {
  if (is_fast) {
    answer(fast.act, fast.op, reply);
    return;
  }
  // Read outside the handling below on purpose: a document that is not an object (or null), or
  // an act/op that is not text, is not a request at all and ends the connection.
  const Json::Value& root = document;
  const std::string act = root["act"].asString();
  const std::string op = root["op"].asString();
  answer(act, op, reply);
}

void parser::answer(std::string_view act, std::string_view op, std::string& reply) {
  metrics::request_result outcome = metrics::result_ok;
  const std::size_t start = reply.size();
  try {
    const operation_result result = run(act, op);
    queued = result.queued_work;
    if (result.deferred) {
      return;  // answered, counted and logged when the reply is given
    }
    result.render_reply(reply);
  } catch (const std::exception& e) {
    log_event(log_debug, "exception:%s what=%s", "request", e.what());
    reply.resize(start);
    reply += failed_reply;
    outcome = metrics::result_failed;
  }
  if (metrics::enabled()) {
    metrics::count_request(metrics::classify(act, op), outcome);
  }
}

bool parser::names_change() const {
  auto is_change = [](std::string_view act, std::string_view op) {
    return ((act == "follow" || act == "special") && (op == "add" || op == "del")) ||
           (act == "inviter" && op == "add");
  };
  if (is_fast) {
    return is_change(fast.act, fast.op);
  }
  const std::string act = document["act"].asString();
  const std::string op = document["op"].asString();
  return is_change(act, op);
}

bool parser::read_change(change_request& out) {
  out = change_request();
  if (is_fast) {
    return read_change_of(fast.act, fast.op, fast_params(fast), out);
  }
  const Json::Value& root = document;
  const std::string act = root["act"].asString();
  const std::string op = root["op"].asString();
  return read_change_of(act, op, json_params(root), out);
}

Json::Value parser::dispatch(const std::string& act, const std::string& op) {
  return run(act, op).to_json();
}

operation_result parser::run(std::string_view act, std::string_view op) {
  if (is_fast) {
    return run_operation(store, act, op, fast_params(fast), context);
  }
  const Json::Value& root = document;
  return run_operation(store, act, op, json_params(root), context);
}

Json::Value operation_result::to_json() const {
  if (key == nullptr) {
    return Json::Value();
  }
  Json::Value array(Json::arrayValue);
  for (unsigned long id : ids) {
    array.append(Json::Value(static_cast<Json::UInt>(id & 0xffffffffUL)));
  }
  Json::Value data(Json::objectValue);
  data[key] = std::move(array);
  return data;
}

void operation_result::render_reply(std::string& out) const {
  if (key == nullptr) {
    out += dispatched_prefix;
    out += "null}\n";
    return;
  }
  // Sized for the longest text first, then written in place: an id takes at most 10 digits.
  const size_t start = out.size();
  const size_t key_size = std::strlen(key);  // one of a few fixed names, nothing to escape
  out.resize(start + sizeof(dispatched_prefix) + key_size + 10 + 11 * ids.size());
  char* at = &out[start];
  at = std::copy_n(dispatched_prefix, sizeof(dispatched_prefix) - 1, at);
  at = std::copy_n("{\"", 2, at);
  at = std::copy_n(key, key_size, at);
  at = std::copy_n("\":[", 3, at);
  for (size_t i = 0; i < ids.size(); ++i) {
    if (i != 0) {
      *at++ = ',';
    }
    at = std::to_chars(at, at + 10, static_cast<std::uint32_t>(ids[i] & 0xffffffffUL)).ptr;
  }
  at = std::copy_n("]}}\n", 4, at);
  out.resize(static_cast<size_t>(at - out.data()));
}

namespace helper {

bool from_array(const Json::Value& array, std::vector<unsigned long>& out) {
  out.clear();
  for (Json::ArrayIndex i = 0; i < array.size(); ++i) {
    out.push_back(array[i].asUInt());
  }
  return !out.empty();
}

bool from_array(const Json::Value& array, unsigned long user, std::vector<special>& out) {
  out.clear();
  if (!array.isArray()) {
    return !out.empty();
  }
  for (Json::ArrayIndex i = 0; i < array.size(); ++i) {
    const Json::Value& element = array[i];
    const unsigned long id = element["spid"].asUInt();
    const unsigned char reader_type = static_cast<unsigned char>(element["type"].asUInt() & 0xffU);
    out.emplace_back(id, user, reader_type);
  }
  return !out.empty();
}

bool to_array(const std::vector<unsigned long>& in, Json::Value& out) {
  out = Json::Value(Json::arrayValue);
  for (unsigned long id : in) {
    out.append(Json::Value(static_cast<Json::UInt>(id & 0xffffffffUL)));
  }
  return true;
}

bool to_array(const std::vector<int>& in, Json::Value& out) {
  out = Json::Value(Json::arrayValue);
  for (int id : in) {
    out.append(Json::Value(static_cast<Json::UInt>(static_cast<unsigned int>(id))));
  }
  return true;
}

}  // namespace helper
