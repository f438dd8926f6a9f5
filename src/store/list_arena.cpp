#include "store/list_arena.h"

#include <malloc.h>
#include <sys/mman.h>

#include <cstdlib>
#include <new>

// Under AddressSanitizer a block waiting on a free list is poisoned (but for its link), so a list
// still using a block it gave back is reported at once.
#if defined(__SANITIZE_ADDRESS__)
#define NORVEL_ARENA_POISONS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define NORVEL_ARENA_POISONS 1
#endif
#endif
#ifdef NORVEL_ARENA_POISONS
#include <sanitizer/asan_interface.h>
#define ARENA_POISON(at, bytes) ASAN_POISON_MEMORY_REGION(at, bytes)
#define ARENA_UNPOISON(at, bytes) ASAN_UNPOISON_MEMORY_REGION(at, bytes)
#else
#define ARENA_POISON(at, bytes) ((void)(at), (void)(bytes))
#define ARENA_UNPOISON(at, bytes) ((void)(at), (void)(bytes))
#endif

// Size classes: 16 to 128 bytes in steps of 8, then four steps per doubling up to 1024, so a
// block wastes at most an eighth of its size (and a list of up to 30 narrow ids at most 7 bytes).

size_t list_arena::class_index(size_t bytes) {
  if (bytes <= 16) {
    return 0;
  }
  if (bytes <= 128) {
    return (bytes + 7) / 8 - 2;
  }
  const size_t octave = bytes <= 256 ? 0 : bytes <= 512 ? 1 : 2;
  const size_t base = size_t{128} << octave;
  const size_t step = size_t{16} << octave;
  return 15 + 8 * octave + (bytes - base + step - 1) / step - 1;
}

size_t list_arena::class_bytes(size_t index) {
  if (index < 15) {
    return 16 + 8 * index;
  }
  const size_t octave = (index - 15) / 8;
  const size_t step_in = (index - 15) % 8;
  return (size_t{128} << octave) + (step_in + 1) * (size_t{16} << octave);
}

list_arena::~list_arena() {
  for (large_header* block = large; block != nullptr;) {
    large_header* next = block->next;
    free_large(block);
    block = next;
  }
  for (void* chunk : chunks) {
    ARENA_UNPOISON(chunk, chunk_bytes);  // the next mapping at this address starts clean
    munmap(chunk, chunk_bytes);
  }
}

void* list_arena::allocate(size_t bytes, size_t& usable) {
  if (bytes > largest_class) {
    void* block = allocate_large(bytes, usable);
    in_use += usable;
    return block;
  }
  const size_t index = class_index(bytes);
  usable = class_bytes(index);
  in_use += usable;
  if (free_block* reused = free_lists[index]) {
    ARENA_UNPOISON(reused, usable);
    free_lists[index] = reused->next;
    return reused;
  }
  return carve(usable);
}

void* list_arena::carve(size_t bytes) {
  if (static_cast<size_t>(bump_end - bump) < bytes) {
    // The rest of the chunk (less than the largest class) stays unused.
    chunks.reserve(chunks.size() + 1);
    void* chunk = mmap(nullptr, chunk_bytes, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (chunk == MAP_FAILED) {
      throw std::bad_alloc();
    }
    chunks.push_back(chunk);
    bump = static_cast<char*>(chunk);
    bump_end = bump + chunk_bytes;
  }
  void* block = bump;
  bump += bytes;
  count(static_cast<long>(bytes));
  return block;
}

void* list_arena::allocate_large(size_t bytes, size_t& usable) {
  size_t whole = sizeof(large_header) + bytes;
  large_header* header;
  const bool mapped = whole >= mapped_from;
  if (mapped) {
    const size_t page = 4096;
    whole = (whole + page - 1) / page * page;
    void* pages = mmap(nullptr, whole, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (pages == MAP_FAILED) {
      throw std::bad_alloc();
    }
    header = static_cast<large_header*>(pages);
  } else {
    header = static_cast<large_header*>(std::malloc(whole));
    if (header == nullptr) {
      throw std::bad_alloc();
    }
    whole = malloc_usable_size(header);
  }
  usable = whole - sizeof(large_header);
  header->bytes = whole;
  header->mapped = mapped;
  header->prev = nullptr;
  header->next = large;
  if (large != nullptr) {
    large->prev = header;
  }
  large = header;
  count(static_cast<long>(whole));
  return header + 1;
}

void list_arena::release(void* block, size_t usable) {
  in_use -= usable;
  if (usable > largest_class) {
    release_large(block);
    return;
  }
  const size_t index = class_index(usable);
  auto* freed = static_cast<free_block*>(block);
  freed->next = free_lists[index];
  free_lists[index] = freed;
  ARENA_POISON(reinterpret_cast<char*>(block) + sizeof(free_block), usable - sizeof(free_block));
}

void list_arena::release_large(void* block) {
  large_header* header = static_cast<large_header*>(block) - 1;
  if (header->prev != nullptr) {
    header->prev->next = header->next;
  } else {
    large = header->next;
  }
  if (header->next != nullptr) {
    header->next->prev = header->prev;
  }
  count(-static_cast<long>(header->bytes));
  free_large(header);
}

void list_arena::free_large(large_header* block) {
  if (block->mapped) {
    munmap(block, block->bytes);
  } else {
    std::free(block);
  }
}
