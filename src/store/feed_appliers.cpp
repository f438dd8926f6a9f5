// The store's appliers: the changes a worker applies for a queued message (and the start-up
// load applies row by row into a store that holds data), under the table locks, one at a time.
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
