// Group commit: each thread's batch of pending entries, written with one day check, one file
// lock and one write when its outermost log_batch ends (log.h).
#include <atomic>
#include <memory>

#include "support/log.h"
#include "support/log_internal.h"

namespace logger {

std::atomic<thread_batch*> batches[batch_slots];

namespace {

// Guards registration and the owner of pending entries against the logger's destruction and a
// thread's end; the logging path itself never takes it.
annotated::mutex batches_lock;

thread_local thread_batch this_thread_batch;

}  // namespace

thread_batch::~thread_batch() {
  if (slot < 0) {
    return;
  }
  annotated::mutex_lock guard(batches_lock);
  write_out();
  batches[slot].store(nullptr);
}

bool thread_batch::ready() {
  if (slot >= 0) {
    return true;
  }
  annotated::mutex_lock guard(batches_lock);
  for (int i = 0; i < batch_slots; ++i) {
    if (batches[i].load() == nullptr) {
      data.reset(new char[capacity]);
      slot = i;
      batches[i].store(this);
      return true;
    }
  }
  return false;  // more threads than slots: this one writes each entry at once
}

void thread_batch::write_out() {
  const size_t pending = length.load(std::memory_order_relaxed);
  Logfile* log = owner.load(std::memory_order_relaxed);
  if (pending > 0 && log != nullptr) {
    log->write_pending(data.get(), pending, date);
  }
  length.store(0, std::memory_order_release);
}

// Entries other threads still hold for this logger are written now; their batches forget it.
Logfile::~Logfile() {
  annotated::mutex_lock guard(batches_lock);
  for (auto& slot : batches) {
    thread_batch* batch = slot.load();
    if (batch != nullptr && batch->owner.load() == this) {
      batch->write_out();
      batch->owner.store(nullptr);
    }
  }
}

// The entry goes to the end of this thread's batch when one is open. Pending entries of another
// logger, or of another local date, are written first, so every entry reaches the file it would
// have reached on its own. False when the entry is to be written at once: no batch is open, or it
// does not fit even into an empty batch.
bool Logfile::add_to_batch(int level, const char* format, va_list args) {
  thread_batch& batch = this_thread_batch;
  if (batch.depth == 0 || !batch.ready()) {
    return false;
  }
  const timeval now = clock();
  const int date = batch.dates.of(now.tv_sec);
  size_t used = batch.length.load(std::memory_order_relaxed);
  if (used > 0 && (batch.owner.load(std::memory_order_relaxed) != this || batch.date != date ||
                   used > thread_batch::capacity - stamp_buffer_size)) {
    batch.write_out();
    used = 0;
  }
  for (;;) {
    char* const start = batch.data.get() + used;
    char* text = format_stamp(start, level, now);
    const size_t room = thread_batch::capacity - static_cast<size_t>(text - batch.data.get());
    const size_t text_length = format_message(text, room, format, args);
    if (text_length + 2 < room) {
      text[text_length] = '\r';
      text[text_length + 1] = '\n';
      batch.owner.store(this, std::memory_order_relaxed);
      batch.date = date;
      batch.length.store(static_cast<size_t>(text - batch.data.get()) + text_length + 2,
                         std::memory_order_release);
      break;
    }
    if (used == 0) {
      return false;  // larger than the whole batch: written at once, after nothing pending
    }
    batch.write_out();
    used = 0;
  }
  if (level == log_fatal || level == log_error) {
    batch.write_out();
  }
  return true;
}

// Entries written at once must not overtake the ones this thread has pending.
void Logfile::write_pending_of_this_thread() {
  thread_batch& batch = this_thread_batch;
  if (batch.length.load(std::memory_order_relaxed) > 0) {
    batch.write_out();
  }
}

void Logfile::write_pending(const char* data, size_t length, int date) {
  annotated::mutex_lock guard(entry_lock);
  open_date_locked(date);
  append_locked(data, length);
}

}  // namespace logger

void log_batch_begin() noexcept {
  ++logger::this_thread_batch.depth;
}

void log_batch_end() noexcept {
  logger::thread_batch& batch = logger::this_thread_batch;
  if (batch.depth > 0 && --batch.depth == 0 && batch.slot >= 0) {
    try {
      batch.write_out();
    } catch (...) {
      // Writing the log does not throw past the file lock's own handling; never from here.
    }
  }
}
