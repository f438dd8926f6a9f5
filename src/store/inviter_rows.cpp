// Rows recorded: a loaded row checked against the table's bounds, the rows of a load placed in
// the compact arrays at once, a single row read between reloads, an invitee appended.
#include <algorithm>
#include <climits>

#include "store/inviter_manager.h"
#include "store/inviter_shared.h"

using inviter_shared::inviter_key;

bool inviter_manager::accept_loaded_row(const table_rows::member_row& row, invitation& out) const {
  const table_rows::id_column& member_id = row.member_id;
  const table_rows::id_column& inviter_id = row.inviter_id;
  if (member_id.negative || inviter_id.negative || member_id.value > INT_MAX ||
      inviter_id.value > static_cast<unsigned long>(max_user_id)) {
    return false;
  }
  out.member = static_cast<int>(member_id.value);
  out.inviter = static_cast<int>(inviter_id.value);
  return true;
}

void inviter_manager::record_loaded_rows(const std::vector<invitation>& rows) {
  size_t highest = 0;
  for (const invitation& row : rows) {
    highest = std::max(highest, static_cast<size_t>(row.member));
  }
  inviter_table.reserve(rows.empty() ? 0 : highest + 1);
  for (const invitation& row : rows) {
    set_inviter(static_cast<size_t>(row.member), row.inviter);
  }
  // The invitees grouped by inviter, each group in the order read: count, sum, place.
  loaded_first.assign(static_cast<size_t>(max_user_id) + 2, 0);
  for (const invitation& row : rows) {
    ++loaded_first[static_cast<size_t>(row.inviter) + 1];
  }
  for (size_t i = 1; i < loaded_first.size(); ++i) {
    loaded_first[i] += loaded_first[i - 1];
  }
  loaded_invitees.resize(rows.size());
  for (const invitation& row : rows) {
    loaded_invitees[loaded_first[static_cast<size_t>(row.inviter)]++] = row.member;
  }
  // Each offset now stands where the next group starts: move them back by one.
  for (size_t i = loaded_first.size() - 1; i > 0; --i) {
    loaded_first[i] = loaded_first[i - 1];
  }
  loaded_first[0] = 0;
  recount_bytes();
}

void inviter_manager::record_loaded_row(const table_rows::member_row& row) {
  invitation taken{};
  if (!accept_loaded_row(row, taken)) {
    return;
  }
  set_inviter(static_cast<size_t>(taken.member), taken.inviter);
  add_invitee(taken.inviter, taken.member);
  recount_bytes();
}

void inviter_manager::add_invitee(int inviter, int member) {
  invitee_list& invited = invitee_map.find_or_add(inviter_key(inviter));
  const size_t before = invited.heap_bytes();
  invited.push_back(member);
  invitee_heap_bytes += invited.heap_bytes() - before;
}
