#include "logic_center.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <iterator>
#include <utility>

#include "app_config.h"
#include "log.h"
#include "mysql_helper.h"
#include "object_manager.h"

bool greater_special(const special& a, const special& b) {
  return a.special_id > b.special_id;
}
bool less_special(const special& a, const special& b) {
  return a.special_id < b.special_id;
}
bool equal_special(const special& a, const special& b) {
  return a.special_id == b.special_id;
}

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
// `List` is any random-access container of special (a vector, or the public deque).
template <typename List>
std::vector<unsigned long> copy_page(const List& list, unsigned long cursor, unsigned long count,
                                     logic_center::fetch_type type) {
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

logic_center::logic_center() {
  log_event(log_debug, "logic_center");
}

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

void logic_center::enqueue(inner_type&& message) {
  const size_t index = queue_index(message.user);
  queues[index].putq(std::move(message));
}

bool logic_center::add_follow(unsigned long user, const std::vector<unsigned long>& ids) {
  log_event(log_debug, "add_follow");
  inner_type message;
  message.kind = "add_follow";
  message.user = user;
  message.ids = ids;
  enqueue(std::move(message));
  return true;
}

bool logic_center::del_follow(unsigned long user, const std::vector<unsigned long>& ids) {
  log_event(log_debug, "del_follow");
  inner_type message;
  message.kind = "del_follow";
  message.user = user;
  message.ids = ids;
  enqueue(std::move(message));
  return true;
}

bool logic_center::add_special(unsigned long user, const std::vector<special>& items) {
  log_event(log_debug, "add_special");
  inner_type message;
  message.kind = "add_special";
  message.user = user;
  message.items = items;
  enqueue(std::move(message));
  return true;
}

bool logic_center::del_special(unsigned long user, const std::vector<special>& items) {
  log_event(log_debug, "del_special");
  inner_type message;
  message.kind = "del_special";
  message.user = user;
  message.items = items;
  enqueue(std::move(message));
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
//
// The rows are read by keyset paging (each page starts after the last key read), so no row is
// lost or read twice however the pages fall, and each page costs the same. Instead of one
// applier call per row, each loader gathers what its rows deliver and applies it in one pass
// per list: the result is exactly what do_add_special / do_add_follows would give applied row
// by row, in row order (on a repeated special id the entry that arrived first stays), without
// re-inserting into the sorted public list or re-merging a feed for every row.

namespace {

constexpr unsigned int load_db_port = 3306;  // the loaders ignore the configured port
constexpr int load_page_rows = 1000;

// Puts `items` in descending special-id order, keeping the first of repeated ids (the one a
// row-by-row load would have stored first).
void sort_keep_first(std::vector<special>& items) {
  std::stable_sort(items.begin(), items.end(), greater_special);
  items.erase(std::unique(items.begin(), items.end(), equal_special), items.end());
}

// A run of specials in strictly descending id order, owned elsewhere.
struct special_span {
  const special* first;
  const special* last;
};

// stored := stored ∪ added, both strictly descending; the stored entry wins on equal ids.
void union_keep_stored(std::vector<special>& stored, special_span added) {
  if (added.first == added.last) {
    return;
  }
  if (stored.empty()) {
    stored.assign(added.first, added.last);
    return;
  }
  std::vector<special> merged;
  merged.reserve(stored.size() + static_cast<size_t>(added.last - added.first));
  std::set_union(stored.begin(), stored.end(), added.first, added.last,
                 std::back_inserter(merged), greater_special);
  merged.shrink_to_fit();
  stored.swap(merged);
}

// The same for the public list; a list loaded into an empty store is copied in one pass.
void union_keep_stored(std::deque<special>& stored, special_span added) {
  if (added.first == added.last) {
    return;
  }
  if (stored.empty()) {
    stored.assign(added.first, added.last);
    return;
  }
  std::vector<special> merged;
  merged.reserve(stored.size() + static_cast<size_t>(added.last - added.first));
  std::set_union(stored.begin(), stored.end(), added.first, added.last,
                 std::back_inserter(merged), greater_special);
  stored.assign(merged.begin(), merged.end());
}

// The runs of specials that arrive at each private feed, in arrival order. The runs point into
// the loader's own containers, which must outlive this object and stay unchanged.
class feed_deliveries {
 public:
  void deliver(unsigned long recipient, special_span items) {
    if (items.first != items.last) {
      arrivals.push_back(arrival{recipient, arrivals.size(), items});
    }
  }
  // Merges every recipient's arrivals into its feed, in arrival order, creating the feed if it
  // has none. The caller holds pri_lock exclusively.
  void apply_locked(std::unordered_map<unsigned long, std::vector<special>>& feeds) {
    std::sort(arrivals.begin(), arrivals.end(), [](const arrival& a, const arrival& b) {
      return a.recipient != b.recipient ? a.recipient < b.recipient : a.order < b.order;
    });
    feeds.reserve(feeds.size() + arrivals.size());
    std::vector<special> gathered;
    for (auto group = arrivals.begin(); group != arrivals.end();) {
      auto group_end = std::find_if(group, arrivals.end(), [&](const arrival& a) {
        return a.recipient != group->recipient;
      });
      std::vector<special>& feed = feeds[group->recipient];
      if (group_end - group == 1) {
        union_keep_stored(feed, group->items);
      } else {
        gathered.clear();
        for (auto at = group; at != group_end; ++at) {
          gathered.insert(gathered.end(), at->items.first, at->items.last);
        }
        sort_keep_first(gathered);
        union_keep_stored(feed, special_span{gathered.data(), gathered.data() + gathered.size()});
      }
      group = group_end;
    }
  }

 private:
  struct arrival {
    unsigned long recipient;
    size_t order;
    special_span items;
  };
  std::vector<arrival> arrivals;
};

// One owner's specials rows, in row order until normalised.
struct owner_rows {
  unsigned long owner;
  std::vector<special> items;
};

// Runs the page queries that `format_page` writes (the first, then each following one) until a
// page comes back short, calling `on_row` for every row. False when a page query failed (the
// wrapper has logged why).
template <typename PageQuery, typename RowHandler>
bool read_pages(mysql::connection& conn, PageQuery format_page, RowHandler on_row) {
  for (bool first = true;; first = false) {
    char sql[1024] = {0};
    format_page(sql, sizeof(sql), first);
    mysql::result rows = conn.exec(sql, mysql::connection::oper_select);
    if (!rows.good()) {
      return false;
    }
    for (MYSQL_ROW row = rows.begin(); row != rows.end(); row = rows.next()) {
      on_row(row);
    }
    if (rows.size() < load_page_rows) {
      return true;
    }
  }
}

}  // namespace

void logic_center::init_data() {
  std::printf("init_data start\n");
  std::fflush(stdout);
  try {
    init_specials();
    init_follow();
  } catch (const std::exception& e) {
    std::printf("init_data   %s\n", e.what());
  }
  std::printf("init_data end\n");
  std::fflush(stdout);
}

void logic_center::init_specials() {
  std::printf("init_specials\n");
  std::fflush(stdout);
  const app_cfg::db_setting& db = singleton<app_cfg>::instance()->db;
  mysql::connection conn(db.host, db.user, db.passwd, db.name, load_db_port);

  // Rows arrive ordered by owner, so each owner's rows are one run.
  std::vector<owner_rows> owners;
  std::vector<special> public_items;
  int last_member = 0;
  int last_special = 0;
  size_t rows_read = 0;
  auto format_page = [&](char* sql, size_t size, bool first) {
    if (first) {
      std::snprintf(sql, size,
                    "SELECT special_id,member_id,reader_type FROM brix_mb_special "
                    "WHERE from_user=1 and state = 0 "
                    "ORDER BY member_id ASC, special_id ASC LIMIT %d;",
                    load_page_rows);
    } else {
      std::snprintf(sql, size,
                    "SELECT special_id,member_id,reader_type FROM brix_mb_special "
                    "WHERE from_user=1 and state = 0 "
                    "and (member_id > %d or (member_id = %d and special_id > %d)) "
                    "ORDER BY member_id ASC, special_id ASC LIMIT %d;",
                    last_member, last_member, last_special, load_page_rows);
    }
  };
  auto on_row = [&](MYSQL_ROW row) {
    int special_id = 0;
    int member_id = 0;
    int reader_type = 0;
    mysql::fetch_column(row, 0, special_id, member_id, reader_type);
    last_member = member_id;
    last_special = special_id;
    ++rows_read;
    if (reader_type == 2) {
      return;
    }
    // Ids are widened with their sign, as the appliers' unsigned keys would take them.
    const auto owner = static_cast<unsigned long>(member_id);
    const special item(static_cast<unsigned long>(special_id), owner,
                       static_cast<unsigned char>(reader_type));
    if (owners.empty() || owners.back().owner != owner) {
      owners.push_back(owner_rows{owner, {}});
    }
    owners.back().items.push_back(item);
    if (item.reader_type == 0) {
      public_items.push_back(item);
    }
  };
  if (!read_pages(conn, format_page, on_row)) {
    log_event(log_error, "init_specials: a page query failed; loading the %zu rows read",
              rows_read);
  }

  // Owner step: each owner's list; its specials go to its follow list's feeds, then its own.
  feed_deliveries deliveries;
  {
    boost::unique_lock<boost::shared_mutex> lock(users_lock);
    users.reserve(users.size() + owners.size());
    for (owner_rows& rows : owners) {
      sort_keep_first(rows.items);
      userinfo& record = users.try_emplace(rows.owner, rows.owner).first->second;
      record.add_special(rows.items);
      const special_span items{rows.items.data(), rows.items.data() + rows.items.size()};
      for (unsigned long follower : record.follows()) {
        deliveries.deliver(follower, items);
      }
      deliveries.deliver(rows.owner, items);
    }
  }
  // Public step.
  sort_keep_first(public_items);
  {
    boost::unique_lock<boost::shared_mutex> lock(pub_lock);
    union_keep_stored(pub_specials, special_span{public_items.data(),
                                                 public_items.data() + public_items.size()});
  }
  // Feed step.
  {
    boost::unique_lock<boost::shared_mutex> lock(pri_lock);
    deliveries.apply_locked(pri_specials);
  }
}

void logic_center::init_follow() {
  std::printf("init_follow\n");
  std::fflush(stdout);
  const app_cfg::db_setting& db = singleton<app_cfg>::instance()->db;
  mysql::connection conn(db.host, db.user, db.passwd, db.name, load_db_port);

  // Each link (member, inviter), in row order, stands for two follow additions:
  // member follows inviter, then inviter follows member.
  std::vector<std::pair<unsigned long, unsigned long>> links;
  int last_member = 0;
  auto format_page = [&](char* sql, size_t size, bool first) {
    if (first) {
      std::snprintf(sql, size,
                    "SELECT member_id,inviter_id FROM brix_member "
                    "ORDER BY member_id ASC LIMIT %d;",
                    load_page_rows);
    } else {
      std::snprintf(sql, size,
                    "SELECT member_id,inviter_id FROM brix_member WHERE member_id > %d "
                    "ORDER BY member_id ASC LIMIT %d;",
                    last_member, load_page_rows);
    }
  };
  auto on_row = [&](MYSQL_ROW row) {
    int member_id = 0;
    int inviter_id = 0;
    mysql::fetch_column(row, 0, member_id, inviter_id);
    last_member = member_id;
    if (member_id > 0 && inviter_id > 0) {
      links.emplace_back(member_id, inviter_id);
    }
  };
  if (!read_pages(conn, format_page, on_row)) {
    log_event(log_error, "init_follow: a page query failed; loading the %zu links read",
              links.size());
  }

  // Follow step: each follow list gains all its ids at once (a set union, so their order is
  // moot). The own specials of every member reached are copied into one flat block, since
  // the feed step must not read `users` once users_lock is released.
  std::vector<std::pair<unsigned long, unsigned long>> additions;  // (member, followed id)
  additions.reserve(2 * links.size());
  for (const auto& [member, inviter] : links) {
    additions.emplace_back(member, inviter);
    additions.emplace_back(inviter, member);
  }
  std::sort(additions.begin(), additions.end());
  additions.erase(std::unique(additions.begin(), additions.end()), additions.end());

  std::vector<special> own_block;
  std::vector<std::pair<unsigned long, std::pair<size_t, size_t>>> own_index;  // ascending ids
  {
    boost::unique_lock<boost::shared_mutex> lock(users_lock);
    users.reserve(users.size() + additions.size());
    std::vector<unsigned long> ids;
    for (auto group = additions.begin(); group != additions.end();) {
      const unsigned long member = group->first;
      ids.clear();
      for (; group != additions.end() && group->first == member; ++group) {
        ids.push_back(group->second);
      }
      userinfo& record = users.try_emplace(member, member).first->second;
      record.add_follows(ids);
      const std::vector<special>& own = record.specials();
      if (!own.empty()) {
        own_index.push_back({member, {own_block.size(), own_block.size() + own.size()}});
        own_block.insert(own_block.end(), own.begin(), own.end());
      }
    }
  }
  auto own_span = [&](unsigned long member) {
    auto found = std::lower_bound(own_index.begin(), own_index.end(), member,
                                  [](const auto& entry, unsigned long id) { return entry.first < id; });
    if (found == own_index.end() || found->first != member) {
      return special_span{nullptr, nullptr};
    }
    return special_span{own_block.data() + found->second.first,
                        own_block.data() + found->second.second};
  };
  // Feed step, in the order the row-by-row load would merge.
  feed_deliveries deliveries;
  for (const auto& [member, inviter] : links) {
    deliveries.deliver(inviter, own_span(member));
    deliveries.deliver(member, own_span(inviter));
  }
  {
    boost::unique_lock<boost::shared_mutex> lock(pri_lock);
    deliveries.apply_locked(pri_specials);
  }
}
