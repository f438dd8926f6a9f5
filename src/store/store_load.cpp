// The initial load of logic_center from the database.
//
// Instead of one applier call per row, each loader gathers what its rows deliver and applies it
// in one pass per list: the result is exactly what do_add_special / do_add_follows would give
// applied row by row, in row order (on a repeated special id the entry that arrived first
// stays), without re-inserting into the sorted public list or re-merging a feed for every row.
#include "logic_center.h"

#include <algorithm>
#include <cstdio>
#include <deque>
#include <exception>
#include <future>
#include <memory>
#include <thread>
#include <iterator>
#include <unordered_map>
#include <utility>
#include <vector>

#include "log.h"
#include "table_reader.h"

namespace {

// Puts `items` in descending special-id order, keeping the first of repeated ids (the one a
// row-by-row load would have stored first).
void sort_keep_first(std::vector<special>& items) {
  std::stable_sort(items.begin(), items.end(), greater_special);
  items.erase(std::unique(items.begin(), items.end(), equal_special), items.end());
}

// A run of specials in strictly descending id order, owned elsewhere.
struct special_span {
  const special* first;
  const special* last;
};

// stored := stored ∪ added, both strictly descending; the stored entry wins on equal ids.
void union_keep_stored(std::vector<special>& stored, special_span added) {
  if (added.first == added.last) {
    return;
  }
  if (stored.empty()) {
    stored.assign(added.first, added.last);
    return;
  }
  std::vector<special> merged;
  merged.reserve(stored.size() + static_cast<size_t>(added.last - added.first));
  std::set_union(stored.begin(), stored.end(), added.first, added.last,
                 std::back_inserter(merged), greater_special);
  merged.shrink_to_fit();
  stored.swap(merged);
}

// The same for the public list; a list loaded into an empty store is copied in one pass.
void union_keep_stored(std::deque<special>& stored, special_span added) {
  if (added.first == added.last) {
    return;
  }
  if (stored.empty()) {
    stored.assign(added.first, added.last);
    return;
  }
  std::vector<special> merged;
  merged.reserve(stored.size() + static_cast<size_t>(added.last - added.first));
  std::set_union(stored.begin(), stored.end(), added.first, added.last,
                 std::back_inserter(merged), greater_special);
  stored.assign(merged.begin(), merged.end());
}

// The runs of specials that arrive at each private feed, in arrival order. The runs point into
// the loader's own containers, which must outlive this object and stay unchanged.
class feed_deliveries {
 public:
  void deliver(unsigned long recipient, special_span items) {
    if (items.first != items.last) {
      arrivals.push_back(arrival{recipient, arrivals.size(), items});
    }
  }
  // Merges every recipient's arrivals into its feed, in arrival order, creating the feed if it
  // has none. The caller holds pri_lock exclusively.
  void apply_locked(std::unordered_map<unsigned long, std::vector<special>>& feeds) {
    std::sort(arrivals.begin(), arrivals.end(), [](const arrival& a, const arrival& b) {
      return a.recipient != b.recipient ? a.recipient < b.recipient : a.order < b.order;
    });
    feeds.reserve(feeds.size() + arrivals.size());
    std::vector<special> gathered;
    for (auto group = arrivals.begin(); group != arrivals.end();) {
      auto group_end = std::find_if(group, arrivals.end(), [&](const arrival& a) {
        return a.recipient != group->recipient;
      });
      std::vector<special>& feed = feeds[group->recipient];
      if (group_end - group == 1) {
        union_keep_stored(feed, group->items);
      } else {
        gathered.clear();
        for (auto at = group; at != group_end; ++at) {
          gathered.insert(gathered.end(), at->items.first, at->items.last);
        }
        sort_keep_first(gathered);
        union_keep_stored(feed, special_span{gathered.data(), gathered.data() + gathered.size()});
      }
      group = group_end;
    }
  }

