// The mutations accepted from clients and queued for the store's workers but not yet applied,
// counted in bytes, with the bound beyond which the sessions that send mutations stop reading
// until the workers catch up. Without it, a client sending large follow and special additions
// faster than the workers apply them (each applies a merge per recipient feed) would grow the
// queues, and the daemon's memory, without limit. Nothing accepted is ever dropped: the bound
// holds back what is read next, not what is queued.
//
// Bound: 64 MiB of queued messages (their ids and the message records, allocator overhead
// aside). A session may queue one more message past it; the sessions resume once the backlog
// is down to three quarters of it.
//
// Threads: add() and the counters read by the sessions on the event-loop thread (the only one
// that enqueues); remove() on the workers. One process-wide instance, mutation_backlog().
#ifndef NORVEL_WORK_BACKLOG_H_
#define NORVEL_WORK_BACKLOG_H_

#include <atomic>
#include <cstddef>
#include <cstdint>

class work_backlog {
 public:
  static constexpr std::size_t bound = 64 * 1024 * 1024;
  static constexpr std::size_t resume_level = bound / 4 * 3;

  // A message of `bytes` was queued. Event-loop thread.
  void add(std::size_t bytes) noexcept {
    queued.fetch_add(bytes, std::memory_order_relaxed);
    messages_added.fetch_add(1, std::memory_order_relaxed);
  }
  // A message of `bytes` was applied (or dropped at shutdown). Any thread.
  void remove(std::size_t bytes) noexcept { queued.fetch_sub(bytes, std::memory_order_relaxed); }

  std::size_t bytes() const noexcept { return queued.load(std::memory_order_relaxed); }
  bool over_bound() const noexcept { return bytes() >= bound; }
  bool may_resume() const noexcept { return bytes() <= resume_level; }
  // Messages queued since start: a request that changed it was a mutation.
  std::uint64_t added() const noexcept { return messages_added.load(std::memory_order_relaxed); }

 private:
  std::atomic<std::size_t> queued{0};
  std::atomic<std::uint64_t> messages_added{0};
};

work_backlog& mutation_backlog();

#endif  // NORVEL_WORK_BACKLOG_H_
