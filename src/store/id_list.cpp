#include "store/id_list.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

namespace {

constexpr unsigned long narrow_limit = std::numeric_limits<uint32_t>::max();
constexpr uint32_t wide_flag = 0x80000000u;
constexpr size_t largest_capacity = ~wide_flag;

// Ids kept in the word: one below 2^62, or two below 2^31.
constexpr unsigned long one_limit = (1UL << 62) - 1;
constexpr unsigned long two_limit = (1UL << 31) - 1;

// Lists beyond this many entries grow by a quarter, so appending stays amortised constant while
// the spare room stays small; shorter ones grow to just what they need.
constexpr size_t exact_growth_below = 16;

size_t grown_capacity(size_t needed) {
  return needed < exact_growth_below ? needed : needed + needed / 4;
}

// The union of two ascending, repeat-free ranges into `out` (room for na + nb); answers how
// many were written.
template <typename T, typename A, typename B>
size_t merge_union(T* out, const A* a, size_t na, const B* b, size_t nb) {
  size_t i = 0;
  size_t j = 0;
  size_t written = 0;
  while (i < na && j < nb) {
    const unsigned long left = a[i];
    const unsigned long right = b[j];
    if (left < right) {
      out[written++] = static_cast<T>(left);
      ++i;
    } else if (right < left) {
      out[written++] = static_cast<T>(right);
      ++j;
    } else {
      out[written++] = static_cast<T>(left);
      ++i;
      ++j;
    }
  }
  for (; i < na; ++i) {
    out[written++] = static_cast<T>(a[i]);
  }
  for (; j < nb; ++j) {
    out[written++] = static_cast<T>(b[j]);
  }
  return written;
}

// Size of the union of two ascending, repeat-free ranges.
template <typename A>
size_t union_size(const A* a, size_t na, const unsigned long* b, size_t nb) {
  size_t common = 0;
  for (size_t i = 0, j = 0; i < na && j < nb;) {
    if (a[i] < b[j]) {
      ++i;
    } else if (b[j] < a[i]) {
      ++j;
    } else {
      ++common;
      ++i;
      ++j;
    }
  }
  return na + nb - common;
}

template <typename T>
std::vector<unsigned long> page_over(const T* stored, size_t count, unsigned long cursor,
                                     unsigned long limit, bool below) {
  std::vector<unsigned long> out;
  const T* end = stored + count;
  if (below) {
    const T* from = std::lower_bound(stored, end, cursor);  // the ids before it are smaller
    const auto available = static_cast<unsigned long>(from - stored);
    out.reserve(std::min(limit, available));
    for (; from != stored && out.size() < limit;) {
      out.push_back(*--from);
    }
  } else {
    const T* from = std::upper_bound(stored, end, cursor);  // it and the ids after are larger
    const auto available = static_cast<unsigned long>(end - from);
    out.reserve(std::min(limit, available));
    for (; from != end && out.size() < limit; ++from) {
      out.push_back(*from);
    }
  }
  return out;
}

}  // namespace

// The head of a list's block; the entries follow it.
struct id_list::block {
  uint32_t count;
  uint32_t shape;  // capacity in entries | wide_flag

  size_t capacity() const { return shape & ~wide_flag; }
  bool wide() const { return (shape & wide_flag) != 0; }
  size_t bytes() const { return sizeof(block) + capacity() * (wide() ? 8 : 4); }
  template <typename T>
  T* entries() {
    return reinterpret_cast<T*>(this + 1);
  }
  template <typename T>
  const T* entries() const {
    return reinterpret_cast<const T*>(this + 1);
  }

  // A block from `arena` with room for at least `capacity` entries of T, and none stored.
  template <typename T>
  static block* make(list_arena& arena, size_t capacity) {
    size_t usable = 0;
    void* memory = arena.allocate(sizeof(block) + capacity * sizeof(T), usable);
    auto* made = static_cast<block*>(memory);
    made->count = 0;
    made->shape =
        static_cast<uint32_t>(std::min(largest_capacity, (usable - sizeof(block)) / sizeof(T))) |
        (sizeof(T) == 8 ? wide_flag : 0);
    return made;
  }
  static void give_back(list_arena& arena, block* gone) { arena.release(gone, gone->bytes()); }
};
static_assert(sizeof(id_list) == 8, "a list head is one word");