 private:
  struct arrival {
    unsigned long recipient;
    size_t order;
    special_span items;
  };
  std::vector<arrival> arrivals;
};

// One owner's specials rows, in row order until normalised.
struct owner_rows {
  unsigned long owner;
  std::vector<special> items;
};

}  // namespace

// The specials rows, read on their own thread and connection while the main thread reads the
// member rows.
struct logic_center::specials_read {
  std::vector<owner_rows> owners;  // rows arrive ordered by owner, so each owner's are one run
  std::vector<special> public_items;
  table_reader::read_outcome outcome;
  std::exception_ptr failure;  // the connection could not be made, or memory ran out

  void add(const table_reader::special_row& row) {
    if (row.reader_type == 2) {
      return;
    }
    const unsigned long owner = row.member_id.value;
    const special item(row.special_id.value, owner, static_cast<unsigned char>(row.reader_type));
    if (owners.empty() || owners.back().owner != owner) {
      owners.push_back(owner_rows{owner, {}});
    }
    owners.back().items.push_back(item);
    if (item.reader_type == 0) {
      public_items.push_back(item);
    }
  }
};

// The follow links of the member rows: each (member, inviter), in row order, stands for two
// follow additions, member follows inviter, then inviter follows member.
struct logic_center::members_read {
  std::vector<std::pair<unsigned long, unsigned long>> links;
  table_reader::read_outcome outcome;
  std::exception_ptr failure;
};

void logic_center::start() {
  log_event(log_debug, "start");
  // One connection reads the member table once, for the inviter index and the follow links.
  std::unique_ptr<mysql::connection> members = table_reader::connect();
  const inviter_manager::load_start index_start = inviters.prepare_load(*members);
  if (index_start == inviter_manager::load_start::failed) {
    log_event(log_error, "inviter_manager::reinit: the member table could not be read; "
                         "the index is kept as it was");
  }
  load_database(members.get(),
                index_start == inviter_manager::load_start::ready ? &inviters : nullptr);
  members.reset();
  start_workers();
}

void logic_center::init_data() {
  load_database(nullptr, nullptr);
}

void logic_center::load_database(mysql::connection* members_conn, inviter_manager* index) {
  std::printf("init_data start\n");
  std::fflush(stdout);
  try {
    std::printf("init_specials\n");
    std::fflush(stdout);
    specials_read specials;
    std::promise<void> specials_connected;
    std::thread specials_reader([&specials, &specials_connected] {
      bool signalled = false;
      try {
        std::unique_ptr<mysql::connection> conn = table_reader::connect();
        signalled = true;
        specials_connected.set_value();
        specials.outcome = table_reader::read_specials(
            *conn, [&specials](const table_reader::special_row& row) { specials.add(row); });
      } catch (...) {
        specials.failure = std::current_exception();
      }
      if (!signalled) {
        specials_connected.set_value();
      }
    });
    members_read members;
    try {
      std::unique_ptr<mysql::connection> own;
      if (members_conn == nullptr) {
        // Connections are made in the order the load names them: the specials' first.
        specials_connected.get_future().wait();
        own = table_reader::connect();
        members_conn = own.get();
      }
      members.outcome =
          table_reader::read_members(*members_conn, [&](const table_reader::member_row& row) {
            if (index != nullptr) {
              index->record_loaded_row(row);
            }
            if (row.member_id.positive() && row.inviter_id.positive()) {
              members.links.emplace_back(row.member_id.value, row.inviter_id.value);
            }
          });
    } catch (...) {
      members.failure = std::current_exception();
    }
    specials_reader.join();

    if (specials.failure) {
      std::rethrow_exception(specials.failure);
    }
    if (!specials.outcome.complete) {
      log_event(log_error, "init_specials: the read ended early; loading the %zu rows read",
                specials.outcome.rows);
    }
    apply_loaded_specials(specials);
    std::printf("init_follow\n");
    std::fflush(stdout);
    if (members.failure) {
      std::rethrow_exception(members.failure);
    }
    if (!members.outcome.complete) {
      log_event(log_error, "init_follow: the read ended early; loading the %zu links read",
                members.links.size());
    }
    apply_loaded_links(members);
  } catch (const std::exception& e) {
    std::printf("init_data   %s\n", e.what());
  }
  std::printf("init_data end\n");
  std::fflush(stdout);
}

