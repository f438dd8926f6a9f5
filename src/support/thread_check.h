// For classes that promise "one thread only" (the event loop's): in debug builds, asserts that
// every checked call comes from the thread of the first one. Release builds check nothing and
// hold nothing but an empty member.
// Threads: any; it is meant to see one. Ownership: none.
#ifndef NORVEL_THREAD_CHECK_H_
#define NORVEL_THREAD_CHECK_H_

#include <cassert>
#include <thread>

class thread_check {
 public:
  // The first call binds the check to its thread; later calls from any other thread assert.
  void assert_on_thread() {
#ifndef NDEBUG
    const std::thread::id caller = std::this_thread::get_id();
    if (owner == std::thread::id()) {
      owner = caller;
    }
    assert(owner == caller && "called from a second thread");
#endif
  }

 private:
#ifndef NDEBUG
  std::thread::id owner;
#endif
};

#endif  // NORVEL_THREAD_CHECK_H_
