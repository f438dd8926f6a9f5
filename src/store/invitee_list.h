// The members one inviter invited, in the order they were recorded (repeats kept): 16 bytes by
// itself with up to two ids inline, longer lists in one heap array grown by half.
// Not thread-safe; owned by the inviter index. Owns its heap array; moved, never copied.
#ifndef NORVEL_INVITEE_LIST_H_
#define NORVEL_INVITEE_LIST_H_

#include <malloc.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

class invitee_list {
 public:
  invitee_list() noexcept { storage.heap = nullptr; }
  ~invitee_list() { release(); }
  invitee_list(invitee_list&& other) noexcept
      : count(std::exchange(other.count, 0)), capacity(std::exchange(other.capacity, 0)) {
    storage = other.storage;
    other.storage.heap = nullptr;
  }
  invitee_list& operator=(invitee_list&& other) noexcept {
    if (this != &other) {
      release();
      count = std::exchange(other.count, 0);
      capacity = std::exchange(other.capacity, 0);
      storage = other.storage;
      other.storage.heap = nullptr;
    }
    return *this;
  }
  invitee_list(const invitee_list&) = delete;
  invitee_list& operator=(const invitee_list&) = delete;

  void push_back(int member) {
    if (count == room()) {
      grow();
    }
    data()[count++] = member;
  }
  std::vector<int> members() const { return std::vector<int>(data(), data() + count); }
  // Bytes of the heap array, with the allocator's own word (0 while inline).
  size_t heap_bytes() const {
    return capacity == 0 ? 0 : malloc_usable_size(storage.heap) + sizeof(size_t);
  }

 private:
  static constexpr uint32_t inline_room = 2;

  uint32_t room() const { return capacity == 0 ? inline_room : capacity; }
  int* data() { return capacity == 0 ? storage.inline_ids : storage.heap; }
  const int* data() const { return capacity == 0 ? storage.inline_ids : storage.heap; }

  void grow() {
    const uint32_t wanted = room() + room() / 2 + 1;
    auto* block = static_cast<int*>(std::malloc(wanted * sizeof(int)));
    if (block == nullptr) {
      throw std::bad_alloc();
    }
    std::memcpy(block, data(), count * sizeof(int));
    if (capacity != 0) {
      std::free(storage.heap);
    }
    storage.heap = block;
    capacity = wanted;
  }
  void release() {
    if (capacity != 0) {
      std::free(storage.heap);
    }
    count = 0;
    capacity = 0;
    storage.heap = nullptr;
  }

  uint32_t count = 0;
  uint32_t capacity = 0;  // of the heap array; 0 while inline
  union {
    int inline_ids[inline_room];
    int* heap;
  } storage;
};

#endif  // NORVEL_INVITEE_LIST_H_
