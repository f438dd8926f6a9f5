// The index's answers: a member's chain of inviters, an inviter's invitees.
#include <unordered_set>

#include "store/inviter_manager.h"
#include "store/inviter_shared.h"

using inviter_shared::inviter_key;

std::vector<int> inviter_manager::list(int member) const {
  std::vector<int> chain;
  if (member < 0 ||
      (static_cast<size_t>(member) >= table_bound && far_inviters.count(member) == 0)) {
    return chain;
  }
  std::unordered_set<int> seen{member};
  for (;;) {
    if (static_cast<size_t>(member) < table_bound) {
      member = inviter_of(static_cast<size_t>(member));
    } else {
      const auto far = far_inviters.find(member);
      if (far == far_inviters.end()) {
        return chain;  // recorded by add() beyond the table: nothing is known above it
      }
      member = far->second;
    }
    if (member <= 0 || !seen.insert(member).second) {
      return chain;
    }
    chain.push_back(member);
  }
}

std::vector<int> inviter_manager::invitees(int inviter) const {
  if (inviter < 0) {
    return {};
  }
  std::vector<int> out;
  const auto group = static_cast<size_t>(inviter);
  if (group + 1 < loaded_first.size()) {
    out.assign(loaded_invitees.begin() + loaded_first[group],
               loaded_invitees.begin() + loaded_first[group + 1]);
  }
  if (const invitee_list* added = invitee_map.find(inviter_key(inviter))) {
    const std::vector<int> later = added->members();
    out.insert(out.end(), later.begin(), later.end());
  }
  return out;
}