size_t id_list::unpack(unsigned long out[2]) const {
  switch (word & tag_mask) {
    case tag_one:
      out[0] = word >> 2;
      return 1;
    case tag_two:
      out[0] = (word >> 2) & two_limit;
      out[1] = word >> 33;
      return 2;
    default:
      return 0;
  }
}

bool id_list::pack(const unsigned long* ids, size_t n) {
  if (n == 0) {
    word = 0;
    return true;
  }
  if (n == 1 && ids[0] <= one_limit) {
    word = (uint64_t{ids[0]} << 2) | tag_one;
    return true;
  }
  if (n == 2 && ids[1] <= two_limit) {
    word = (uint64_t{ids[1]} << 33) | (uint64_t{ids[0]} << 2) | tag_two;
    return true;
  }
  return false;
}

size_t id_list::size() const {
  if (word == 0) {
    return 0;
  }
  if (in_word()) {
    return (word & tag_mask) == tag_one ? 1 : 2;
  }
  return heap()->count;
}

bool id_list::wide() const {
  return word != 0 && !in_word() && heap()->wide();
}

unsigned long id_list::at(size_t i) const {
  if (in_word()) {
    unsigned long kept[2];
    unpack(kept);
    return kept[i];
  }
  return heap()->wide() ? heap()->entries<uint64_t>()[i] : heap()->entries<uint32_t>()[i];
}

size_t id_list::heap_bytes() const {
  return word == 0 || in_word() ? 0 : heap()->bytes();
}

void id_list::clear(list_arena& arena) {
  if (word != 0 && !in_word()) {
    block::give_back(arena, heap());
  }
  word = 0;
}

// ---- insertion ----

void id_list::insert(list_arena& arena, const unsigned long* ids, size_t n) {
  if (n == 0) {
    return;
  }
  if (word == 0 || in_word()) {
    insert_into_word(arena, ids, n);
    return;
  }
  if (!heap()->wide() && ids[n - 1] > narrow_limit) {
    widen(arena);
  }
  if (heap()->wide()) {
    insert_into_block<uint64_t>(arena, ids, n);
  } else {
    insert_into_block<uint32_t>(arena, ids, n);
  }
}

// The list holds at most two ids in its word: the union goes back into the word if it fits,
// otherwise into a new block (sized exactly for a list that was empty, as the load fills them).
void id_list::insert_into_word(list_arena& arena, const unsigned long* ids, size_t n) {
  unsigned long kept[2];
  const size_t stored = unpack(kept);
  const size_t total = union_size(kept, stored, ids, n);
  if (total <= 2) {
    unsigned long merged[2];
    merge_union(merged, kept, stored, ids, n);
    if (pack(merged, total)) {
      return;
    }
  }
  const unsigned long largest = std::max(stored != 0 ? kept[stored - 1] : 0, ids[n - 1]);
  const size_t capacity = stored == 0 ? total : grown_capacity(total);
  block* made;
  if (largest > narrow_limit) {
    made = block::make<uint64_t>(arena, capacity);
    made->count =
        static_cast<uint32_t>(merge_union(made->entries<uint64_t>(), kept, stored, ids, n));
  } else {
    made = block::make<uint32_t>(arena, capacity);
    made->count =
        static_cast<uint32_t>(merge_union(made->entries<uint32_t>(), kept, stored, ids, n));
  }
  word = reinterpret_cast<uint64_t>(made);
}

