#include "logic_center.h"

#include <algorithm>
#include <exception>
#include <iterator>
#include <utility>

#include "log.h"

bool greater_special(const special& a, const special& b) { return a.special_id > b.special_id; }
bool less_special(const special& a, const special& b) { return a.special_id < b.special_id; }
bool equal_special(const special& a, const special& b) { return a.special_id == b.special_id; }

const std::vector<unsigned long> empty_user;

namespace {

// The orderings as function objects, so that the algorithms inline them.
struct greater_id {
  bool operator()(const special& a, const special& b) const { return greater_special(a, b); }
};
struct less_id {
  bool operator()(const special& a, const special& b) const { return less_special(a, b); }
};
struct equal_id {
  bool operator()(const special& a, const special& b) const { return equal_special(a, b); }
};

// Number of keys the two sorted, repeat-free ranges share; a compare-only walk, no writes.
template <typename T, typename Less>
size_t count_common(const std::vector<T>& a, const std::vector<T>& b, Less less) {
  size_t common = 0;
  auto left = a.begin();
  auto right = b.begin();
  while (left != a.end() && right != b.end()) {
    if (less(*left, *right)) {
      ++left;
    } else if (less(*right, *left)) {
      ++right;
    } else {
      ++common;
      ++left;
      ++right;
    }
  }
  return common;
}

// stored := stored ∪ added, the stored entry kept on equal keys. The result is built in a fresh
// vector sized exactly, so long-lived lists carry no spare capacity; when `added` brings nothing
// new the stored list is left as it is.
template <typename T, typename Less>
void merge_union(std::vector<T>& stored, const std::vector<T>& added, Less less) {
  const size_t common = count_common(stored, added, less);
  if (common == added.size()) {
    return;
  }
  std::vector<T> merged;
  merged.reserve(stored.size() + added.size() - common);
  std::set_union(stored.begin(), stored.end(), added.begin(), added.end(),
                 std::back_inserter(merged), less);
  stored.swap(merged);
}

// stored := stored \ removed, sized exactly; untouched when nothing matches.
template <typename T, typename Less>
void merge_difference(std::vector<T>& stored, const std::vector<T>& removed, Less less) {
  const size_t common = count_common(stored, removed, less);
  if (common == 0) {
    return;
  }
  std::vector<T> kept;
  kept.reserve(stored.size() - common);
  std::set_difference(stored.begin(), stored.end(), removed.begin(), removed.end(),
                      std::back_inserter(kept), less);
  stored.swap(kept);
}

void normalise_ids(std::vector<unsigned long>& ids) {
  std::sort(ids.begin(), ids.end());
  ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
}

void normalise_items(std::vector<special>& items) {
  std::sort(items.begin(), items.end(), greater_id());
  items.erase(std::unique(items.begin(), items.end(), equal_id()), items.end());
}

// At most `count` ids beyond `cursor` in direction `type`, nearest the cursor first. The list is
// in descending id order; both directions bisect for their start. Caller holds the list's lock.
std::vector<unsigned long> copy_page(const std::vector<special>& list, unsigned long cursor,
                                     unsigned long count, logic_center::fetch_type type) {
  std::vector<unsigned long> page;
  const special probe(cursor);
  if (type == logic_center::fetch_below) {
    auto from = std::upper_bound(list.begin(), list.end(), probe, greater_id());
    const auto available = static_cast<unsigned long>(list.end() - from);
    page.reserve(std::min(count, available));
    for (; from != list.end() && page.size() < count; ++from) {
      page.push_back(from->special_id);
    }
  } else {
    auto from = std::upper_bound(list.rbegin(), list.rend(), probe, less_id());
    const auto available = static_cast<unsigned long>(list.rend() - from);
    page.reserve(std::min(count, available));
    for (; from != list.rend() && page.size() < count; ++from) {
      page.push_back(from->special_id);
    }
  }
  return page;
}

}  // namespace

// ---- userinfo ----

void userinfo::add_follows(std::vector<unsigned long>& ids) {
  merge_union(follow_list, ids, std::less<unsigned long>());
}

void userinfo::del_follows(std::vector<unsigned long>& ids) {
  merge_difference(follow_list, ids, std::less<unsigned long>());
}

void userinfo::add_special(std::vector<special>& items) {
  merge_union(own_specials, items, greater_id());
}

void userinfo::del_special(std::vector<special>& items) {
  merge_difference(own_specials, items, greater_id());
}

namespace debug_helper {

void print_specials(const std::vector<special>& items) {
  if (gLogger == nullptr) {
    return;
  }
  log_event(log_debug, "print_specials length=%zu", items.size());
  for (const special& item : items) {
    log_event(log_debug, "spid=%lu,type=%d,userid=%lu", item.special_id,
              static_cast<int>(item.reader_type), item.member_id);
  }
}

}  // namespace debug_helper

