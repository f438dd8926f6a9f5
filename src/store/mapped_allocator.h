// An allocator for the store's big arrays (member table slots, the inviter array): an array of a
// megabyte or more gets pages of its own straight from the kernel, and goes back to it whole
// when freed, so where it lies does not depend on which thread asked first or on what the C
// library's heaps held at that moment; smaller arrays come from the usual heap. Stateless.
#ifndef NORVEL_MAPPED_ALLOCATOR_H_
#define NORVEL_MAPPED_ALLOCATOR_H_

#include <sys/mman.h>

#include <cstddef>
#include <new>

template <typename T>
class mapped_allocator {
 public:
  using value_type = T;
  static constexpr std::size_t mapped_from = std::size_t{1} << 20;

  mapped_allocator() = default;
  template <typename U>
  mapped_allocator(const mapped_allocator<U>&) noexcept {}

  T* allocate(std::size_t n) {
    const std::size_t bytes = n * sizeof(T);
    if (bytes < mapped_from) {
      return static_cast<T*>(::operator new(bytes));
    }
    void* pages = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (pages == MAP_FAILED) {
      throw std::bad_alloc();
    }
    return static_cast<T*>(pages);
  }
  void deallocate(T* array, std::size_t n) noexcept {
    const std::size_t bytes = n * sizeof(T);
    if (bytes < mapped_from) {
      ::operator delete(array);
    } else {
      munmap(array, bytes);
    }
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
