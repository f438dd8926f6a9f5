#include "stream/shard_router.h"

#include <utility>
#include <vector>

#include <json/json.h>

#include "protocol/operation_result.h"
#include "support/log.h"

struct shard_router::forwarding {
  std::string body;
  unsigned long member = 0;
  std::uint32_t shard = 0;
  deferred_reply later;
  std::chrono::steady_clock::time_point until;
  std::vector<std::string> tried;  // addresses, in the order tried
  std::uint64_t first = 0;         // where in the shard's list the tries start
};

shard_router::shard_router(const stream_settings& settings, node_registry* nodes,
                           boost::asio::io_context& loop, stream_stats& figures)
    : layout(settings.layout),
      sharded(settings.sharded && nodes != nullptr),
      registry(nodes),
      stats(figures),
      // A forwarded read may wait at its owner for a "min_seq" as long as any read may.
      deadline(settings.forward_timeout_ms + settings.min_seq_wait_ms),
      peers(loop, deadline) {}

bool shard_router::take(const parser& request, const std::string& body, std::string& reply,
                        request_context& context) {
  if (request.names_cluster_map()) {
    reply += map_reply();
    return true;
  }
  unsigned long member = 0;
  if (!sharded || !layout.sharded() || !context.can_defer() || !request.names_owned_read(member) ||
      layout.is_local(member)) {
    return false;
  }
  auto read = std::make_shared<forwarding>();
  read->body = body;
  read->member = member;
  read->shard = layout.shard_of(member);
  read->later = context.defer_reply();
  read->until = std::chrono::steady_clock::now() + deadline;
  read->first = turn++;
  try_next(read);
  return true;
}

void shard_router::try_next(const std::shared_ptr<forwarding>& read) {
  const std::vector<cluster_node> ready = registry->ready_nodes(read->shard);
  const cluster_node* next = nullptr;
  for (std::size_t i = 0; i < ready.size() && next == nullptr; ++i) {
    const cluster_node& node = ready[(read->first + i) % ready.size()];
    bool seen = node.address == registry->address();
    for (const std::string& address : read->tried) {
      seen = seen || address == node.address;
    }
    if (!seen) {
      next = &node;
    }
  }
  if (next == nullptr || std::chrono::steady_clock::now() >= read->until) {
    stats.forward_failures.fetch_add(1, std::memory_order_relaxed);
    log_event(log_error,
              "read of member %lu not answered: %s of shard %u (%zu tried); answered code 0",
              read->member, next == nullptr ? "no ready node left" : "out of time", read->shard,
              read->tried.size());
    read->later.complete(reply_text::failed);
    return;
  }
  read->tried.push_back(next->address);
  peers.send(next->address, read->body, [this, read](bool ok, std::string reply) {
    if (ok) {
      stats.forwarded.fetch_add(1, std::memory_order_relaxed);
      read->later.complete(reply);
      return;
    }
    log_event(log_warning, "forwarded read of member %lu: node %s of shard %u did not answer",
              read->member, read->tried.back().c_str(), read->shard);
    try_next(read);
  });
}

std::string shard_router::map_reply() const {
  Json::Value data;
  data["partitions"] = sharded ? layout.partitions : shard_layout::default_partitions;
  data["shards"] = sharded ? layout.count : 1;
  data["index"] = sharded ? layout.index : 0;
  Json::Value nodes(Json::arrayValue);
  const std::uint32_t count = sharded ? layout.count : 1;
  for (std::uint32_t shard = 0; shard < count; ++shard) {
    Json::Value listed(Json::arrayValue);
    if (sharded) {
      for (const cluster_node& node : registry->ready_nodes(shard)) {
        Json::Value entry;
        entry["address"] = node.address;
        entry["seq"] = static_cast<Json::UInt64>(node.seq);
        listed.append(entry);
      }
    }
    nodes.append(listed);
  }
  data["nodes"] = nodes;
  Json::Value reply;
  reply["code"] = 200;
  reply["data"] = data;
  Json::StreamWriterBuilder writer;
  writer["indentation"] = "";
  return Json::writeString(writer, reply) + "\n";
}
