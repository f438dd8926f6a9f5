// Hands the stream's changes to the appliers so that every node applies one and the same order:
// a change waits until no change still being applied shares a member or a special id with it
// (a follow change, which reads other members' lists, waits until nothing is being applied and
// holds everything behind it), while changes that touch nothing in common run in parallel.
// It also tracks the applied sequence: the highest N such that every message up to N is applied.
//
// Threads: submit() and pass() are called by one thread (the stream consumer), in increasing
// sequence order; completions come from the workers and the event loop; applied() and the waits
// from any thread. `lock` guards everything but the applied sequence, which is also an atomic
// for cheap reads.
// Ownership: holds the sinks it was given; a change is moved into its sink.
#ifndef NORVEL_ORDERED_DISPATCH_H_
#define NORVEL_ORDERED_DISPATCH_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <set>
#include <unordered_map>
#include <vector>

#include "protocol/parser.h"
#include "support/annotated_mutex.h"

class ordered_dispatch {
 public:
  using done_fn = std::function<void()>;
  // Applies `change` (a follow or special change; an inviter change) and calls `done` once it has
  // taken effect, on any thread.
  using sink = std::function<void(change_request&& change, done_fn done)>;

  // `serial`: every change waits for the one before (list caps make even unrelated changes
  // depend on their order). `max_in_flight`: at most this many changes handed out and not yet
  // applied; submit() waits for room (the back-pressure on the stream's reader).
  ordered_dispatch(sink to_workers, sink to_inviters, std::size_t max_in_flight, bool serial);
  ordered_dispatch(const ordered_dispatch&) = delete;
  ordered_dispatch& operator=(const ordered_dispatch&) = delete;

  // Everything up to `seq` is applied already (a snapshot's sequence); before any submit.
  void start_after(std::uint64_t seq);
  // Hands out the change of stream sequence `seq` once nothing in flight conflicts with it, there
  // is room, and no pause holds it; waits meanwhile. False (nothing handed out) once stopped.
  bool submit(std::uint64_t seq, change_request&& change);
  // A sequence with nothing to apply (a message that is not a valid change): counted as applied
  // in its turn.
  void pass(std::uint64_t seq);

  // The applied sequence; any thread.
  std::uint64_t applied() const { return applied_seq.load(std::memory_order_acquire); }
  // The last sequence handed out or passed.
  std::uint64_t handed() const;
  std::size_t in_flight() const;
  // Waits until applied() >= seq; false after `timeout`.
  bool wait_applied(std::uint64_t seq, std::chrono::milliseconds timeout) const;

  // No more hand-outs until resume(); `at_rest` gets the applied sequence once nothing is in
  // flight: at once on this thread when nothing is, else on the thread that applies the last one.
  // A submit waiting meanwhile stays waiting.
  using rest_fn = std::function<void(std::uint64_t applied)>;
  void pause(rest_fn at_rest);
  void resume();
  // Waits until nothing is in flight; false after `timeout`.
  bool drain(std::chrono::milliseconds timeout) const;
  // Ends every wait: submit() answers false from now on, and a pause waiting for rest is
  // dropped. What is in flight still finishes (drain() waits for it).
  void stop();

 private:
  using key = std::uint64_t;
  struct flight {
    std::vector<key> keys;
    bool barrier = false;
  };
  static std::vector<key> keys_of(const change_request& change, bool& barrier);
  bool may_start(const std::vector<key>& keys, bool barrier) const REQUIRES(lock);
  void finish(std::uint64_t seq);
  void update_applied() REQUIRES(lock);

  const sink workers_sink;
  const sink inviters_sink;
  const std::size_t limit;
  const bool one_at_a_time;
  mutable annotated::mutex lock;
  mutable std::condition_variable changed;
  // keys of changes in flight, with their count
  std::unordered_map<key, std::size_t> busy GUARDED_BY(lock);
  std::unordered_map<std::uint64_t, flight> flights GUARDED_BY(lock);  // by sequence
  std::set<std::uint64_t> flying GUARDED_BY(lock);  // sequences in flight, ascending
  std::size_t barriers_in_flight GUARDED_BY(lock) = 0;
  std::uint64_t last_handed GUARDED_BY(lock) = 0;
  bool paused GUARDED_BY(lock) = false;
  rest_fn waiting_for_rest GUARDED_BY(lock);  // a pause's at_rest, until nothing is in flight
  bool stopped GUARDED_BY(lock) = false;
  std::atomic<std::uint64_t> applied_seq{0};
};

#endif  // NORVEL_ORDERED_DISPATCH_H_
