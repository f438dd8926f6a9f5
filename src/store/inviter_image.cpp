// The inviter index as values and back, for snapshots. The image holds each inviter's whole
// list in recorded order, whether the load grouped it or it was added since; a restore groups
// every list of an inviter up to the highest member id the way a load does, and keeps the rest
// (negative ids, ids beyond it) in the invitee table.
#include <algorithm>
#include <climits>

#include "store/inviter_manager.h"

inviter_manager::image inviter_manager::save_image() const {
  image out;
  out.max_user_id = max_user_id;
  out.table_size = table_bound;
  for (size_t member = 0; member < inviter_table.size(); ++member) {
    if (inviter_table[member] != 0) {
      out.links.emplace_back(static_cast<int>(member), inviter_table[member]);
    }
  }
  out.far_links.assign(far_inviters.begin(), far_inviters.end());
  const size_t groups = loaded_first.empty() ? 0 : loaded_first.size() - 1;
  const auto grouped = [&](long inviter) {
    return inviter >= 0 && static_cast<size_t>(inviter) < groups &&
           loaded_first[static_cast<size_t>(inviter)] !=
               loaded_first[static_cast<size_t>(inviter) + 1];
  };
  const auto append = [&out](int inviter, const std::vector<int>& members) {
    out.inviter_keys.push_back(inviter);
    out.invitee_counts.push_back(static_cast<uint32_t>(members.size()));
    out.invitees.insert(out.invitees.end(), members.begin(), members.end());
  };
  for (size_t inviter = 0; inviter < groups; ++inviter) {
    if (grouped(static_cast<long>(inviter))) {
      append(static_cast<int>(inviter), invitees(static_cast<int>(inviter)));
    }
  }
  invitee_map.for_each([&](unsigned long key, const invitee_list& members) {
    const long inviter = static_cast<long>(key);
    if (!grouped(inviter)) {
      append(static_cast<int>(inviter), members.members());
    }
  });
  return out;
}

bool inviter_manager::restore_image(image&& index) {
  reset_index();
  size_t listed = 0;
  for (uint32_t count : index.invitee_counts) {
    listed += count;
  }
  bool sound = index.inviter_keys.size() == index.invitee_counts.size() &&
               listed == index.invitees.size() &&
               index.table_size <= static_cast<uint64_t>(INT_MAX) + 1 && index.max_user_id >= 0;
  size_t highest_member = 0;
  for (const std::pair<int, int>& link : index.links) {
    sound = sound && link.first >= 0 && static_cast<uint64_t>(link.first) < index.table_size;
    highest_member = std::max(highest_member, static_cast<size_t>(std::max(link.first, 0)));
  }
  if (!sound) {
    return false;
  }
  max_user_id = index.max_user_id;
  inviter_table.reserve(index.links.empty() ? 0 : highest_member + 1);
  for (const std::pair<int, int>& link : index.links) {
    set_inviter(static_cast<size_t>(link.first), link.second);
  }
  table_bound = static_cast<size_t>(index.table_size);
  far_inviters = std::map<int, int>(index.far_links.begin(), index.far_links.end());

  // Inviters from 0 to the highest member id are grouped, as a load groups them.
  const auto groupable = [this](int inviter) { return inviter >= 0 && inviter <= max_user_id; };
  const size_t groups = static_cast<size_t>(max_user_id) + 1;
  loaded_first.assign(groups + 1, 0);
  for (size_t i = 0; i < index.inviter_keys.size(); ++i) {
    if (groupable(index.inviter_keys[i])) {
      loaded_first[static_cast<size_t>(index.inviter_keys[i]) + 1] += index.invitee_counts[i];
    }
  }
  for (size_t i = 1; i < loaded_first.size(); ++i) {
    loaded_first[i] += loaded_first[i - 1];
  }
  loaded_invitees.resize(loaded_first.back());
  std::vector<uint32_t> next_place(loaded_first.begin(), loaded_first.end() - 1);
  const int* member = index.invitees.data();
  for (size_t i = 0; i < index.inviter_keys.size(); ++i) {
    const int inviter = index.inviter_keys[i];
    for (uint32_t n = 0; n < index.invitee_counts[i]; ++n, ++member) {
      if (groupable(inviter)) {
        loaded_invitees[next_place[static_cast<size_t>(inviter)]++] = *member;
      } else {
        add_invitee(inviter, *member);
      }
    }
  }
  recount_bytes();
  return true;
}
