#include "stream/ordered_dispatch.h"

#include <utility>

namespace {

// Keys: the kind in the top byte, the id below. Members and special ids never collide.
constexpr std::uint64_t member_key = 1ULL << 56;
constexpr std::uint64_t special_key = 2ULL << 56;
constexpr std::uint64_t inviter_key = 3ULL << 56;  // one key: inviter changes keep their order

}  // namespace

ordered_dispatch::ordered_dispatch(sink to_workers, sink to_inviters, std::size_t max_in_flight,
                                   bool serial)
    : workers_sink(std::move(to_workers)),
      inviters_sink(std::move(to_inviters)),
      limit(max_in_flight == 0 ? 1 : max_in_flight),
      one_at_a_time(serial) {}

void ordered_dispatch::start_after(std::uint64_t seq) {
  annotated::mutex_lock hold(lock);
  last_handed = seq;
  applied_seq.store(seq, std::memory_order_release);
}

std::vector<ordered_dispatch::key> ordered_dispatch::keys_of(const change_request& change,
                                                             bool& barrier) {
  std::vector<key> keys;
  barrier = false;
  switch (change.what) {
    case change_request::kind::add_follow:
    case change_request::kind::del_follow:
      // It copies or removes other members' own specials into this member's feed: whatever
      // touches those ids must not overtake it, so it runs alone.
      barrier = true;
      break;
    case change_request::kind::add_special:
    case change_request::kind::del_special:
      keys.reserve(change.items.size() + 1);
      keys.push_back(member_key | (change.user & 0xffffffffffffffULL));
      for (const special& item : change.items) {
        keys.push_back(special_key | (item.special_id & 0xffffffffffffffULL));
      }
      break;
    case change_request::kind::add_inviter:
      keys.push_back(inviter_key);
      break;
    case change_request::kind::none:
      break;
  }
  return keys;
}

bool ordered_dispatch::may_start(const std::vector<key>& keys, bool barrier) const {
  if (paused || flying.size() >= limit || barriers_in_flight != 0) {
    return false;
  }
  if (barrier || one_at_a_time) {
    return flying.empty();
  }
  for (key each : keys) {
    if (busy.count(each) != 0) {
      return false;
    }
  }
  return true;
}

bool ordered_dispatch::submit(std::uint64_t seq, change_request&& change) {
  bool barrier = false;
  std::vector<key> keys = keys_of(change, barrier);
  const bool to_inviters = change.what == change_request::kind::add_inviter;
  {
    annotated::mutex_lock hold(lock);
    hold.wait(changed, [&]() REQUIRES(lock) { return stopped || may_start(keys, barrier); });
    if (stopped) {
      return false;
    }
    for (key each : keys) {
      ++busy[each];
    }
    barriers_in_flight += barrier ? 1 : 0;
    flying.insert(seq);
    flights.emplace(seq, flight{std::move(keys), barrier});
    last_handed = seq;
  }
  done_fn done = [this, seq] { finish(seq); };
  if (to_inviters) {
    inviters_sink(std::move(change), std::move(done));
  } else {
    workers_sink(std::move(change), std::move(done));
  }
  return true;
}

void ordered_dispatch::pass(std::uint64_t seq) {
  annotated::mutex_lock hold(lock);
  last_handed = seq;
  update_applied();
  changed.notify_all();
}

void ordered_dispatch::finish(std::uint64_t seq) {
  annotated::mutex_lock hold(lock);
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
  flights.erase(found);
  flying.erase(seq);
  update_applied();
  changed.notify_all();
  if (flying.empty() && waiting_for_rest) {
    rest_fn at_rest = std::move(waiting_for_rest);
    waiting_for_rest = nullptr;
    const std::uint64_t at = applied();
    hold.unlock();
    at_rest(at);
  }
}

void ordered_dispatch::update_applied() {
  const std::uint64_t now = flying.empty() ? last_handed : *flying.begin() - 1;
  if (now > applied_seq.load(std::memory_order_relaxed)) {
    applied_seq.store(now, std::memory_order_release);
  }
}

std::uint64_t ordered_dispatch::handed() const {
  annotated::mutex_lock hold(lock);
  return last_handed;
}

std::size_t ordered_dispatch::in_flight() const {
  annotated::mutex_lock hold(lock);
  return flying.size();
}

bool ordered_dispatch::wait_applied(std::uint64_t seq, std::chrono::milliseconds timeout) const {
  annotated::mutex_lock hold(lock);
  return hold.wait_for(changed, timeout,
                       [&]() REQUIRES(lock) { return stopped || applied() >= seq; }) &&
         applied() >= seq;
}

void ordered_dispatch::pause(rest_fn at_rest) {
  annotated::mutex_lock hold(lock);
  paused = true;
  if (!flying.empty()) {
    waiting_for_rest = std::move(at_rest);
    return;
  }
  const std::uint64_t at = applied();
  hold.unlock();
  at_rest(at);
}

bool ordered_dispatch::drain(std::chrono::milliseconds timeout) const {
  annotated::mutex_lock hold(lock);
  return hold.wait_for(changed, timeout, [&]() REQUIRES(lock) { return flying.empty(); });
}

void ordered_dispatch::resume() {
  annotated::mutex_lock hold(lock);
  paused = false;
  changed.notify_all();
}

void ordered_dispatch::stop() {
  annotated::mutex_lock hold(lock);
  stopped = true;
  waiting_for_rest = nullptr;  // a pause under way never completes: its taker is going
  changed.notify_all();
}
