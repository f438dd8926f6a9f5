#include "stream/stream_consumer.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <memory>
#include <string>

#include "stream/stream_stats.h"
#include "support/log.h"

stream_consumer::stream_consumer(jetstream& source, ordered_dispatch& target, stream_stats& figures)
    : stream(source), dispatch(target), stats(figures) {}

stream_consumer::~stream_consumer() {
  stop();
}

namespace {

// Raises the recorded last sequence of the stream to `seen`; never lowers it.
void note_last_sequence(stream_stats& stats, std::uint64_t seen) {
  std::uint64_t known = stats.last_sequence.load(std::memory_order_relaxed);
  while (seen > known &&
         !stats.last_sequence.compare_exchange_weak(known, seen, std::memory_order_relaxed)) {
  }
}

// Sleeps up to `total` in short steps, returning early once `stopping` is set.
void pause_unless_stopping(const std::atomic<bool>& stopping, std::chrono::milliseconds total) {
  constexpr std::chrono::milliseconds step(50);
  for (std::chrono::milliseconds slept(0); slept < total && !stopping; slept += step) {
    std::this_thread::sleep_for(step);
  }
}

}  // namespace

void stream_consumer::start() {
  stopping = false;
  thread = std::thread(&stream_consumer::run, this);
  watch_thread = std::thread(&stream_consumer::watch, this);
}

void stream_consumer::stop() {
  stopping = true;
  if (thread.joinable()) {
    thread.join();
  }
  if (watch_thread.joinable()) {
    watch_thread.join();
  }
}

void stream_consumer::watch() {
  while (!stopping) {
    try {
      note_last_sequence(stats, stream.state(std::chrono::milliseconds(500)).last_seq);
    } catch (const stream_error&) {
      // No metadata leader (the servers are electing one): the stream's state cannot be had,
      // but with direct gets, whether it holds a message beyond what was handed out can.
      peek_beyond_handed();
    }
    pause_unless_stopping(stopping, std::chrono::milliseconds(250));
  }
}

void stream_consumer::peek_beyond_handed() {
  if (!stream.direct_gets()) {
    return;
  }
  stream_message beyond;
  try {
    if (stream.get_message(dispatch.handed() + 1, beyond, std::chrono::milliseconds(500))) {
      note_last_sequence(stats, beyond.seq);
    }
  } catch (const stream_error&) {
    // No server holding the stream answers: there is nothing to read either.
  }
}

bool stream_consumer::stalled(clock::time_point now) {
  const std::uint64_t last = stats.last_sequence.load(std::memory_order_relaxed);
  const std::uint64_t handed = dispatch.handed();
  if (last <= handed) {
    behind_since = clock::time_point{};
    return false;
  }
  if (behind_since == clock::time_point{}) {
    behind_since = now;
    return false;
  }
  if (now - behind_since < stall_after) {
    return false;
  }
  log_event(log_warning,
            "stream reader: nothing delivered for %lld ms though stream %s holds sequence %llu and "
            "this node has handed out %llu; reading by sequence until a new reader is made",
            static_cast<long long>(
                std::chrono::duration_cast<std::chrono::milliseconds>(now - behind_since).count()),
            stream.settings().name.c_str(), static_cast<unsigned long long>(last),
            static_cast<unsigned long long>(handed));
  return true;
}

void stream_consumer::run() {
  while (!stopping) {
    try {
      if (reader) {
        read_from_reader();
      } else if (!by_sequence) {
        // The start: the reader is made here, before anything else is read.
        reader = std::make_unique<ordered_reader>(stream, dispatch.handed() + 1);
      } else {
        tend_new_reader();
        if (!reader) {
          read_by_sequence();
        }
      }
    } catch (const std::exception& e) {
      log_event(log_error,
                "stream reader: %s; reading by sequence from %llu until a new reader is made",
                e.what(), static_cast<unsigned long long>(dispatch.handed() + 1));
      drop_reader();
    }
  }
  // Their threads end within the wait of one request to the servers.
  if (new_reader.valid()) {
    new_reader.wait();
  }
  retiring.clear();
}

void stream_consumer::read_from_reader() {
  stream_message message;
  if (reader->next(message, std::chrono::milliseconds(100))) {
    idle.store(false, std::memory_order_release);
    behind_since = clock::time_point{};
    take(message);
    if (message.pending == 0) {
      at_end.store(true, std::memory_order_release);
    }
    return;
  }
  idle.store(true, std::memory_order_release);
  if (stalled(clock::now())) {
    drop_reader();
  }
}

