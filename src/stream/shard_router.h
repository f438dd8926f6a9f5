// Where a read goes on a node of a sharded site. A read of what only the member's own shard keeps
// (its private feed, its follow list) that reaches a node of another shard is sent on to a ready
// node of the member's shard (pooled, pipelined connections: network/peer_pool.h) and its reply
// relayed byte for byte in the request's place on the client's connection; the body goes as it
// came, so a "min_seq" goes with it. A node that fails or does not answer is passed over for the
// shard's next ready node; when none is left, or the time is up, the read is answered {"code":0}
// and logged: never a hang. Every other request is answered where it arrives.
// Also the site's map, {"act":"cluster","op":"map"}: the layout and the ready nodes of each shard
// with the sequence each has applied. A full node on a stream answers a map of one shard with no
// node named.
//
// Threads: the event loop only (the registry's map is read under its own lock).
// Ownership: owns the peer connections; refers to the registry and the figures, which outlive it.
#ifndef NORVEL_SHARD_ROUTER_H_
#define NORVEL_SHARD_ROUTER_H_

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>

#include "network/peer_pool.h"
#include "network/request_context.h"
#include "protocol/parser.h"
#include "stream/node_registry.h"
#include "stream/stream_settings.h"
#include "stream/stream_stats.h"

class shard_router {
 public:
  // `registry`: null on a full node (only the map is answered, of one shard).
  shard_router(const stream_settings& settings, node_registry* registry,
               boost::asio::io_context& loop, stream_stats& stats);
  shard_router(const shard_router&) = delete;
  shard_router& operator=(const shard_router&) = delete;

  // Whether it has taken `request`: the map answered into `reply`, or a read of another shard's
  // member forwarded, its reply deferred through `context`. False: answer it here.
  bool take(const parser& request, const std::string& body, std::string& reply,
            request_context& context);
  // The map's reply text.
  std::string map_reply() const;

 private:
  struct forwarding;
  // The next try of `read`, or its failure when no node is left or the time is up.
  void try_next(const std::shared_ptr<forwarding>& read);

  const shard_layout layout;
  const bool sharded;
  node_registry* registry;
  stream_stats& stats;
  // One try's wait (the pool's timeout), and the time after which no new try starts.
  const std::chrono::milliseconds deadline;
  peer_pool peers;
  std::uint64_t turn = 0;  // spreads the reads over a shard's nodes
};

#endif  // NORVEL_SHARD_ROUTER_H_
