// The front door of a replicated node: a change that arrives on TCP is not applied here but
// published to the stream, with a message id made of the node's name and a counter, and its
// client is answered only when the stream has acknowledged it ({"code":200,"data":null}, or
// {"code":200,"data":{"seq":N}} with reply_seq); a publish that fails or is not acknowledged
// within publish_timeout_ms is answered {"code":0} and logged. The node applies the change when
// it reads it back from the stream, like every other node.
// A change larger than one message of the stream servers (their max_payload, 1 MiB unless set) is
// published in parts: each part a message of its own with part_header, then, once every part is
// acknowledged, one message with parts_header naming the parts' sequences, the body's length and
// MD5. Every node applies the change when it reads that last message, at its place in the order,
// and passes over the parts where they stand; the client is answered {"code":200,...} only once
// that message is acknowledged. A part that fails fails the change ({"code":0}) and no last
// message is published, so its parts are applied nowhere.
// Also the read-your-writes wait: a fetch with "min_seq": N in its params is answered once the
// node has applied N, or {"code":0} after min_seq_wait_ms.
//
// Threads: publish() and wait_for_sequence() on the event loop; acknowledgements arrive on the
// stream client's threads and are handed to the loop, where every reply callback runs.
// `pending_lock` guards `pending`. Ownership: refers to the stream, the dispatch, the loop and
// the figures, which outlive it.
#ifndef NORVEL_FRONT_DOOR_H_
#define NORVEL_FRONT_DOOR_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include "network/request_context.h"
#include "stream/jetstream.h"
#include "stream/ordered_dispatch.h"
#include "stream/stream_settings.h"
#include "stream/stream_stats.h"
#include "support/annotated_mutex.h"

class shard_router;

class front_door {
 public:
  // Gets the whole reply text (line feed included), on the event loop.
  using reply_fn = std::function<void(std::string reply)>;

  // Counts its publishes into `stats`.
  front_door(jetstream& stream, ordered_dispatch& changes, boost::asio::io_context& loop,
             const stream_settings& settings, stream_stats& stats);
  front_door(const front_door&) = delete;
  front_door& operator=(const front_door&) = delete;

  // Publishes the request `body` (a valid, non-empty change). Event loop.
  void publish(const std::string& body, reply_fn done);
  // The same, waiting for the stream's answer (in parts when `body` is too large for one
  // message), and answering the reply text. Any thread but the event loop (the big bodies'
  // parsing thread): it blocks for up to publish_timeout_ms a message.
  std::string publish_and_wait(const std::string& body);
  // The stream's answer to a publish; any thread (the jetstream's ack callback).
  void on_ack(const std::string& msg_id, const publish_outcome& outcome);
  // The largest body published as one message: the servers' limit less room for the headers.
  std::size_t part_limit() const;

  // The "min_seq" of a request body's params into `seq`, 0 when it has none (a cheap look first:
  // most bodies do not mention it). Read as every number parameter is: null as 0, true and false
  // as 1 and 0, a fraction truncated; false for a negative number, one beyond 64 bits, a string,
  // an array or an object (the request is then answered {"code":0}). Throws nothing.
  static bool min_seq_of(const std::string& body, std::uint64_t& seq);
  // Calls `ready` on the loop once the node has applied `seq`, or `expired` after the wait;
  // never before it returns.
  void wait_for_sequence(std::uint64_t seq, std::function<void()> ready,
                         std::function<void()> expired);

  // The node's applied sequence; any thread.
  std::uint64_t applied() const { return changes.applied(); }
  // Publishes waiting for their acknowledgement; any thread.
  std::size_t in_flight() const;

 private:
  // What becomes of a publish's outcome; called on the stream client's thread (or the loop, for
  // a publish that could not be sent).
  using ack_fn = std::function<void(const publish_outcome&)>;
  // Publishes with `msg_id` and hands the outcome to `on_outcome`. Event loop.
  void send(const std::string& msg_id, const std::string& body,
            const std::vector<message_header>& headers, ack_fn on_outcome);
  // The outcome handler of a change's own message: counts it and answers the client on the loop.
  ack_fn answering(const std::string& msg_id, reply_fn done);
  struct parts_progress;
  // A change larger than part_limit(): its parts, then its last message. Event loop.
  void publish_in_parts(const std::string& msg_id, const std::string& body, reply_fn done);
  // A part's outcome, on the loop: the last message once every part is in.
  void part_answered(const std::shared_ptr<parts_progress>& progress, std::size_t index,
                     const publish_outcome& outcome);
  struct waiter {
    std::uint64_t seq;
    std::chrono::steady_clock::time_point deadline;
    std::function<void()> ready;
    std::function<void()> expired;
  };
  void answer_failure(const std::string& msg_id, const std::string& why, reply_fn done);
  // The reply to a change the stream acknowledged (with its sequence when reply_seq is on).
  std::string accepted(const publish_outcome& outcome) const;
  // A publish acknowledged, or failed (logged); any thread.
  void note_published(const publish_outcome& outcome);
  void note_failure(const std::string& msg_id, const std::string& why);
  void arm_waiters();
  void check_waiters();

  jetstream& stream;
  ordered_dispatch& changes;
  stream_stats& stats;
  boost::asio::io_context& loop;
  const std::string subject;    // <subject>.<node>
  const std::string id_prefix;  // <node>-<start time>-
  const std::chrono::milliseconds timeout;
  const bool reply_seq;
  const std::chrono::milliseconds min_seq_wait;
  std::uint64_t counter = 0;                     // event loop only
  std::atomic<std::uint64_t> waited_counter{0};  // publish_and_wait's ids, any thread
  mutable annotated::mutex pending_lock;
  std::unordered_map<std::string, ack_fn> pending GUARDED_BY(pending_lock);  // by message id
  std::vector<waiter> waiters;                                               // event loop only
  boost::asio::steady_timer waiter_timer;
  bool waiter_timer_armed = false;
};

// A big body's request on a replicated node, parsed on the big bodies' thread: a change is
// checked and converted as answer_replicated() does and published there, waiting for the stream
// (publish_and_wait); any other request is answered as on a single node (the caller keeps a body
// that names a "min_seq" on the loop, where the wait for it lives). Appends the reply; throws
// what the parser throws for a body that is not a request.
void answer_replicated_parsed(front_door& door, parser& request, const std::string& body,
                              std::string& reply);

// The request handler of a replicated node (a frame_handler for the server): a change is
// published through `door` and its reply deferred (through `context`) until the stream answers;
// a read with a "min_seq" the node has not applied yet is deferred until it has (or the wait
// ends); everything else is answered by the request parser at once, as on a single node. Throws
// what the parser throws for a body that is not a request (the session then ends the
// connection). Event loop.
// With `router` (shard_router.h), a cluster map request and a read that another shard keeps are
// its to answer, before anything else (a forwarded read's "min_seq" is waited for by its owner).
void answer_replicated(front_door& door, logic_center& store, const std::string& body,
                       std::string& reply, request_context& context,
                       shard_router* router = nullptr);

#endif  // NORVEL_FRONT_DOOR_H_