void stream_consumer::drop_reader() {
  retiring.erase(std::remove_if(retiring.begin(), retiring.end(),
                                [](const std::future<void>& each) {
                                  return each.wait_for(std::chrono::seconds(0)) ==
                                         std::future_status::ready;
                                }),
                 retiring.end());
  if (reader) {
    retiring.push_back(
        std::async(std::launch::async, [gone = std::move(reader)]() mutable { gone.reset(); }));
  }
  by_sequence = true;
  remake_at = clock::now();
  behind_since = clock::time_point{};
  idle.store(false, std::memory_order_release);
  stats.reconnects.fetch_add(1, std::memory_order_relaxed);
}

void stream_consumer::tend_new_reader() {
  if (!new_reader.valid()) {
    if (clock::now() >= remake_at) {
      const std::uint64_t from = dispatch.handed() + 1;
      jetstream& source = stream;
      new_reader = std::async(std::launch::async, [&source, from] {
        return std::make_unique<ordered_reader>(source, from);
      });
    }
    return;
  }
  if (new_reader.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
    return;
  }
  try {
    // Starts where the handing out stood when it was asked for: what it delivers again is
    // passed over as delivered twice.
    reader = new_reader.get();
    by_sequence = false;
    remake_pause = std::chrono::milliseconds(1000);
  } catch (const std::exception& e) {
    log_event(log_warning, "stream reader: %s; reading by sequence, asking again in %lld ms",
              e.what(), static_cast<long long>(remake_pause.count()));
    remake_at = clock::now() + remake_pause;
    remake_pause = std::min(remake_pause * 2, max_remake_pause);
  }
}

void stream_consumer::read_by_sequence() {
  const std::uint64_t last = stats.last_sequence.load(std::memory_order_relaxed);
  const std::uint64_t next = dispatch.handed() + 1;
  // A direct get finds the next message itself; otherwise only a known last sequence says there
  // is one to ask for.
  if (!stream.direct_gets() && next > last) {
    caught_up();
    return;
  }
  stream_message message;
  try {
    if (!stream.get_message(next, message, std::chrono::milliseconds(500))) {
      if (stream.direct_gets()) {
        caught_up();
      } else {
        dispatch.pass(
            next);  // deleted, or expired: the stream goes on after it, and so does the node
      }
      return;
    }
  } catch (const stream_error& e) {
    log_event(log_debug, "stream reader: %s", e.what());
    pause_unless_stopping(stopping, std::chrono::milliseconds(100));
    return;
  }
  idle.store(false, std::memory_order_release);
  message.pending = last > message.seq ? last - message.seq : 0;
  take(message);
}

void stream_consumer::caught_up() {
  idle.store(true, std::memory_order_release);
  at_end.store(true, std::memory_order_release);
  pause_unless_stopping(stopping, std::chrono::milliseconds(20));
}

void stream_consumer::take(const stream_message& message) {
  note_last_sequence(stats, message.seq + message.pending);
  if (message.seq <= dispatch.handed()) {
    stats.redelivered.fetch_add(1, std::memory_order_relaxed);  // the reader started over
    return;
  }
  if (message.part) {
    parts.keep(message.seq, message.body);  // applied with the message that completes it
    dispatch.pass(message.seq);
    return;
  }
  std::string whole;
  if (!message.parts.empty() && !put_together(message, whole)) {
    if (stopping) {
      return;  // not applied, and not passed: the stop's snapshot must not count it
    }
    stats.skipped.fetch_add(1, std::memory_order_relaxed);
    dispatch.pass(message.seq);
    return;
  }
  const std::string& body = message.parts.empty() ? message.body : whole;
  change_request change;
  bool valid = false;
  try {
    parser request(body, parse_path::any);
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

bool stream_consumer::put_together(const stream_message& message, std::string& whole) {
  const change_parts::fetch_fn fetch = [this](std::uint64_t seq, std::string& body) {
    stream_message part;
    if (!stream.get_message(seq, part, std::chrono::milliseconds(2000)) || part.seq != seq ||
        !part.part) {
      return false;
    }
    body = std::move(part.body);
    return true;
  };
  // The change's place in the order is here: the parts are fetched until they come (or the
  // stream says it no longer holds one), however long the servers take to answer.
  while (!stopping) {
    std::string why;
    try {
      if (parts.put_together(message.seq, message.parts, fetch, whole, why)) {
        return true;
      }
      log_event(log_warning,
                "stream message %llu completes a change that cannot be put together "
                "(%s); skipped",
                static_cast<unsigned long long>(message.seq), why.c_str());
      return false;
    } catch (const stream_error& e) {
      log_event(log_warning, "stream message %llu: %s; asking again in 1 s",
                static_cast<unsigned long long>(message.seq), e.what());
      pause_unless_stopping(stopping, std::chrono::milliseconds(1000));
    }
  }
  return false;
}
