// Hands the stream's changes to the appliers so that every node applies one and the same order:
// a change waits until no change before it that is still waiting or being applied shares a
// member or a special id with it (a follow change, which reads other members' lists, waits until
// everything before it is applied and holds everything behind it), while changes that touch
// nothing in common run in parallel. A change that waits does not hold back later changes that
// share nothing with it or with anything waiting before it: they are handed out past it. With
// list caps, special additions and removals also wait for each other (a capped list keeps the
// same ids whatever the order of additions, or of removals, but not of both mixed).
// It also tracks the applied sequence: the highest N such that every message up to N is applied.
//
// Threads: submit() and pass() are called by one thread (the stream consumer), in increasing
// sequence order; a waiting change is handed out by whichever thread makes it free (the
// submitting one, a worker or the event loop finishing a change, resume()); completions come
// from the workers and the event loop; applied() and the waits from any thread. `state_lock` guards
// everything but the applied sequence, which is also an atomic for cheap reads. The sinks are
// called without the lock held.
// Ownership: holds the sinks it was given and the changes waiting; a change is moved into its
// sink.
#ifndef NORVEL_ORDERED_DISPATCH_H_
#define NORVEL_ORDERED_DISPATCH_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <set>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "protocol/parser.h"
#include "support/annotated_mutex.h"

class ordered_dispatch {
 public:
  using done_fn = std::function<void()>;
  // Applies `change` (a follow or special change; an inviter change) and calls `done` once it has
  // taken effect, on any thread.
  using sink = std::function<void(change_request&& change, done_fn done)>;

  // `capped`: list caps are set, so special additions and removals keep their order between
  // them. `max_in_flight`: at most this many changes taken and not yet applied (waiting or handed
  // out); submit() waits for room (the back-pressure on the stream's reader).
  ordered_dispatch(sink to_workers, sink to_inviters, std::size_t max_in_flight, bool capped);
  ordered_dispatch(const ordered_dispatch&) = delete;
  ordered_dispatch& operator=(const ordered_dispatch&) = delete;

  // Everything up to `seq` is applied already (a snapshot's sequence); before any submit.
  void start_after(std::uint64_t seq);
  // Takes the change of stream sequence `seq`, waiting for room, and hands it out once nothing
  // before it conflicts with it and no pause holds it (at once, or later on the thread that frees
  // it). False (nothing taken) once stopped.
  bool submit(std::uint64_t seq, change_request&& change);
  // A sequence with nothing to apply (a message that is not a valid change): counted as applied
  // in its turn.
  void pass(std::uint64_t seq);

  // The applied sequence; any thread.
  std::uint64_t applied() const { return applied_seq.load(std::memory_order_acquire); }
  // The last sequence taken or passed.
  std::uint64_t handed() const;
  // Changes taken and not yet applied (waiting or handed out).
  std::size_t in_flight() const;
  // Waits until applied() >= seq; false after `timeout`.
  bool wait_applied(std::uint64_t seq, std::chrono::milliseconds timeout) const;

  // No more changes taken until resume(); those taken already are still handed out as they
  // free up. `at_rest` gets the applied sequence once every change taken is applied (so the store
  // holds exactly the changes up to it): at once on this thread when nothing is in flight, else
  // on the thread that applies the last one. A submit waiting meanwhile stays waiting.
  using rest_fn = std::function<void(std::uint64_t applied)>;
  void pause(rest_fn at_rest);
  void resume();
  // Waits until nothing is in flight (waiting or handed out); false after `timeout`.
  bool drain(std::chrono::milliseconds timeout) const;
  // Ends every wait: submit() answers false from now on, and a pause waiting for rest is
  // dropped. The changes taken already are still handed out as they free up, and finish
  // (drain() waits for them): once nothing is in flight the store holds exactly the changes up
  // to the applied sequence, as a snapshot at the stop needs.
  void stop();

 private:
  using key = std::uint64_t;
  // What a change holds while it waits or is applied: its keys, whether it runs alone, and
  // whether it adds or removes specials (with caps, additions and removals keep their order).
  struct flight {
    std::vector<key> keys;
    bool barrier = false;
    bool special = false;
    bool removes = false;
  };
  struct waiting_change {
    std::uint64_t seq = 0;
    change_request change;
    flight holds;
  };
  struct hand_out {
    std::uint64_t seq = 0;
    change_request change;
  };
  static flight flight_of(const change_request& change);
  // Whether `next` may be handed out now, given what waits before it (`before`, `blocked`).
  struct blocked_before {
    std::unordered_set<key> keys;
    bool barrier = false;
    bool adds = false;
    bool removes = false;
    bool anything = false;
  };
  bool may_start(const flight& next, const blocked_before& before) const REQUIRES(state_lock);
  // Moves every waiting change that may start now into flight, in sequence order, appending it
  // to `out` for the caller to hand out once the lock is released.
  void take_ready(std::vector<hand_out>& out) REQUIRES(state_lock);
  // Calls the sinks for `ready`, in order; without the lock. A sink that finishes a change at
  // once frees more: those are handed out by the same loop rather than from inside the sink.
  void hand_out_all(std::vector<hand_out>&& ready);
  void finish(std::uint64_t seq);
  void update_applied() REQUIRES(state_lock);

  const sink workers_sink;
  const sink inviters_sink;
  const std::size_t limit;
  const bool with_caps;
  mutable annotated::mutex state_lock;
  mutable std::condition_variable changed;
  // keys of changes in flight, with their count
  std::unordered_map<key, std::size_t> busy GUARDED_BY(state_lock);
  std::unordered_map<std::uint64_t, flight> flights GUARDED_BY(state_lock);  // by sequence
  std::set<std::uint64_t> flying GUARDED_BY(state_lock);      // sequences in flight, ascending
  std::deque<waiting_change> waiting GUARDED_BY(state_lock);  // taken, not handed out, ascending
  std::size_t barriers_in_flight GUARDED_BY(state_lock) = 0;
  std::size_t adds_in_flight GUARDED_BY(state_lock) = 0;     // special additions
  std::size_t removes_in_flight GUARDED_BY(state_lock) = 0;  // special removals
  std::uint64_t last_handed GUARDED_BY(state_lock) = 0;
  bool paused GUARDED_BY(state_lock) = false;
  rest_fn waiting_for_rest GUARDED_BY(state_lock);  // a pause's at_rest, until nothing is in flight
  bool stopped GUARDED_BY(state_lock) = false;
  std::atomic<std::uint64_t> applied_seq{0};
};

#endif  // NORVEL_ORDERED_DISPATCH_H_
