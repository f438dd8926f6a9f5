#include "id_list.h"

#include <malloc.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <utility>

namespace {

constexpr unsigned long narrow_limit = std::numeric_limits<uint32_t>::max();

// Lists beyond this many entries grow by a quarter, so appending stays amortised constant while
// the spare room stays small; shorter ones take just the block the allocator hands out.
constexpr size_t exact_growth_below = 16;

void* allocate(size_t bytes) {
  void* block = std::malloc(bytes);
  if (block == nullptr) {
    throw std::bad_alloc();
  }
  return block;
}

}  // namespace

id_list::id_list(id_list&& other) noexcept
    : count(std::exchange(other.count, 0)), shape(std::exchange(other.shape, 0)) {
  storage = other.storage;
  other.storage.wide_inline = 0;
}

id_list& id_list::operator=(id_list&& other) noexcept {
  if (this != &other) {
    release();
    count = std::exchange(other.count, 0);
    shape = std::exchange(other.shape, 0);
    storage = other.storage;
    other.storage.wide_inline = 0;
  }
  return *this;
}

void id_list::release() {
  if (on_heap()) {
    std::free(storage.heap);
  }
  count = 0;
  shape = 0;
  storage.wide_inline = 0;
}

template <typename T>
T* id_list::data() {
  if (on_heap()) {
    return static_cast<T*>(storage.heap);
  }
  return reinterpret_cast<T*>(&storage);
}

template <typename T>
const T* id_list::data() const {
  if (on_heap()) {
    return static_cast<const T*>(storage.heap);
  }
  return reinterpret_cast<const T*>(&storage);
}

size_t id_list::room() const {
  if (on_heap()) {
    return capacity();
  }
  return wide() ? wide_inline : narrow_inline;
}

unsigned long id_list::at(size_t i) const {
  return wide() ? data<uint64_t>()[i] : data<uint32_t>()[i];
}

size_t id_list::heap_bytes() const {
  return on_heap() ? malloc_usable_size(storage.heap) : 0;
}

// Moves the entries into a heap array with room for at least `needed` of them; the array takes
// every entry its block can hold.
template <typename T>
void id_list::grow_to(size_t needed) {
  const size_t wanted = needed < exact_growth_below ? needed : needed + needed / 4;
  void* block = allocate(wanted * sizeof(T));
  const size_t usable = std::min<size_t>(malloc_usable_size(block) / sizeof(T), ~wide_flag);
  std::memcpy(block, data<T>(), count * sizeof(T));
  const uint32_t kept = count;
  const uint32_t width = shape & wide_flag;
  if (on_heap()) {
    std::free(storage.heap);
  }
  storage.heap = block;
  count = kept;
  shape = static_cast<uint32_t>(usable) | width;
}

// After removals: a heap array less than half used is given back for one that fits (or the
// entries go inline).
template <typename T>
void id_list::shrink_if_sparse() {
  if (!on_heap() || count * 2 > capacity()) {
    return;
  }
  const size_t inline_room = sizeof(storage) / sizeof(T);
  void* old = storage.heap;
  const uint32_t width = shape & wide_flag;
  if (count <= inline_room) {
    std::memcpy(&storage, old, count * sizeof(T));
    shape = width;
    std::free(old);
    return;
  }
  void* block = std::malloc(count * sizeof(T));
  if (block == nullptr) {
    return;  // keeping the larger array is fine
  }
  std::memcpy(block, old, count * sizeof(T));
  std::free(old);
  storage.heap = block;
  shape = static_cast<uint32_t>(malloc_usable_size(block) / sizeof(T)) | width;
}

void id_list::widen() {
  const size_t wanted = std::max<size_t>(count, wide_inline);
  if (!on_heap() && count <= wide_inline) {
    // Inline: at most one narrow id, which fits one wide slot.
    const uint64_t only = count == 1 ? data<uint32_t>()[0] : 0;
    storage.wide_inline = only;
    shape = wide_flag;
    return;
  }
  void* block = allocate(wanted * sizeof(uint64_t));
  const uint32_t* narrow = data<uint32_t>();
  auto* wide_ids = static_cast<uint64_t*>(block);
  for (size_t i = 0; i < count; ++i) {
    wide_ids[i] = narrow[i];
  }
  if (on_heap()) {
    std::free(storage.heap);
  }
  storage.heap = block;
  shape = static_cast<uint32_t>(malloc_usable_size(block) / sizeof(uint64_t)) | wide_flag;
}

void id_list::insert(const unsigned long* ids, size_t n) {
  if (n == 0) {
    return;
  }
  if (!wide() && ids[n - 1] > narrow_limit) {
    widen();
  }
  if (wide()) {
    insert_as<uint64_t>(ids, n);
  } else {
    insert_as<uint32_t>(ids, n);
  }
}

template <typename T>
void id_list::insert_as(const unsigned long* ids, size_t n) {
  const size_t old_count = count;
  const T* stored = data<T>();
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
  if (old_count + added > room()) {
    grow_to<T>(old_count + added);
  }
  T* out = data<T>();
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
  count = static_cast<uint32_t>(old_count + added);
}

void id_list::erase(const unsigned long* ids, size_t n) {
  if (n == 0 || count == 0) {
    return;
  }
  if (wide()) {
    erase_as<uint64_t>(ids, n);
  } else {
    erase_as<uint32_t>(ids, n);
  }
}

template <typename T>
void id_list::erase_as(const unsigned long* ids, size_t n) {
  T* stored = data<T>();
  T* end = stored + count;
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
  count = static_cast<uint32_t>(write - stored);
  shrink_if_sparse<T>();
}

void id_list::keep_newest(size_t n) {
  if (count <= n) {
    return;
  }
  const size_t dropped = count - n;
  if (wide()) {
    uint64_t* stored = data<uint64_t>();
    std::memmove(stored, stored + dropped, n * sizeof(uint64_t));
    count = static_cast<uint32_t>(n);
    shrink_if_sparse<uint64_t>();
  } else {
    uint32_t* stored = data<uint32_t>();
    std::memmove(stored, stored + dropped, n * sizeof(uint32_t));
    count = static_cast<uint32_t>(n);
    shrink_if_sparse<uint32_t>();
  }
}

template <typename T>
std::vector<unsigned long> id_list::page_as(unsigned long cursor, unsigned long limit,
                                            bool below) const {
  std::vector<unsigned long> out;
  const T* stored = data<T>();
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

std::vector<unsigned long> id_list::page(unsigned long cursor, unsigned long limit,
                                         bool below) const {
  return wide() ? page_as<uint64_t>(cursor, limit, below) : page_as<uint32_t>(cursor, limit, below);
}

std::vector<unsigned long> id_list::ids() const {
  std::vector<unsigned long> out(count);
  for (size_t i = 0; i < count; ++i) {
    out[i] = at(i);
  }
  return out;
}
