#include "inviter_manager.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <unordered_set>
#include <utility>

#include "log.h"
#include "metrics.h"
#include "mysql_helper.h"
#include "table_reader.h"

namespace helper {

namespace {

// The bucket counts of the classic hash tables, each roughly twice its predecessor.
const unsigned long stl_prime_list[] = {
    53ul,         97ul,         193ul,       389ul,       769ul,        1543ul,       3079ul,
    6151ul,       12289ul,      24593ul,     49157ul,     98317ul,      196613ul,     393241ul,
    786433ul,     1572869ul,    3145739ul,   6291469ul,   12582917ul,   25165843ul,   50331653ul,
    100663319ul,  201326611ul,  402653189ul, 805306457ul, 1610612741ul, 3221225473ul, 4294967291ul,
};

// The answer of a max() query as a 64-bit number (0 for NULL); false when the query failed.
bool read_highest(mysql::connection& conn, const char* sql, long long& out) {
  out = 0;
  mysql::result rows = conn.exec(sql, mysql::connection::oper_select);
  if (!rows.good()) {
    return false;
  }
  MYSQL_ROW row = rows.begin();
  if (row != nullptr && row[0] != nullptr) {
    out = std::strtoll(row[0], nullptr, 10);
  }
  return true;
}

// The highest member id into `out` (0 for an empty table); false when the query failed. Ids
// beyond a signed 32-bit int cannot be indexed (their rows are skipped), so when the table holds
// such ids the highest one that fits is asked for instead.
bool read_max_user(mysql::connection& conn, int& out) {
  out = 0;
  long long highest = 0;
  if (!read_highest(conn, "SELECT max(member_id) FROM brix_member;", highest)) {
    return false;
  }
  if (highest > INT_MAX &&
      !read_highest(conn, "SELECT max(member_id) FROM brix_member WHERE member_id <= 2147483647;",
                    highest)) {
    return false;
  }
  out = static_cast<int>(std::max<long long>(highest, INT_MIN));
  return true;
}

}  // namespace

int max_user(mysql::connection& conn) {
  int highest = 0;
  read_max_user(conn, highest);
  return highest;
}

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

void inviter_manager::reinit() { timed_reload(); }

bool inviter_manager::timed_reload() {
  const std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
  const auto note_time = [&] {
    last_reload = std::chrono::steady_clock::now();  // a failed reload counts too
    last_reload_took = last_reload - started;
  };
  bool complete = false;
  try {
    complete = reload();
  } catch (const std::exception&) {
    note_time();
    throw;
  }
  note_time();
  return complete;
}

bool inviter_manager::reload_due(std::chrono::steady_clock::time_point now) const {
  if (reloads.interval.count() == 0) {
    return true;
  }
  // A big table takes long to read: reloads then wait longer, so they never take more than a
  // tenth of the loop's time, however often members beyond the index arrive.
  const std::chrono::steady_clock::duration pause =
      std::max<std::chrono::steady_clock::duration>(reloads.interval, 9 * last_reload_took);
  return now - last_reload >= pause;
}

bool inviter_manager::reload() {
  std::unique_ptr<mysql::connection> conn = table_reader::connect(reloads.io_timeout_seconds);
  inviter_manager fresh;
  const load_start start = fresh.prepare_load(*conn);
  bool read_whole = start != load_start::failed;
  if (start == load_start::ready) {
    read_whole = table_reader::read_members(*conn, [&fresh](const table_reader::member_row& row) {
                   fresh.record_loaded_row(row);
                 }).complete;
  }
  if (!read_whole) {
    log_event(log_error, "inviter_manager::reinit: the member table could not be read; "
                         "the index is kept as it was");
    return false;
  }
  adopt_index(std::move(fresh));
  return true;
}

void inviter_manager::reset_index() {
  inviter_table = std::vector<int>();
  invitee_map = member_table<invitee_list>();
  max_user_id = 0;
}

void inviter_manager::adopt_index(inviter_manager&& fresh) {
  inviter_table = std::move(fresh.inviter_table);
  invitee_map = std::move(fresh.invitee_map);
  max_user_id = fresh.max_user_id;
}

inviter_manager::load_start inviter_manager::prepare_load(mysql::connection& conn) {
  reset_index();
  last_reload = std::chrono::steady_clock::now();
  int highest = 0;
  if (!helper::read_max_user(conn, highest)) {
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
  inviter_table.assign(table_size_for(highest), 0);
}

void inviter_manager::record_loaded_row(const table_reader::member_row& row) {
  const table_reader::id_column& member_id = row.member_id;
  const table_reader::id_column& inviter_id = row.inviter_id;
  if (member_id.negative || inviter_id.negative || member_id.value > INT_MAX ||
      inviter_id.value > static_cast<unsigned long>(max_user_id)) {
    return;
  }
  const int member = static_cast<int>(member_id.value);
  const int inviter = static_cast<int>(inviter_id.value);
  if (static_cast<size_t>(member) >= inviter_table.size()) {
    // Stored after the maximum was read: grow rather than lose it.
    inviter_table.resize(static_cast<size_t>(member) + 1, 0);
  }
  inviter_table[static_cast<size_t>(member)] = inviter;
  invitee_map.find_or_add(inviter_key(inviter)).push_back(member);
}

std::vector<int> inviter_manager::list(int member) const {
  std::vector<int> chain;
  if (member < 0 || static_cast<size_t>(member) >= inviter_table.size()) {
    return chain;
  }
  std::unordered_set<int> seen{member};
  for (;;) {
    member = inviter_table[static_cast<size_t>(member)];
    if (member <= 0 || !seen.insert(member).second) {
      return chain;
    }
    chain.push_back(member);
    if (static_cast<size_t>(member) >= inviter_table.size()) {
      return chain;  // recorded by add() beyond the table: nothing is known above it
    }
  }
}

bool inviter_manager::add(int member, int inviter) {
  if (member < 0) {
    return false;
  }
  if (static_cast<size_t>(member) < inviter_table.size()) {
    inviter_table[static_cast<size_t>(member)] = inviter;
    invitee_map.find_or_add(inviter_key(inviter)).push_back(member);
  } else {
    add_beyond_table(member);
  }
  return true;
}

bool inviter_manager::add_in_place(int member, int inviter) {
  if (member < 0) {
    return false;
  }
  if (static_cast<size_t>(member) < inviter_table.size()) {
    inviter_table[static_cast<size_t>(member)] = inviter;
  } else {
    log_event(log_warning, "inviter change for member %d beyond the index: not recorded", member);
    return false;
  }
  invitee_map.find_or_add(inviter_key(inviter)).push_back(member);
  return true;
}

void inviter_manager::add_beyond_table(int member) {
  const std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now();
  if (now < database_rest_until) {
    // As the failed reload or read before: nothing changes.
    if (last_failure_threw) {
      throw std::logic_error("mysql connection init error.");
    }
    return;
  }
  if (reload_due(now)) {
    reload_now();
  } else {
    apply_member_row(member);
  }
}

void inviter_manager::reload_now() {
  metrics::global().inviter_reloads.fetch_add(1, std::memory_order_relaxed);
  bool complete = false;
  try {
    complete = timed_reload();
  } catch (const std::exception&) {
    note_failure(true);
    throw;
  }
  if (complete) {
    failures_in_a_row = 0;
  } else {
    note_failure(false);
  }
}

void inviter_manager::apply_member_row(int member) {
  bool read = false;
  int highest = 0;
  table_reader::member_row row;
  table_reader::lookup found = table_reader::lookup::failed;
  try {
    if (!row_reader) {
      row_reader = table_reader::connect(reloads.io_timeout_seconds);
    }
    if (helper::read_max_user(*row_reader, highest)) {
      found = table_reader::read_member(*row_reader, member, row);
      read = found != table_reader::lookup::failed;
    }
  } catch (const std::exception&) {
    note_failure(true);
    throw;
  }
  if (!read) {
    log_event(log_error, "inviter_manager::add: the row of member %d could not be read; "
                         "the index is kept as it was", member);
    row_reader.reset();
    note_failure(false);
    return;
  }
  failures_in_a_row = 0;
  grow_for(highest);
  if (found == table_reader::lookup::found) {
    record_loaded_row(row);
  }
}

void inviter_manager::grow_for(int highest) {
  if (highest <= max_user_id) {
    return;
  }
  const size_t wanted = table_size_for(highest);
  if (wanted > inviter_table.size()) {
    inviter_table.resize(wanted, 0);
  }
  max_user_id = highest;
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
  const invitee_list* found = invitee_map.find(inviter_key(inviter));
  return found != nullptr ? found->members() : std::vector<int>();
}
