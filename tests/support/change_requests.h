// Request bodies the stream tests send to nodes or publish to the stream, and the replies they
// expect, written once: the changes (follow, special and inviter adds and deletions) and the
// fetches of every list. Header-only; pure functions, any thread.
#ifndef NORVEL_TESTS_CHANGE_REQUESTS_H_
#define NORVEL_TESTS_CHANGE_REQUESTS_H_

#include <map>
#include <random>
#include <string>
#include <vector>

#include "store/special.h"

namespace requests {

inline std::string id_list(const std::vector<unsigned long>& ids) {
  std::string list;
  for (unsigned long id : ids) {
    list += (list.empty() ? "" : ",") + std::to_string(id);
  }
  return list;
}

inline std::string follow_change(bool add, unsigned long user,
                                 const std::vector<unsigned long>& friends) {
  return std::string(R"({"act":"follow","op":")") + (add ? "add" : "del") +
         R"(","params":{"user_id":)" + std::to_string(user) + R"(,"friends":[)" + id_list(friends) +
         "]}}";
}

inline std::string special_change(bool add, unsigned long user, const std::vector<special>& items) {
  std::string list;
  for (const special& item : items) {
    list += (list.empty() ? "" : ",") + std::string(R"({"spid":)") +
            std::to_string(item.special_id) + R"(,"type":)" + std::to_string(item.reader_type) +
            "}";
  }
  return std::string(R"({"act":"special","op":")") + (add ? "add" : "del") +
         R"(","params":{"user_id":)" + std::to_string(user) + R"(,"specials":[)" + list + "]}}";
}

// One public special added by `user`.
inline std::string special_add(unsigned long user, unsigned long spid) {
  return special_change(true, user, {special(spid, user, 0)});
}

inline std::string inviter_add(unsigned long user, unsigned long inviter) {
  return R"({"act":"inviter","op":"add","params":{"user_id":)" + std::to_string(user) +
         R"(,"inviter_id":)" + std::to_string(inviter) + "}}";
}

// A random change over `members` members and special ids 1..40, so that changes of different
// members meet in the public list and in feeds: a follow add or del of 1 to 3 friends one time in
// ten, else a special add (three times in four) or del of 1 to 3 ids, every fourth id private.
inline std::string random_change(std::mt19937_64& random, unsigned long members) {
  auto pick = [&random](unsigned long low, unsigned long high) {
    return std::uniform_int_distribution<unsigned long>(low, high)(random);
  };
  const unsigned long user = pick(1, members);
  const bool add = pick(0, 3) != 0;
  if (pick(0, 9) == 0) {
    std::vector<unsigned long> friends;
    for (unsigned long n = pick(1, 3); n > 0; --n) {
      friends.push_back(pick(1, members));
    }
    return follow_change(add, user, friends);
  }
  std::map<unsigned long, unsigned char> chosen;
  for (unsigned long n = pick(1, 3); n > 0; --n) {
    const unsigned long id = pick(1, 40);
    chosen.emplace(id, static_cast<unsigned char>(id % 4 == 0 ? 1 : 0));
  }
  std::vector<special> items;
  for (const auto& [id, type] : chosen) {
    items.emplace_back(id, user, type);
  }
  return special_change(add, user, items);
}

// The newest `count` ids of a member's own specials, private feed, or the public list.
inline std::string fetch_self(unsigned long user, unsigned long count = 100) {
  return R"({"act":"special","op":"fetch_self","params":{"user_id":)" + std::to_string(user) +
         R"(,"special_id":-1,"count":)" + std::to_string(count) + R"(,"type":1}})";
}
inline std::string fetch_pri(unsigned long user, unsigned long count = 100) {
  return R"({"act":"special","op":"fetch_pri","params":{"user_id":)" + std::to_string(user) +
         R"(,"special_id":-1,"count":)" + std::to_string(count) + R"(,"type":1}})";
}
inline std::string fetch_pub(unsigned long count = 100) {
  return R"({"act":"special","op":"fetch_pub","params":{"special_id":-1,"count":)" +
         std::to_string(count) + R"(,"type":1}})";
}
inline std::string fetch_follow(unsigned long user) {
  return R"({"act":"follow","op":"fetch","params":{"user_id":)" + std::to_string(user) + "}}";
}
inline std::string fetch_invitees(unsigned long user) {
  return R"({"act":"inviter","op":"invitees","params":{"user_id":)" + std::to_string(user) + "}}";
}

// The replies to those fetches.
inline std::string ids_reply(const char* key, const std::vector<unsigned long>& ids) {
  return std::string(R"({"code":200,"data":{")") + key + R"(":[)" + id_list(ids) + "]}}\n";
}
inline std::string specials_reply(const std::string& ids) {
  return R"({"code":200,"data":{"specials":[)" + ids + "]}}\n";
}

}  // namespace requests

#endif  // NORVEL_TESTS_CHANGE_REQUESTS_H_
