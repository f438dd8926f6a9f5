// Fuzzes the conversion of request parameters: the first byte of an input picks an action and
// operation, the rest is the JSON text of "params". The request goes through the parser into the
// real store. Checked for every input whose text parses:
// - request() answers and never throws (the document is an object with text "act" and "op");
// - the reply is an object with "code" 200 or 0, and only a 200 carries "data";
// - a known action with "params" that is neither an object nor null answers 0;
// - for the reads (which take scalars only), the reply is 200 exactly when every parameter the
//   operation reads converts to its type, and 0 otherwise;
// - a fetch of specials answers at most "count" ids.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <json/json.h>

#include "fuzz_store.h"
#include "protocol/parser.h"

namespace {

struct parameter {
  const char* key;
  Json::ValueType type;  // uintValue or intValue: what the operation converts it to
};

struct operation {
  const char* act;
  const char* op;
  bool scalar_read;  // reads scalar parameters only, and never reaches the database
  std::vector<parameter> reads;
};

const std::vector<operation>& operations() {
  static const std::vector<operation> table = {
      {"follow", "add", false, {}},
      {"follow", "del", false, {}},
      {"follow", "fetch", true, {{"user_id", Json::uintValue}}},
      {"follow", "remove", false, {}},
      {"inviter", "add", false, {}},
      {"inviter", "list", true, {{"user_id", Json::uintValue}}},
      {"inviter", "invitees", true, {{"user_id", Json::uintValue}}},
      {"inviter", "nothing", false, {}},
      {"special", "add", false, {}},
      {"special", "del", false, {}},
      {"special",
       "fetch_pub",
       true,
       {{"special_id", Json::intValue}, {"count", Json::uintValue}, {"type", Json::uintValue}}},
      {"special",
       "fetch_pri",
       true,
       {{"user_id", Json::uintValue},
        {"special_id", Json::intValue},
        {"count", Json::uintValue},
        {"type", Json::uintValue}}},
      {"special",
       "fetch_self",
       true,
       {{"user_id", Json::uintValue},
        {"special_id", Json::intValue},
        {"count", Json::uintValue},
        {"type", Json::uintValue}}},
      {"special", "fetch", false, {}},
      {"nothing", "add", false, {}},
  };
  return table;
}

void fail(const char* what, const std::string& request, const std::string& reply) {
  std::fprintf(stderr, "request_fuzz: %s\nrequest: %s\nreply: %s\n", what, request.c_str(),
               reply.c_str());
  std::abort();
}

// The paging cursor is a signed 32-bit number that also takes the ids from 2^31 to 2^32-1.
bool is_cursor(const parameter& read) {
  return std::string(read.key) == "special_id";
}

bool converts(const Json::Value& params, const operation& op) {
  for (const parameter& read : op.reads) {
    const Json::Value& value = params[read.key];
    const bool ok = value.isConvertibleTo(read.type) ||
                    (is_cursor(read) && value.isConvertibleTo(Json::uintValue));
    if (!ok) {
      return false;
    }
  }
  return true;
}

bool is_known_action(const std::string& act) {
  return act == "follow" || act == "inviter" || act == "special";
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
  const operation& op = operations()[data[0] % operations().size()];
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);

  Json::Value params;
  Json::Reader reader;
  if (!reader.parse(text, params, false)) {
    return 0;  // not JSON: the frame fuzzer covers bodies that do not parse
  }
  Json::Value request(Json::objectValue);
  request["act"] = op.act;
  request["op"] = op.op;
  request["params"] = params;
  const std::string body = Json::FastWriter().write(request);

  const std::string reply_text =
      parser(body, *singleton<logic_center>::instance()).request();  // must not throw
  Json::Value reply;
  if (!reader.parse(reply_text, reply, false) || !reply.isObject() || !reply["code"].isInt()) {
    fail("reply is not an object with a code", body, reply_text);
  }
  const int code = reply["code"].asInt();
  if (code != 200 && code != 0) {
    fail("code is neither 200 nor 0", body, reply_text);
  }
  if (code == 0 && reply.isMember("data")) {
    fail("failed reply carries data", body, reply_text);
  }
  const bool params_usable = params.isObject() || params.isNull();
  if (is_known_action(op.act) && !params_usable && code != 0) {
    fail("params that are not an object were accepted", body, reply_text);
  }
  if (!op.scalar_read || !params_usable) {
    return 0;
  }
  if ((code == 200) != converts(params, op)) {
    fail(code == 200 ? "a parameter that does not convert was accepted"
                     : "parameters that convert were refused",
         body, reply_text);
  }
  if (code == 200 && params.isMember("count") && reply["data"].isMember("specials")) {
    const Json::ArrayIndex count = params["count"].asUInt();
    if (reply["data"]["specials"].size() > count) {
      fail("more specials than asked for", body, reply_text);
    }
  }
  return 0;
}
