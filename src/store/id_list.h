// A compact sorted set of ids (ascending, no repeats): every list of the store (follow lists,
// own lists, private feeds, the public list) is one. 16 bytes by itself, holding up to two ids
// inline; longer lists live in one heap array sized by the allocator's own size classes. Entries
// are 32 bits wide until an id of 2^32 or more arrives, then the list turns 64 bits wide.
// The newest (largest) id is at the end, so the usual addition appends without moving the rest;
// other additions merge backwards in place.
// Not thread-safe by itself: the store's lock for the list guards it. Owns its heap array
// (malloc'd, so that the array can use all the room its block has); moved, never copied.
#ifndef NORVEL_ID_LIST_H_
#define NORVEL_ID_LIST_H_

#include <cstddef>
#include <cstdint>
#include <vector>

class id_list {
 public:
  id_list() noexcept { storage.wide_inline = 0; }
  ~id_list() { release(); }
  id_list(id_list&& other) noexcept;
  id_list& operator=(id_list&& other) noexcept;
  id_list(const id_list&) = delete;
  id_list& operator=(const id_list&) = delete;

  size_t size() const { return count; }
  bool empty() const { return count == 0; }
  // The i-th smallest id.
  unsigned long at(size_t i) const;
  // Whether entries are 64 bits wide.
  bool wide() const { return (shape & wide_flag) != 0; }

  // Set union with `ids` (ascending, no repeats).
  void insert(const unsigned long* ids, size_t n);
  void insert(const std::vector<unsigned long>& ids) { insert(ids.data(), ids.size()); }
  // Set difference with `ids` (ascending, no repeats).
  void erase(const unsigned long* ids, size_t n);
  void erase(const std::vector<unsigned long>& ids) { erase(ids.data(), ids.size()); }
  // Drops the smallest ids until at most `n` are left.
  void keep_newest(size_t n);

  // At most `limit` ids beyond `cursor`, nearest the cursor first: smaller ones when `below`,
  // larger ones otherwise.
  std::vector<unsigned long> page(unsigned long cursor, unsigned long limit, bool below) const;
  // Every id, ascending.
  std::vector<unsigned long> ids() const;
  // Bytes held on the heap (0 while inline).
  size_t heap_bytes() const;

 private:
  static constexpr uint32_t wide_flag = 0x80000000u;
  static constexpr size_t narrow_inline = 2;
  static constexpr size_t wide_inline = 1;

  bool on_heap() const { return capacity() != 0; }
  // Capacity of the heap array in entries; 0 while inline.
  size_t capacity() const { return shape & ~wide_flag; }
  size_t room() const;  // entries that fit without growing
  template <typename T>
  T* data();
  template <typename T>
  const T* data() const;
  template <typename T>
  void grow_to(size_t needed);
  template <typename T>
  void shrink_if_sparse();
  template <typename T>
  void insert_as(const unsigned long* ids, size_t n);
  template <typename T>
  void erase_as(const unsigned long* ids, size_t n);
  template <typename T>
  std::vector<unsigned long> page_as(unsigned long cursor, unsigned long limit, bool below) const;
  void widen();
  void release();

  uint32_t count = 0;
  uint32_t shape = 0;  // heap capacity in entries (0: inline) | wide_flag
  union {
    uint32_t narrow_inline_ids[narrow_inline];
    uint64_t wide_inline;
    void* heap;
  } storage;
};

#endif  // NORVEL_ID_LIST_H_
