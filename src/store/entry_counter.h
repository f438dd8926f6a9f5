// Running counts of what the store holds (members, feeds, the entries of each kind of list),
// kept up to date where the lists change, so that reading them costs the same at any size and
// takes no lock: a metrics scrape never walks the members nor holds a writer back.
// Each count changes only under the exclusive lock that guards the lists it counts, so it is
// exact whenever no change of those lists is under way; a reader without the lock sees a value
// some change has just made or is about to make. Any thread reads.
// The store's byte figures are kept beside these by the structures themselves (they know their
// own blocks); these count entries only.
#ifndef NORVEL_ENTRY_COUNTER_H_
#define NORVEL_ENTRY_COUNTER_H_

#include <atomic>
#include <cstddef>

class entry_counter {
 public:
  // One list (or table) went from `before` to `after` entries.
  void changed(std::size_t before, std::size_t after) {
    if (after >= before) {
      value.fetch_add(after - before, std::memory_order_relaxed);
    } else {
      value.fetch_sub(before - after, std::memory_order_relaxed);
    }
  }
  std::size_t get() const { return value.load(std::memory_order_relaxed); }
  // Everything it counted is gone (a table dropped whole).
  void clear() { value.store(0, std::memory_order_relaxed); }

 private:
  std::atomic<std::size_t> value{0};
};

// Counts into `counter` whatever `list` gains or loses between its construction and its end.
// Made and ended under the lock that guards the list.
template <typename List>
class counted_change {
 public:
  counted_change(entry_counter& into, const List& changing)
      : counter(into), list(changing), before(changing.size()) {}
  ~counted_change() { counter.changed(before, list.size()); }
  counted_change(const counted_change&) = delete;
  counted_change& operator=(const counted_change&) = delete;

 private:
  entry_counter& counter;
  const List& list;
  const std::size_t before;
};

#endif  // NORVEL_ENTRY_COUNTER_H_
