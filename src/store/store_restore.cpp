// The whole store as values and back (logic_center's export and restore), for snapshots. Only
// the tables' and lists' public operations are used, so the layout behind them may change.
#include "store/logic_center.h"

void logic_center::for_each_member(const member_visitor& visit) const {
  annotated::shared_lock lock(users_lock);
  users.for_each([&visit](unsigned long id, const member_lists& record) {
    visit(id, record.follows.ids(), record.own.ids());
  });
}

void logic_center::for_each_feed(const feed_visitor& visit) const {
  annotated::shared_lock lock(pri_lock);
  pri_specials.for_each([&visit](unsigned long id, const id_list& feed) { visit(id, feed.ids()); });
}

std::vector<unsigned long> logic_center::public_ids() const {
  annotated::shared_lock lock(pub_lock);
  return pub_specials.ids();
}

size_t logic_center::member_count() const {
  annotated::shared_lock lock(users_lock);
  return users.size();
}

size_t logic_center::feed_count() const {
  annotated::shared_lock lock(pri_lock);
  return pri_specials.size();
}

// A restore replaces a table: what it held is dropped first, and again when the source throws
// half way, so the store is never left with part of a snapshot. The lists' blocks go back to
// their arenas.

void logic_center::drop_members_locked() {
  std::vector<unsigned long> ids;
  users.for_each([&ids](unsigned long id, const member_lists&) { ids.push_back(id); });
  for (unsigned long id : ids) {
    member_lists* record = users.find(id);
    record->follows.clear(follow_arena);
    record->own.clear(own_arena);
  }
  users = member_table<member_lists>();
  member_tally.clear();
  follow_tally.clear();
  own_tally.clear();
}

void logic_center::drop_feeds_locked() {
  std::vector<unsigned long> ids;
  pri_specials.for_each([&ids](unsigned long id, const id_list&) { ids.push_back(id); });
  for (unsigned long id : ids) {
    pri_specials.find(id)->clear(feed_arena);
  }
  pri_specials = member_table<id_list>();
  feed_tally.clear();
  feed_entry_tally.clear();
}

void logic_center::restore_members(size_t count,
                                   const std::function<bool(restored_member&)>& next) {
  restored_member member;
  annotated::unique_lock lock(users_lock);
  drop_members_locked();
  users.reserve(count);
  try {
    while (next(member)) {
      member_lists& record = record_of_locked(member.id);
      const counted_change<id_list> follow_counting(follow_tally, record.follows);
      const counted_change<id_list> own_counting(own_tally, record.own);
      record.follows.insert(follow_arena, member.follows);
      record.own.insert(own_arena, member.own);
    }
  } catch (...) {
    drop_members_locked();
    throw;
  }
}

void logic_center::restore_feeds(size_t count, const std::function<bool(restored_feed&)>& next) {
  restored_feed listed;
  annotated::unique_lock lock(pri_lock);
  drop_feeds_locked();
  pri_specials.reserve(count);
  try {
    while (next(listed)) {
      id_list& feed = feed_of_locked(listed.id);
      const counted_change<id_list> counting(feed_entry_tally, feed);
      feed.insert(feed_arena, listed.ids);
    }
  } catch (...) {
    drop_feeds_locked();
    throw;
  }
}

void logic_center::restore_public(const std::vector<unsigned long>& ids) {
  annotated::unique_lock lock(pub_lock);
  const counted_change<id_list> counting(public_tally, pub_specials);
  pub_specials.clear(pub_arena);
  pub_specials.insert(pub_arena, ids);
}
