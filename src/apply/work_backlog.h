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
// Threads: add() on the producers' threads, remove() on the workers, the counters read on any
// thread (the sessions read them on the event loop). Owned by the mutation pipeline
// (mutation_pipeline.h); the sessions see it through the check main wires into the server.
#ifndef NORVEL_WORK_BACKLOG_H_
#define NORVEL_WORK_BACKLOG_H_

#include <atomic>
#include <cstddef>
#include <cstdint>

class work_backlog {
 public:
  static constexpr std::size_t bound = 64 * 1024 * 1024;
  static constexpr std::size_t resume_level = bound / 4 * 3;

  // A message of `bytes` was queued. Any thread.
  void add(std::size_t bytes) noexcept { queued.fetch_add(bytes, std::memory_order_relaxed); }
  // A message of `bytes` was applied (or dropped at shutdown). Any thread.
  void remove(std::size_t bytes) noexcept { queued.fetch_sub(bytes, std::memory_order_relaxed); }

  std::size_t bytes() const noexcept { return queued.load(std::memory_order_relaxed); }
  bool over_bound() const noexcept { return bytes() >= bound; }
  bool may_resume() const noexcept { return bytes() <= resume_level; }

 private:
  std::atomic<std::size_t> queued{0};
};

#endif  // NORVEL_WORK_BACKLOG_H_