// ---- lifecycle and workers ----

logic_center::logic_center() { log_event(log_debug, "logic_center"); }

logic_center::~logic_center() {
  stopping = true;
  for (auto& queue : queues) {
    queue.stop();
  }
  for (auto& thread : workers) {
    if (thread.joinable()) {
      thread.join();
    }
  }
}

void logic_center::start() {
  log_event(log_debug, "start");
  inviters.reinit();
  init_data();
  start_workers();
}

void logic_center::start_workers() {
  if (!workers.empty()) {
    return;
  }
  workers.reserve(worker_count);
  for (size_t index = 0; index < worker_count; ++index) {
    workers.emplace_back(&logic_center::worker, this, index);
  }
}

void logic_center::worker(size_t index) {
  log_event(log_debug, "logic_center::worker start");
  msgqueue<inner_type>& queue = queues[index];
  while (!stopping) {
    inner_type message;
    if (!queue.getq(message)) {
      continue;
    }
    log_event(log_debug, "worker");
    try {
      apply(message);
    } catch (const std::exception&) {
      log_event(log_debug, "logic_center::worker exception");
    } catch (...) {
      // Nothing else is thrown by the appliers; a stray exception must not end the daemon.
      log_event(log_debug, "logic_center::worker exception");
    }
  }
  log_event(log_debug, "logic_center::worker quit");
}

void logic_center::apply(inner_type& message) {
  if (message.kind == "add_follow") {
    do_add_follows(message.user, message.ids);
  } else if (message.kind == "del_follow") {
    do_del_follows(message.user, message.ids);
  } else if (message.kind == "add_special") {
    do_add_special(message.user, message.items);
  } else if (message.kind == "del_special") {
    do_del_special(message.user, message.items);
  }
}

// ---- enqueueing (event-loop thread) ----

void logic_center::enqueue(const inner_type& message) {
  queues[queue_index(message.user)].putq(message);
}

bool logic_center::add_follow(unsigned long user, const std::vector<unsigned long>& ids) {
  log_event(log_debug, "add_follow");
  inner_type message;
  message.kind = "add_follow";
  message.user = user;
  message.ids = ids;
  enqueue(message);
  return true;
}

bool logic_center::del_follow(unsigned long user, const std::vector<unsigned long>& ids) {
  log_event(log_debug, "del_follow");
  inner_type message;
  message.kind = "del_follow";
  message.user = user;
  message.ids = ids;
  enqueue(message);
  return true;
}

bool logic_center::add_special(unsigned long user, const std::vector<special>& items) {
  log_event(log_debug, "add_special");
  inner_type message;
  message.kind = "add_special";
  message.user = user;
  message.items = items;
  enqueue(message);
  return true;
}

bool logic_center::del_special(unsigned long user, const std::vector<special>& items) {
  log_event(log_debug, "del_special");
  inner_type message;
  message.kind = "del_special";
  message.user = user;
  message.items = items;
  enqueue(message);
  return true;
}

// ---- queries (event-loop thread) ----

std::vector<unsigned long> logic_center::fetch_self_specials(unsigned long user,
                                                             unsigned long special_id,
                                                             unsigned long count,
                                                             fetch_type type) const {
  log_event(log_debug, "fetch_self_specials");
  boost::shared_lock<boost::shared_mutex> lock(users_lock);
  auto found = users.find(user);
  if (found == users.end()) {
    return {};
  }
  return copy_page(found->second.specials(), special_id, count, type);
}

std::vector<unsigned long> logic_center::fetch_pri_specials(unsigned long user,
                                                            unsigned long special_id,
                                                            unsigned long count,
                                                            fetch_type type) const {
  log_event(log_debug, "fetch_pri_specials");
  boost::shared_lock<boost::shared_mutex> lock(pri_lock);
  auto found = pri_specials.find(user);
  if (found == pri_specials.end()) {
    return {};
  }
  return copy_page(found->second, special_id, count, type);
}

std::vector<unsigned long> logic_center::fetch_pub_specials(unsigned long special_id,
                                                            unsigned long count,
                                                            fetch_type type) const {
  log_event(log_debug, "fetch_pub_specials");
  boost::shared_lock<boost::shared_mutex> lock(pub_lock);
  return copy_page(pub_specials, special_id, count, type);
}

std::vector<unsigned long> logic_center::fetch_follow(unsigned long user) const {
  log_event(log_debug, "fetch_follow");
  boost::shared_lock<boost::shared_mutex> lock(users_lock);
  auto found = users.find(user);
  if (found == users.end()) {
    return empty_user;
  }
  return found->second.follows();
}

bool logic_center::has_member(unsigned long user) const {
  boost::shared_lock<boost::shared_mutex> lock(users_lock);
  return users.count(user) != 0;
}

