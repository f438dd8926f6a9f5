#include "store/logic_center.h"

#include <algorithm>
#include <exception>
#include <utility>

#include "store/sorted_list.h"
#include "support/log.h"

// ---- lifecycle and workers ----

logic_center::logic_center() {
  log_event(log_debug, "logic_center");
}

logic_center::~logic_center() {
  mutations.stop();  // queued messages are dropped
}

void logic_center::start_workers() {
  mutations.start([this](inner_type& message) { return apply(message); });
}

bool logic_center::apply(inner_type& message) {
  if (!message.begun) {
    switch (message.kind) {
      case mutation_kind::add_follow:
        log_event(log_debug, "do_add_follows");
        break;
      case mutation_kind::del_follow:
        log_event(log_debug, "do_del_follows");
        break;
      case mutation_kind::add_special:
        log_event(log_debug, "do_add_special");
        break;
      case mutation_kind::del_special:
        log_event(log_debug, "do_del_special");
        break;
    }
  }
  return apply_turn(message);
}

// ---- enqueueing (event-loop thread) ----

void logic_center::enqueue(mutation_kind kind, unsigned long user,
                           const std::vector<unsigned long>& ids,
                           const std::vector<special>& items) {
  inner_type message;
  message.kind = kind;
  message.user = user;
  message.ids = ids;
  message.items = items;
  // The record, its list node and the two arrays: what the message holds until it is applied.
  message.cost = sizeof(inner_type) + 4 * sizeof(void*) + ids.size() * sizeof(unsigned long) +
                 items.size() * sizeof(special);
  mutations.put(queue_index(user), std::move(message));
}

void logic_center::queue_tracked(mutation_kind kind, unsigned long user,
                                 std::vector<unsigned long> ids, std::vector<special> items,
                                 std::function<void()> on_applied) {
  inner_type message;
  message.kind = kind;
  message.user = user;
  message.cost = sizeof(inner_type) + 4 * sizeof(void*) + ids.size() * sizeof(unsigned long) +
                 items.size() * sizeof(special);
  message.ids = std::move(ids);
  message.items = std::move(items);
  message.on_applied = std::move(on_applied);
  mutations.put(queue_index(user), std::move(message));
}

bool logic_center::add_follow(unsigned long user, const std::vector<unsigned long>& ids) {
  log_event(log_debug, "add_follow");
  enqueue(mutation_kind::add_follow, user, ids, {});
  return true;
}

bool logic_center::del_follow(unsigned long user, const std::vector<unsigned long>& ids) {
  log_event(log_debug, "del_follow");
  enqueue(mutation_kind::del_follow, user, ids, {});
  return true;
}

bool logic_center::add_special(unsigned long user, const std::vector<special>& items) {
  log_event(log_debug, "add_special");
  enqueue(mutation_kind::add_special, user, {}, items);
  return true;
}

bool logic_center::del_special(unsigned long user, const std::vector<special>& items) {
  log_event(log_debug, "del_special");
  enqueue(mutation_kind::del_special, user, {}, items);
  return true;
}

// ---- queries (event-loop thread) ----

std::vector<unsigned long> logic_center::fetch_self_specials(unsigned long user,
                                                             unsigned long special_id,
                                                             unsigned long count,
                                                             fetch_type type) const {
  log_event(log_debug, "fetch_self_specials");
  annotated::shared_lock lock(users_lock);
  const member_lists* record = users.find(user);
  if (record == nullptr) {
    return {};
  }
  return record->own.page(special_id, count, type == fetch_below);
}

std::vector<unsigned long> logic_center::fetch_pri_specials(unsigned long user,
                                                            unsigned long special_id,
                                                            unsigned long count,
                                                            fetch_type type) const {
  log_event(log_debug, "fetch_pri_specials");
  annotated::shared_lock lock(pri_lock);
  const id_list* feed = pri_specials.find(user);
  if (feed == nullptr) {
    return {};
  }
  return feed->page(special_id, count, type == fetch_below);
}

