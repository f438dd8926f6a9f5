// The initial load of logic_center from the database.
//
// Instead of one applier call per row, each loader gathers what its rows deliver and applies it
// in one pass per list: the result is exactly what do_add_special / do_add_follows would give
// applied row by row, without re-inserting into the sorted public list or re-merging a feed for
// every row.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <future>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "app_config.h"
#include "load_progress.h"
#include "log.h"
#include "logic_center.h"
#include "object_manager.h"
#include "table_reader.h"

namespace {

using id_vector = std::vector<unsigned long>;

void sort_unique(unsigned long* first, unsigned long** last) {
  if (!std::is_sorted(first, *last)) {
    std::sort(first, *last);
  }
  *last = std::unique(first, *last);
}

void sort_unique(id_vector& ids) {
  unsigned long* last = ids.data() + ids.size();
  sort_unique(ids.data(), &last);
  ids.resize(static_cast<size_t>(last - ids.data()));
}

// A run of ids, ascending without repeats: positions [first, last) of a block of ids that the
// loader owns (positions stay valid while the block grows).
struct id_run {
  size_t first;
  size_t last;
};

// The runs of ids that arrive at each private feed, as positions in one block of ids.
class feed_deliveries {
 public:
  void deliver(unsigned long recipient, id_run ids) {
    if (ids.first != ids.last) {
      arrivals.push_back(arrival{recipient, ids});
    }
  }
  // Merges every recipient's arrivals, read from `block`, into its feed, creating the feed if it
  // has none, and keeps the newest `feed_cap` ids (0: all). The caller holds the feeds' lock
  // exclusively.
  void apply_locked(const id_vector& block, member_table<id_list>& feeds, size_t feed_cap) {
    std::sort(arrivals.begin(), arrivals.end(),
              [](const arrival& a, const arrival& b) { return a.recipient < b.recipient; });
    // Room for the recipients without a feed yet, so the table is sized once and stays full.
    size_t new_feeds = 0;
    for (size_t at = 0; at < arrivals.size(); ++at) {
      const bool first_of_recipient =
          at == 0 || arrivals[at].recipient != arrivals[at - 1].recipient;
      new_feeds += first_of_recipient && feeds.find(arrivals[at].recipient) == nullptr ? 1 : 0;
    }
    feeds.reserve(feeds.size() + new_feeds);
    id_vector gathered;
    for (auto group = arrivals.begin(); group != arrivals.end();) {
      auto group_end = std::find_if(group, arrivals.end(), [&](const arrival& a) {
        return a.recipient != group->recipient;
      });
      id_list& feed = feeds.find_or_add(group->recipient);
      if (group_end - group == 1) {
        feed.insert(block.data() + group->ids.first, group->ids.last - group->ids.first);
      } else {
        gathered.clear();
        for (auto at = group; at != group_end; ++at) {
          gathered.insert(gathered.end(), block.begin() + static_cast<long>(at->ids.first),
                          block.begin() + static_cast<long>(at->ids.last));
        }
        sort_unique(gathered);
        feed.insert(gathered);
      }
      if (feed_cap != 0) {
        feed.keep_newest(feed_cap);
      }
      group = group_end;
    }
  }

 private:
  struct arrival {
    unsigned long recipient;
    id_run ids;
  };
  std::vector<arrival> arrivals;
};

// One owner's run of rows in specials_read::ids.
struct owner_run {
  unsigned long owner;
  size_t first;
  size_t last;
};

}  // namespace

// The specials rows, read on their own thread and connection while the main thread reads the
// member rows. Rows arrive ordered by owner, so each owner's ids are one run of `ids`.
struct logic_center::specials_read {
  std::vector<owner_run> owners;
  id_vector ids;
  id_vector public_ids;
  table_reader::read_outcome outcome;
  std::exception_ptr failure;  // the connection could not be made, or memory ran out

  void add(const table_reader::special_row& row) {
    if (row.reader_type == 2) {
      return;
    }
    const unsigned long owner = row.member_id.value;
    if (owners.empty() || owners.back().owner != owner) {
      owners.push_back(owner_run{owner, ids.size(), ids.size()});
    }
    ids.push_back(row.special_id.value);
    ++owners.back().last;
    // The reader type is cut to its low 8 bits, as a request's is.
    if (static_cast<unsigned char>(row.reader_type) == 0) {
      public_ids.push_back(row.special_id.value);
    }
  }
};

