// The store's directory from member id to a record: one open-addressing table (linear probing
// over one array of slots, no per-member heap node), sized so it stays at most 80% full.
// Members are never removed. Every id from 0 to 2^64-1 is a valid key: the one id the table
// cannot keep in a slot (2^64-1, whose key would mark an empty slot) is kept beside it.
// Growing is incremental, so that no single addition stalls the readers of a big table: when
// the table is full enough, a bigger slot array is made (fresh pages are zero, which reads as
// empty slots, so nothing is written up front) and every later addition first moves a few of
// the old array's slots into it; lookups try the new array, then the old one, until the old one
// is empty and goes. reserve() still moves everything at once (the start-up load and restores).
// A big slot array has pages of its own (mapped_allocator.h).
// Not thread-safe by itself: the store's lock for the table guards it. Adding a member may move
// any record, so no reference into the table outlives that lock. Owns its records.
#ifndef NORVEL_MEMBER_TABLE_H_
#define NORVEL_MEMBER_TABLE_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "store/mapped_allocator.h"

template <typename Record>
class member_table {
 public:
  member_table() = default;
  ~member_table() { destroy_records(); }
  member_table(member_table&& other) noexcept
      : slots(std::move(other.slots)),
        old(std::move(other.old)),
        moved_up_to(std::exchange(other.moved_up_to, 0)),
        used(std::exchange(other.used, 0)),
        marker_record(std::move(other.marker_record)) {}
  member_table& operator=(member_table&& other) noexcept {
    if (this != &other) {
      destroy_records();
      slots = std::move(other.slots);
      old = std::move(other.old);
      moved_up_to = std::exchange(other.moved_up_to, 0);
      used = std::exchange(other.used, 0);
      marker_record = std::move(other.marker_record);
    }
    return *this;
  }
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
    if (const slot* found = slots.find(id)) {
      return &found->record();
    }
    // A member still in the old array lies at or after moved_up_to: the ones before it are in
    // the new array, found above.
    const slot* found = old.find(id);
    return found == nullptr ? nullptr : &found->record();
  }

  // The record of `id`, added empty if missing (which may move any record).
  Record& find_or_add(unsigned long id) {
    if (id == empty_id) {
      if (!marker_record) {
        marker_record = std::make_unique<Record>();
      }
      return *marker_record;
    }
    if (Record* found = find(id)) {
      return *found;
    }
    if ((used + 1) * 5 > slots.count * 4) {
      start_growing(std::max<size_t>(16, (used + 1) * 3 / 2 * 5 / 4));
    }
    move_some(moved_per_addition);
    slot& made = slots.place(id);
    new (made.bytes) Record();
    ++used;
    return made.record();
  }

  // Starts bringing the slot where `id` would be into the cache, for a caller about to add or
  // find a run of members: the misses of several members then overlap.
  void prefetch(unsigned long id) const {
    if (slots.count == 0) {
      return;
    }
    const slot* target = slots.data + slots.home(id);
#if defined(__x86_64__)
    // GCC 12 drops __builtin_prefetch of an address worked out through mix().
    asm volatile("prefetcht0 %0" : : "m"(*target));
#else
    __builtin_prefetch(target);
#endif
  }

  // Makes room for `members` members in all without moving records again; moves every record
  // at once if it has to grow.
  void reserve(size_t members) {
    const size_t wanted = members * 5 / 4 + 1;
    if (wanted > slots.count) {
      start_growing(wanted);
    }
    move_some(old.count);
  }

  // Calls visit(id, record) for every member, in no particular order.
  template <typename Visit>
  void for_each(Visit visit) const {
    slots.for_each(0, visit);
    old.for_each(moved_up_to, visit);
    if (marker_record) {
      visit(empty_id, *marker_record);
    }
  }

  // Bytes of the slot arrays (both while growing).
  size_t table_bytes() const {
    return (slots.count + old.count) * sizeof(slot);
  }

 private:
  static constexpr unsigned long empty_id = ~0UL;
  // Old slots moved by each addition while growing: the new array holds about 1.9 times the
  // members of the old one, so the old one is empty long before the new one fills.
  static constexpr size_t moved_per_addition = 32;

  // `key` is the member id plus one, so that zero bytes are an empty slot; the record is made
  // in place when its member is added.
  struct slot {
    unsigned long key;
    alignas(Record) unsigned char bytes[sizeof(Record)];

    Record& record() { return *std::launder(reinterpret_cast<Record*>(bytes)); }
    const Record& record() const { return *std::launder(reinterpret_cast<const Record*>(bytes)); }
  };

  // One array of slots, all empty when made. Frees the memory only: the table destroys the
  // records it holds. Moved, never copied.
  struct slot_array {
    slot* data = nullptr;
    size_t count = 0;

    slot_array() = default;
    explicit slot_array(size_t slot_count)
        : data(mapped_allocator<slot>().allocate(slot_count)), count(slot_count) {
      if (slot_count * sizeof(slot) < mapped_allocator<slot>::mapped_from) {
        std::memset(static_cast<void*>(data), 0, slot_count * sizeof(slot));
      }  // else fresh pages from the kernel, zero already
    }
    ~slot_array() { release(); }
    slot_array(slot_array&& other) noexcept
        : data(std::exchange(other.data, nullptr)), count(std::exchange(other.count, 0)) {}
    slot_array& operator=(slot_array&& other) noexcept {
      if (this != &other) {
        release();
        data = std::exchange(other.data, nullptr);
        count = std::exchange(other.count, 0);
      }
      return *this;
    }
    slot_array(const slot_array&) = delete;
    slot_array& operator=(const slot_array&) = delete;

    void release() noexcept {
      if (data != nullptr) {
        mapped_allocator<slot>().deallocate(data, count);
        data = nullptr;
        count = 0;
      }
    }
    size_t home(unsigned long id) const {
      return static_cast<size_t>((static_cast<unsigned __int128>(mix(id)) * count) >> 64);
    }
    size_t next(size_t at) const { return at + 1 == count ? 0 : at + 1; }
    const slot* find(unsigned long id) const {
      if (count == 0) {
        return nullptr;
      }
      const unsigned long key = id + 1;
      for (size_t at = home(id);; at = next(at)) {
        if (data[at].key == key) {
          return data + at;
        }
        if (data[at].key == 0) {
          return nullptr;
        }
      }
    }
    // The empty slot where `id` (not in the array) goes, its key set.
    slot& place(unsigned long id) {
      size_t at = home(id);
      while (data[at].key != 0) {
        at = next(at);
      }
      data[at].key = id + 1;
      return data[at];
    }
    template <typename Visit>
    void for_each(size_t from, Visit& visit) const {
      for (size_t at = from; at < count; ++at) {
        if (data[at].key != 0) {
          visit(data[at].key - 1, data[at].record());
        }
      }
    }
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

  // A new array of `slot_count` slots becomes the table; the current one becomes the old one,
  // whose slots move over bit by bit (one still being emptied is emptied first).
  void start_growing(size_t slot_count) {
    move_some(old.count);
    old = std::move(slots);
    moved_up_to = 0;
    slots = slot_array(slot_count);
  }

  // Moves up to `count` of the old array's slots into the new one; frees the old array once
  // all have moved.
  void move_some(size_t count) {
    if (old.count == 0) {
      return;
    }
    const size_t end = std::min(old.count, moved_up_to + count);
    for (; moved_up_to < end; ++moved_up_to) {
      slot& from = old.data[moved_up_to];
      if (from.key == 0) {
        continue;
      }
      slot& to = slots.place(from.key - 1);
      new (to.bytes) Record(std::move(from.record()));
      from.record().~Record();
    }
    if (moved_up_to == old.count) {
      old.release();
      moved_up_to = 0;
    }
  }

  void destroy_records() noexcept {
    auto destroy = [](unsigned long, const Record& record) { record.~Record(); };
    slots.for_each(0, destroy);
    old.for_each(moved_up_to, destroy);
  }

  slot_array slots;                       // the table; the new array while growing
  slot_array old;                         // while growing: the array being emptied into `slots`
  size_t moved_up_to = 0;                 // old's slots before this one have moved
  size_t used = 0;                        // members in slots and old together
  std::unique_ptr<Record> marker_record;  // the record of member empty_id, if any
};

#endif  // NORVEL_MEMBER_TABLE_H_