void logic_center::apply_loaded_specials(specials_read& read) {
  std::vector<owner_rows>& owners = read.owners;
  std::vector<special>& public_items = read.public_items;
  // Owner step: each owner's list; its specials go to its follow list's feeds, then its own.
  feed_deliveries deliveries;
  {
    annotated::unique_lock lock(users_lock);
    users.reserve(users.size() + owners.size());
    for (owner_rows& rows : owners) {
      sort_keep_first(rows.items);
      userinfo& record = users.try_emplace(rows.owner, rows.owner).first->second;
      record.add_special(rows.items);
      const special_span items{rows.items.data(), rows.items.data() + rows.items.size()};
      for (unsigned long follower : record.follows()) {
        deliveries.deliver(follower, items);
      }
      deliveries.deliver(rows.owner, items);
    }
  }
  // Public step.
  sort_keep_first(public_items);
  {
    annotated::unique_lock lock(pub_lock);
    union_keep_stored(pub_specials, special_span{public_items.data(),
                                                 public_items.data() + public_items.size()});
  }
  // Feed step.
  {
    annotated::unique_lock lock(pri_lock);
    deliveries.apply_locked(pri_specials);
  }
}

void logic_center::apply_loaded_links(const members_read& read) {
  const std::vector<std::pair<unsigned long, unsigned long>>& links = read.links;
  // Follow step: each follow list gains all its ids at once (a set union, so their order is
  // moot). The own specials of every member reached are copied into one flat block, since
  // the feed step must not read `users` once users_lock is released.
  std::vector<std::pair<unsigned long, unsigned long>> additions;  // (member, followed id)
  additions.reserve(2 * links.size());
  for (const auto& [member, inviter] : links) {
    additions.emplace_back(member, inviter);
    additions.emplace_back(inviter, member);
  }
  std::sort(additions.begin(), additions.end());
  additions.erase(std::unique(additions.begin(), additions.end()), additions.end());

  std::vector<special> own_block;
  std::vector<std::pair<unsigned long, std::pair<size_t, size_t>>> own_index;  // ascending ids
  {
    annotated::unique_lock lock(users_lock);
    users.reserve(users.size() + additions.size());
    std::vector<unsigned long> ids;
    for (auto group = additions.begin(); group != additions.end();) {
      const unsigned long member = group->first;
      ids.clear();
      for (; group != additions.end() && group->first == member; ++group) {
        ids.push_back(group->second);
      }
      userinfo& record = users.try_emplace(member, member).first->second;
      record.add_follows(ids);
      const std::vector<special>& own = record.specials();
      if (!own.empty()) {
        own_index.push_back({member, {own_block.size(), own_block.size() + own.size()}});
        own_block.insert(own_block.end(), own.begin(), own.end());
      }
    }
  }
  auto own_span = [&](unsigned long member) {
    auto found = std::lower_bound(own_index.begin(), own_index.end(), member,
                                  [](const auto& entry, unsigned long id) { return entry.first < id; });
    if (found == own_index.end() || found->first != member) {
      return special_span{nullptr, nullptr};
    }
    return special_span{own_block.data() + found->second.first,
                        own_block.data() + found->second.second};
  };
  // Feed step, in the order the row-by-row load would merge.
  feed_deliveries deliveries;
  for (const auto& [member, inviter] : links) {
    deliveries.deliver(inviter, own_span(member));
    deliveries.deliver(member, own_span(inviter));
  }
  {
    annotated::unique_lock lock(pri_lock);
    deliveries.apply_locked(pri_specials);
  }
}