// Moves the entries into a new block with room for at least `needed` of them.
template <typename T>
void id_list::move_to_block(list_arena& arena, size_t needed) {
  block* old = heap();
  block* made = block::make<T>(arena, grown_capacity(needed));
  std::memcpy(made->entries<T>(), old->entries<T>(), old->count * sizeof(T));
  made->count = old->count;
  block::give_back(arena, old);
  word = reinterpret_cast<uint64_t>(made);
}

void id_list::widen(list_arena& arena) {
  block* old = heap();
  block* made = block::make<uint64_t>(arena, std::max<size_t>(old->count, 1));
  const uint32_t* narrow = old->entries<uint32_t>();
  uint64_t* wide_ids = made->entries<uint64_t>();
  for (size_t i = 0; i < old->count; ++i) {
    wide_ids[i] = narrow[i];
  }
  made->count = old->count;
  block::give_back(arena, old);
  word = reinterpret_cast<uint64_t>(made);
}

template <typename T>
void id_list::insert_into_block(list_arena& arena, const unsigned long* ids, size_t n) {
  const size_t old_count = heap()->count;
  const T* stored = heap()->entries<T>();
  size_t added = n;
  if (old_count != 0 && ids[0] <= stored[old_count - 1]) {
    // Not a plain append: count the ids already stored to know the merged size.
    const T* at = std::lower_bound(stored, stored + old_count, ids[0]);
    for (size_t j = 0; at != stored + old_count && j < n;) {
      if (*at < ids[j]) {
        ++at;
      } else if (ids[j] < *at) {
        ++j;
      } else {
        --added;
        ++at;
        ++j;
      }
    }
    if (added == 0) {
      return;
    }
  }
  if (old_count + added > heap()->capacity()) {
    move_to_block<T>(arena, old_count + added);
  }
  T* out = heap()->entries<T>();
  if (added == n && (old_count == 0 || ids[0] > out[old_count - 1])) {
    for (size_t j = 0; j < n; ++j) {
      out[old_count + j] = static_cast<T>(ids[j]);
    }
  } else {
    // Merge from the back, so every stored entry moves at most once and only those above the
    // smallest new id move at all; each run of stored entries between two new ids moves as one
    // block.
    size_t write = old_count + added;
    size_t read = old_count;
    for (size_t j = n; j > 0; --j) {
      const unsigned long next = ids[j - 1];
      const T* first_above = std::upper_bound(out, out + read, next);
      const size_t above = read - static_cast<size_t>(first_above - out);
      if (above != 0 && write != read) {
        std::memmove(out + write - above, out + read - above, above * sizeof(T));
      }
      write -= above;
      read -= above;
      if (read > 0 && out[read - 1] == next) {
        out[--write] = out[--read];  // already stored: it stays
      } else {
        out[--write] = static_cast<T>(next);
      }
    }
  }
  heap()->count = static_cast<uint32_t>(old_count + added);
}

// ---- removal ----

void id_list::erase(list_arena& arena, const unsigned long* ids, size_t n) {
  if (n == 0 || word == 0) {
    return;
  }
  if (in_word()) {
    unsigned long kept[2];
    const size_t stored = unpack(kept);
    unsigned long left[2];
    size_t remaining = 0;
    for (size_t i = 0; i < stored; ++i) {
      if (!std::binary_search(ids, ids + n, kept[i])) {
        left[remaining++] = kept[i];
      }
    }
    pack(left, remaining);  // a part of what fitted fits
    return;
  }
  if (heap()->wide()) {
    erase_from_block<uint64_t>(arena, ids, n);
  } else {
    erase_from_block<uint32_t>(arena, ids, n);
  }
}

template <typename T>
void id_list::erase_from_block(list_arena& arena, const unsigned long* ids, size_t n) {
  T* stored = heap()->entries<T>();
  T* end = stored + heap()->count;
  T* read = std::lower_bound(stored, end, ids[0]);
  T* write = read;
  size_t j = 0;
  for (; read != end; ++read) {
    while (j < n && ids[j] < *read) {
      ++j;
    }
    if (j < n && ids[j] == *read) {
      ++j;
      continue;
    }
    *write++ = *read;
  }
  if (write == end) {
    return;
  }
  heap()->count = static_cast<uint32_t>(write - stored);
  shrink_if_sparse<T>(arena);
}

