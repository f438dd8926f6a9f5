#include "protocol/operation_result.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <utility>

operation_result ids_under(const char* key, std::vector<unsigned long> ids) {
  operation_result result;
  result.key = key;
  result.ids = std::move(ids);
  return result;
}

operation_result ids_under(const char* key, const std::vector<int>& ids) {
  operation_result result;
  result.key = key;
  result.ids.reserve(ids.size());
  for (int id : ids) {
    result.ids.push_back(static_cast<unsigned int>(id));
  }
  return result;
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
  using reply_text::dispatched_prefix;
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
