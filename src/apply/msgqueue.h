// A blocking first-in first-out queue of values, shared by producers and waiting consumers.
// Locks: `mutex` guards every member. putq/getq/try_getq/stop never throw (an allocation failure in
// putq ends the process). Ownership: the queue owns the queued values; values still queued when it
// is stopped or destroyed are dropped.
#ifndef NORVEL_MSGQUEUE_H_
#define NORVEL_MSGQUEUE_H_

#include <condition_variable>
#include <cstddef>
#include <list>
#include <utility>

#include "support/annotated_mutex.h"

template <typename T, typename Container = std::list<T>>
class msgqueue {
 public:
  void putq(const T& value) noexcept {
    annotated::mutex_lock lock(mutex);
    items_queue.push_back(value);
    not_empty.notify_one();
  }
  void putq(T&& value) noexcept {
    annotated::mutex_lock lock(mutex);
    items_queue.push_back(std::move(value));
    not_empty.notify_one();
  }
  // Waits for a value; false once the queue is stopped (queued values stay where they are).
  bool getq(T& value) noexcept {
    annotated::mutex_lock lock(mutex);
    lock.wait(not_empty, [&]() REQUIRES(mutex) { return stopped || !items_queue.empty(); });
    if (stopped) {
      return false;
    }
    value = std::move(items_queue.front());
    items_queue.pop_front();
    return true;
  }
  // Takes a value if one is waiting, without waiting; false when none is or once stopped.
  bool try_getq(T& value) noexcept {
    annotated::mutex_lock lock(mutex);
    if (stopped || items_queue.empty()) {
      return false;
    }
    value = std::move(items_queue.front());
    items_queue.pop_front();
    return true;
  }
  void stop() noexcept {
    annotated::mutex_lock lock(mutex);
    stopped = true;
    not_empty.notify_all();
  }
  // Hands every value still queued to `visit` and removes them all; for the owner's teardown.
  template <typename Visit>
  void drain(Visit visit) noexcept {
    annotated::mutex_lock lock(mutex);
    for (const T& value : items_queue) {
      visit(value);
    }
    items_queue.clear();
  }
  // The number of values waiting now; any thread.
  size_t size() const noexcept {
    annotated::mutex_lock lock(mutex);
    return items_queue.size();
  }

 private:
  mutable annotated::mutex mutex;
  Container items_queue GUARDED_BY(mutex);
  std::condition_variable not_empty;
  bool stopped GUARDED_BY(mutex) = false;
};

#endif  // NORVEL_MSGQUEUE_H_
