#include "parser.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "log.h"
#include "object_manager.h"

namespace {

// The op as it may appear in a log record: control bytes are written as \xNN so that a client
// cannot break a record in two or forge one of its own.
std::string printable(const std::string& text) {
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

}  // namespace

parser::parser(const std::string& body) {
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
  // Read outside the handling below on purpose: a document that is not an object (or null), or
  // an act/op that is not text, is not a request at all and ends the connection.
  const Json::Value& root = document;
  const std::string act = root["act"].asString();
  const std::string op = root["op"].asString();

  std::string reply;
  try {
    const operation_result result = run(act, op);
    result.render_reply(reply);
  } catch (const std::exception& e) {
    log_event(log_debug, "exception:%s what=%s", "request", e.what());
    reply = failed_reply;
  }
  return reply;
}

Json::Value parser::dispatch(const std::string& act, const std::string& op) {
  return run(act, op).to_json();
}

operation_result parser::run(const std::string& act, const std::string& op) {
  const Json::Value& root = document;
  const Json::Value& params = root["params"];
  if (act == "follow") {
    return run_follow(op, params);
  }
  if (act == "inviter") {
    return run_inviter(op, params);
  }
  if (act == "special") {
    return run_special(op, params);
  }
  return operation_result();  // an unknown action is not an error
}

operation_result parser::run_follow(const std::string& op, const Json::Value& params) {
  logic_center* store = singleton<logic_center>::instance();
  const unsigned long user = params["user_id"].asUInt();
  if (op == "add" || op == "del") {
    std::vector<unsigned long> friends;
    if (helper::from_array(params["friends"], friends)) {
      if (op == "add") {
        store->add_follow(user, friends);
      } else {
        store->del_follow(user, friends);
      }
    }
    return operation_result();
  }
  if (op == "fetch") {
    return ids_under("follows", store->fetch_follow(user));
  }
  throw std::logic_error("cannot find op:" + printable(op));
}

operation_result parser::run_inviter(const std::string& op, const Json::Value& params) {
  logic_center* store = singleton<logic_center>::instance();
  const int member = as_inviter_member(params["user_id"]);
  if (op == "add") {
    const int inviter = as_inviter_member(params["inviter_id"]);
    store->add_inviter(member, inviter);
    return operation_result();
  }
  if (op == "list") {
    return ids_under("inviters", store->fetch_inviter(member));
  }
  if (op == "invitees") {
    return ids_under("invitees", store->fetch_invitees(member));
  }
  throw std::logic_error("act=inviter cannot find op:" + printable(op));
}

operation_result parser::run_special(const std::string& op, const Json::Value& params) {
  logic_center* store = singleton<logic_center>::instance();
  if (op == "add" || op == "del") {
    const unsigned long user = params["user_id"].asUInt();
    std::vector<special> items;
    helper::from_array(params["specials"], user, items);
    if (op == "add") {
      store->add_special(user, items);
    } else {
      store->del_special(user, items);
    }
    return operation_result();
  }
  if (op == "fetch_pub") {
    const unsigned long cursor = as_cursor(params["special_id"]);
    const unsigned long count = params["count"].asUInt();
    const logic_center::fetch_type direction = as_fetch_type(params["type"]);
    return ids_under("specials", store->fetch_pub_specials(cursor, count, direction));
  }
  if (op == "fetch_pri" || op == "fetch_self") {
    const unsigned long user = params["user_id"].asUInt();
    const unsigned long cursor = as_cursor(params["special_id"]);
    const unsigned long count = params["count"].asUInt();
    const logic_center::fetch_type direction = as_fetch_type(params["type"]);
    if (op == "fetch_pri") {
      return ids_under("specials", store->fetch_pri_specials(user, cursor, count, direction));
    }
    return ids_under("specials", store->fetch_self_specials(user, cursor, count, direction));
  }
  throw std::logic_error("cannot find op:" + printable(op));
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
