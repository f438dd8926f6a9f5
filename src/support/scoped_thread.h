// A thread joined when the scope that made it is left, however it is left: the load's helper
// threads. Owns its std::thread; not copied. Whoever made it joins it.
#ifndef NORVEL_SCOPED_THREAD_H_
#define NORVEL_SCOPED_THREAD_H_

#include <thread>
#include <utility>

class scoped_thread {
 public:
  template <typename Body>
  explicit scoped_thread(Body body) : thread(std::move(body)) {}
  scoped_thread(const scoped_thread&) = delete;
  scoped_thread& operator=(const scoped_thread&) = delete;
  ~scoped_thread() { join(); }

  void join() {
    if (thread.joinable()) {
      thread.join();
    }
  }

 private:
  std::thread thread;
};

#endif  // NORVEL_SCOPED_THREAD_H_
