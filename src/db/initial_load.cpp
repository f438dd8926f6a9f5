#include "db/initial_load.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <future>
#include <memory>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "db/inviter_reloader.h"
#include "db/table_reader.h"
#include "metrics/load_progress.h"
#include "store/load_plan.h"
#include "support/log.h"
#include "support/scoped_thread.h"

namespace {

struct specials_read {
  load_plan::special_rows rows;
  table_reader::read_outcome outcome;
  std::exception_ptr failure;  // the connection could not be made, or memory ran out

  void add(const table_reader::special_row& row) {
    if (!table_reader::is_loaded(row)) {
      return;
    }
    // The reader type is cut to its low 8 bits, as a request's is.
    rows.add(row.member_id.value, row.special_id.value,
             static_cast<unsigned char>(row.reader_type) == 0);
  }
};

struct members_read {
  std::vector<load_plan::link> links;  // (member, inviter), both positive, in row order
  std::vector<inviter_manager::invitation> index_rows;  // what the index takes, when it loads too
  table_reader::read_outcome outcome;
  std::exception_ptr failure;  // the connection could not be made, or memory ran out
};

// The load into `store`; `members_conn` (or a connection of its own when null) reads the member
// rows, which also go to `index` when it is not null. `expected_members` (0: unknown) is how many
// member rows to make room for at once. Throws load_abandoned, having built nothing, once
// `stop` is stopped.
void load_database(logic_center& store, const app_cfg::db_setting& db,
                   mysql::connection* members_conn, inviter_manager* index, load_stop& stop,
                   size_t expected_members = 0, load_progress* progress = nullptr) {
  std::printf("init_data start\n");
  std::fflush(stdout);
  try {
    std::printf("init_specials\n");
    std::fflush(stdout);
    specials_read specials;
    std::promise<void> specials_connected;
    scoped_thread specials_reader([&db, &stop, &specials, &specials_connected, progress] {
      bool signalled = false;
      try {
        std::unique_ptr<mysql::connection> conn = table_reader::connect(db);
        const load_stop::watched_connection watch(stop, *conn);
        signalled = true;
        specials_connected.set_value();
        specials.outcome = table_reader::read_specials(
            *conn, [&specials, progress](const table_reader::special_row& row) {
              if (progress != nullptr) {
                progress->row_read(load_progress::specials_table);
              }
              specials.add(row);
            });
      } catch (...) {
        specials.failure = std::current_exception();
      }
      if (!signalled) {
        specials_connected.set_value();
      }
    });
    members_read members;
    try {
      // Room at once rather than arrays grown by doubling, each a fresh copy of the last.
      members.links.reserve(expected_members);
      if (index != nullptr) {
        members.index_rows.reserve(expected_members);
      }
      std::unique_ptr<mysql::connection> own;
      std::optional<load_stop::watched_connection> own_watch;
      if (members_conn == nullptr) {
        // Connections are made in the order the load names them: the specials' first.
        specials_connected.get_future().wait();
        own = table_reader::connect(db);
        own_watch.emplace(stop, *own);
        members_conn = own.get();
      }
      members.outcome =
          table_reader::read_members(*members_conn, [&](const table_reader::member_row& row) {
            if (progress != nullptr) {
              progress->row_read(load_progress::members_table);
            }
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
    stop.check();  // abandoned: the rows read are incomplete, and nothing is built
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
    // The links' part of the join needs no specials: it is worked out while they stream.
    load_plan::link_ends links;
    if (!members.failure) {
      try {
        links = load_plan::link_ends(std::move(members.links));
      } catch (...) {
        members.failure = std::current_exception();
      }
    }
    specials_reader.join();
    stop.check();

    if (specials.failure) {
      std::rethrow_exception(specials.failure);
    }
    if (!specials.outcome.complete) {
      log_event(log_error, "init_specials: the read ended early; loading the %zu rows read",
                specials.outcome.rows);
    }
    std::printf("init_follow\n");
    std::fflush(stdout);
    if (members.failure) {
      store.load_rows(std::move(specials.rows), {});
      std::rethrow_exception(members.failure);
    }
    if (!members.outcome.complete) {
      log_event(log_error, "init_follow: the read ended early; loading the %zu links read",
                links.size());
    }
    store.load_rows(std::move(specials.rows), std::move(links));
    index_builder.join();
    if (index_failure) {
      std::rethrow_exception(index_failure);
    }
  } catch (const load_abandoned&) {
    throw;
  } catch (const std::exception& e) {
    std::printf("init_data   %s\n", e.what());
  }
  std::printf("init_data end\n");
  std::fflush(stdout);
}
}  // namespace

load_settings load_settings_from(const app_cfg& config) {
  load_settings settings;
  settings.db = config.db;
  settings.caps = logic_center::list_caps{config.store.feed_cap, config.store.public_cap};
  settings.pacing.interval = std::chrono::milliseconds(config.inviter.reload_interval_ms);
  settings.inviter_read_timeout_s = config.inviter.read_timeout_s;
  return settings;
}

void start_store(logic_center& store, const load_settings& settings, load_stop* stop) {
  load_stop never_stopped;
  load_stop& watch = stop != nullptr ? *stop : never_stopped;
  store.start([&store, &settings, &watch](inviter_manager& index) {
    std::optional<load_progress::timing> load_timing;  // the load's start and end
    if (settings.progress != nullptr) {
      load_timing.emplace(*settings.progress);
    }
    store.set_caps(settings.caps);
    index.set_pacing(settings.pacing);
    index.set_source(std::make_unique<inviter_reloader>(
        settings.db, settings.inviter_read_timeout_s, settings.to_loop));
    // One connection reads the member table once, for the inviter index and the follow links.
    std::unique_ptr<mysql::connection> members = table_reader::connect(settings.db);
    std::optional<load_stop::watched_connection> members_watch;
    members_watch.emplace(watch, *members);
    int highest = 0;
    const bool read = table_reader::read_highest_member(*members, highest);
    watch.check();
    const inviter_manager::load_start index_start = index.prepare_load(read, highest);
    if (index_start == inviter_manager::load_start::failed) {
      log_event(log_error,
                "inviter_manager::reinit: the member table could not be read; "
                "the index is kept as it was");
    }
    // The highest member id bounds the rows when ids are unique, as they are in the member
    // table; the room is only address space until rows fill it.
    constexpr size_t most_room = size_t{1} << 24;
    const size_t expected_members = std::min(static_cast<size_t>(std::max(highest, 0)), most_room);
    load_database(store, settings.db, members.get(),
                  index_start == inviter_manager::load_start::ready ? &index : nullptr, watch,
                  expected_members, settings.progress);
    members_watch.reset();
    members.reset();
    watch.check();  // the workers do not start for an abandoned load
  });
}

void init_data(logic_center& store, const app_cfg::db_setting& db) {
  load_stop never_stopped;
  load_database(store, db, nullptr, nullptr, never_stopped);
}
