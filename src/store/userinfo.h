// One member's record as a plain value: its follow list (the members its specials are delivered
// to) and its own specials, and `empty_user`, the follow list the store answers for an unknown
// member. The store keeps its members in its own compact tables (member_table of id_lists), not
// in records of this type. Owns both lists; one thread at a time.
#ifndef NORVEL_USERINFO_H_
#define NORVEL_USERINFO_H_

#include <vector>

#include "store/special.h"

class userinfo {
 public:
  explicit userinfo(unsigned long id) : member_id(id) {}

  // Ascending, no repeats.
  const std::vector<unsigned long>& follows() const { return follow_list; }
  // greater_special order, no repeated ids.
  const std::vector<special>& specials() const { return own_specials; }

  // Each argument must already be in the list's order and free of repeats. A union keeps the
  // stored entry on equal ids; a difference removes by id whatever the owner or reader type.
  void add_follows(std::vector<unsigned long>& ids);
  void del_follows(std::vector<unsigned long>& ids);
  void add_special(std::vector<special>& items);
  void del_special(std::vector<special>& items);

  unsigned long member_id;

 private:
  std::vector<unsigned long> follow_list;
  std::vector<special> own_specials;
};

// The follow list of a member the store has no record of. Alive for the whole run.
extern const std::vector<unsigned long> empty_user;

#endif  // NORVEL_USERINFO_H_
