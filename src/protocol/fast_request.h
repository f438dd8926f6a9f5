// The strict fast path of request parsing: reads, without building a JSON tree, a request body
// of exactly the shape clients send, and refuses everything else, which then goes to the general
// JSON path. What it accepts, it reads to exactly the values the general path would convert it
// to, so the reply and the store calls cannot differ; a differential fuzz target holds it to that.
//
// Accepted: one object holding at most once each "act" and "op" (strings of printable ASCII
// without escapes) and "params", an object holding at most once each of "user_id",
// "inviter_id", "count", "type" (integers 0 .. 4294967295), "special_id" (an integer
// -2147483648 .. 2147483647), "friends" (an array of such unsigned integers) and "specials" (an
// array of objects holding at most once each "spid" and "type", unsigned integers). Numbers are
// plain: no fraction, exponent, plus sign, leading zero or "-0". Blanks (space, tab, CR, LF) may
// stand between tokens and after the document; nothing else may follow it.
//
// Threads: pure; any thread. Ownership: `act` and `op` point into the body, which must outlive
// the fast_request.
#ifndef NORVEL_FAST_REQUEST_H_
#define NORVEL_FAST_REQUEST_H_

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

struct fast_request {
  struct item {
    std::uint32_t spid = 0;
    std::uint32_t type = 0;
  };

  std::string_view act;  // "" when absent, as the general path reads a missing member
  std::string_view op;
  // Parameters; an absent one reads as 0 or as an empty list.
  std::uint32_t user_id = 0;
  std::uint32_t inviter_id = 0;
  std::int32_t special_id = 0;
  std::uint32_t count = 0;
  std::uint32_t type = 0;
  std::vector<std::uint32_t> friends;
  std::vector<item> specials;
};

// Reads `size` bytes at `body` into `out`. False when the body is not of the accepted shape;
// `out` is then unspecified.
bool parse_fast_request(const char* body, std::size_t size, fast_request& out);

#endif  // NORVEL_FAST_REQUEST_H_