struct logic_center::members_read {
  std::vector<std::pair<unsigned long, unsigned long>> links;
  table_reader::read_outcome outcome;
  std::exception_ptr failure;
};

void logic_center::start() {
  log_event(log_debug, "start");
  const load_progress::timing load_timing;  // the load's start and end, for progress and metrics
  const app_cfg::store_setting& configured = singleton<app_cfg>::instance()->store;
  set_caps(list_caps{configured.feed_cap, configured.public_cap});
  const app_cfg::inviter_setting& pacing = singleton<app_cfg>::instance()->inviter;
  inviters.set_pacing({std::chrono::milliseconds(pacing.reload_interval_ms), pacing.read_timeout_s});
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
  // Owner step: each owner's list; its ids go to its follow list's feeds, then its own.
  feed_deliveries deliveries;
  {
    annotated::unique_lock lock(users_lock);
    size_t new_members = 0;
    for (const owner_run& run : read.owners) {
      new_members += users.find(run.owner) == nullptr ? 1 : 0;
    }
    users.reserve(users.size() + new_members);
    for (owner_run& run : read.owners) {
      unsigned long* first = read.ids.data() + run.first;
      unsigned long* last = read.ids.data() + run.last;
      sort_unique(first, &last);
      const id_run ids{run.first, static_cast<size_t>(last - read.ids.data())};
      member_lists& record = users.find_or_add(run.owner);
      record.own.insert(first, ids.last - ids.first);
      for (size_t at = 0; at < record.follows.size(); ++at) {
        deliveries.deliver(record.follows.at(at), ids);
      }
      deliveries.deliver(run.owner, ids);
    }
  }
  // Public step.
  sort_unique(read.public_ids);
  {
    annotated::unique_lock lock(pub_lock);
    pub_specials.insert(read.public_ids);
    if (caps.public_cap != 0) {
      pub_specials.keep_newest(caps.public_cap);
    }
  }
  // Feed step.
  {
    annotated::unique_lock lock(pri_lock);
    deliveries.apply_locked(read.ids, pri_specials, caps.feed_cap);
  }
}

void logic_center::apply_loaded_links(const members_read& read) {
  // Follow step: each follow list gains all its ids at once.
  std::vector<std::pair<unsigned long, unsigned long>> additions;  // (member, followed id)
  additions.reserve(2 * read.links.size());
  for (const auto& [member, inviter] : read.links) {
    additions.emplace_back(member, inviter);
    additions.emplace_back(inviter, member);
  }
  std::sort(additions.begin(), additions.end());
  additions.erase(std::unique(additions.begin(), additions.end()), additions.end());

  // Feed step: for each addition (a follows b), b's feed gains a's own specials. Each member's
  // own ids are copied once into one block, since the feed step must not read `users` once
  // users_lock is released.
  id_vector own_block;
  feed_deliveries deliveries;
  {
    annotated::unique_lock lock(users_lock);
    // Room for the members without a record yet, so the table is sized once and stays full.
    size_t new_members = 0;
    for (size_t at = 0; at < additions.size(); ++at) {
      const bool first_of_member = at == 0 || additions[at].first != additions[at - 1].first;
      new_members += first_of_member && users.find(additions[at].first) == nullptr ? 1 : 0;
    }
    users.reserve(users.size() + new_members);
    id_vector ids;
    for (auto group = additions.begin(); group != additions.end();) {
      const unsigned long member = group->first;
      ids.clear();
      for (; group != additions.end() && group->first == member; ++group) {
        ids.push_back(group->second);
      }
      member_lists& record = users.find_or_add(member);
      record.follows.insert(ids);
      const id_run own{own_block.size(), own_block.size() + record.own.size()};
      for (size_t at = 0; at < record.own.size(); ++at) {
        own_block.push_back(record.own.at(at));
      }
      for (unsigned long followed : ids) {
        deliveries.deliver(followed, own);
      }
    }
  }
  {
    annotated::unique_lock lock(pri_lock);
    deliveries.apply_locked(own_block, pri_specials, caps.feed_cap);
  }
}
