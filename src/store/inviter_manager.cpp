#include "store/inviter_manager.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <iterator>

#include "store/inviter_shared.h"

// The table's size: the prime the invitee table is sized by, the inviter table's bound for the
// highest member id, and the running count of bytes.

namespace helper {

namespace {

// The bucket counts of the classic hash tables, each roughly twice its predecessor.
const unsigned long stl_prime_list[] = {
    53ul,        97ul,        193ul,       389ul,       769ul,        1543ul,       3079ul,
    6151ul,      12289ul,     24593ul,     49157ul,     98317ul,      196613ul,     393241ul,
    786433ul,    1572869ul,   3145739ul,   6291469ul,   12582917ul,   25165843ul,   50331653ul,
    100663319ul, 201326611ul, 402653189ul, 805306457ul, 1610612741ul, 3221225473ul, 4294967291ul,
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

// Every non-negative int is an index below this; the table never needs to be longer.
constexpr int64_t table_limit = int64_t{INT_MAX} + 1;

// The table size for the highest member id `highest`: twice it, so members registered after a
// load fit in place, but never beyond what a non-negative int can index. A load and a member
// read between reloads size the table alike.
size_t table_size_for(int64_t highest) {
  return static_cast<size_t>(std::min(2 * highest, table_limit));
}

}  // namespace

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

void inviter_manager::grow_for(int highest) {
  if (highest <= max_user_id) {
    return;
  }
  table_bound = std::max(table_bound, table_size_for(highest));
  max_user_id = highest;
  recount_bytes();
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

void inviter_manager::recount_bytes() {
  held_bytes.store(
      inviter_table.capacity() * sizeof(int) + loaded_first.capacity() * sizeof(uint32_t) +
          loaded_invitees.capacity() * sizeof(int) + invitee_map.table_bytes() + invitee_heap_bytes,
      std::memory_order_relaxed);
}
