// Client connections to other nodes, for requests this node passes on (a read answered by a node
// of another shard). Each address ("host:port") has a small pool of connections, made on demand
// and kept open; a request is framed as a client frames it (ten digits, then the body) and goes
// out on the pool's connection with the fewest requests waiting, behind any requests already
// sent there (pipelined). A peer answers in request order, so each connection keeps its waiting
// requests in a FIFO and gives the n-th reply to the n-th request.
//
// Failure: a connection that cannot be made, breaks, sends a header that is not ten digits or
// announces a body above max_reply_bytes, or answers its oldest request later than the timeout,
// is closed and every request waiting on it fails (ok = false). It is never used again, so a
// reply that comes late can never be taken for another request's; the next send() to the address
// makes a fresh connection. The first failure of an address is logged, and again the first after
// it answered once more, so a peer that stays down cannot flood the log.
//
// Threads: the event loop's only (asserted in debug builds); no lock, no threads of its own.
// Ownership: the pool owns the connections in its lists; each connection is shared with its
// pending socket, timer and resolver handlers, which keep it alive until they have run (never
// the pool: a handler run after the pool is gone finds its connection closed and returns).
// A request's callback is owned by its connection until it is posted to the loop.
#ifndef NORVEL_PEER_POOL_H_
#define NORVEL_PEER_POOL_H_

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include <boost/asio/io_context.hpp>

#include "support/thread_check.h"

// The largest reply body a peer may announce: 64 MiB (a whole feed page fits many times over).
// A larger one fails the connection, so a broken peer cannot make this node buffer without bound.
constexpr std::size_t max_reply_bytes = 64 * 1024 * 1024;

class peer_pool {
 public:
  // Gets the reply body exactly as the peer framed it (line feed included) with ok = true, or
  // ok = false and an empty body when the peer could not be reached, broke the connection, sent
  // a bad frame header or a frame longer than max_reply_bytes, or did not answer within
  // `timeout`. Called exactly once, on the event loop, never inside send() itself (it is
  // posted); not at all for requests still waiting when the pool is destroyed.
  using reply_fn = std::function<void(bool ok, std::string reply)>;

  // `loop`: the daemon's io_context (one thread runs it: the event loop); it must outlive every
  // handler the pool leaves in it. `timeout`: how long one request may wait for its reply,
  // connecting included. `connections_per_peer`: the pool's size for each address (0 reads as
  // 1).
  peer_pool(boost::asio::io_context& loop, std::chrono::milliseconds timeout,
            std::size_t connections_per_peer = 2);
  // Closes every connection. Requests still waiting are dropped: their callbacks are destroyed
  // without being called (the loop is ending). Handlers still queued in the loop only find
  // their connections closed.
  ~peer_pool();
  peer_pool(const peer_pool&) = delete;
  peer_pool& operator=(const peer_pool&) = delete;

  // Frames `body` and sends it to `address` ("host:port" with an IPv4 address, "[v6]:port" or a
  // name resolved once per connection) on one of the address's pooled connections, made on
  // demand and reused; a failed connection is replaced by a fresh one. Many requests may be in
  // flight on one connection. An address that cannot be read fails the request (posted).
  // Event-loop thread only.
  void send(const std::string& address, const std::string& body, reply_fn done);

  // Requests sent and not answered yet, over every address (for the metrics page and tests).
  std::size_t in_flight() const;

 private:
  class connection;
  struct peer;  // an address and what the log has been told about it, shared with its connections
  // One address's pool: its shared state and its connections (failed ones until the next pick).
  struct peer_entry {
    std::shared_ptr<peer> target;
    std::vector<std::shared_ptr<connection>> connections;
  };

  // The address's connection for one more request: the open one with the fewest waiting, or a
  // new one when none is idle and the pool has room. Drops failed ones first.
  std::shared_ptr<connection> pick(const std::string& address);

  boost::asio::io_context& loop;
  const std::chrono::milliseconds timeout;
  const std::size_t connections_per_peer;
  std::unordered_map<std::string, peer_entry> pools;  // by address
  mutable thread_check loop_thread;
};

#endif  // NORVEL_PEER_POOL_H_
