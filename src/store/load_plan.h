// What the initial load puts into an empty store, worked out from the rows before any table of
// the store is touched: each member's own list and follow list, each private feed and the
// public list, every list ascending without repeats, in a few large blocks.
// It is the join of the two tables: a member's follow list is its link partners (its inviters
// and the members it invited), and its feed is its own specials and those of its partners. The
// join runs as sorts and merges over arrays in member order, so that it reads each array from
// start to end instead of looking members up at random in tables of tens of megabytes; the
// store then fills each table once, member by member. The links' part of the join (link_ends)
// needs nothing from the specials, so it is worked out as soon as the member rows are in, while
// the specials may still stream.
// Threads: special_rows is filled by one thread, link_ends built by one; a joined_rows is built
// by one thread and is then read-only, so member_lists() and feeds() may run on two threads at
// once.
#ifndef NORVEL_LOAD_PLAN_H_
#define NORVEL_LOAD_PLAN_H_

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "store/shard_layout.h"

namespace load_plan {

using id_vector = std::vector<unsigned long>;
using link = std::pair<unsigned long, unsigned long>;  // (member, inviter)

// Positions [first, last) of a block of ids.
struct span {
  size_t first = 0;
  size_t last = 0;

  size_t size() const { return last - first; }
};

// The specials rows as they arrive (reader type 2 already left out), in row order.
class special_rows {
 public:
  void add(unsigned long owner, unsigned long special_id, bool is_public);

  // Calls visit(owner, special_id, is_public) for every row, in row order.
  template <typename Visit>
  void for_each_row(Visit visit) const {
    for (const owner_run& run : runs) {
      for (size_t at = run.rows.first; at != run.rows.last; ++at) {
        visit(run.owner, ids[at], public_flags[at] != 0);
      }
    }
  }

 private:
  friend class joined_rows;

  // One owner's consecutive rows.
  struct owner_run {
    unsigned long owner;
    span rows;
  };

  std::vector<owner_run> runs;
  id_vector ids;
  std::vector<unsigned char> public_flags;
};

// Both ends of every link, each in the order the join reads it.
class link_ends {
 public:
  link_ends() = default;
  // Consumes the links: (member, inviter), both positive, in any order.
  explicit link_ends(std::vector<link>&& links);

  size_t size() const { return by_member.size(); }
  // Calls visit(member, inviter) for every link, ascending by member, then by inviter.
  template <typename Visit>
  void for_each_link(Visit visit) const {
    for (const end& invited : by_member) {
      visit(invited.member, invited.partner);
    }
  }

 private:
  friend class joined_rows;

  // One end of a link seen from `member`: its partner, and where the partner's own ids lie in
  // the join's own ids (a count of 0 if it owns nothing), so that building a feed reads them
  // straight away instead of looking the partner up among the owners first. Until the join
  // fills them in, an end in by_inviter holds in partner_own_first the place of its link's other
  // end in by_member.
  struct end {
    unsigned long member;
    unsigned long partner;
    uint32_t partner_own_first;
    uint32_t partner_own_count;
  };

  std::vector<end> by_member;   // ends seen from the invited member, ascending
  std::vector<end> by_inviter;  // ends seen from the inviter, ascending
};

// Every member's record: its own list (in joined_rows::own_ids) and follow list (in
// follow_ids), ascending by member id; every owner and every end of a link has one.
struct member_records {
  struct record {
    unsigned long id;
    span own;
    span follows;
  };
  id_vector follow_ids;
  std::vector<record> members;
};

// Every private feed that gains an id, ascending by member id.
struct feed_lists {
  struct feed {
    unsigned long id;
    span ids;
  };
  id_vector feed_ids;
  std::vector<feed> feeds;
};

// The specials rows and the links, joined by member.
class joined_rows {
 public:
  // Consumes both.
  joined_rows(special_rows&& specials, link_ends&& links);

  const id_vector& public_ids() const { return public_list; }
  const id_vector& own_ids() const { return own_block; }
  // What `kept` keeps (shard_layout.h): of a member of another shard, only the follows that are
  // its own members; only its own members' feeds.
  member_records member_lists(const shard_layout& kept = shard_layout{}) const;
  feed_lists feeds(const shard_layout& kept = shard_layout{}) const;

 private:
  // One owner and its own ids.
  struct owner_lists {
    unsigned long id;
    span own;
  };
  using link_end = link_ends::end;
  // The ends of one member's links: [first, last) of by_member and of by_inviter.
  struct member_ends {
    unsigned long member;
    size_t owner;  // its place among the owners, or no_owner
    std::vector<link_end>::const_iterator inviters_first, inviters_last;
    std::vector<link_end>::const_iterator invitees_first, invitees_last;
  };
  static constexpr size_t no_owner = ~size_t{0};

  // Calls visit(const member_ends&) for every member, ascending.
  template <typename Visit>
  void walk(Visit visit) const;
  // Appends the own ids of the owner at `owner` (nothing for no_owner) to `out`.
  void append_own(size_t owner, id_vector& out) const;
  // Starts loading the own ids of the partner a little after `at` among `ends`, so that the
  // feeds' reads of own_block overlap.
  void prefetch_partner_own(std::vector<link_end>::const_iterator at,
                            const std::vector<link_end>& ends) const;
  // Appends the own ids of the partner at `end` to `out`.
  void append_partner_own(const link_end& end, id_vector& out) const;
  // Fills in every link end where its partner's own ids lie.
  void place_partners_own();

  id_vector own_block;
  id_vector public_list;
  std::vector<owner_lists> owners;   // ascending
  std::vector<link_end> by_member;   // ends seen from the invited member, ascending
  std::vector<link_end> by_inviter;  // ends seen from the inviter, ascending
};

}  // namespace load_plan

#endif  // NORVEL_LOAD_PLAN_H_
