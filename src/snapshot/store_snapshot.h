// The whole store as a snapshot file and back: every member record with its follow list and own
// list, every private feed, the public list and the inviter index, at the stream sequence of the
// last change applied. Goes through the store's export and restore operations only.
// Threads: save_store reads under the store's shared locks and the inviter index without a lock,
// so its caller keeps the store still (the taker's child process, or the main thread at a clean
// stop with nothing being applied). load_newest runs on the main thread before the workers start
// and uses one more thread of its own, joined before it returns.
#ifndef NORVEL_STORE_SNAPSHOT_H_
#define NORVEL_STORE_SNAPSHOT_H_

#include <cstdint>
#include <string>

#include "snapshot/snapshot_file.h"
#include "store/logic_center.h"

namespace snapshot {

// Writes `store` at `sequence` as the newest snapshot of `stream` in `dir` (keeping two).
write_outcome save_store(const logic_center& store, const std::string& dir,
                         const std::string& stream, uint64_t sequence);

struct load_result {
  bool loaded = false;    // false: no usable snapshot (none there, or every one refused)
  uint64_t sequence = 0;  // the stream sequence of the last change the snapshot holds
  std::string path;       // the file loaded
  uint64_t bytes = 0;     // its size
};
// Loads the newest usable snapshot of `stream` in `dir` into `store`, which holds nothing yet.
// Every file refused (damaged, truncated, another stream's, a newer format) is logged with its
// path and the reason, and the next older one is tried; a refused file leaves the store empty.
// Throws std::runtime_error when `dir` cannot be read.
load_result load_newest(const std::string& dir, const std::string& stream, logic_center& store);

// Loads the one file `found` into `store` (holding nothing yet) and answers its size. Throws
// refused with the reason (the store is then still empty), std::runtime_error when it cannot be
// opened.
uint64_t load_file(const found_file& found, const std::string& stream, logic_center& store);

}  // namespace snapshot

#endif  // NORVEL_STORE_SNAPSHOT_H_
