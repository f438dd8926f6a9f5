// An allocator for the store's big arrays (member table slots, the inviter array): an array of a
// megabyte or more gets pages of its own straight from the kernel, and goes back to it whole
// when freed, so where it lies does not depend on which thread asked first or on what the C
// library's heaps held at that moment; smaller arrays come from the usual heap. A mapped array
// starts on a 2 MB boundary and asks for huge pages where the kernel gives them on request: the
// tables are read at random, one slot per member, and with small pages nearly every such read
// also misses the TLB. An array held in a std::vector (the inviter array) has every slot written
// when it is made, so its pages are resident either way; the member tables write nothing up
// front (a fresh page is zero, which they read as empty slots) and their pages come in as they
// are touched. Stateless.
#ifndef NORVEL_MAPPED_ALLOCATOR_H_
#define NORVEL_MAPPED_ALLOCATOR_H_

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <new>

template <typename T>
class mapped_allocator {
 public:
  using value_type = T;
  static constexpr std::size_t mapped_from = std::size_t{1} << 20;
  static constexpr std::size_t page = 4096;
  static constexpr std::size_t huge_page = std::size_t{2} << 20;

  mapped_allocator() = default;
  template <typename U>
  mapped_allocator(const mapped_allocator<U>&) noexcept {}

  T* allocate(std::size_t n) {
    const std::size_t bytes = n * sizeof(T);
    if (bytes < mapped_from) {
      return static_cast<T*>(::operator new(bytes));
    }
    return static_cast<T*>(map_aligned(bytes));
  }
  void deallocate(T* array, std::size_t n) noexcept {
    const std::size_t bytes = n * sizeof(T);
    if (bytes < mapped_from) {
      ::operator delete(array);
    } else {
      munmap(array, bytes);
    }
  }

  // `bytes` of fresh pages starting on a huge-page boundary.
  static void* map_aligned(std::size_t bytes) {
    const std::size_t length = (bytes + page - 1) / page * page;
    void* mapped = mmap(nullptr, length + huge_page, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) {
      throw std::bad_alloc();
    }
    char* const start = static_cast<char*>(mapped);
    const std::uintptr_t address = reinterpret_cast<std::uintptr_t>(start);
    char* const aligned = start + (huge_page - address % huge_page) % huge_page;
    // What lies before and after the aligned run goes back at once.
    if (aligned != start) {
      munmap(start, static_cast<std::size_t>(aligned - start));
    }
    char* const tail = aligned + length;
    const std::size_t tail_bytes = static_cast<std::size_t>(start + length + huge_page - tail);
    if (tail_bytes != 0) {
      munmap(tail, tail_bytes);
    }
#ifdef MADV_HUGEPAGE
    madvise(aligned, length, MADV_HUGEPAGE);  // a hint: no huge pages is no failure
#endif
    return aligned;
  }

  template <typename U>
  bool operator==(const mapped_allocator<U>&) const noexcept {
    return true;
  }
  template <typename U>
  bool operator!=(const mapped_allocator<U>&) const noexcept {
    return false;
  }
};

#endif  // NORVEL_MAPPED_ALLOCATOR_H_
