#include "store/logic_center.h"

#include <algorithm>
#include <exception>
#include <utility>

#include "apply/work_backlog.h"
#include "metrics/metrics.h"
#include "store/sorted_list.h"
#include "support/log.h"

// ---- lifecycle and workers ----

logic_center::logic_center() {
  log_event(log_debug, "logic_center");
}

logic_center::~logic_center() {
  stopping = true;
  for (auto& queue : queues) {
    queue.stop();
  }
  for (auto& thread : workers) {
    if (thread.joinable()) {
      thread.join();
    }
  }
  for (auto& queue : queues) {  // what is still queued is dropped: it leaves the backlog too
    queue.drain([](const inner_type& message) { mutation_backlog().remove(message.cost); });
  }
}

void logic_center::start_workers() {
  if (!workers.empty()) {
    return;
  }
  workers.reserve(worker_count);
  for (size_t index = 0; index < worker_count; ++index) {
    workers.emplace_back(&logic_center::worker, this, index);
  }
}

void logic_center::worker(size_t index) {
  log_event(log_debug, "logic_center::worker start");
  msgqueue<inner_type>& queue = queues[index];
  while (!stopping) {
    inner_type message;
    if (!queue.getq(message)) {
      continue;
    }
    log_batch batch;  // the message's entries are written together once it is applied
    log_event(log_debug, "worker");
    try {
      apply(message);
      metrics::global().applied[index].add();
    } catch (const std::exception&) {
      log_event(log_debug, "logic_center::worker exception");
    } catch (...) {
      // Nothing else is thrown by the appliers; a stray exception must not end the daemon.
      log_event(log_debug, "logic_center::worker exception");
    }
    mutation_backlog().remove(message.cost);
    if (message.on_applied) {
      message.on_applied();
    }
  }
  log_event(log_debug, "logic_center::worker quit");
}

void logic_center::apply(inner_type& message) {
  switch (message.kind) {
    case mutation_kind::add_follow:
      do_add_follows(message.user, message.ids);
      break;
    case mutation_kind::del_follow:
      do_del_follows(message.user, message.ids);
      break;
    case mutation_kind::add_special:
      do_add_special(message.user, message.items);
      break;
    case mutation_kind::del_special:
      do_del_special(message.user, message.items);
      break;
  }
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
  mutation_backlog().add(message.cost);
  queues[queue_index(user)].putq(std::move(message));
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
  mutation_backlog().add(message.cost);
  queues[queue_index(user)].putq(std::move(message));
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

// ---- appliers (worker threads) ----

void logic_center::do_add_follows(unsigned long user, std::vector<unsigned long>& ids) {
  log_event(log_debug, "do_add_follows");
  change_follows(user, ids, true);
}

void logic_center::do_del_follows(unsigned long user, std::vector<unsigned long>& ids) {
  log_event(log_debug, "do_del_follows");
  change_follows(user, ids, false);
}

void logic_center::do_add_special(unsigned long user, std::vector<special>& items) {
  log_event(log_debug, "do_add_special");
  change_specials(user, items, true);
}

void logic_center::do_del_special(unsigned long user, std::vector<special>& items) {
  log_event(log_debug, "do_del_special");
  change_specials(user, items, false);
}

namespace {

// The ids of `items` (in greater_special order, no repeats) ascending; with `public_only`, only
// those of reader type 0.
std::vector<unsigned long> ascending_ids(const std::vector<special>& items, bool public_only) {
  std::vector<unsigned long> ids;
  ids.reserve(items.size());
  for (auto item = items.rbegin(); item != items.rend(); ++item) {
    if (!public_only || item->reader_type == 0) {
      ids.push_back(item->special_id);
    }
  }
  return ids;
}

}  // namespace

// The member's follow list changes first; then the feeds of the members followed or unfollowed
// gain or lose the member's own specials, one feed per pri_lock hold.
void logic_center::change_follows(unsigned long user, std::vector<unsigned long>& ids,
                                  bool adding) {
  sorted_list::normalise_ids(ids);
  std::vector<unsigned long> own;
  {
    annotated::unique_lock lock(users_lock);
    member_lists& record = record_of_locked(user);
    {
      const counted_change<id_list> counting(follow_tally, record.follows);
      if (adding) {
        record.follows.insert(follow_arena, ids);
      } else {
        record.follows.erase(follow_arena, ids);
      }
    }
    own = record.own.ids();
  }
  if (own.empty()) {
    return;
  }
  for (unsigned long follower : ids) {
    annotated::unique_lock lock(pri_lock);
    if (adding) {
      merge_into_feed_locked(follower, own);
    } else {
      remove_from_feed_locked(follower, own);
    }
  }
}

// The owner's list changes first; then the public list (for items of reader type 0, as named
// in the message: on removal the stored reader type does not decide), then the feeds of the
// owner's follow list and the owner's own feed.
void logic_center::change_specials(unsigned long user, std::vector<special>& items,
                                   bool adding) {
  sorted_list::normalise_items(items);
  if (items.empty()) {
    return;
  }
  const std::vector<unsigned long> ids = ascending_ids(items, false);
  std::vector<unsigned long> recipients;
  {
    annotated::unique_lock lock(users_lock);
    member_lists& record = record_of_locked(user);
    {
      const counted_change<id_list> counting(own_tally, record.own);
      if (adding) {
        record.own.insert(own_arena, ids);
      } else {
        record.own.erase(own_arena, ids);
      }
    }
    recipients = record.follows.ids();
  }
  const std::vector<unsigned long> public_ids = ascending_ids(items, true);
  if (!public_ids.empty()) {
    annotated::unique_lock lock(pub_lock);
    const counted_change<id_list> counting(public_tally, pub_specials);
    if (adding) {
      pub_specials.insert(pub_arena, public_ids);
      if (caps.public_cap != 0) {
        pub_specials.keep_newest(pub_arena, caps.public_cap);
      }
    } else {
      pub_specials.erase(pub_arena, public_ids);
    }
  }
  recipients.push_back(user);
  for (unsigned long recipient : recipients) {
    annotated::unique_lock lock(pri_lock);
    if (adding) {
      merge_into_feed_locked(recipient, ids);
    } else {
      remove_from_feed_locked(recipient, ids);
    }
  }
}

void logic_center::merge_into_feed_locked(unsigned long member,
                                          const std::vector<unsigned long>& ids) {
  id_list& feed = feed_of_locked(member);
  const counted_change<id_list> counting(feed_entry_tally, feed);
  feed.insert(feed_arena, ids);
  if (caps.feed_cap != 0) {
    feed.keep_newest(feed_arena, caps.feed_cap);
  }
}

void logic_center::remove_from_feed_locked(unsigned long member,
                                           const std::vector<unsigned long>& ids) {
  id_list* feed = pri_specials.find(member);
  if (feed != nullptr) {
    const counted_change<id_list> counting(feed_entry_tally, *feed);
    feed->erase(feed_arena, ids);
  }
}
