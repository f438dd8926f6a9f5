// The rows of the initial load into logic_center (the database's reading side is
// db/initial_load.cpp).
//
// Into an empty store (the daemon's start) the rows are joined first (load_plan.h) and each
// table is then filled once, member by member: the users table on one thread while the feeds
// fill on another. Into a store that already holds data (tests only) every row goes through
// the appliers, as queued mutations would. Both give the store that do_add_special and
// do_add_follows give applied row by row.
#include <exception>
#include <utility>
#include <vector>

#include "store/load_plan.h"
#include "store/logic_center.h"
#include "support/log.h"
#include "support/scoped_thread.h"

void logic_center::start(const std::function<void(inviter_manager& index)>& load) {
  log_event(log_debug, "start");
  load(inviters);
  start_workers();
}

void logic_center::load_rows(load_plan::special_rows&& specials, load_plan::link_ends&& links) {
  if (holds_nothing()) {
    fill_empty_store(std::move(specials), std::move(links));
    return;
  }
  apply_specials_one_by_one(specials);
  apply_links_one_by_one(links);
}

bool logic_center::holds_nothing() const {
  {
    annotated::shared_lock lock(users_lock);
    if (users.size() != 0) {
      return false;
    }
  }
  {
    annotated::shared_lock lock(pri_lock);
    if (pri_specials.size() != 0) {
      return false;
    }
  }
  annotated::shared_lock lock(pub_lock);
  return pub_specials.empty();
}

namespace {
// How many members ahead the fills start loading a table slot: enough to overlap the misses.
constexpr size_t prefetch_distance = 16;
}  // namespace

void logic_center::fill_empty_store(load_plan::special_rows&& specials,
                                    load_plan::link_ends&& links) {
  const load_plan::joined_rows joined(std::move(specials), std::move(links));
  // The users table is worked out and filled on a thread of its own while this one does the
  // feeds and the public list: they share only the read-only join, and no lock.
  std::exception_ptr users_failure;
  scoped_thread users_filler([this, &joined, &users_failure] {
    try {
      const load_plan::member_records records = joined.member_lists(layout);
      annotated::unique_lock lock(users_lock);
      users.reserve(records.members.size());
      const auto& members = records.members;
      for (size_t at = 0; at < members.size(); ++at) {
        if (at + prefetch_distance < members.size()) {
          users.prefetch(members[at + prefetch_distance].id);
        }
        const load_plan::member_records::record& member = members[at];
        member_lists& record = record_of_locked(member.id);
        const counted_change<id_list> own_counting(own_tally, record.own);
        const counted_change<id_list> follow_counting(follow_tally, record.follows);
        record.own.insert(own_arena, joined.own_ids().data() + member.own.first, member.own.size());
        record.follows.insert(follow_arena, records.follow_ids.data() + member.follows.first,
                              member.follows.size());
      }
    } catch (...) {
      users_failure = std::current_exception();
    }
  });
  // A failure here leaves by exception once the filler has been joined (its own is dropped).
  {
    annotated::unique_lock lock(pub_lock);
    const counted_change<id_list> counting(public_tally, pub_specials);
    pub_specials.insert(pub_arena, joined.public_ids());
    if (caps.public_cap != 0) {
      pub_specials.keep_newest(pub_arena, caps.public_cap);
    }
  }
  {
    const load_plan::feed_lists lists = joined.feeds(layout);
    annotated::unique_lock lock(pri_lock);
    pri_specials.reserve(lists.feeds.size());
    const auto& feeds = lists.feeds;
    for (size_t at = 0; at < feeds.size(); ++at) {
      if (at + prefetch_distance < feeds.size()) {
        pri_specials.prefetch(feeds[at + prefetch_distance].id);
      }
      const load_plan::feed_lists::feed& listed = feeds[at];
      id_list& feed = feed_of_locked(listed.id);
      const counted_change<id_list> counting(feed_entry_tally, feed);
      feed.insert(feed_arena, lists.feed_ids.data() + listed.ids.first, listed.ids.size());
      if (caps.feed_cap != 0) {
        feed.keep_newest(feed_arena, caps.feed_cap);
      }
    }
  }
  users_filler.join();
  if (users_failure) {
    std::rethrow_exception(users_failure);
  }
}

void logic_center::apply_specials_one_by_one(const load_plan::special_rows& rows) {
  rows.for_each_row([this](unsigned long owner, unsigned long special_id, bool is_public) {
    std::vector<special> one{special(special_id, owner, is_public ? 0 : 1)};
    do_add_special(owner, one);
  });
}

void logic_center::apply_links_one_by_one(const load_plan::link_ends& links) {
  links.for_each_link([this](unsigned long member, unsigned long inviter) {
    std::vector<unsigned long> to_inviter{inviter};
    do_add_follows(member, to_inviter);
    std::vector<unsigned long> to_member{member};
    do_add_follows(inviter, to_member);
  });
}
