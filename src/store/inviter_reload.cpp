// The whole table read again: on the source's thread into an index built aside, then adopted
// on the index's thread, or kept as it was when the read failed.
#include <algorithm>
#include <memory>
#include <stdexcept>
#include <utility>
#include <vector>

#include "store/inviter_manager.h"
#include "store/inviter_shared.h"
#include "support/log.h"

using inviter_shared::no_connection;
using inviter_shared::what_of;

// The reads themselves, on the source's thread: they touch only `from` and `out`.
void inviter_manager::read_whole_table(inviter_source& from, read_result& out) {
  const std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
  try {
    out.fresh = std::make_unique<inviter_manager>();
    inviter_manager& fresh = *out.fresh;
    bool ready = false;
    std::vector<inviter_manager::invitation> rows;
    out.read_whole = from.read_table(
        [&fresh, &ready](int highest) {
          ready = fresh.prepare_load(true, highest) == inviter_manager::load_start::ready;
          return ready;
        },
        [&fresh, &rows](const table_rows::member_row& row) {
          inviter_manager::invitation taken{};
          if (fresh.accept_loaded_row(row, taken)) {
            rows.push_back(taken);
          }
        });
    if (ready) {
      fresh.record_loaded_rows(rows);
    }
  } catch (...) {
    out.failure = std::current_exception();
    out.fresh.reset();
  }
  out.took = std::chrono::steady_clock::now() - started;
}

void inviter_manager::reinit() {
  reload();
}

bool inviter_manager::reload() {
  read_result result;
  result.whole = true;
  if (!source) {
    result.failure = std::make_exception_ptr(std::logic_error(no_connection));
  } else {
    read_whole_table(*source, result);
  }
  last_reload = std::chrono::steady_clock::now();  // a failed reload counts too
  last_reload_took = result.took;
  if (result.failure) {
    std::rethrow_exception(result.failure);
  }
  if (!result.read_whole) {
    log_event(log_error,
              "inviter_manager::reinit: the member table could not be read; "
              "the index is kept as it was");
    return false;
  }
  adopt_index(std::move(*result.fresh));
  known_missing.clear();
  return true;
}

bool inviter_manager::reload_due(std::chrono::steady_clock::time_point now) const {
  if (reloads.interval.count() == 0) {
    return true;
  }
  // A big table takes long to read: reloads then wait longer, so they never take more than a
  // tenth of the database reader's time, however often members beyond the index arrive.
  const std::chrono::steady_clock::duration pause =
      std::max<std::chrono::steady_clock::duration>(reloads.interval, 9 * last_reload_took);
  return now - last_reload >= pause;
}

void inviter_manager::reset_index() {
  inviter_table = decltype(inviter_table)();
  table_bound = 0;
  loaded_first = decltype(loaded_first)();
  loaded_invitees = decltype(loaded_invitees)();
  invitee_map = member_table<invitee_list>();
  max_user_id = 0;
  invitee_heap_bytes = 0;
  far_inviters.clear();
  recount_bytes();
}

void inviter_manager::adopt_index(inviter_manager&& fresh) {
  inviter_table = std::move(fresh.inviter_table);
  table_bound = fresh.table_bound;
  loaded_first = std::move(fresh.loaded_first);
  loaded_invitees = std::move(fresh.loaded_invitees);
  invitee_map = std::move(fresh.invitee_map);
  max_user_id = fresh.max_user_id;
  invitee_heap_bytes = fresh.invitee_heap_bytes;
  far_inviters = std::move(fresh.far_inviters);
  recount_bytes();
}

void inviter_manager::finish_reload(read_result& result) {
  last_reload = std::chrono::steady_clock::now();  // a failed reload counts too
  last_reload_took = result.took;
  add_outcome outcome;
  if (result.failure) {
    outcome.failed = true;
    outcome.why = what_of(result.failure);
    note_failure(true);
  } else if (!result.read_whole) {
    log_event(log_error,
              "inviter_manager::reinit: the member table could not be read; "
              "the index is kept as it was");
    note_failure(false);
  } else {
    failures_in_a_row = 0;
    adopt_index(std::move(*result.fresh));
    result.fresh.reset();
    known_missing.clear();
  }
  answer_read(outcome);
}
