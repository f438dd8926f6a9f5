#include "store/load_plan.h"

#include <algorithm>
#include <cstdint>
#include <stdexcept>

#include "store/key_sort.h"

namespace load_plan {

namespace {

// Sorts block[first, end) and drops repeats; the span it leaves.
span close_span(id_vector& block, size_t first) {
  const size_t count = block.size() - first;
  if (count > 1) {
    const auto begin = block.begin() + static_cast<long>(first);
    if (!std::is_sorted(begin, block.end())) {
      std::sort(begin, block.end());
    }
    block.erase(std::unique(begin, block.end()), block.end());
  }
  return span{first, block.size()};
}

// The smallest of the members at the heads of several ascending sequences.
class smallest_head {
 public:
  void consider(bool present, unsigned long member) {
    if (present && (!found || member < smallest)) {
      smallest = member;
      found = true;
    }
  }
  bool any() const { return found; }
  unsigned long member() const { return smallest; }

 private:
  bool found = false;
  unsigned long smallest = 0;
};

auto member_key = [](const auto& end) { return end.member; };

}  // namespace

void special_rows::add(unsigned long owner, unsigned long special_id, bool is_public) {
  if (runs.empty() || runs.back().owner != owner) {
    runs.push_back(owner_run{owner, span{ids.size(), ids.size()}});
  }
  ids.push_back(special_id);
  public_flags.push_back(is_public ? 1 : 0);
  ++runs.back().rows.last;
}

joined_rows::joined_rows(special_rows&& specials, link_ends&& links) {
  // The public list, and each owner's list. Rows come ordered by owner unless an owner id is
  // NULL or negative; runs of one owner are then brought together first.
  public_list.reserve(static_cast<size_t>(
      std::count(specials.public_flags.begin(), specials.public_flags.end(), 1)));
  for (size_t at = 0; at < specials.ids.size(); ++at) {
    if (specials.public_flags[at] != 0) {
      public_list.push_back(specials.ids[at]);
    }
  }
  key_sort::stable_sort_by_key(public_list, [](unsigned long id) { return id; });
  public_list.erase(std::unique(public_list.begin(), public_list.end()), public_list.end());
  auto by_owner = [](const special_rows::owner_run& a, const special_rows::owner_run& b) {
    return a.owner < b.owner;
  };
  if (!std::is_sorted(specials.runs.begin(), specials.runs.end(), by_owner)) {
    std::stable_sort(specials.runs.begin(), specials.runs.end(), by_owner);
  }
  own_block.reserve(specials.ids.size());
  owners.reserve(specials.runs.size());
  for (size_t at = 0; at < specials.runs.size();) {
    const unsigned long owner = specials.runs[at].owner;
    const size_t first = own_block.size();
    for (; at < specials.runs.size() && specials.runs[at].owner == owner; ++at) {
      // Runs hold a row or two: a plain copy, not a call to memmove per run.
      const span rows = specials.runs[at].rows;
      for (size_t row = rows.first; row != rows.last; ++row) {
        own_block.push_back(specials.ids[row]);
      }
    }
    owners.push_back(owner_lists{owner, close_span(own_block, first)});
  }
  specials = special_rows();

  if (own_block.size() > UINT32_MAX) {
    throw std::length_error("load_plan: more own specials than one load places");
  }
  by_member = std::move(links.by_member);
  by_inviter = std::move(links.by_inviter);
  place_partners_own();
}

void joined_rows::place_partners_own() {
  // The owners, by_member (ascending invitee) and by_inviter (ascending inviter) come in member
  // order: one merge each finds the owner of every end's member. An invitee's own ids first go
  // to its own end in by_member; walking by_inviter, each link then swaps them for the
  // inviter's, so that each end ends up with its partner's.
  auto own_of = [this](size_t& cursor, unsigned long member) {
    while (cursor < owners.size() && owners[cursor].id < member) {
      ++cursor;
    }
    span own;
    if (cursor < owners.size() && owners[cursor].id == member) {
      own = owners[cursor].own;
    }
    return own;
  };
  size_t cursor = 0;
  for (link_end& invited : by_member) {
    const span own = own_of(cursor, invited.member);
    invited.partner_own_first = static_cast<uint32_t>(own.first);
    invited.partner_own_count = static_cast<uint32_t>(own.size());
  }
  constexpr size_t ahead = 16;  // the other ends lie at random in by_member: overlap the misses
  cursor = 0;
  for (size_t at = 0; at < by_inviter.size(); ++at) {
    if (at + ahead < by_inviter.size()) {
      __builtin_prefetch(&by_member[by_inviter[at + ahead].partner_own_first], 1);
    }
    link_end& inviting = by_inviter[at];
    link_end& invited = by_member[inviting.partner_own_first];
    const span inviter_own = own_of(cursor, inviting.member);
    inviting.partner_own_first = invited.partner_own_first;
    inviting.partner_own_count = invited.partner_own_count;
    invited.partner_own_first = static_cast<uint32_t>(inviter_own.first);
    invited.partner_own_count = static_cast<uint32_t>(inviter_own.size());
  }
}

link_ends::link_ends(std::vector<link>&& links) {
  // Rows come ordered by member; then by_member is the links as they are, inviters ascending
  // within one member, and a stable sort by inviter keeps invitees ascending within one.
  if (!std::is_sorted(links.begin(), links.end())) {
    std::sort(links.begin(), links.end());
  }
  if (links.size() > UINT32_MAX) {
    throw std::length_error("load_plan: more links than one load places");
  }
  by_member.reserve(links.size());
  by_inviter.reserve(links.size());
  for (size_t at = 0; at < links.size(); ++at) {
    const auto& [member, inviter] = links[at];
    by_member.push_back(end{member, inviter, 0, 0});
    by_inviter.push_back(end{inviter, member, static_cast<uint32_t>(at), 0});
  }
  std::vector<link>().swap(links);
  key_sort::stable_sort_by_key(by_inviter, member_key);
}

template <typename Visit>
void joined_rows::walk(Visit visit) const {
  size_t next_owner = 0;
  auto next_inviter = by_member.cbegin();
  auto next_invitee = by_inviter.cbegin();
  for (;;) {
    smallest_head head;
    const bool owners_left = next_owner < owners.size();
    const bool inviters_left = next_inviter != by_member.cend();
    const bool invitees_left = next_invitee != by_inviter.cend();
    head.consider(owners_left, owners_left ? owners[next_owner].id : 0);
    head.consider(inviters_left, inviters_left ? next_inviter->member : 0);
    head.consider(invitees_left, invitees_left ? next_invitee->member : 0);
    if (!head.any()) {
      return;
    }
    member_ends ends{head.member(), no_owner,     next_inviter,
                     next_inviter,  next_invitee, next_invitee};
    if (owners_left && owners[next_owner].id == ends.member) {
      ends.owner = next_owner++;
    }
    for (; next_inviter != by_member.cend() && next_inviter->member == ends.member;
         ++next_inviter) {
    }
    for (; next_invitee != by_inviter.cend() && next_invitee->member == ends.member;
         ++next_invitee) {
    }
    ends.inviters_last = next_inviter;
    ends.invitees_last = next_invitee;
    visit(ends);
  }
}

void joined_rows::append_own(size_t owner, id_vector& out) const {
  if (owner == no_owner) {
    return;
  }
  const span own = owners[owner].own;
  for (size_t at = own.first; at != own.last; ++at) {
    out.push_back(own_block[at]);
  }
}

void joined_rows::prefetch_partner_own(std::vector<link_end>::const_iterator at,
                                       const std::vector<link_end>& ends) const {
  constexpr long ahead = 16;
  if (ends.cend() - at > ahead) {
    __builtin_prefetch(own_block.data() + at[ahead].partner_own_first);
  }
}

void joined_rows::append_partner_own(const link_end& end, id_vector& out) const {
  // A partner owns a few ids at most, most often one: a plain copy, not a call to memmove.
  const size_t last = size_t{end.partner_own_first} + end.partner_own_count;
  for (size_t at = end.partner_own_first; at != last; ++at) {
    out.push_back(own_block[at]);
  }
}

member_records joined_rows::member_lists(const shard_layout& kept) const {
  member_records out;
  out.follow_ids.reserve(2 * by_member.size());
  out.members.reserve(owners.size() + 2 * by_member.size());
  walk([this, &out, &kept](const member_ends& ends) {
    const size_t first = out.follow_ids.size();
    const bool whole_list = kept.is_local(ends.member);
    for (auto end = ends.inviters_first; end != ends.inviters_last; ++end) {
      if (whole_list || kept.is_local(end->partner)) {
        out.follow_ids.push_back(end->partner);
      }
    }
    for (auto end = ends.invitees_first; end != ends.invitees_last; ++end) {
      if (whole_list || kept.is_local(end->partner)) {
        out.follow_ids.push_back(end->partner);
      }
    }
    const span own = ends.owner == no_owner ? span{} : owners[ends.owner].own;
    out.members.push_back(
        member_records::record{ends.member, own, close_span(out.follow_ids, first)});
  });
  return out;
}

feed_lists joined_rows::feeds(const shard_layout& kept) const {
  feed_lists out;
  size_t room = own_block.size();
  for (const std::vector<link_end>* ends : {&by_member, &by_inviter}) {
    for (const link_end& end : *ends) {
      room += end.partner_own_count;
    }
  }
  // A shard's feeds are about its share of the whole.
  out.feed_ids.reserve(kept.sharded() ? room / kept.count + room / 16 : room);
  out.feeds.reserve((owners.size() + 2 * by_member.size()) / kept.count);
  walk([this, &out, &kept](const member_ends& ends) {
    if (!kept.is_local(ends.member)) {
      return;
    }
    prefetch_partner_own(ends.inviters_first, by_member);
    prefetch_partner_own(ends.invitees_first, by_inviter);
    const size_t first = out.feed_ids.size();
    append_own(ends.owner, out.feed_ids);
    for (auto end = ends.inviters_first; end != ends.inviters_last; ++end) {
      append_partner_own(*end, out.feed_ids);
    }
    for (auto end = ends.invitees_first; end != ends.invitees_last; ++end) {
      append_partner_own(*end, out.feed_ids);
    }
    const span feed = close_span(out.feed_ids, first);
    if (feed.size() != 0) {
      out.feeds.push_back(feed_lists::feed{ends.member, feed});
    }
  });
  return out;
}

}  // namespace load_plan
