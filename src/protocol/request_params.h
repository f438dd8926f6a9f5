// The two readers of a request's parameters that the operation table runs over: the general one
// over the JSON document (each member converted when the operation asks for it, by the JSON
// library's rules, which throw on a value of the wrong kind), and the fast one over a request the
// strict reader has already converted (nothing left to fail). Both answer the same values for a
// request both can read; the differential tests and fuzzer hold them to it.
// Threads: none of their own; each lives for one request and refers to what it reads.
#ifndef NORVEL_REQUEST_PARAMS_H_
#define NORVEL_REQUEST_PARAMS_H_

#include <vector>

#include <json/json.h>

#include "protocol/fast_request.h"
#include "protocol/value_conversion.h"
#include "store/logic_center.h"
#include "store/special.h"

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

#endif  // NORVEL_REQUEST_PARAMS_H_
