#include "stream/ordered_dispatch.h"

#include <algorithm>
#include <utility>

namespace {

// Keys: the kind in the top byte, the id below. Members and special ids never collide.
constexpr std::uint64_t member_key = 1ULL << 56;
constexpr std::uint64_t special_key = 2ULL << 56;
constexpr std::uint64_t inviter_key = 3ULL << 56;  // one key: inviter changes keep their order

// Waiting changes looked at past the first one that cannot start: beyond that many blocked ones
// a change waits its turn, which bounds each look at the queue.
constexpr std::size_t blocked_looked_past = 64;

}  // namespace

ordered_dispatch::ordered_dispatch(sink to_workers, sink to_inviters, std::size_t max_in_flight,
                                   bool capped)
    : workers_sink(std::move(to_workers)),
      inviters_sink(std::move(to_inviters)),
      limit(max_in_flight == 0 ? 1 : max_in_flight),
      with_caps(capped) {}

void ordered_dispatch::start_after(std::uint64_t seq) {
  annotated::mutex_lock hold(state_lock);
  last_handed = seq;
  applied_seq.store(seq, std::memory_order_release);
}

ordered_dispatch::flight ordered_dispatch::flight_of(const change_request& change) {
  flight out;
  switch (change.what) {
    case change_request::kind::add_follow:
    case change_request::kind::del_follow:
      // It copies or removes other members' own specials into this member's feed: whatever
      // touches those ids must not overtake it, so it runs alone.
      out.barrier = true;
      break;
    case change_request::kind::add_special:
    case change_request::kind::del_special:
      out.special = true;
      out.removes = change.what == change_request::kind::del_special;
      out.keys.reserve(change.items.size() + 1);
      out.keys.push_back(member_key | (change.user & 0xffffffffffffffULL));
      for (const special& item : change.items) {
        out.keys.push_back(special_key | (item.special_id & 0xffffffffffffffULL));
      }
      break;
    case change_request::kind::add_inviter:
      out.keys.push_back(inviter_key);
      break;
    case change_request::kind::none:
      break;
  }
  return out;
}

bool ordered_dispatch::may_start(const flight& next, const blocked_before& before) const {
  if (flying.size() >= limit || barriers_in_flight != 0 || before.barrier) {
    return false;
  }
  if (next.barrier) {
    return flying.empty() && !before.anything;
  }
  for (key each : next.keys) {
    if (busy.count(each) != 0 || before.keys.count(each) != 0) {
      return false;
    }
  }
  return true;
}

void ordered_dispatch::take_ready(std::vector<hand_out>& out) {
  blocked_before before;
  std::size_t blocked = 0;
  for (auto at = waiting.begin(); at != waiting.end() && blocked <= blocked_looked_past;) {
    const flight& next = at->holds;
    const bool special = next.special;
    // With caps an addition waits for removals taken before it, and a removal for additions.
    const bool kind_free = !with_caps || !special ||
                           (next.removes ? adds_in_flight == 0 && !before.adds
                                         : removes_in_flight == 0 && !before.removes);
    if (!kind_free || !may_start(next, before)) {
      before.keys.insert(next.keys.begin(), next.keys.end());
      before.barrier = before.barrier || next.barrier;
      before.adds = before.adds || (special && !next.removes);
      before.removes = before.removes || (special && next.removes);
      before.anything = true;
      ++blocked;
      ++at;
      continue;
    }
    for (key each : next.keys) {
      ++busy[each];
    }
    barriers_in_flight += next.barrier ? 1 : 0;
    if (special) {
      (next.removes ? removes_in_flight : adds_in_flight) += 1;
    }
    flying.insert(at->seq);
    flights.emplace(at->seq, std::move(at->holds));
    out.push_back(hand_out{at->seq, std::move(at->change)});
    at = waiting.erase(at);
  }
}

void ordered_dispatch::hand_out_all(std::vector<hand_out>&& ready) {
  // The changes this thread is handing out now; a finish on this thread inside a sink adds to it.
  thread_local std::vector<hand_out>* handing = nullptr;
  if (handing != nullptr) {
    for (hand_out& each : ready) {
      handing->push_back(std::move(each));
    }
    return;
  }
  std::vector<hand_out> queue = std::move(ready);
  handing = &queue;
  for (std::size_t at = 0; at < queue.size(); ++at) {
    hand_out next = std::move(queue[at]);  // the sink may add to `queue`, moving its elements
    const std::uint64_t seq = next.seq;
    done_fn done = [this, seq] { finish(seq); };
    if (next.change.what == change_request::kind::add_inviter) {
      inviters_sink(std::move(next.change), std::move(done));
    } else {
      workers_sink(std::move(next.change), std::move(done));
    }
  }
  handing = nullptr;
}

