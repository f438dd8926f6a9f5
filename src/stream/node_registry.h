// A sharded site's membership, kept by the stream servers: every node of the site puts an entry
// under its own name into one key-value bucket of theirs ("<stream>_NODES"): its shard, the layout,
// the address the others reach it at, whether it answers requests and the sequence it has applied.
// It puts it again every refresh, and the bucket forgets an entry not put again within
// registry_ttl_s, so a node that died drops out on its own. Each refresh also reads every entry
// back: the nodes of this node's layout make the site's map (a node of another layout, during a
// growth, is left out).
//
// Threads: a refresher thread of its own puts and reads; nodes() and ready_nodes() are called on
// the event loop (and anywhere else) and copy the last map read under `map_lock`.
// Ownership: refers to the jetstream, which outlives it (stop() before the jetstream goes).
#ifndef NORVEL_NODE_REGISTRY_H_
#define NORVEL_NODE_REGISTRY_H_

#include <nats/nats.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "store/shard_layout.h"
#include "stream/jetstream.h"
#include "support/annotated_mutex.h"

// One node of the site as its entry says.
struct cluster_node {
  std::string name;
  std::string address;
  std::uint32_t shard = 0;
  bool ready = false;
  std::uint64_t seq = 0;
};

class node_registry {
 public:
  // What this node says of itself at each refresh; called on the refresher thread.
  struct own_state {
    std::function<bool()> ready;
    std::function<std::uint64_t()> applied;
  };

  // Opens (or creates) the bucket; throws stream_error when the servers cannot make it.
  node_registry(jetstream& stream, const stream_settings& settings, std::string address);
  ~node_registry();  // stop()
  node_registry(const node_registry&) = delete;
  node_registry& operator=(const node_registry&) = delete;

  // Puts this node's entry and reads the map once, then refreshes both every refresh period on
  // the refresher thread.
  void start(own_state state);
  // Puts this node's entry at once (its readiness changed); any thread.
  void refresh_now();
  // Ends the refresher and deletes this node's entry, so the others stop sending it reads.
  void stop();

  // The last map read: every node of this layout, by name; any thread.
  std::vector<cluster_node> nodes() const;
  // The ready nodes of `shard`, by name; any thread.
  std::vector<cluster_node> ready_nodes(std::uint32_t shard) const;
  const shard_layout& layout() const { return kept; }
  const std::string& address() const { return own_address; }

 private:
  void run();
  bool put_own(std::string& error);
  bool read_map(std::vector<cluster_node>& out, std::string& error);

  struct kv_destroy {
    void operator()(kvStore* p) const { kvStore_Destroy(p); }
  };
  jetstream& stream;
  const std::string node_name;
  const std::string key;  // the node's name as a bucket key
  const shard_layout kept;
  const std::string own_address;
  const std::chrono::milliseconds period;
  std::unique_ptr<kvStore, kv_destroy> bucket;
  own_state state;
  mutable annotated::mutex map_lock;
  std::vector<cluster_node> map GUARDED_BY(map_lock);
  annotated::mutex wake_lock;
  std::condition_variable wake;
  bool stopping GUARDED_BY(wake_lock) = false;
  bool put_asked GUARDED_BY(wake_lock) = false;
  std::thread refresher;
  bool last_failed = false;  // refresher thread: a failure is logged once until it passes
};

// The bucket name of `stream`'s registry: "<stream>_NODES", with any character a bucket name
// may not hold written as '_'.
std::string registry_bucket(const std::string& stream);

#endif  // NORVEL_NODE_REGISTRY_H_
