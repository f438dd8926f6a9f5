// What the store holds, as the store counts it and the metrics page shows it: one definition for
// both sides (logic_center answers these; the page writes them).
// Threads: plain values.
#ifndef NORVEL_STORE_FIGURES_H_
#define NORVEL_STORE_FIGURES_H_

#include <cstddef>
#include <vector>

// Members with a record, private feeds, and the entries of each kind of list.
struct store_sizes {
  std::size_t members = 0;
  std::size_t feeds = 0;
  std::size_t follow_entries = 0;
  std::size_t own_entries = 0;
  std::size_t feed_entries = 0;
  std::size_t public_entries = 0;

  std::size_t entries() const {
    return follow_entries + own_entries + feed_entries + public_entries;
  }
  bool operator==(const store_sizes& other) const {
    return members == other.members && feeds == other.feeds &&
           follow_entries == other.follow_entries && own_entries == other.own_entries &&
           feed_entries == other.feed_entries && public_entries == other.public_entries;
  }
};

// Bytes each structure holds: the two member tables' slots, the arenas of each kind of list, the
// inviter index.
struct store_bytes {
  std::size_t member_tables = 0;
  std::size_t own_lists = 0;
  std::size_t follow_lists = 0;
  std::size_t feeds = 0;
  std::size_t public_list = 0;
  std::size_t inviter_index = 0;

  std::size_t total() const {
    return member_tables + own_lists + follow_lists + feeds + public_list + inviter_index;
  }
};

// One scrape's figures of the store: each worker queue's length, the sizes and the bytes.
struct store_figures {
  std::vector<std::size_t> queued;  // by worker
  store_sizes sizes;
  store_bytes bytes;
};

#endif  // NORVEL_STORE_FIGURES_H_
