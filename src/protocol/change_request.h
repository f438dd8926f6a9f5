// The change an "add" or "del" request asks for, converted by the same rules as when the request
// is answered: what the stream carries, and what a node applies from it. read_change_of() reads
// it over either parameter reader, in the order the operation itself reads its parameters, so a
// parameter that fails fails both alike.
// Threads: none of its own; a change is a value, moved to whoever applies it.
#ifndef NORVEL_CHANGE_REQUEST_H_
#define NORVEL_CHANGE_REQUEST_H_

#include <cstdint>
#include <string_view>
#include <vector>

#include "store/special.h"

struct change_request {
  enum class kind { none, add_follow, del_follow, add_special, del_special, add_inviter };
  kind what = kind::none;
  unsigned long user = 0;          // the follow and special changes' member
  std::vector<unsigned long> ids;  // the follow changes' members
  std::vector<special> items;      // the special changes' items
  int inviter_member = 0;          // add_inviter: who was invited
  int inviter = 0;                 // add_inviter: by whom
  std::int64_t stored_ns = 0;      // when the stream stored it (0: not from the stream)

  // A follow or special change with no member or item in it: answered, never published.
  bool empty() const {
    return (what == kind::add_follow || what == kind::del_follow)     ? ids.empty()
           : (what == kind::add_special || what == kind::del_special) ? items.empty()
                                                                      : what == kind::none;
  }
};

// Whether `act` and `op` name a change (an "add" or "del" of follow or special, an inviter "add").
inline bool names_a_change(std::string_view act, std::string_view op) {
  return ((act == "follow" || act == "special") && (op == "add" || op == "del")) ||
         (act == "inviter" && op == "add");
}

// The change behind an add or del into `out`; false for any other operation. Throws what the
// parameter reader throws for a value that does not convert.
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

#endif  // NORVEL_CHANGE_REQUEST_H_