void id_list::keep_newest(list_arena& arena, size_t n) {
  const size_t stored = size();
  if (stored <= n) {
    return;
  }
  if (in_word()) {
    // The word holds two ids at most, so at most the newer one stays.
    unsigned long kept[2] = {0, 0};
    unpack(kept);
    if (n == 0) {
      word = 0;
    } else {
      pack(&kept[stored - 1], 1);
    }
    return;
  }
  if (heap()->wide()) {
    keep_newest_in_block<uint64_t>(arena, n);
  } else {
    keep_newest_in_block<uint32_t>(arena, n);
  }
}

template <typename T>
void id_list::keep_newest_in_block(list_arena& arena, size_t n) {
  T* stored = heap()->entries<T>();
  std::memmove(stored, stored + (heap()->count - n), n * sizeof(T));
  heap()->count = static_cast<uint32_t>(n);
  shrink_if_sparse<T>(arena);
}

// After removals: ids that fit the word go there; a block less than half used is given back for
// one that fits.
template <typename T>
void id_list::shrink_if_sparse(list_arena& arena) {
  block* old = heap();
  const size_t count = old->count;
  if (count <= 2) {
    unsigned long left[2];
    for (size_t i = 0; i < count; ++i) {
      left[i] = old->entries<T>()[i];
    }
    if (pack(left, count)) {
      block::give_back(arena, old);
      return;
    }
  }
  if (count * 2 > old->capacity()) {
    return;
  }
  block* made;
  try {
    made = block::make<T>(arena, count);
  } catch (const std::bad_alloc&) {
    return;  // keeping the larger block is fine
  }
  std::memcpy(made->entries<T>(), old->entries<T>(), count * sizeof(T));
  made->count = static_cast<uint32_t>(count);
  block::give_back(arena, old);
  word = reinterpret_cast<uint64_t>(made);
}

// ---- reading ----

std::vector<unsigned long> id_list::page(unsigned long cursor, unsigned long limit,
                                         bool below) const {
  if (word == 0 || in_word()) {
    unsigned long kept[2];
    const size_t stored = unpack(kept);
    return page_over(kept, stored, cursor, limit, below);
  }
  const block* stored = heap();
  return stored->wide()
             ? page_over(stored->entries<uint64_t>(), stored->count, cursor, limit, below)
             : page_over(stored->entries<uint32_t>(), stored->count, cursor, limit, below);
}

std::vector<unsigned long> id_list::ids() const {
  if (word == 0 || in_word()) {
    unsigned long kept[2];
    const size_t stored = unpack(kept);
    return std::vector<unsigned long>(kept, kept + stored);
  }
  const block* stored = heap();
  if (stored->wide()) {
    return std::vector<unsigned long>(stored->entries<uint64_t>(),
                                      stored->entries<uint64_t>() + stored->count);
  }
  return std::vector<unsigned long>(stored->entries<uint32_t>(),
                                    stored->entries<uint32_t>() + stored->count);
}

std::vector<unsigned long> id_list::slice(size_t from, size_t limit) const {
  if (word == 0 || in_word()) {
    unsigned long kept[2];
    const size_t stored = unpack(kept);
    const size_t begin = std::min(from, stored);
    return std::vector<unsigned long>(kept + begin, kept + std::min(stored, begin + limit));
  }
  const block* stored = heap();
  const size_t begin = std::min<size_t>(from, stored->count);
  const size_t end = begin + std::min<size_t>(limit, stored->count - begin);
  if (stored->wide()) {
    return std::vector<unsigned long>(stored->entries<uint64_t>() + begin,
                                      stored->entries<uint64_t>() + end);
  }
  return std::vector<unsigned long>(stored->entries<uint32_t>() + begin,
                                    stored->entries<uint32_t>() + end);
}
