#include "protocol/fast_request.h"

#include <cstring>

namespace {

// A cursor over the body. Every read either advances past what it accepted and answers true, or
// answers false; the caller then gives up on the whole body.
class reader {
 public:
  reader(const char* begin, std::size_t size) : at(begin), end(begin + size) {}

  void skip_blanks() {
    while (at != end && (*at == ' ' || *at == '\t' || *at == '\r' || *at == '\n')) {
      ++at;
    }
  }

  // `c` after optional blanks.
  bool take(char c) {
    skip_blanks();
    if (at == end || *at != c) {
      return false;
    }
    ++at;
    return true;
  }

  // True, having consumed it, when `c` comes next after blanks.
  bool next_is(char c) {
    skip_blanks();
    if (at != end && *at == c) {
      ++at;
      return true;
    }
    return false;
  }

  // A string of printable ASCII without escapes.
  bool string(std::string_view& out) {
    if (!take('"')) {
      return false;
    }
    const char* start = at;
    while (at != end && *at != '"') {
      const unsigned char c = static_cast<unsigned char>(*at);
      if (c < 0x20 || c > 0x7e || c == '\\') {
        return false;
      }
      ++at;
    }
    if (at == end) {
      return false;
    }
    out = std::string_view(start, static_cast<std::size_t>(at - start));
    ++at;
    return true;
  }

  // A plain integer: digits without a leading zero (but "0"), an optional minus sign when
  // `allow_minus`, never "-0", followed by a delimiter. Its magnitude must not exceed `limit`.
  bool integer(bool allow_minus, std::uint64_t limit, bool& negative, std::uint64_t& magnitude) {
    skip_blanks();
    negative = false;
    if (allow_minus && at != end && *at == '-') {
      negative = true;
      ++at;
    }
    const char* start = at;
    std::uint64_t value = 0;
    while (at != end && *at >= '0' && *at <= '9') {
      value = value * 10 + static_cast<std::uint64_t>(*at - '0');
      ++at;
      if (at - start > 10) {
        return false;
      }
    }
    const std::size_t digits = static_cast<std::size_t>(at - start);
    if (digits == 0 || (digits > 1 && *start == '0') || (negative && value == 0) || value > limit) {
      return false;
    }
    // A fraction, an exponent or any other glued text makes it something else.
    if (at != end && *at != ',' && *at != '}' && *at != ']' && *at != ' ' && *at != '\t' &&
        *at != '\r' && *at != '\n') {
      return false;
    }
    magnitude = value;
    return true;
  }

  bool unsigned32(std::uint32_t& out) {
    bool negative = false;
    std::uint64_t value = 0;
    if (!integer(false, 0xffffffffULL, negative, value)) {
      return false;
    }
    out = static_cast<std::uint32_t>(value);
    return true;
  }

  bool signed32(std::int32_t& out) {
    bool negative = false;
    std::uint64_t value = 0;
    if (!integer(true, 0x80000000ULL, negative, value)) {
      return false;
    }
    if (!negative && value > 0x7fffffffULL) {
      return false;
    }
    out = negative ? static_cast<std::int32_t>(-static_cast<std::int64_t>(value))
                   : static_cast<std::int32_t>(value);
    return true;
  }

  bool at_end() {
    skip_blanks();
    return at == end;
  }

 private:
  const char* at;
  const char* end;
};

// Calls `member(key)` for each member of an object, with the reader just past the colon.
// Answers false on a malformed object or when `member` refuses.
template <typename Member>
bool object(reader& in, Member member) {
  if (!in.take('{')) {
    return false;
  }
  if (in.next_is('}')) {
    return true;
  }
  do {
    std::string_view key;
    if (!in.string(key) || !in.take(':') || !member(key)) {
      return false;
    }
  } while (in.next_is(','));
  return in.take('}');
}

// Calls `element()` for each element of an array, with the reader at the element.
template <typename Element>
bool array(reader& in, Element element) {
  if (!in.take('[')) {
    return false;
  }
  if (in.next_is(']')) {
    return true;
  }
  do {
    if (!element()) {
      return false;
    }
  } while (in.next_is(','));
  return in.take(']');
}

// Answers false for the second sighting of a key: bit `which` of `seen` records the first.
bool first_time(unsigned& seen, unsigned which) {
  if ((seen & (1U << which)) != 0) {
    return false;
  }
  seen |= 1U << which;
  return true;
}

bool special_item(reader& in, fast_request::item& out) {
  unsigned seen = 0;
  return object(in, [&](std::string_view key) {
    if (key == "spid") {
      return first_time(seen, 0) && in.unsigned32(out.spid);
    }
    if (key == "type") {
      return first_time(seen, 1) && in.unsigned32(out.type);
    }
    return false;
  });
}

bool params(reader& in, fast_request& out) {
  unsigned seen = 0;
  return object(in, [&](std::string_view key) {
    if (key == "user_id") {
      return first_time(seen, 0) && in.unsigned32(out.user_id);
    }
    if (key == "special_id") {
      return first_time(seen, 1) && in.signed32(out.special_id);
    }
    if (key == "count") {
      return first_time(seen, 2) && in.unsigned32(out.count);
    }
    if (key == "type") {
      return first_time(seen, 3) && in.unsigned32(out.type);
    }
    if (key == "inviter_id") {
      return first_time(seen, 4) && in.unsigned32(out.inviter_id);
    }
    if (key == "friends") {
      return first_time(seen, 5) && array(in, [&] {
               std::uint32_t id = 0;
               if (!in.unsigned32(id)) {
                 return false;
               }
               out.friends.push_back(id);
               return true;
             });
    }
    if (key == "specials") {
      return first_time(seen, 6) && array(in, [&] {
               out.specials.emplace_back();
               return special_item(in, out.specials.back());
             });
    }
    return false;
  });
}

}  // namespace

bool parse_fast_request(const char* body, std::size_t size, fast_request& out) {
  reader in(body, size);
  unsigned seen = 0;
  const bool shaped = object(in, [&](std::string_view key) {
    if (key == "act") {
      return first_time(seen, 0) && in.string(out.act);
    }
    if (key == "op") {
      return first_time(seen, 1) && in.string(out.op);
    }
    if (key == "params") {
      return first_time(seen, 2) && params(in, out);
    }
    return false;
  });
  return shaped && in.at_end();
}
