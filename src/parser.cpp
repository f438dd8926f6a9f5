#include "parser.h"

#include <cstdio>
#include <stdexcept>

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

// The cursor is read signed and widened with its sign, so -1 means "from the very top".
unsigned long as_cursor(const Json::Value& value) {
  return static_cast<unsigned long>(static_cast<long>(value.asInt()));
}

Json::Value member_holding(const char* key, const Json::Value& ids) {
  Json::Value data(Json::objectValue);
  data[key] = ids;
  return data;
}

Json::Value ids_under(const char* key, const std::vector<unsigned long>& ids) {
  Json::Value array;
  helper::to_array(ids, array);
  return member_holding(key, array);
}

Json::Value ids_under(const char* key, const std::vector<int>& ids) {
  Json::Value array;
  helper::to_array(ids, array);
  return member_holding(key, array);
}

}  // namespace

parser::parser(const std::string& body) {
  Json::Reader reader;
  bool parsed = false;
  try {
    parsed = reader.parse(body, document, false);
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

  Json::Value reply(Json::objectValue);
  try {
    reply["code"] = 200;
    reply["data"] = dispatch(act, op);
  } catch (const std::exception& e) {
    log_event(log_debug, "exception:%s what=%s", "request", e.what());
    reply = Json::Value(Json::objectValue);
    reply["code"] = 0;
  }
  Json::FastWriter writer;
  return writer.write(reply);
}

Json::Value parser::dispatch(const std::string& act, const std::string& op) {
  const Json::Value& root = document;
  const Json::Value params = root["params"];
  if (act == "follow") {
    return dispatch_follow(op, params);
  }
  if (act == "inviter") {
    return dispatch_inviter(op, params);
  }
  if (act == "special") {
    return dispatch_special(op, params);
  }
  return Json::Value();  // an unknown action is not an error
}

Json::Value parser::dispatch_follow(const std::string& op, const Json::Value& params) {
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
    return Json::Value();
  }
  if (op == "fetch") {
    return ids_under("follows", store->fetch_follow(user));
  }
  throw std::logic_error("cannot find op:" + printable(op));
}

Json::Value parser::dispatch_inviter(const std::string& op, const Json::Value& params) {
  logic_center* store = singleton<logic_center>::instance();
  const int member = as_inviter_member(params["user_id"]);
  if (op == "add") {
    const int inviter = as_inviter_member(params["inviter_id"]);
    store->add_inviter(member, inviter);
    return Json::Value();
  }
  if (op == "list") {
    return ids_under("inviters", store->fetch_inviter(member));
  }
  if (op == "invitees") {
    return ids_under("invitees", store->fetch_invitees(member));
  }
  throw std::logic_error("act=inviter cannot find op:" + printable(op));
}

Json::Value parser::dispatch_special(const std::string& op, const Json::Value& params) {
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
    return Json::Value();
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
