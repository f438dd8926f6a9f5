// The request's values converted to the store's types, by the JSON library's rules: a number of
// the wrong sign or size, a string, array or object where a number is expected throws
// (std::logic_error's kin, from the library), a missing member or null reads as 0, true and
// false as 1 and 0, a fraction is truncated. Also the op as it may be written to the event log.
// Threads: none of its own; pure functions.
#ifndef NORVEL_VALUE_CONVERSION_H_
#define NORVEL_VALUE_CONVERSION_H_

#include <string>
#include <string_view>
#include <vector>

#include <json/json.h>

#include "store/logic_center.h"
#include "store/special.h"

// The op as it may appear in a log record: control bytes are written as \xNN so that a client
// cannot break a record in two or forge one of its own.
std::string printable(std::string_view text);

// Member ids of the inviter index are signed 32-bit with the same bits as the request's number.
inline int as_inviter_member(const Json::Value& value) {
  return static_cast<int>(value.asUInt());
}

inline logic_center::fetch_type as_fetch_type(const Json::Value& value) {
  return value.asUInt() == 0 ? logic_center::fetch_above : logic_center::fetch_below;
}

// The cursor is an id (unsigned 32-bit, like spid), or a negative number widened with its sign,
// so -1 means "from the very top". Numbers from 2^31 up are ids a client was given back and
// passes on as the next cursor; anything beyond 32 bits still fails the conversion.
inline unsigned long as_cursor(const Json::Value& value) {
  const bool past_signed = value.isDouble() ? value.asDouble() > 2147483647.0
                                            : value.isUInt64() && value.asUInt64() > 2147483647U;
  if (past_signed) {
    return value.asUInt();
  }
  return static_cast<unsigned long>(static_cast<long>(value.asInt()));
}

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

#endif  // NORVEL_VALUE_CONVERSION_H_
