#include "store/shard_layout.h"

std::vector<unsigned long> shard_layout::local_only(const std::vector<unsigned long>& ids) const {
  std::vector<unsigned long> kept;
  kept.reserve(ids.size());
  for (unsigned long id : ids) {
    if (is_local(id)) {
      kept.push_back(id);
    }
  }
  return kept;
}

bool shard_layout::contained_in(const shard_layout& held) const {
  if (held.count <= 1) {
    return true;
  }
  // Local here: partition p with p mod count == index. It is local there for every such p
  // exactly when held.count divides count and index mod held.count is held's index.
  return partitions == held.partitions && count % held.count == 0 &&
         index % held.count == held.index;
}

std::string shard_layout::describe() const {
  return "shard " + std::to_string(index) + " of " + std::to_string(count) + " (" +
         std::to_string(partitions) + " partitions)";
}
