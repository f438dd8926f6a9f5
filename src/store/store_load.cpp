// The initial load of logic_center from the database.
//
// Into an empty store (the daemon's start) the rows are joined first (load_plan.h) and each
// table is then filled once, member by member: the users table on one thread while the feeds
// fill on another. Into a store that already holds data (tests only) every row goes through
// the appliers, as queued mutations would. Both give the store that do_add_special and
// do_add_follows give applied row by row.
#include <chrono>
#include <cstdio>
#include <exception>
#include <future>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "db/table_reader.h"
#include "metrics/load_progress.h"
#include "store/load_plan.h"
#include "store/logic_center.h"
#include "support/app_config.h"
#include "support/log.h"
#include "support/object_manager.h"

namespace {

// A thread joined when the scope that made it is left, however it is left.
class scoped_thread {
 public:
  template <typename Body>
  explicit scoped_thread(Body body) : thread(std::move(body)) {}
  scoped_thread(const scoped_thread&) = delete;
  scoped_thread& operator=(const scoped_thread&) = delete;
  ~scoped_thread() { join(); }

  void join() {
    if (thread.joinable()) {
      thread.join();
    }
  }

 private:
  std::thread thread;
};

}  // namespace

// The specials rows, read on their own thread and connection while the main thread reads the
// member rows.
struct logic_center::specials_read {
  load_plan::special_rows rows;
  table_reader::read_outcome outcome;
  std::exception_ptr failure;  // the connection could not be made, or memory ran out

  void add(const table_reader::special_row& row) {
    if (row.reader_type == 2) {
      return;
    }
    // The reader type is cut to its low 8 bits, as a request's is.
    rows.add(row.member_id.value, row.special_id.value,
             static_cast<unsigned char>(row.reader_type) == 0);
  }
};

struct logic_center::members_read {
  std::vector<load_plan::link> links;  // (member, inviter), both positive, in row order
  std::vector<inviter_manager::invitation> index_rows;  // what the index takes, when it loads too
  table_reader::read_outcome outcome;
  std::exception_ptr failure;  // the connection could not be made, or memory ran out
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
    scoped_thread specials_reader([&specials, &specials_connected] {
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
            inviter_manager::invitation taken{};
            if (index != nullptr && index->accept_loaded_row(row, taken)) {
              members.index_rows.push_back(taken);
            }
            if (row.member_id.positive() && row.inviter_id.positive()) {
              members.links.emplace_back(row.member_id.value, row.inviter_id.value);
            }
          });
    } catch (...) {
      members.failure = std::current_exception();
    }
    // The inviter index takes the member rows on a thread of its own as soon as they are in,
    // while the specials may still stream and this thread then builds the store; nothing else
    // touches the index until it is joined. Its arrays have pages of their own, so starting it
    // early does not move what stays resident.
    std::exception_ptr index_failure;
    scoped_thread index_builder([index, &members, &index_failure] {
      try {
        if (index != nullptr) {
          index->record_loaded_rows(members.index_rows);
        }
      } catch (...) {
        index_failure = std::current_exception();
      }
    });
    specials_reader.join();

    if (specials.failure) {
      std::rethrow_exception(specials.failure);
    }
    if (!specials.outcome.complete) {
      log_event(log_error, "init_specials: the read ended early; loading the %zu rows read",
                specials.outcome.rows);
    }
    const bool bulk = holds_nothing();
    if (!bulk) {
      apply_specials_one_by_one(specials.rows);
    }
    std::printf("init_follow\n");
    std::fflush(stdout);
    if (members.failure) {
      if (bulk) {
        fill_empty_store(std::move(specials.rows), {});
      }
      std::rethrow_exception(members.failure);
    }
    if (!members.outcome.complete) {
      log_event(log_error, "init_follow: the read ended early; loading the %zu links read",
                members.links.size());
    }
    if (bulk) {
      fill_empty_store(std::move(specials.rows), std::move(members.links));
    } else {
      apply_links_one_by_one(members.links);
    }
    index_builder.join();
    if (index_failure) {
      std::rethrow_exception(index_failure);
    }
  } catch (const std::exception& e) {
    std::printf("init_data   %s\n", e.what());
  }
  std::printf("init_data end\n");
  std::fflush(stdout);
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

void logic_center::fill_empty_store(load_plan::special_rows&& specials,
                                    std::vector<load_plan::link>&& links) {
  const load_plan::joined_rows joined(std::move(specials), std::move(links));
  // The users table is worked out and filled on a thread of its own while this one does the
  // feeds and the public list: they share only the read-only join, and no lock.
  std::exception_ptr users_failure;
  scoped_thread users_filler([this, &joined, &users_failure] {
    try {
      const load_plan::member_records records = joined.member_lists();
      annotated::unique_lock lock(users_lock);
      users.reserve(records.members.size());
      for (const load_plan::member_records::record& member : records.members) {
        member_lists& record = users.find_or_add(member.id);
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
    pub_specials.insert(pub_arena, joined.public_ids());
    if (caps.public_cap != 0) {
      pub_specials.keep_newest(pub_arena, caps.public_cap);
    }
  }
  {
    const load_plan::feed_lists lists = joined.feeds();
    annotated::unique_lock lock(pri_lock);
    pri_specials.reserve(lists.feeds.size());
    for (const load_plan::feed_lists::feed& listed : lists.feeds) {
      id_list& feed = pri_specials.find_or_add(listed.id);
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

void logic_center::apply_links_one_by_one(const std::vector<load_plan::link>& links) {
  for (const auto& [member, inviter] : links) {
    std::vector<unsigned long> to_inviter{inviter};
    do_add_follows(member, to_inviter);
    std::vector<unsigned long> to_member{member};
    do_add_follows(inviter, to_member);
  }
}
