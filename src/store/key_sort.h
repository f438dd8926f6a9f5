// A stable sort of records by a 64-bit key, for the load's large arrays of member ids:
// least-significant-digit radix passes of 11 bits over only the bits the keys use (two passes
// for ids below 2^22), so a million records sort in a few linear sweeps instead of n log n
// comparisons; input already in order is left as it is. Records with equal keys keep their
// order.
// Pure function over the caller's vector; uses one scratch array of the same size.
#ifndef NORVEL_KEY_SORT_H_
#define NORVEL_KEY_SORT_H_

#include <array>
#include <cstddef>
#include <utility>
#include <vector>

namespace key_sort {

// `key(record)` gives the record's key as an unsigned long.
template <typename T, typename Key>
void stable_sort_by_key(std::vector<T>& records, Key key) {
  constexpr unsigned digit_bits = 11;
  constexpr size_t buckets = size_t{1} << digit_bits;
  if (records.size() < 2) {
    return;
  }
  unsigned long used_bits = 0;
  bool sorted = true;
  for (size_t at = 0; at < records.size(); ++at) {
    used_bits |= key(records[at]);
    sorted = sorted && (at == 0 || key(records[at - 1]) <= key(records[at]));
  }
  if (sorted) {
    return;
  }
  std::vector<T> scratch(records.size());
  for (unsigned shift = 0; shift < 64 && (used_bits >> shift) != 0; shift += digit_bits) {
    std::array<size_t, buckets> starts{};
    for (const T& record : records) {
      ++starts[(key(record) >> shift) & (buckets - 1)];
    }
    size_t position = 0;
    for (size_t& start : starts) {
      position += std::exchange(start, position);
    }
    for (const T& record : records) {
      scratch[starts[(key(record) >> shift) & (buckets - 1)]++] = record;
    }
    records.swap(scratch);
  }
}

}  // namespace key_sort

#endif  // NORVEL_KEY_SORT_H_
