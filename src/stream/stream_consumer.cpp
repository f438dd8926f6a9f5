#include "stream/stream_consumer.h"

#include <chrono>
#include <exception>
#include <memory>
#include <string>

#include "stream/stream_stats.h"
#include "support/log.h"

stream_stats& stream_stats::global() {
  static stream_stats instance;
  return instance;
}

stream_consumer::stream_consumer(jetstream& source, ordered_dispatch& target)
    : stream(source), dispatch(target) {}

stream_consumer::~stream_consumer() { stop(); }

void stream_consumer::start() {
  stopping = false;
  thread = std::thread(&stream_consumer::run, this);
}

void stream_consumer::stop() {
  stopping = true;
  if (thread.joinable()) {
    thread.join();
  }
}

void stream_consumer::run() {
  stream_stats& stats = stream_stats::global();
  std::unique_ptr<ordered_reader> reader;
  stream_message message;
  while (!stopping) {
    try {
      if (!reader) {
        reader = std::make_unique<ordered_reader>(stream, dispatch.handed() + 1);
      }
      if (reader->next(message, std::chrono::milliseconds(100))) {
        idle.store(false, std::memory_order_release);
        take(message);
        if (message.pending == 0) {
          at_end.store(true, std::memory_order_release);
        }
      } else {
        idle.store(true, std::memory_order_release);
      }
    } catch (const std::exception& e) {
      log_event(log_error, "stream reader: %s; reading again from sequence %llu in 1 s", e.what(),
                static_cast<unsigned long long>(dispatch.handed() + 1));
      reader.reset();
      idle.store(false, std::memory_order_release);
      stats.reconnects.fetch_add(1, std::memory_order_relaxed);
      for (int i = 0; i < 10 && !stopping; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
    }
  }
}

void stream_consumer::take(const stream_message& message) {
  stream_stats& stats = stream_stats::global();
  const std::uint64_t seen = message.seq + message.pending;
  if (seen > stats.last_sequence.load(std::memory_order_relaxed)) {
    stats.last_sequence.store(seen, std::memory_order_relaxed);
  }
  if (message.seq <= dispatch.handed()) {
    stats.redelivered.fetch_add(1, std::memory_order_relaxed);  // the reader started over
    return;
  }
  change_request change;
  bool valid = false;
  try {
    parser request(message.body, parse_path::any);
    valid = request.read_change(change) && !change.empty();
  } catch (const std::exception& e) {
    log_event(log_warning, "stream message %llu is not a valid change (%s); skipped",
              static_cast<unsigned long long>(message.seq), e.what());
    stats.skipped.fetch_add(1, std::memory_order_relaxed);
    dispatch.pass(message.seq);
    return;
  }
  if (!valid) {
    log_event(log_warning, "stream message %llu is not a change; skipped",
              static_cast<unsigned long long>(message.seq));
    stats.skipped.fetch_add(1, std::memory_order_relaxed);
    dispatch.pass(message.seq);
    return;
  }
  const std::int64_t stored_ns = message.stored_ns;
  change.stored_ns = stored_ns;
  dispatch.submit(message.seq, std::move(change));
}
