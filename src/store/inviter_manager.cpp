#include "store/inviter_manager.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <unordered_set>
#include <utility>

#include "metrics/metrics.h"
#include "store/inviter_source.h"
#include "support/log.h"

namespace helper {

namespace {

// The bucket counts of the classic hash tables, each roughly twice its predecessor.
const unsigned long stl_prime_list[] = {
    53ul,         97ul,         193ul,       389ul,       769ul,        1543ul,       3079ul,
    6151ul,       12289ul,      24593ul,     49157ul,     98317ul,      196613ul,     393241ul,
    786433ul,     1572869ul,    3145739ul,   6291469ul,   12582917ul,   25165843ul,   50331653ul,
    100663319ul,  201326611ul,  402653189ul, 805306457ul, 1610612741ul, 3221225473ul, 4294967291ul,
};

}  // namespace

unsigned long next_prime(unsigned long n) {
  const unsigned long* first = std::begin(stl_prime_list);
  const unsigned long* last = std::end(stl_prime_list);
  const unsigned long* found = std::lower_bound(first, last, n);
  return found == last ? *(last - 1) : *found;
}

}  // namespace helper

namespace {

// The invitee table's key for an inviter id: any int, sign-extended, so each has its own key.
unsigned long inviter_key(int inviter) { return static_cast<unsigned long>(long{inviter}); }

// Every non-negative int is an index below this; the table never needs to be longer.
constexpr int64_t table_limit = int64_t{INT_MAX} + 1;

// The table size for the highest member id `highest`: twice it, so members registered after a
// load fit in place, but never beyond what a non-negative int can index. A load and a member
// read between reloads size the table alike.
size_t table_size_for(int64_t highest) {
  return static_cast<size_t>(std::min(2 * highest, table_limit));
}

}  // namespace

// What a read for the index brought back. Filled by the read on the source's thread, used on
// the index's thread once the source hands the answer back, never by both at once.
struct inviter_manager::read_result {
  bool whole = false;  // a reload; else a read of `member`'s row
  int member = 0;
  std::exception_ptr failure;  // the connection failed, or memory ran out
  // A reload: the index built aside from the rows, whether the whole table was read, and when.
  std::unique_ptr<inviter_manager> fresh;
  bool read_whole = false;
  std::chrono::steady_clock::duration took{};
  // A row read: the highest member id, the row, and whether it was there.
  int highest = 0;
  table_rows::member_row row;
  inviter_source::lookup found = inviter_source::lookup::failed;
};

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

void inviter_manager::read_member_row(inviter_source& from, read_result& out) {
  try {
    out.found = from.read_member(out.member, out.highest, out.row);
  } catch (...) {
    out.failure = std::current_exception();
  }
}

namespace {

std::string what_of(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown exception";
  }
}

const char* const no_connection = "mysql connection init error.";

// At most this many members are remembered as missing between two reloads; beyond it, their
// rows are read each time again (a flood of distinct ids must not grow memory without bound).
constexpr std::size_t known_missing_limit = 1 << 16;

}  // namespace

