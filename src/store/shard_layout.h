// Which members' private feeds a node keeps: a member's partition is a fixed hash of its id over
// `partitions`, and partition p belongs to shard p mod `count`. A node of shard `index` keeps the
// feeds of its own members, their whole follow lists, and of every other member only the friends
// that are its own; every member's own specials, the public list and the inviter index it keeps
// whole. A full node (the default) is the layout of one shard: every member is its own.
//
// The hash is part of the site's stored state (snapshots, the clients' routing), so it never
// changes: fmix32 of the 32-bit member id, taken modulo `partitions`.
// A value type: set once before the store's workers start, read only after; any thread.
#ifndef NORVEL_SHARD_LAYOUT_H_
#define NORVEL_SHARD_LAYOUT_H_

#include <cstdint>
#include <string>
#include <vector>

struct shard_layout {
  static constexpr std::uint32_t default_partitions = 1024;
  static constexpr std::uint32_t max_shards = 64;

  std::uint32_t partitions = default_partitions;
  std::uint32_t count = 1;  // shards in the site
  std::uint32_t index = 0;  // this node's shard

  // The partition of `member`: stable across builds and platforms.
  static std::uint32_t partition_of(unsigned long member, std::uint32_t partitions) {
    std::uint32_t h = static_cast<std::uint32_t>(member);
    h ^= h >> 16;
    h *= 0x85ebca6bu;
    h ^= h >> 13;
    h *= 0xc2b2ae35u;
    h ^= h >> 16;
    return h % partitions;
  }
  std::uint32_t shard_of(unsigned long member) const {
    return partition_of(member, partitions) % count;
  }
  bool sharded() const { return count > 1; }
  // Whether this node keeps `member`'s feed and whole follow list.
  bool is_local(unsigned long member) const { return count <= 1 || shard_of(member) == index; }
  // The ids of `ids` that are local, in their order.
  std::vector<unsigned long> local_only(const std::vector<unsigned long>& ids) const;

  // Whether a store kept by `held` holds everything this layout keeps, so that it may start from
  // it by dropping the rest: the same partitions, and every member local here is local there
  // (a shard i of S starts shards i and i + S of a layout of 2S). A full store holds every
  // layout.
  bool contained_in(const shard_layout& held) const;
  // "shard i of S (P partitions)", for log lines and refusals.
  std::string describe() const;
  bool operator==(const shard_layout& other) const {
    return partitions == other.partitions && count == other.count && index == other.index;
  }
};

#endif  // NORVEL_SHARD_LAYOUT_H_
