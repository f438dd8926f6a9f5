#include "protocol/value_conversion.h"

#include <cstdio>

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