bool logic_center::has_feed(unsigned long user) const {
  boost::shared_lock<boost::shared_mutex> lock(pri_lock);
  return pri_specials.count(user) != 0;
}

// ---- inviter index (event-loop thread) ----

bool logic_center::add_inviter(int member, int inviter) {
  log_event(log_debug, "add_inviter");
  return inviters.add(member, inviter);
}

std::vector<int> logic_center::fetch_inviter(int member) {
  log_event(log_debug, "fetch_inviter");
  return inviters.list(member);
}

std::vector<int> logic_center::fetch_invitees(int member) {
  log_event(log_debug, "fetch_invitees");
  return inviters.invitees(member);
}

// ---- appliers (worker threads; the main thread during the load) ----

void logic_center::do_add_follows(unsigned long user, std::vector<unsigned long>& ids) {
  log_event(log_debug, "do_add_follows");
  normalise_ids(ids);
  std::vector<special> snapshot;
  {
    boost::unique_lock<boost::shared_mutex> lock(users_lock);
    auto record = users.try_emplace(user, user).first;
    record->second.add_follows(ids);
    snapshot = record->second.specials();
  }
  if (snapshot.empty()) {
    return;
  }
  for (unsigned long follower : ids) {
    boost::unique_lock<boost::shared_mutex> lock(pri_lock);
    merge_into_feed_locked(follower, snapshot);
  }
}

void logic_center::do_del_follows(unsigned long user, std::vector<unsigned long>& ids) {
  log_event(log_debug, "do_del_follows");
  normalise_ids(ids);
  std::vector<special> snapshot;
  {
    boost::unique_lock<boost::shared_mutex> lock(users_lock);
    auto record = users.try_emplace(user, user).first;
    record->second.del_follows(ids);
    snapshot = record->second.specials();
  }
  if (snapshot.empty()) {
    return;
  }
  for (unsigned long follower : ids) {
    boost::unique_lock<boost::shared_mutex> lock(pri_lock);
    remove_from_feed_locked(follower, snapshot);
  }
}

void logic_center::do_add_special(unsigned long user, std::vector<special>& items) {
  log_event(log_debug, "do_add_special");
  normalise_items(items);
  if (items.empty()) {
    return;
  }
  std::vector<unsigned long> recipients;
  {
    boost::unique_lock<boost::shared_mutex> lock(users_lock);
    auto record = users.try_emplace(user, user).first;
    record->second.add_special(items);
    recipients = record->second.follows();
  }
  for (const special& item : items) {
    if (item.reader_type != 0) {
      continue;
    }
    boost::unique_lock<boost::shared_mutex> lock(pub_lock);
    auto at = std::lower_bound(pub_specials.begin(), pub_specials.end(), item, greater_id());
    if (at == pub_specials.end() || greater_special(item, *at)) {
      pub_specials.insert(at, item);
    }
  }
  recipients.push_back(user);
  for (unsigned long recipient : recipients) {
    boost::unique_lock<boost::shared_mutex> lock(pri_lock);
    merge_into_feed_locked(recipient, items);
  }
}

void logic_center::do_del_special(unsigned long user, std::vector<special>& items) {
  log_event(log_debug, "do_del_special");
  normalise_items(items);
  if (items.empty()) {
    return;
  }
  std::vector<unsigned long> recipients;
  {
    boost::unique_lock<boost::shared_mutex> lock(users_lock);
    auto record = users.try_emplace(user, user).first;
    record->second.del_special(items);
    recipients = record->second.follows();
  }
  for (const special& item : items) {
    // The reader type named in the request decides, not the stored one.
    if (item.reader_type != 0) {
      continue;
    }
    boost::unique_lock<boost::shared_mutex> lock(pub_lock);
    auto at = std::lower_bound(pub_specials.begin(), pub_specials.end(), item, greater_id());
    if (at != pub_specials.end() && !greater_special(item, *at)) {
      pub_specials.erase(at);
    }
  }
  recipients.push_back(user);
  for (unsigned long recipient : recipients) {
    boost::unique_lock<boost::shared_mutex> lock(pri_lock);
    remove_from_feed_locked(recipient, items);
  }
}

void logic_center::merge_into_feed_locked(unsigned long member, const std::vector<special>& items) {
  auto feed = pri_specials.find(member);
  if (feed == pri_specials.end()) {
    pri_specials.emplace(member, items);
    return;
  }
  merge_union(feed->second, items, greater_id());
}

void logic_center::remove_from_feed_locked(unsigned long member,
                                           const std::vector<special>& items) {
  auto feed = pri_specials.find(member);
  if (feed != pri_specials.end()) {
    merge_difference(feed->second, items, greater_id());
  }
}

// Initial load from the database.

void logic_center::init_data() {}

void logic_center::init_specials() {}

void logic_center::init_follow() {}
