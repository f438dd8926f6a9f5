// An add: recorded in place within the table, or beyond it after a read of the database (a
// whole reload when one is due, else the member's row), on the source's thread, with the adds
// that come meanwhile waiting behind it; failures rest the database for a growing while.
#include <algorithm>
#include <memory>
#include <stdexcept>
#include <utility>

#include "store/inviter_manager.h"
#include "store/inviter_shared.h"
#include "support/log.h"

using inviter_shared::no_connection;
using inviter_shared::what_of;

namespace {

// At most this many members are remembered as missing between two reloads; beyond it, their
// rows are read each time again (a flood of distinct ids must not grow memory without bound).
constexpr std::size_t known_missing_limit = 1 << 16;

}  // namespace

void inviter_manager::read_member_row(inviter_source& from, read_result& out) {
  try {
    out.found = from.read_member(out.member, out.highest, out.row);
  } catch (...) {
    out.failure = std::current_exception();
  }
}

bool inviter_manager::add(int member, int inviter, add_outcome& outcome, const add_done& later) {
  outcome = add_outcome();
  if (member < 0) {
    return true;
  }
  if (static_cast<size_t>(member) < table_bound) {
    set_inviter(static_cast<size_t>(member), inviter);
    add_invitee(inviter, member);
    recount_bytes();
    return true;
  }
  if (read_under_way) {
    waiting.push_back(waiting_add{member, inviter, later});
    return false;
  }
  return add_beyond_table(member, outcome, later);
}

bool inviter_manager::add(int member, int inviter) {
  if (member < 0) {
    return false;
  }
  add_outcome outcome;
  if (!add(member, inviter, outcome, [](const add_outcome&) {})) {
    throw std::logic_error("the inviter index reads on a thread of its own: add with a callback");
  }
  if (outcome.failed) {
    throw std::logic_error(outcome.why);
  }
  return true;
}

bool inviter_manager::add_in_place(int member, int inviter) {
  if (member < 0) {
    return false;
  }
  if (static_cast<size_t>(member) >= table_bound) {
    far_inviters[member] = inviter;  // the side table: one hostile id grows nothing
  } else {
    set_inviter(static_cast<size_t>(member), inviter);
  }
  add_invitee(inviter, member);
  recount_bytes();
  return true;
}

bool inviter_manager::add_beyond_table(int member, add_outcome& outcome, const add_done& later) {
  const std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now();
  if (now < database_rest_until) {
    // As the failed reload or read before: nothing changes.
    outcome.failed = last_failure_threw;
    outcome.why = last_failure_threw ? no_connection : "";
    return true;
  }
  if (reload_due(now)) {
    if (reload_counter != nullptr) {
      reload_counter->fetch_add(1, std::memory_order_relaxed);
    }
    return start_read(true, member, outcome, later);
  }
  if (known_missing.count(member) != 0) {
    return true;  // as its row read since the last reload: not there, so nothing changes
  }
  return start_read(false, member, outcome, later);
}

bool inviter_manager::start_read(bool whole, int member, add_outcome& outcome,
                                 const add_done& later) {
  read_under_way = true;
  read_answers = later;
  answering_inline = true;
  auto result = std::make_shared<read_result>();
  result->whole = whole;
  result->member = member;
  if (!source) {
    result->failure = std::make_exception_ptr(std::logic_error(no_connection));
    finish_read(*result);
  } else {
    inviter_source& from = *source;
    source->run_aside(
        [&from, result] {
          if (result->whole) {
            read_whole_table(from, *result);
          } else {
            read_member_row(from, *result);
          }
        },
        [this, result] { finish_read(*result); });
  }
  answering_inline = false;
  if (read_under_way) {
    return false;
  }
  outcome = inline_outcome;
  return true;
}

void inviter_manager::finish_read(read_result& result) {
  if (result.whole) {
    finish_reload(result);
  } else {
    finish_row_read(result);
  }
}

void inviter_manager::finish_row_read(read_result& result) {
  add_outcome outcome;
  if (result.failure) {
    outcome.failed = true;
    outcome.why = what_of(result.failure);
    note_failure(true);
  } else if (result.found == inviter_source::lookup::failed) {
    log_event(log_error,
              "inviter_manager::add: the row of member %d could not be read; "
              "the index is kept as it was",
              result.member);
    note_failure(false);
  } else {
    failures_in_a_row = 0;
    grow_for(result.highest);
    if (result.found == inviter_source::lookup::found) {
      record_loaded_row(result.row);
    } else {
      remember_missing(result.member);
    }
  }
  answer_read(outcome);
}

void inviter_manager::remember_missing(int member) {
  if (static_cast<size_t>(member) >= table_bound && known_missing.size() < known_missing_limit) {
    known_missing.insert(member);
  }
}

void inviter_manager::answer_read(const add_outcome& outcome) {
  read_under_way = false;
  const add_done answer = std::move(read_answers);
  read_answers = nullptr;
  if (answering_inline) {
    inline_outcome = outcome;  // start_read() answers it; nothing waits behind a read inline
    return;
  }
  if (answer) {
    answer(outcome);
  }
  answer_waiting();
}

void inviter_manager::answer_waiting() {
  // Each as if it came now: within the index after a reload, known as missing, answered by
  // the rest after a failure, or the next read.
  while (!read_under_way && !waiting.empty()) {
    const waiting_add next = std::move(waiting.front());
    waiting.pop_front();
    add_outcome outcome;
    if (add(next.member, next.inviter, outcome, next.later) && next.later) {
      next.later(outcome);
    }
  }
}

void inviter_manager::note_failure(bool threw) {
  last_failure_threw = threw;
  failures_in_a_row = std::min(failures_in_a_row + 1, 16u);
  const std::chrono::milliseconds most(60000);
  const std::chrono::milliseconds rest =
      std::min(most, reloads.interval * (int64_t{1} << (failures_in_a_row - 1)));
  database_rest_until = std::chrono::steady_clock::now() + rest;
}
