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

void logic_center::restore_members(size_t count,
                                   const std::function<bool(restored_member&)>& next) {
  restored_member member;
  annotated::unique_lock lock(users_lock);
  users.reserve(users.size() + count);
  while (next(member)) {
    member_lists& record = users.find_or_add(member.id);
    record.follows.insert(member.follows);
    record.own.insert(member.own);
  }
}

void logic_center::restore_feeds(size_t count, const std::function<bool(restored_feed&)>& next) {
  restored_feed listed;
  annotated::unique_lock lock(pri_lock);
  pri_specials.reserve(pri_specials.size() + count);
  while (next(listed)) {
    pri_specials.find_or_add(listed.id).insert(listed.ids);
  }
}

void logic_center::restore_public(const std::vector<unsigned long>& ids) {
  annotated::unique_lock lock(pub_lock);
  pub_specials.insert(ids);
}
