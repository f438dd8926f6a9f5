// Request bodies the stream tests send to nodes or publish to the stream, and the replies they
// expect, written once: the changes (follow, special and inviter adds and deletions) and the
// fetches of every list. Header-only; pure functions, any thread.
#ifndef NORVEL_TESTS_CHANGE_REQUESTS_H_
#define NORVEL_TESTS_CHANGE_REQUESTS_H_

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
