// Arithmetic on sorted, repeat-free vectors (follow lists ascending, special lists in
// greater_special order): normalising a mutation's argument, and set union and difference into a
// stored vector (userinfo's lists). The store's own lists are id_lists, which page themselves.
// Pure functions over the caller's containers; the caller holds whatever lock guards them.
#ifndef NORVEL_SORTED_LIST_H_
#define NORVEL_SORTED_LIST_H_

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <vector>

#include "store/special.h"

namespace sorted_list {

// The orderings as function objects, so that the algorithms inline them.
struct greater_id {
  bool operator()(const special& a, const special& b) const { return greater_special(a, b); }
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

// Ascending, without repeats: the form every follow-list merge expects.
inline void normalise_ids(std::vector<unsigned long>& ids) {
  std::sort(ids.begin(), ids.end());
  ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
}

// greater_special order, without repeated ids: the form every special-list merge expects.
inline void normalise_items(std::vector<special>& items) {
  std::sort(items.begin(), items.end(), greater_id());
  items.erase(std::unique(items.begin(), items.end(), equal_id()), items.end());
}

}  // namespace sorted_list

#endif  // NORVEL_SORTED_LIST_H_
