// Global services created on first use (singleton<T>) and the registry of finalisers that
// destroys them at exit, newest first (object_manager).
//
// Lifetimes are managed by hand on purpose: a singleton lives from its first instance() until the
// object manager runs its finaliser, so both classes use new/delete directly.
// Threads: creation happens on the main thread before the event loop runs and fini() after it has
// stopped. m_stLock guards a singleton's creation and destruction; m_instanceLock guards the
// registry pointer and its list. A singleton's m_stLock is held while add() takes m_instanceLock;
// a finaliser must therefore never call add().
#ifndef NORVEL_OBJECT_MANAGER_H_
#define NORVEL_OBJECT_MANAGER_H_

#include <atomic>
#include <string>
#include <typeinfo>
#include <utility>
#include <vector>

#include "support/annotated_mutex.h"

class object_manager {
 public:
  using fini_fn = void (*)();

  object_manager(const object_manager&) = delete;
  object_manager& operator=(const object_manager&) = delete;

  // Creates the registry if it does not exist (logs at Trace the first time).
  static void init();
  // The registry, without locking; null before init() and after fini().
  static object_manager* instance();
  // Runs every finaliser, newest first, then destroys the registry.
  static void fini();

  // Appends a finaliser with its tag; `size` is only logged.
  void add(fini_fn fn, const char* tag, unsigned long size);

 private:
  object_manager() = default;
  ~object_manager();  // runs the finalisers, newest first

  // Read without the lock only by the destructor, once fini() has detached the registry.
  std::vector<std::pair<fini_fn, std::string>> entries GUARDED_BY(m_instanceLock);

  static std::atomic<object_manager*> m_pstObjectManager;
  static annotated::mutex m_instanceLock;
};

template <typename T>
class singleton {
 public:
  // The one T, created on first use. The fast path reads an atomic pointer without a lock.
  static T* instance() {
    T* existing = m_stpInstance.load(std::memory_order_acquire);
    if (existing != nullptr) {
      return existing;
    }
    annotated::mutex_lock guard(m_stLock);
    existing = m_stpInstance.load(std::memory_order_relaxed);
    if (existing == nullptr) {
      // Registration comes first: a throwing constructor leaves a finaliser that finds nothing.
      object_manager::instance()->add(&singleton<T>::fini, typeid(T).name(), sizeof(T));
      existing = new T();
      m_stpInstance.store(existing, std::memory_order_release);
    }
    return existing;
  }

  // Destroys the object if it exists.
  static void fini() {
    if (m_stpInstance.load(std::memory_order_acquire) == nullptr) {
      return;
    }
    annotated::mutex_lock guard(m_stLock);
    T* doomed = m_stpInstance.exchange(nullptr, std::memory_order_acq_rel);
    delete doomed;
  }

 private:
  static std::atomic<T*> m_stpInstance;
  static annotated::mutex m_stLock;
};

template <typename T>
std::atomic<T*> singleton<T>::m_stpInstance{nullptr};
template <typename T>
annotated::mutex singleton<T>::m_stLock;

#endif  // NORVEL_OBJECT_MANAGER_H_