std::vector<unsigned long> logic_center::fetch_pub_specials(unsigned long special_id,
                                                            unsigned long count,
                                                            fetch_type type) const {
  log_event(log_debug, "fetch_pub_specials");
  annotated::shared_lock lock(pub_lock);
  return pub_specials.page(special_id, count, type == fetch_below);
}

std::vector<unsigned long> logic_center::fetch_follow(unsigned long user) const {
  log_event(log_debug, "fetch_follow");
  annotated::shared_lock lock(users_lock);
  const member_lists* record = users.find(user);
  if (record == nullptr) {
    return empty_user;
  }
  return record->follows.ids();
}

logic_center::store_sizes logic_center::sizes() const {
  store_sizes out;
  out.members = member_tally.get();
  out.feeds = feed_tally.get();
  out.follow_entries = follow_tally.get();
  out.own_entries = own_tally.get();
  out.feed_entries = feed_entry_tally.get();
  out.public_entries = public_tally.get();
  return out;
}

logic_center::store_sizes logic_center::walk_sizes() const {
  store_sizes out;
  {
    annotated::shared_lock lock(users_lock);
    out.members = users.size();
    users.for_each([&out](unsigned long, const member_lists& record) {
      out.follow_entries += record.follows.size();
      out.own_entries += record.own.size();
    });
  }
  {
    annotated::shared_lock lock(pri_lock);
    out.feeds = pri_specials.size();
    pri_specials.for_each(
        [&out](unsigned long, const id_list& feed) { out.feed_entries += feed.size(); });
  }
  annotated::shared_lock lock(pub_lock);
  out.public_entries = pub_specials.size();
  return out;
}

logic_center::store_bytes logic_center::bytes() const {
  store_bytes out;
  {
    annotated::shared_lock lock(users_lock);
    out.member_tables += users.table_bytes();
    out.own_lists = own_arena.bytes();
    out.follow_lists = follow_arena.bytes();
  }
  {
    annotated::shared_lock lock(pri_lock);
    out.member_tables += pri_specials.table_bytes();
    out.feeds = feed_arena.bytes();
  }
  {
    annotated::shared_lock lock(pub_lock);
    out.public_list = pub_arena.bytes();
  }
  out.inviter_index = inviters.bytes();
  return out;
}

logic_center::member_lists& logic_center::record_of_locked(unsigned long member) {
  const counted_change<member_table<member_lists>> counting(member_tally, users);
  return users.find_or_add(member);
}

id_list& logic_center::feed_of_locked(unsigned long member) {
  const counted_change<member_table<id_list>> counting(feed_tally, pri_specials);
  return pri_specials.find_or_add(member);
}

bool logic_center::has_member(unsigned long user) const {
  annotated::shared_lock lock(users_lock);
  return users.find(user) != nullptr;
}

bool logic_center::has_feed(unsigned long user) const {
  annotated::shared_lock lock(pri_lock);
  return pri_specials.find(user) != nullptr;
}

void logic_center::count_into(metrics::registry& counters) {
  mutations.count_applied_into(counters.applied.data());
  inviters.count_reloads_into(&counters.inviter_reloads);
}

void logic_center::set_caps(const list_caps& bounds) {
  caps = bounds;
}

// ---- inviter index (event-loop thread) ----

bool logic_center::add_inviter(int member, int inviter) {
  log_event(log_debug, "add_inviter");
  return inviters.add(member, inviter);
}

bool logic_center::add_inviter(int member, int inviter, inviter_manager::add_outcome& outcome,
                               const inviter_manager::add_done& later) {
  log_event(log_debug, "add_inviter");
  return inviters.add(member, inviter, outcome, later);
}

bool logic_center::add_inviter_in_place(int member, int inviter) {
  log_event(log_debug, "add_inviter_in_place");
  return inviters.add_in_place(member, inviter);
}

std::vector<int> logic_center::fetch_inviter(int member) {
  log_event(log_debug, "fetch_inviter");
  return inviters.list(member);
}

std::vector<int> logic_center::fetch_invitees(int member) {
  log_event(log_debug, "fetch_invitees");
  return inviters.invitees(member);
}