bool ordered_dispatch::submit(std::uint64_t seq, change_request&& change) {
  flight holds = flight_of(change);
  std::vector<hand_out> ready;
  {
    annotated::mutex_lock hold(state_lock);
    hold.wait(changed, [&]() REQUIRES(state_lock) {
      return stopped || (!paused && flying.size() + waiting.size() < limit);
    });
    if (stopped) {
      return false;
    }
    waiting.push_back(waiting_change{seq, std::move(change), std::move(holds)});
    last_handed = seq;
    take_ready(ready);
  }
  hand_out_all(std::move(ready));
  return true;
}

void ordered_dispatch::pass(std::uint64_t seq) {
  annotated::mutex_lock hold(state_lock);
  last_handed = seq;
  update_applied();
  changed.notify_all();
}

void ordered_dispatch::finish(std::uint64_t seq) {
  std::vector<hand_out> ready;
  annotated::mutex_lock hold(state_lock);
  const auto found = flights.find(seq);
  if (found == flights.end()) {
    return;
  }
  for (key each : found->second.keys) {
    const auto entry = busy.find(each);
    if (entry != busy.end() && --entry->second == 0) {
      busy.erase(entry);
    }
  }
  barriers_in_flight -= found->second.barrier ? 1 : 0;
  if (found->second.special) {
    (found->second.removes ? removes_in_flight : adds_in_flight) -= 1;
  }
  flights.erase(found);
  flying.erase(seq);
  update_applied();
  changed.notify_all();
  take_ready(ready);
  rest_fn at_rest;
  std::uint64_t at = 0;
  if (flying.empty() && waiting.empty() && waiting_for_rest) {
    at_rest = std::move(waiting_for_rest);
    waiting_for_rest = nullptr;
    at = applied();
  }
  hold.unlock();
  if (at_rest) {
    at_rest(at);
  }
  hand_out_all(std::move(ready));
}

void ordered_dispatch::update_applied() {
  std::uint64_t now = last_handed;
  if (!flying.empty()) {
    now = *flying.begin() - 1;
  }
  if (!waiting.empty()) {
    now = std::min(now, waiting.front().seq - 1);
  }
  if (now > applied_seq.load(std::memory_order_relaxed)) {
    applied_seq.store(now, std::memory_order_release);
  }
}

std::uint64_t ordered_dispatch::handed() const {
  annotated::mutex_lock hold(state_lock);
  return last_handed;
}

std::size_t ordered_dispatch::in_flight() const {
  annotated::mutex_lock hold(state_lock);
  return flying.size() + waiting.size();
}

bool ordered_dispatch::wait_applied(std::uint64_t seq, std::chrono::milliseconds timeout) const {
  annotated::mutex_lock hold(state_lock);
  return hold.wait_for(changed, timeout, [&]() REQUIRES(state_lock) {
    return stopped || applied() >= seq;
  }) && applied() >= seq;
}

void ordered_dispatch::pause(rest_fn at_rest) {
  annotated::mutex_lock hold(state_lock);
  paused = true;
  if (!flying.empty() || !waiting.empty()) {
    waiting_for_rest = std::move(at_rest);
    return;
  }
  const std::uint64_t at = applied();
  hold.unlock();
  at_rest(at);
}

bool ordered_dispatch::drain(std::chrono::milliseconds timeout) const {
  annotated::mutex_lock hold(state_lock);
  return hold.wait_for(changed, timeout,
                       [&]() REQUIRES(state_lock) { return flying.empty() && waiting.empty(); });
}

void ordered_dispatch::resume() {
  annotated::mutex_lock hold(state_lock);
  paused = false;
  changed.notify_all();
}

void ordered_dispatch::stop() {
  annotated::mutex_lock hold(state_lock);
  stopped = true;
  waiting_for_rest = nullptr;  // a pause under way never completes: its taker is going
  changed.notify_all();
}
