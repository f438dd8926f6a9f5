// A compact sorted set of ids (ascending, no repeats): every list of the store (follow lists,
// own lists, private feeds, the public list) is one. 8 bytes by itself: an empty list is a zero
// word, one id below 2^62 or two ids below 2^31 are kept in the word itself, and longer lists
// live in one block of a list_arena (a count, a capacity and the entries). Entries are 32 bits
// wide until an id of 2^32 or more arrives, then the block turns 64 bits wide.
// The newest (largest) id is at the end, so the usual addition appends without moving the rest;
// other additions merge backwards in place.
// Not thread-safe by itself: the store's lock for the list guards it and its arena. Every
// change takes the arena the list's block belongs to, always the same one. The list has no
// destructor of its own: clear() gives its block back, and the arena frees whatever is left
// when it goes. Moved, never copied; a move leaves the source empty.
#ifndef NORVEL_ID_LIST_H_
#define NORVEL_ID_LIST_H_

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "store/list_arena.h"

class id_list {
 public:
  id_list() noexcept = default;
  id_list(id_list&& other) noexcept : word(std::exchange(other.word, 0)) {}
  // The target must hold no block (an empty list, or ids in the word).
  id_list& operator=(id_list&& other) noexcept {
    word = std::exchange(other.word, 0);
    return *this;
  }
  id_list(const id_list&) = delete;
  id_list& operator=(const id_list&) = delete;

  size_t size() const;
  bool empty() const { return word == 0; }
  // The i-th smallest id.
  unsigned long at(size_t i) const;
  // Whether entries are 64 bits wide (only a block's can be).
  bool wide() const;

  // Set union with `ids` (ascending, no repeats).
  void insert(list_arena& arena, const unsigned long* ids, size_t n);
  void insert(list_arena& arena, const std::vector<unsigned long>& ids) {
    insert(arena, ids.data(), ids.size());
  }
  // Set difference with `ids` (ascending, no repeats).
  void erase(list_arena& arena, const unsigned long* ids, size_t n);
  void erase(list_arena& arena, const std::vector<unsigned long>& ids) {
    erase(arena, ids.data(), ids.size());
  }
  // Drops the smallest ids until at most `n` are left.
  void keep_newest(list_arena& arena, size_t n);
  // Empties the list and gives its block back.
  void clear(list_arena& arena);

  // At most `limit` ids beyond `cursor`, nearest the cursor first: smaller ones when `below`,
  // larger ones otherwise.
  std::vector<unsigned long> page(unsigned long cursor, unsigned long limit, bool below) const;
  // Every id, ascending.
  std::vector<unsigned long> ids() const;
  // The ids from the `from`-th smallest on, at most `limit` of them, ascending.
  std::vector<unsigned long> slice(size_t from, size_t limit) const;
  // Bytes of the list's block (0 while the ids fit the word).
  size_t heap_bytes() const;

 private:
  struct block;
  static constexpr uint64_t tag_mask = 3;
  static constexpr uint64_t tag_one = 1;  // word = id << 2 | 1
  static constexpr uint64_t tag_two = 3;  // word = larger << 33 | smaller << 2 | 3

  bool in_word() const { return (word & tag_mask) != 0; }
  block* heap() const { return reinterpret_cast<block*>(word); }
  // The ids kept in the word, ascending, into `out`; answers how many (0 to 2).
  size_t unpack(unsigned long out[2]) const;
  // Sets the word to hold `ids` (at most two, ascending) if they fit; false if not.
  bool pack(const unsigned long* ids, size_t n);

  void insert_into_word(list_arena& arena, const unsigned long* ids, size_t n);
  template <typename T>
  void insert_into_block(list_arena& arena, const unsigned long* ids, size_t n);
  template <typename T>
  void erase_from_block(list_arena& arena, const unsigned long* ids, size_t n);
  template <typename T>
  void keep_newest_in_block(list_arena& arena, size_t n);
  template <typename T>
  void shrink_if_sparse(list_arena& arena);
  template <typename T>
  void move_to_block(list_arena& arena, size_t needed);
  void widen(list_arena& arena);

  uint64_t word = 0;
};

#endif  // NORVEL_ID_LIST_H_
