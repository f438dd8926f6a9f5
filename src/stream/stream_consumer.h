// The stream's reader thread: takes every message of the stream in order from a start sequence,
// turns its body into a change through the request parser, and hands it to the ordered dispatch;
// a body that is not a valid change is logged, counted and passed over. When the dispatch has no
// room (the workers are busy) the thread waits there and reads nothing more: the stream holds the
// backlog. When the reader fails it is made again after what was handed out, after a pause, for
// as long as the node runs: a broken network to the stream heals on its own and the node catches up.
//
// Threads: one thread of its own; start() and stop() from the main thread.
// Ownership: refers to the stream and the dispatch, which must outlive it.
#ifndef NORVEL_STREAM_CONSUMER_H_
#define NORVEL_STREAM_CONSUMER_H_

#include <atomic>
#include <cstdint>
#include <thread>

#include "stream/jetstream.h"
#include "stream/ordered_dispatch.h"

class stream_consumer {
 public:
  stream_consumer(jetstream& stream, ordered_dispatch& dispatch);
  ~stream_consumer();  // stop()
  stream_consumer(const stream_consumer&) = delete;
  stream_consumer& operator=(const stream_consumer&) = delete;

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
  void run();
  // One message: checked, decoded and handed out (or passed over).
  void take(const stream_message& message);

  jetstream& stream;
  ordered_dispatch& dispatch;
  std::atomic<bool> stopping{false};
  std::atomic<bool> idle{false};
  std::atomic<bool> at_end{false};  // a message delivered with nothing pending after it
  std::thread thread;
};

#endif  // NORVEL_STREAM_CONSUMER_H_
