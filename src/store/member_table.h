// The store's directory from member id to a record: one open-addressing table (linear probing
// over one array of slots, no per-member heap node), sized so it stays at most 80% full.
// Members are never removed. Every id from 0 to 2^64-1 is a valid key: the one id the table
// uses to mark empty slots is kept beside it.
// A big slot array has pages of its own (mapped_allocator.h).
// Not thread-safe by itself: the store's lock for the table guards it. Adding a member may move
// every record, so no reference into the table outlives that lock. Owns its records.
#ifndef NORVEL_MEMBER_TABLE_H_
#define NORVEL_MEMBER_TABLE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "store/mapped_allocator.h"

template <typename Record>
class member_table {
 public:
  member_table() = default;
  member_table(member_table&&) noexcept = default;
  member_table& operator=(member_table&&) noexcept = default;
  member_table(const member_table&) = delete;
  member_table& operator=(const member_table&) = delete;

  size_t size() const { return used + (marker_record ? 1 : 0); }

  Record* find(unsigned long id) {
    return const_cast<Record*>(static_cast<const member_table&>(*this).find(id));
  }
  const Record* find(unsigned long id) const {
    if (id == empty_id) {
      return marker_record.get();
    }
    if (slots.empty()) {
      return nullptr;
    }
    for (size_t at = home(id);; at = next(at)) {
      if (slots[at].id == id) {
        return &slots[at].record;
      }
      if (slots[at].id == empty_id) {
        return nullptr;
      }
    }
  }

  // The record of `id`, added empty if missing (which may move every record).
  Record& find_or_add(unsigned long id) {
    if (id == empty_id) {
      if (!marker_record) {
        marker_record = std::make_unique<Record>();
      }
      return *marker_record;
    }
    if ((used + 1) * 5 > slots.size() * 4) {
      rehash(std::max<size_t>(16, (used + 1) * 3 / 2 * 5 / 4));
    }
    size_t at = home(id);
    for (; slots[at].id != empty_id; at = next(at)) {
      if (slots[at].id == id) {
        return slots[at].record;
      }
    }
    slots[at].id = id;
    ++used;
    return slots[at].record;
  }

  // Starts bringing the slot where `id` would be into the cache, for a caller about to add or
  // find a run of members: the misses of several members then overlap.
  void prefetch(unsigned long id) const {
    if (slots.empty()) {
      return;
    }
    const slot* target = slots.data() + home(id);
#if defined(__x86_64__)
    // GCC 12 drops __builtin_prefetch of an address worked out through mix().
    asm volatile("prefetcht0 %0" : : "m"(*target));
#else
    __builtin_prefetch(target);
#endif
  }

  // Makes room for `members` members in all without moving records again.
  void reserve(size_t members) {
    const size_t wanted = members * 5 / 4 + 1;
    if (wanted > slots.size()) {
      rehash(wanted);
    }
  }

  // Calls visit(id, record) for every member, in no particular order.
  template <typename Visit>
  void for_each(Visit visit) const {
    for (const slot& entry : slots) {
      if (entry.id != empty_id) {
        visit(entry.id, entry.record);
      }
    }
    if (marker_record) {
      visit(empty_id, *marker_record);
    }
  }

  // Bytes of the slot array.
  size_t table_bytes() const { return slots.capacity() * sizeof(slot); }

 private:
  static constexpr unsigned long empty_id = ~0UL;

  struct slot {
    unsigned long id = empty_id;
    Record record;
  };

  // Member ids are often dense runs; mixing spreads them over the whole table.
  static uint64_t mix(uint64_t key) {
    key ^= key >> 33;
    key *= 0xff51afd7ed558ccdULL;
    key ^= key >> 33;
    key *= 0xc4ceb9fe1a85ec53ULL;
    key ^= key >> 33;
    return key;
  }
  size_t home(unsigned long id) const {
    return static_cast<size_t>((static_cast<unsigned __int128>(mix(id)) * slots.size()) >> 64);
  }
  size_t next(size_t at) const { return at + 1 == slots.size() ? 0 : at + 1; }

  void rehash(size_t slot_count) {
    slot_array old;
    old.swap(slots);
    slots.resize(slot_count);
    for (slot& entry : old) {
      if (entry.id == empty_id) {
        continue;
      }
      size_t at = home(entry.id);
      while (slots[at].id != empty_id) {
        at = next(at);
      }
      slots[at].id = entry.id;
      slots[at].record = std::move(entry.record);
    }
  }

  using slot_array = std::vector<slot, mapped_allocator<slot>>;

  slot_array slots;
  size_t used = 0;                        // occupied slots
  std::unique_ptr<Record> marker_record;  // the record of member empty_id, if any
};

#endif  // NORVEL_MEMBER_TABLE_H_
