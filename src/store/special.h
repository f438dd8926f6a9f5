// The special record: a reference to one content item owned by a member, and the three orderings
// every list of specials is kept and searched by.
// A plain value, copied freely; no threads or ownership of its own.
#ifndef NORVEL_SPECIAL_H_
#define NORVEL_SPECIAL_H_

#include <vector>

// One content item reference. Orderings and matching look at special_id alone.
struct special {
  static constexpr unsigned long no_member = ~0UL;

  // A probe for searching a list: no owner, reader type 0.
  explicit special(unsigned long id) : special_id(id), member_id(no_member), reader_type(0) {}
  special(unsigned long id, unsigned long member, unsigned char type)
      : special_id(id), member_id(member), reader_type(type) {}

  unsigned long special_id;
  unsigned long member_id;
  unsigned char reader_type;  // 0 = public
};

// Compare special_id alone, as unsigned 64-bit numbers. Lists are held in greater_special order.
bool greater_special(const special& a, const special& b);
bool less_special(const special& a, const special& b);
bool equal_special(const special& a, const special& b);

namespace debug_helper {
// Logs the list at Debug, one line per entry, when the event log exists. Not on any serving path.
void print_specials(const std::vector<special>& items);
}  // namespace debug_helper

#endif  // NORVEL_SPECIAL_H_
