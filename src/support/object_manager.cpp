#include "support/object_manager.h"

#include <cstdint>

#include "support/log.h"

std::atomic<object_manager*> object_manager::m_pstObjectManager{nullptr};
annotated::mutex object_manager::m_instanceLock;

void object_manager::init() {
  annotated::mutex_lock guard(m_instanceLock);
  if (m_pstObjectManager.load(std::memory_order_relaxed) != nullptr) {
    return;
  }
  log_event(log_trace, "ZUL_Object_Manager::ZUL_Object_Manager");
  m_pstObjectManager.store(new object_manager(), std::memory_order_release);
}

object_manager* object_manager::instance() {
  return m_pstObjectManager.load(std::memory_order_acquire);
}

// The registry is detached under m_instanceLock and its finalisers run after the lock is let
// go: a finaliser takes its singleton's m_stLock, and creation takes m_stLock before
// m_instanceLock, so running them under m_instanceLock would invert that order.
void object_manager::fini() {
  if (m_pstObjectManager.load(std::memory_order_acquire) == nullptr) {
    return;
  }
  object_manager* doomed = nullptr;
  {
    annotated::mutex_lock guard(m_instanceLock);
    doomed = m_pstObjectManager.exchange(nullptr, std::memory_order_acq_rel);
  }
  if (doomed == nullptr) {
    return;  // another thread finished first
  }
  delete doomed;  // runs the finalisers
  log_event(log_debug, "ZUL_Object_Manager::~ZUL_Object_Manager");
}

void object_manager::add(fini_fn fn, const char* tag, unsigned long size) {
  // The address is logged as the historic int-sized number; only its low bits survive.
  log_event(log_trace, "ZUL_Object_Manager::add_fini tag = %s fun=%d objsize=%d",
            tag != nullptr ? tag : "", static_cast<int>(reinterpret_cast<std::uintptr_t>(fn)),
            static_cast<int>(size));
  annotated::mutex_lock guard(m_instanceLock);
  if (m_pstObjectManager.load(std::memory_order_relaxed) != this) {
    return;  // already detached by fini(): its finalisers are running or have run
  }
  entries.emplace_back(fn, tag != nullptr ? tag : "");
}

// Newest first, one at a time; an entry is removed only after its finaliser has run.
object_manager::~object_manager() {
  while (!entries.empty()) {
    const std::pair<fini_fn, std::string>& newest = entries.back();
    if (newest.first != nullptr) {
      newest.first();
    }
    log_event(log_debug, "ZUL_Object_Manager::~ZUL_Object_Manager fun=%s", newest.second.c_str());
    entries.pop_back();
  }
}