void inviter_manager::reinit() { reload(); }

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
    log_event(log_error, "inviter_manager::reinit: the member table could not be read; "
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

void inviter_manager::recount_bytes() {
  held_bytes.store(inviter_table.capacity() * sizeof(int) +
                       loaded_first.capacity() * sizeof(uint32_t) +
                       loaded_invitees.capacity() * sizeof(int) + invitee_map.table_bytes() +
                       invitee_heap_bytes,
                   std::memory_order_relaxed);
}

void inviter_manager::add_invitee(int inviter, int member) {
  invitee_list& invited = invitee_map.find_or_add(inviter_key(inviter));
  const size_t before = invited.heap_bytes();
  invited.push_back(member);
  invitee_heap_bytes += invited.heap_bytes() - before;
}

inviter_manager::load_start inviter_manager::prepare_load(bool read, int highest) {
  reset_index();
  last_reload = std::chrono::steady_clock::now();
  if (!read) {
    return load_start::failed;
  }
  max_user_id = highest;
  if (max_user_id < 1) {
    return load_start::empty_table;
  }
  const unsigned long buckets = helper::next_prime(static_cast<unsigned long>(max_user_id));
  std::printf("max user id=%d max_bucket=%lu\n", max_user_id, buckets);
  std::printf("start rehash\n");
  std::fflush(stdout);
  size_table(max_user_id);
  return load_start::ready;
}

void inviter_manager::size_table(int64_t highest) {
  inviter_table.clear();
  table_bound = table_size_for(highest);
  recount_bytes();
}

bool inviter_manager::accept_loaded_row(const table_rows::member_row& row,
                                        invitation& out) const {
  const table_rows::id_column& member_id = row.member_id;
  const table_rows::id_column& inviter_id = row.inviter_id;
  if (member_id.negative || inviter_id.negative || member_id.value > INT_MAX ||
      inviter_id.value > static_cast<unsigned long>(max_user_id)) {
    return false;
  }
  out.member = static_cast<int>(member_id.value);
  out.inviter = static_cast<int>(inviter_id.value);
  return true;
}

void inviter_manager::set_inviter(size_t member, int inviter) {
  if (member >= table_bound) {
    table_bound = member + 1;  // stored after the maximum was read: grow rather than lose it
  }
  if (member >= inviter_table.size()) {
    if (member >= inviter_table.capacity()) {
      // Members registered one after another: grow by an eighth, not twice over.
      inviter_table.reserve(std::max(member + 1, inviter_table.size() + inviter_table.size() / 8));
    }
    inviter_table.resize(member + 1, 0);
  }
  inviter_table[member] = inviter;
}

void inviter_manager::record_loaded_rows(const std::vector<invitation>& rows) {
  size_t highest = 0;
  for (const invitation& row : rows) {
    highest = std::max(highest, static_cast<size_t>(row.member));
  }
  inviter_table.reserve(rows.empty() ? 0 : highest + 1);
  for (const invitation& row : rows) {
    set_inviter(static_cast<size_t>(row.member), row.inviter);
  }
  // The invitees grouped by inviter, each group in the order read: count, sum, place.
  loaded_first.assign(static_cast<size_t>(max_user_id) + 2, 0);
  for (const invitation& row : rows) {
    ++loaded_first[static_cast<size_t>(row.inviter) + 1];
  }
  for (size_t i = 1; i < loaded_first.size(); ++i) {
    loaded_first[i] += loaded_first[i - 1];
  }
  loaded_invitees.resize(rows.size());
  for (const invitation& row : rows) {
    loaded_invitees[loaded_first[static_cast<size_t>(row.inviter)]++] = row.member;
  }
  // Each offset now stands where the next group starts: move them back by one.
  for (size_t i = loaded_first.size() - 1; i > 0; --i) {
    loaded_first[i] = loaded_first[i - 1];
  }
  loaded_first[0] = 0;
  recount_bytes();
}

void inviter_manager::record_loaded_row(const table_rows::member_row& row) {
  invitation taken{};
  if (!accept_loaded_row(row, taken)) {
    return;
  }
  set_inviter(static_cast<size_t>(taken.member), taken.inviter);
  add_invitee(taken.inviter, taken.member);
  recount_bytes();
}

std::vector<int> inviter_manager::list(int member) const {
  std::vector<int> chain;
  if (member < 0 ||
      (static_cast<size_t>(member) >= table_bound && far_inviters.count(member) == 0)) {
    return chain;
  }
  std::unordered_set<int> seen{member};
  for (;;) {
    if (static_cast<size_t>(member) < table_bound) {
      member = inviter_of(static_cast<size_t>(member));
    } else {
      const auto far = far_inviters.find(member);
      if (far == far_inviters.end()) {
        return chain;  // recorded by add() beyond the table: nothing is known above it
      }
      member = far->second;
    }
    if (member <= 0 || !seen.insert(member).second) {
      return chain;
    }
    chain.push_back(member);
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

bool inviter_manager::add_beyond_table(int member, add_outcome& outcome,
                                       const add_done& later) {
  const std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now();
  if (now < database_rest_until) {
    // As the failed reload or read before: nothing changes.
    outcome.failed = last_failure_threw;
    outcome.why = last_failure_threw ? no_connection : "";
    return true;
  }
  if (reload_due(now)) {
    metrics::global().inviter_reloads.fetch_add(1, std::memory_order_relaxed);
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

void inviter_manager::finish_reload(read_result& result) {
  last_reload = std::chrono::steady_clock::now();  // a failed reload counts too
  last_reload_took = result.took;
  add_outcome outcome;
  if (result.failure) {
    outcome.failed = true;
    outcome.why = what_of(result.failure);
    note_failure(true);
  } else if (!result.read_whole) {
    log_event(log_error, "inviter_manager::reinit: the member table could not be read; "
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

void inviter_manager::finish_row_read(read_result& result) {
  add_outcome outcome;
  if (result.failure) {
    outcome.failed = true;
    outcome.why = what_of(result.failure);
    note_failure(true);
  } else if (result.found == inviter_source::lookup::failed) {
    log_event(log_error, "inviter_manager::add: the row of member %d could not be read; "
                         "the index is kept as it was", result.member);
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

void inviter_manager::grow_for(int highest) {
  if (highest <= max_user_id) {
    return;
  }
  table_bound = std::max(table_bound, table_size_for(highest));
  max_user_id = highest;
  recount_bytes();
}

void inviter_manager::note_failure(bool threw) {
  last_failure_threw = threw;
  failures_in_a_row = std::min(failures_in_a_row + 1, 16u);
  const std::chrono::milliseconds most(60000);
  const std::chrono::milliseconds rest =
      std::min(most, reloads.interval * (int64_t{1} << (failures_in_a_row - 1)));
  database_rest_until = std::chrono::steady_clock::now() + rest;
}

std::vector<int> inviter_manager::invitees(int inviter) const {
  if (inviter < 0) {
    return {};
  }
  std::vector<int> out;
  const auto group = static_cast<size_t>(inviter);
  if (group + 1 < loaded_first.size()) {
    out.assign(loaded_invitees.begin() + loaded_first[group],
               loaded_invitees.begin() + loaded_first[group + 1]);
  }
  if (const invitee_list* added = invitee_map.find(inviter_key(inviter))) {
    const std::vector<int> later = added->members();
    out.insert(out.end(), later.begin(), later.end());
  }
  return out;
}
