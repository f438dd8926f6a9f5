// The site's membership against a real stream server: nodes of one layout see each other with
// their shard, address, readiness and applied sequence; a node of another layout is left out; a
// node that stops cleanly leaves at once, and one that stops refreshing drops out after the TTL
// while the others' refreshers keep reading. Runs under ThreadSanitizer too (the refreshers and
// the readers of the map are different threads).
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <vector>

#include "eventually.h"
#include "jetstream_cluster.h"
#include "stream/jetstream.h"
#include "stream/node_registry.h"

namespace {

stream_settings node_settings(const jetstream_cluster& cluster, const std::string& name,
                              shard_layout layout) {
  stream_settings settings;
  settings.servers = cluster.urls();
  settings.node = name;
  settings.snapshot_dir = "/nonexistent";
  settings.connect_timeout_s = 10;
  settings.sharded = true;
  settings.layout = layout;
  settings.registry_ttl_s = 2;
  return settings;
}

// A node's connection and registry, its readiness and applied sequence set by the test.
struct member {
  member(const jetstream_cluster& cluster, const std::string& name, shard_layout layout,
         const std::string& address)
      : stream(node_settings(cluster, name, layout)),
        registry(stream, node_settings(cluster, name, layout), address) {
    registry.start({[this] { return ready.load(); }, [this] { return applied.load(); }});
  }
  std::atomic<bool> ready{false};
  std::atomic<std::uint64_t> applied{0};
  jetstream stream;
  node_registry registry;
};

std::size_t ready_in(const node_registry& registry, std::uint32_t shard) {
  return registry.ready_nodes(shard).size();
}

TEST(NodeRegistry, NodesOfALayoutSeeEachOtherAndTheGoneDropOut) {
  jetstream_cluster cluster(1);
  {
    jetstream creator(node_settings(cluster, "x", {}));
    creator.ensure_stream();
  }
  const shard_layout two0{1024, 2, 0};
  const shard_layout two1{1024, 2, 1};
  auto a = std::make_unique<member>(cluster, "a", two0, "127.0.0.1:6001");
  auto b = std::make_unique<member>(cluster, "b.1", two1, "127.0.0.1:6002");
  auto other = std::make_unique<member>(cluster, "c", shard_layout{1024, 4, 1}, "127.0.0.1:6003");
  other->ready = true;
  other->registry.refresh_now();

  // Not ready yet: listed, but not among the ready.
  EXPECT_TRUE(eventually([&] { return a->registry.nodes().size() == 2; }));
  EXPECT_EQ(ready_in(a->registry, 1), 0u);
  b->ready = true;
  b->applied = 42;
  b->registry.refresh_now();
  ASSERT_TRUE(eventually([&] { return ready_in(a->registry, 1) == 1; }));
  const cluster_node seen = a->registry.ready_nodes(1).front();
  EXPECT_EQ(seen.name, "b.1");
  EXPECT_EQ(seen.address, "127.0.0.1:6002");
  EXPECT_EQ(seen.seq, 42u);
  // The node of four shards is in no map of two.
  for (const cluster_node& node : b->registry.nodes()) {
    EXPECT_NE(node.name, "c");
  }

  // A clean stop leaves the map at once (well within the TTL).
  a->ready = true;
  a->registry.refresh_now();
  ASSERT_TRUE(eventually([&] { return ready_in(b->registry, 0) == 1; }));
  a->registry.stop();
  EXPECT_TRUE(
      eventually([&] { return ready_in(b->registry, 0) == 0; }, std::chrono::milliseconds(1500)));

  // A node that goes without a word (its connection closed, nothing deleted) drops out after
  // the TTL.
  auto d = std::make_unique<member>(cluster, "d", two0, "127.0.0.1:6004");
  d->ready = true;
  d->registry.refresh_now();
  ASSERT_TRUE(eventually([&] { return ready_in(b->registry, 0) == 1; }));
  d->stream.close();
  EXPECT_TRUE(eventually([&] { return ready_in(b->registry, 0) == 0; }, std::chrono::seconds(10)));
}

}  // namespace
