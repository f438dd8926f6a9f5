// The one in-memory store (singleton<logic_center>): members, follows, feeds, public list,
// inviters, and the queue and workers that apply mutations.
// Threads: queries, the inviter operations and the four enqueue calls run on the event-loop
// thread; the do_* appliers run on the five workers (and on the main thread during the load).
// Locks: users_lock guards users, pri_lock guards pri_specials, pub_lock guards pub_specials.
// No path holds two of them at once, so there is no lock order.
// Ordering: the mutations of one member go to one worker's queue (chosen by member id), so they
// are applied in the order they were queued and never two at once.
// Ownership: the store owns every container; queries hand out copies.
#ifndef NORVEL_LOGIC_CENTER_H_
#define NORVEL_LOGIC_CENTER_H_

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include <boost/thread/shared_mutex.hpp>

#include "inviter_manager.h"

// One content item reference. Orderings and matching look at special_id alone.
struct special {
  static constexpr unsigned long no_member = ~0UL;

  explicit special(unsigned long id) : special_id(id), member_id(no_member), reader_type(0) {}
  special(unsigned long id, unsigned long member, unsigned char type)
      : special_id(id), member_id(member), reader_type(type) {}

  unsigned long special_id;
  unsigned long member_id;
  unsigned char reader_type;  // 0 = public
};

bool greater_special(const special& a, const special& b);
bool less_special(const special& a, const special& b);
bool equal_special(const special& a, const special& b);

// One member's record: its follow list (ascending, no repeats) and own specials (descending id).
class userinfo {
 public:
  explicit userinfo(unsigned long id) : member_id(id) {}

  const std::vector<unsigned long>& follows() const { return follow_list; }
  const std::vector<special>& specials() const { return own_specials; }

  // Each argument must already be in the list's order and free of repeats.
  void add_follows(std::vector<unsigned long>& ids);
  void del_follows(std::vector<unsigned long>& ids);
  void add_special(std::vector<special>& items);
  void del_special(std::vector<special>& items);

  unsigned long member_id;

 private:
  std::vector<unsigned long> follow_list;
  std::vector<special> own_specials;
};

extern const std::vector<unsigned long> empty_user;

namespace debug_helper {
void print_specials(const std::vector<special>& items);
}

// A blocking first-in first-out queue. putq/getq/stop never throw.
template <typename T, typename Container = std::list<T>>
class msgqueue {
 public:
  void putq(const T& value) noexcept {
    std::lock_guard<std::mutex> lock(mutex);
    items_queue.push_back(value);
    not_empty.notify_one();
  }
  void putq(T&& value) noexcept {
    std::lock_guard<std::mutex> lock(mutex);
    items_queue.push_back(std::move(value));
    not_empty.notify_one();
  }
  // Waits for a value; false once the queue is stopped (queued values stay where they are).
  bool getq(T& value) noexcept {
    std::unique_lock<std::mutex> lock(mutex);
    not_empty.wait(lock, [&] { return stopped || !items_queue.empty(); });
    if (stopped) {
      return false;
    }
    value = std::move(items_queue.front());
    items_queue.pop_front();
    return true;
  }
  void stop() noexcept {
    std::lock_guard<std::mutex> lock(mutex);
    stopped = true;
    not_empty.notify_all();
  }
  size_t size() const noexcept {
    std::lock_guard<std::mutex> lock(mutex);
    return items_queue.size();
  }

 private:
  Container items_queue;  // guarded by mutex
  mutable std::mutex mutex;
  std::condition_variable not_empty;
  bool stopped = false;  // guarded by mutex
};

class logic_center {
 public:
  enum fetch_type { fetch_above = 0, fetch_below = 1 };
  static constexpr size_t worker_count = 5;

  struct inner_type {
    std::string kind;  // "add_follow", "del_follow", "add_special", "del_special"
    unsigned long user = 0;
    std::vector<unsigned long> ids;
    std::vector<special> items;
  };

  logic_center();
  ~logic_center();  // stops the queues and joins the workers; queued messages are dropped
  logic_center(const logic_center&) = delete;
  logic_center& operator=(const logic_center&) = delete;

  // Rebuilds the inviter index, loads the database, then starts the workers. Main thread, once.
  void start();
  // Starts the five workers alone (start() calls it; tests use it without a database).
  void start_workers();

  // Enqueueing: copy the arguments into a message for the member's worker; always true.
  bool add_follow(unsigned long user, const std::vector<unsigned long>& ids);
  bool del_follow(unsigned long user, const std::vector<unsigned long>& ids);
  bool add_special(unsigned long user, const std::vector<special>& items);
  bool del_special(unsigned long user, const std::vector<special>& items);

  // Paged queries: at most `count` ids beyond `special_id` in direction `type`. Copies out.
  std::vector<unsigned long> fetch_self_specials(unsigned long user, unsigned long special_id,
                                                 unsigned long count, fetch_type type) const;
  std::vector<unsigned long> fetch_pri_specials(unsigned long user, unsigned long special_id,
                                                unsigned long count, fetch_type type) const;
  std::vector<unsigned long> fetch_pub_specials(unsigned long special_id, unsigned long count,
                                                fetch_type type) const;
  std::vector<unsigned long> fetch_follow(unsigned long user) const;
  // Diagnostics: whether the store holds a record, or a private feed, for `user` (an empty one
  // counts). Any thread; each takes one shared lock.
  bool has_member(unsigned long user) const;
  bool has_feed(unsigned long user) const;

  // The worker (and queue) that applies every mutation of `user`.
  static size_t queue_index(unsigned long user) { return user % worker_count; }

  // The inviter index; event-loop thread only.
  bool add_inviter(int member, int inviter);
  std::vector<int> fetch_inviter(int member);
  std::vector<int> fetch_invitees(int member);

  // Appliers: run by the workers (and by the load). Each normalises its argument in place.
  void do_add_follows(unsigned long user, std::vector<unsigned long>& ids);
  void do_del_follows(unsigned long user, std::vector<unsigned long>& ids);
  void do_add_special(unsigned long user, std::vector<special>& items);
  void do_del_special(unsigned long user, std::vector<special>& items);

  // The initial load from the database (main thread, before the workers start).
  void init_data();
  void init_specials();
  void init_follow();

 private:
  // Tests compare whole stores (owners and reader types included) through it.
  friend class logic_center_inspector;

  // The loop of worker `index`: takes messages off queues[index] until the store stops.
  void worker(size_t index);
  void apply(inner_type& message);
  void enqueue(inner_type&& message);
  // Feed helpers; the caller holds pri_lock exclusively. `items` is in greater_special order.
  // Merging creates a missing feed; removing never does.
  void merge_into_feed_locked(unsigned long member, const std::vector<special>& items);
  void remove_from_feed_locked(unsigned long member, const std::vector<special>& items);

  std::unordered_map<unsigned long, std::vector<special>> pri_specials;  // guarded by pri_lock
  // A deque: a new special is the newest, so it goes in at the front, and deleting a recent one
  // erases near the front; neither moves the rest of the list, as a vector's insert would.
  std::deque<special> pub_specials;  // guarded by pub_lock
  std::unordered_map<unsigned long, userinfo> users;                     // guarded by users_lock
  mutable boost::shared_mutex users_lock;
  mutable boost::shared_mutex pri_lock;
  mutable boost::shared_mutex pub_lock;
  inviter_manager inviters;  // main thread only, no lock
  std::atomic<bool> stopping{false};
  std::array<msgqueue<inner_type>, worker_count> queues;  // queues[i] feeds workers[i]
  std::vector<std::thread> workers;
};

#endif  // NORVEL_LOGIC_CENTER_H_
