// The stream's reader thread: takes every message of the stream in order from a start sequence,
// turns its body into a change through the request parser, and hands it to the ordered dispatch;
// a body that is not a valid change is logged, counted and passed over. When the dispatch has no
// room (the workers are busy) the thread waits there and reads nothing more: the stream holds the
// backlog. When the reader fails it is made again after what was handed out, after a pause, for
// as long as the node runs: a broken network to the stream heals on its own and the node catches
// up. A reader can also stop without failing: its consumer lived on a stream server that died, and
// the client library notices only after missed heartbeats, many seconds later. So a second thread
// asks the stream for its state every quarter second (the stream's last sequence, which the metrics
// show), and a reader that has delivered nothing for `stall_after` while the stream holds messages
// beyond what was handed out is dropped. A new reader needs the servers' metadata leader, which
// may itself be electing for many seconds while the stream already takes changes; so until one is
// made (on a thread of its own, asked again with a growing pause), the thread fetches the
// messages one by one by sequence from the stream's leader, which needs no consumer.
//
// Threads: the reader's thread, the watch thread and, while a reader is being made again, a thread
// that makes it (its future is the reader thread's); start() and stop() from the main thread.
// Ownership: refers to the stream, the dispatch and the figures, which must outlive it.
#ifndef NORVEL_STREAM_CONSUMER_H_
#define NORVEL_STREAM_CONSUMER_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "stream/change_parts.h"
#include "stream/jetstream.h"
#include "stream/ordered_dispatch.h"
#include "stream/stream_stats.h"

class stream_consumer {
 public:
  // Counts into `stats`, which must outlive it.
  stream_consumer(jetstream& stream, ordered_dispatch& dispatch, stream_stats& stats);
  ~stream_consumer();  // stop()
  stream_consumer(const stream_consumer&) = delete;
  stream_consumer& operator=(const stream_consumer&) = delete;

  // A reader that delivers nothing for this long while the stream holds more is made again.
  static constexpr std::chrono::milliseconds stall_after{750};
  // The pause before asking again for a reader that could not be made doubles up to this.
  static constexpr std::chrono::milliseconds max_remake_pause{16000};

  // Reads from the sequence after the dispatch's last handed-out one.
  void start();
  // Ends the thread; what it handed out is left to the workers.
  void stop();
  // Whether the last read found nothing more in the stream, a message has said nothing followed
  // it, and `dispatch` has nothing in flight: a hint that the node holds what the stream holds,
  // to be checked against the stream's state (a reader still starting up reads nothing for a
  // while, and a message's count of what follows it can be short). Any thread.
  bool idle_and(const ordered_dispatch& changes) const {
    return idle.load(std::memory_order_acquire) && at_end.load(std::memory_order_acquire) &&
           changes.in_flight() == 0;
  }

 private:
  using clock = std::chrono::steady_clock;
  void run();
  // Asks the stream for its state every quarter second and records its last sequence. Watch thread.
  void watch();
  // One turn with a reader: the next message, or a check that it has not stalled.
  void read_from_reader();
  // Whether the reader has delivered nothing for stall_after while the stream holds messages
  // beyond what was handed out; logs why when it has.
  bool stalled(clock::time_point now);
  // Drops the reader after a failure or a stall: from now on messages are fetched by sequence
  // until a new one is made.
  void drop_reader();
  // Starts making a new reader when it is time, and takes it once it is made.
  void tend_new_reader();
  // One message fetched by its sequence, or a short wait when there is none to fetch.
  void read_by_sequence();
  // Nothing more to fetch now: idle, and a short wait.
  void caught_up();
  // Records the sequence of a message beyond what was handed out, found by a direct get.
  void peek_beyond_handed();
  // One message: checked, decoded and handed out (or passed over); a part is kept for later.
  void take(const stream_message& message);
  // The change that `message` completes, from its parts, into `whole`; false (logged) when it
  // cannot be put together.
  bool put_together(const stream_message& message, std::string& whole);

  jetstream& stream;
  ordered_dispatch& dispatch;
  stream_stats& stats;
  std::atomic<bool> stopping{false};
  std::atomic<bool> idle{false};
  std::atomic<bool> at_end{false};  // a message delivered with nothing pending after it
  // Reader's thread only: the reader (null after a failure or a stall), whether messages are
  // fetched by sequence meanwhile, the reader being made and when to ask for one next, and since
  // when the stream has been seen ahead of what was handed out with nothing delivered (epoch:
  // not behind).
  std::unique_ptr<ordered_reader> reader;
  bool by_sequence = false;
  std::future<std::unique_ptr<ordered_reader>> new_reader;
  // Readers being let go: ending one asks the servers to delete its consumer, which waits for
  // an answer the metadata leader gives, so it is done on a thread of its own.
  std::vector<std::future<void>> retiring;
  clock::time_point remake_at{};
  std::chrono::milliseconds remake_pause{1000};
  clock::time_point behind_since{};
  change_parts parts;  // parts of large changes read so far; reader's thread only
  std::thread thread;
  std::thread watch_thread;
};

#endif  // NORVEL_STREAM_CONSUMER_H_
