// The store's appliers: the changes a worker applies for a queued message (and the start-up
// load applies row by row into a store that holds data), under the table locks, one at a time.
// A change that reaches many feeds is applied in turns of at most fan_out_turn feeds, so that the
// worker can apply other members' changes in between (mutation_pipeline.h).
// Worker threads; see logic_center.h for the locks and what each table holds.
#include <algorithm>
#include <utility>
#include <vector>

#include "store/logic_center.h"
#include "store/sorted_list.h"
#include "support/log.h"

// ---- appliers (worker threads) ----

void logic_center::do_add_follows(unsigned long user, std::vector<unsigned long>& ids) {
  log_event(log_debug, "do_add_follows");
  std::vector<special> no_items;
  apply_whole(mutation_kind::add_follow, user, ids, no_items);
}

void logic_center::do_del_follows(unsigned long user, std::vector<unsigned long>& ids) {
  log_event(log_debug, "do_del_follows");
  std::vector<special> no_items;
  apply_whole(mutation_kind::del_follow, user, ids, no_items);
}

void logic_center::do_add_special(unsigned long user, std::vector<special>& items) {
  log_event(log_debug, "do_add_special");
  std::vector<unsigned long> no_ids;
  apply_whole(mutation_kind::add_special, user, no_ids, items);
}

void logic_center::do_del_special(unsigned long user, std::vector<special>& items) {
  log_event(log_debug, "do_del_special");
  std::vector<unsigned long> no_ids;
  apply_whole(mutation_kind::del_special, user, no_ids, items);
}

void logic_center::apply_whole(mutation_kind kind, unsigned long user,
                               std::vector<unsigned long>& ids, std::vector<special>& items) {
  inner_type message;
  message.kind = kind;
  message.user = user;
  message.ids.swap(ids);
  message.items.swap(items);
  while (!apply_turn(message)) {
  }
  ids.swap(message.ids);
  items.swap(message.items);
}

bool logic_center::apply_turn(inner_type& message) {
  switch (message.kind) {
    case mutation_kind::add_follow:
      return follows_turn(message, true);
    case mutation_kind::del_follow:
      return follows_turn(message, false);
    case mutation_kind::add_special:
      return specials_turn(message, true);
    case mutation_kind::del_special:
      return specials_turn(message, false);
  }
  return true;
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
// gain or lose the member's own specials as they were then, one feed per pri_lock hold, at most
// fan_out_turn feeds a turn. The own list cannot change in between: the member's later changes
// wait for this one (mutation_pipeline.h).
bool logic_center::follows_turn(inner_type& message, bool adding) {
  if (!message.begun) {
    message.begun = true;
    sorted_list::normalise_ids(message.ids);
    // A shard keeps another shard's member's follow list only as far as it names its own
    // members, and reaches only its own members' feeds.
    const bool whole_list = layout.is_local(message.user);
    if (!whole_list) {
      message.ids = layout.local_only(message.ids);
      if (message.ids.empty()) {
        return true;
      }
    }
    annotated::unique_lock lock(users_lock);
    member_lists& record = record_of_locked(message.user);
    {
      const counted_change<id_list> counting(follow_tally, record.follows);
      if (adding) {
        record.follows.insert(follow_arena, message.ids);
      } else {
        record.follows.erase(follow_arena, message.ids);
      }
    }
    message.fanned = record.own.ids();
    if (whole_list && layout.sharded()) {
      message.ids = layout.local_only(message.ids);
    }
  }
  if (message.fanned.empty()) {
    return true;
  }
  const size_t end = std::min(message.ids.size(), message.reached + fan_out_turn);
  for (; message.reached < end; ++message.reached) {
    annotated::unique_lock lock(pri_lock);
    if (adding) {
      merge_into_feed_locked(message.ids[message.reached], message.fanned);
    } else {
      remove_from_feed_locked(message.ids[message.reached], message.fanned);
    }
  }
  return message.reached == message.ids.size();
}

// The owner's list changes first; then the public list (for items of reader type 0, as named
// in the message: on removal the stored reader type does not decide) and the owner's own feed;
// then the feeds of the owner's follow list, at most fan_out_turn a turn, each turn's part of
// the follow list read under users_lock shared. The follow list cannot change in between: the
// owner's later changes wait for this one (mutation_pipeline.h).
bool logic_center::specials_turn(inner_type& message, bool adding) {
  if (!message.begun) {
    message.begun = true;
    sorted_list::normalise_items(message.items);
    if (message.items.empty()) {
      return true;
    }
    message.fanned = ascending_ids(message.items, false);
    change_own_and_public(message.user, message.items, message.fanned, adding);
    if (layout.is_local(message.user)) {  // a shard keeps only its own members' feeds
      annotated::unique_lock lock(pri_lock);
      if (adding) {
        merge_into_feed_locked(message.user, message.fanned);
      } else {
        remove_from_feed_locked(message.user, message.fanned);
      }
    }
  }
  if (message.fanned.empty()) {
    return true;
  }
  std::vector<unsigned long> recipients;
  {
    annotated::shared_lock lock(users_lock);
    const member_lists* record = users.find(message.user);
    if (record != nullptr) {
      recipients = record->follows.slice(message.reached, fan_out_turn);
    }
  }
  for (unsigned long recipient : recipients) {
    if (layout.sharded() && !layout.is_local(recipient)) {
      continue;  // the owner's own follow list names other shards' members too
    }
    annotated::unique_lock lock(pri_lock);
    if (adding) {
      merge_into_feed_locked(recipient, message.fanned);
    } else {
      remove_from_feed_locked(recipient, message.fanned);
    }
  }
  message.reached += recipients.size();
  return recipients.size() < fan_out_turn;
}

void logic_center::change_own_and_public(unsigned long user, const std::vector<special>& items,
                                         const std::vector<unsigned long>& ids, bool adding) {
  {
    annotated::unique_lock lock(users_lock);
    member_lists& record = record_of_locked(user);
    const counted_change<id_list> counting(own_tally, record.own);
    if (adding) {
      record.own.insert(own_arena, ids);
    } else {
      record.own.erase(own_arena, ids);
    }
  }
  const std::vector<unsigned long> public_ids = ascending_ids(items, true);
  if (public_ids.empty()) {
    return;
  }
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
