// Memory for the blocks of many id_lists that one lock guards (the follow lists, the own lists,
// the private feeds): small blocks are carved from large chunks mapped for this arena alone,
// by size class, and a freed block waits on its class's free list for the next block of that
// size; blocks above the largest class come from malloc (a megabyte or more: pages of their own). A
// list's block thus costs its size class and nothing more (no allocator header, no minimum chunk),
// the lists of one table sit together instead of between the load's temporaries, and how much the
// arena holds does not depend on which thread allocated first. Not thread-safe: the lock that
// guards the lists guards their arena; bytes() alone may be read from any thread. Owns every chunk
// and every large block: they go when the arena goes, so the lists it served must not outlive it
// (id_lists have no destructor of their own).
#ifndef NORVEL_LIST_ARENA_H_
#define NORVEL_LIST_ARENA_H_

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

class list_arena {
 public:
  // Blocks of at most this many bytes come from the chunks; larger ones from malloc.
  static constexpr size_t largest_class = 1024;

  list_arena() = default;
  ~list_arena();
  list_arena(const list_arena&) = delete;
  list_arena& operator=(const list_arena&) = delete;

  // A block of at least `bytes` bytes, 8-byte aligned; its usable size (what release() wants
  // back) goes to `usable`. Throws std::bad_alloc when memory runs out.
  void* allocate(size_t bytes, size_t& usable);
  // Gives back a block from allocate() with the usable size it reported.
  void release(void* block, size_t usable);

  // Bytes the arena holds: the chunks' bytes handed out so far (a freed block waiting for reuse
  // still counts) and the large blocks. Any thread; relaxed.
  size_t bytes() const { return held.load(std::memory_order_relaxed); }
  // Bytes of the blocks handed out and not given back (the usable sizes); under the owner's lock.
  size_t in_use_bytes() const { return in_use; }

 private:
  static constexpr size_t chunk_bytes = size_t{1} << 20;
  static constexpr size_t class_count = 39;

  // A block above the largest class, linked so that the arena can free what is left at its end.
  // One of a megabyte or more is mapped by itself, like the store's big arrays.
  struct large_header {
    large_header* prev;
    large_header* next;
    size_t bytes;  // the whole allocation, header included
    bool mapped;
  };
  static constexpr size_t mapped_from = size_t{1} << 20;
  struct free_block {
    free_block* next;
  };

  static size_t class_index(size_t bytes);
  static size_t class_bytes(size_t index);
  void* carve(size_t bytes);
  void* allocate_large(size_t bytes, size_t& usable);
  void release_large(void* block);
  static void free_large(large_header* block);
  void count(long delta) {
    held.store(held.load(std::memory_order_relaxed) + static_cast<size_t>(delta),
               std::memory_order_relaxed);
  }

  std::vector<void*> chunks;
  char* bump = nullptr;  // next free byte of the newest chunk
  char* bump_end = nullptr;
  std::array<free_block*, class_count> free_lists{};
  large_header* large = nullptr;
  size_t in_use = 0;
  std::atomic<size_t> held{0};  // written under the owner's lock, read by anyone
};

#endif  // NORVEL_LIST_ARENA_H_
