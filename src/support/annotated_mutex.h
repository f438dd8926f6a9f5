// A reader/writer mutex, an exclusive mutex and their scoped locks, annotated for Clang's
// thread-safety analysis
// (-Wthread-safety): members say which lock guards them (GUARDED_BY), functions say which lock
// they need (REQUIRES), and the compiler checks every access. Other compilers see plain
// std::shared_mutex, std::mutex and RAII locks; the attributes expand to nothing. Every lock in
// the tree is one of these two.
// Threads: as std::shared_mutex and std::mutex. Ownership: a lock object holds its mutex from
// construction to destruction; neither is copied.
#ifndef NORVEL_ANNOTATED_MUTEX_H_
#define NORVEL_ANNOTATED_MUTEX_H_

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <shared_mutex>

#if defined(__clang__)
#define NORVEL_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define NORVEL_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) NORVEL_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY NORVEL_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) NORVEL_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) NORVEL_THREAD_ANNOTATION(pt_guarded_by(x))
#define REQUIRES(...) NORVEL_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) NORVEL_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
#define ACQUIRE(...) NORVEL_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) NORVEL_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define RELEASE(...) NORVEL_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define RELEASE_SHARED(...) NORVEL_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#define EXCLUDES(...) NORVEL_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define NO_THREAD_SAFETY_ANALYSIS NORVEL_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace annotated {

// std::shared_mutex with the capability attributes. Taken through the scoped locks below.
class CAPABILITY("mutex") shared_mutex {
 public:
  shared_mutex() = default;
  shared_mutex(const shared_mutex&) = delete;
  shared_mutex& operator=(const shared_mutex&) = delete;

  void lock() ACQUIRE() { mutex.lock(); }
  void unlock() RELEASE() { mutex.unlock(); }
  void lock_shared() ACQUIRE_SHARED() { mutex.lock_shared(); }
  void unlock_shared() RELEASE_SHARED() { mutex.unlock_shared(); }

 private:
  std::shared_mutex mutex;
};

// Holds `mutex` exclusively for its lifetime.
class SCOPED_CAPABILITY unique_lock {
 public:
  explicit unique_lock(shared_mutex& to_lock) ACQUIRE(to_lock) : mutex(to_lock) { mutex.lock(); }
  ~unique_lock() RELEASE() { mutex.unlock(); }
  unique_lock(const unique_lock&) = delete;
  unique_lock& operator=(const unique_lock&) = delete;

 private:
  shared_mutex& mutex;
};

// Holds `mutex` shared for its lifetime.
class SCOPED_CAPABILITY shared_lock {
 public:
  explicit shared_lock(shared_mutex& to_lock) ACQUIRE_SHARED(to_lock) : mutex(to_lock) {
    mutex.lock_shared();
  }
  ~shared_lock() RELEASE() { mutex.unlock_shared(); }
  shared_lock(const shared_lock&) = delete;
  shared_lock& operator=(const shared_lock&) = delete;

 private:
  shared_mutex& mutex;
};

// std::mutex with the capability attributes. Taken through mutex_lock.
class CAPABILITY("mutex") mutex {
 public:
  mutex() = default;
  mutex(const mutex&) = delete;
  mutex& operator=(const mutex&) = delete;

  void lock() ACQUIRE() { native.lock(); }
  void unlock() RELEASE() { native.unlock(); }

 private:
  friend class mutex_lock;
  std::mutex native;
};

// Holds `mutex` for its lifetime, except while it waits on a condition variable (which lets the
// mutex go until it is woken, as std::condition_variable::wait does). A predicate runs with the
// mutex held; the analysis cannot see that through the wait, so write it as a lambda that says
// so: `lock.wait(ready, [&]() REQUIRES(mutex) { return stopped || !items.empty(); });`.
class SCOPED_CAPABILITY mutex_lock {
 public:
  explicit mutex_lock(mutex& to_lock) ACQUIRE(to_lock) : held(to_lock.native) {}
  ~mutex_lock() RELEASE() {}
  mutex_lock(const mutex_lock&) = delete;
  mutex_lock& operator=(const mutex_lock&) = delete;

  // Lets the mutex go before the scope ends (to call out without holding it); not taken again.
  void unlock() RELEASE() { held.unlock(); }

  template <typename Predicate>
  void wait(std::condition_variable& condition, Predicate ready) {
    condition.wait(held, ready);
  }
  // False when `timeout` passed with `ready` still false.
  template <typename Rep, typename Period, typename Predicate>
  bool wait_for(std::condition_variable& condition,
                const std::chrono::duration<Rep, Period>& timeout, Predicate ready) {
    return condition.wait_for(held, timeout, ready);
  }

 private:
  std::unique_lock<std::mutex> held;
};

}  // namespace annotated

#endif  // NORVEL_ANNOTATED_MUTEX_H_
