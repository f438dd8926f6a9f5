// The connection to the replicated stream: one client connection to the stream servers (it
// reconnects on its own for as long as the node runs), the stream created or checked, publishes
// with a message id (the stream stores a message id once within its duplicate window), and an
// ordered reader that delivers the stream's messages from a start sequence, in stream order.
// Everything the client library hands out is held by a unique_ptr with its own destroy call.
//
// Threads: `jetstream` is shared by the consumer thread (through its ordered_reader), the event
// loop (publishes) and the library's own threads, which call the publish acknowledgement
// callback; the library locks its own state. An ordered_reader belongs to one thread.
// Ownership: the jetstream owns the connection and the stream context; a reader owns its
// subscription and must go before the jetstream it reads from.
#ifndef NORVEL_JETSTREAM_H_
#define NORVEL_JETSTREAM_H_

#include <nats/nats.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "stream/stream_settings.h"

// A client library status with the library's last error detail, for messages.
std::string nats_status_text(natsStatus status);

// The stream cannot be reached, created or read; the message says which and why.
class stream_error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

namespace nats_raii {
struct destroy {
  void operator()(natsOptions* p) const { natsOptions_Destroy(p); }
  void operator()(natsConnection* p) const { natsConnection_Destroy(p); }
  void operator()(jsCtx* p) const { jsCtx_Destroy(p); }
  void operator()(natsSubscription* p) const { natsSubscription_Destroy(p); }
  void operator()(natsMsg* p) const { natsMsg_Destroy(p); }
  void operator()(jsStreamInfo* p) const { jsStreamInfo_Destroy(p); }
  void operator()(jsPubAck* p) const { jsPubAck_Destroy(p); }
  void operator()(jsMsgMetaData* p) const { jsMsgMetaData_Destroy(p); }
};
template <typename T>
using ptr = std::unique_ptr<T, destroy>;
}  // namespace nats_raii

// What the stream holds now.
struct stream_state {
  std::uint64_t first_seq = 0;
  std::uint64_t last_seq = 0;
  std::uint64_t messages = 0;
};

// The header that marks a message as one part of a change too large for one message, and the
// header of the message that completes such a change (see front_door.h).
constexpr const char* part_header = "Norvel-Part";
constexpr const char* parts_header = "Norvel-Parts";

// A header of a message to publish: name and value.
using message_header = std::pair<std::string, std::string>;

// One message read from the stream.
struct stream_message {
  std::uint64_t seq = 0;
  std::int64_t stored_ns = 0;  // when the stream stored it, nanoseconds since the epoch
  std::uint64_t pending = 0;   // messages after it in the stream when it was delivered
  std::string body;
  bool part = false;  // it carries part_header: a part of a larger change
  std::string parts;  // the value of parts_header, when it has one
};

// The answer to one publish.
struct publish_outcome {
  bool ok = false;
  std::uint64_t seq = 0;   // the stream's sequence of the message (also for a duplicate)
  bool duplicate = false;  // the stream already held this message id
  std::string error;       // why not, when !ok
};

class jetstream {
 public:
  // Called on a library thread for each asynchronous publish: its message id and the outcome.
  using ack_callback = std::function<void(const std::string& msg_id, const publish_outcome&)>;

  // Connects to `settings.servers`, trying again for up to connect_timeout_s. Throws
  // stream_error naming the servers when none answers in that time.
  explicit jetstream(const stream_settings& settings, ack_callback on_ack = nullptr);
  ~jetstream();
  jetstream(const jetstream&) = delete;
  jetstream& operator=(const jetstream&) = delete;

  // Creates the stream if it does not exist (file storage, subjects <subject>.>, the configured
  // replicas and retention); checks it if it does (it must hold <subject>.>; another replica
  // count or retention is logged). While the servers cannot answer yet (no leader: a timeout,
  // no responders, "temporarily unavailable"; a cluster still meeting its peers: "no suitable
  // peers") it asks again for up to connect_timeout_s.
  // Throws stream_error.
  stream_state ensure_stream();
  // The stream's state now, asked with the context's wait (5 s) or `wait` when given. Throws
  // stream_error.
  stream_state state(std::chrono::milliseconds wait = std::chrono::milliseconds(0));
  // The same, or false when the stream does not exist (yet). Throws stream_error.
  bool find_state(stream_state& out);

  // Publishes `body` to `subject` with `msg_id` and waits up to `timeout` for the stream's
  // acknowledgement. Never throws.
  publish_outcome publish(const std::string& subject, const std::string& body,
                          const std::string& msg_id, std::chrono::milliseconds timeout,
                          const std::vector<message_header>& headers = {});
  // The same without waiting: the outcome goes to the ack callback (a timeout after `timeout`
  // too). False, with `error` set, when the publish could not even be sent.
  bool publish_async(const std::string& subject, const std::string& body, const std::string& msg_id,
                     std::chrono::milliseconds timeout, std::string& error,
                     const std::vector<message_header>& headers = {});

  // The largest message the server the connection is on takes (its max_payload), headers
  // included; any thread.
  std::int64_t max_payload() const;

  // A message into `out` (its `pending` left 0), asked with no consumer involved, so that it can
  // be had while no consumer can be made (the servers electing the leader of their metadata).
  // When the stream allows direct gets (norvel creates it so), the first message at or after
  // `from`, asked of any server holding the stream; else the message `from` itself, asked of the
  // stream's leader through the servers' interface, which answers only while they have a metadata
  // leader. False when there is none. Throws stream_error when it cannot be asked within `wait`.
  bool get_message(std::uint64_t from, stream_message& out, std::chrono::milliseconds wait);
  // Whether the stream allows direct gets, as ensure_stream() found it.
  bool direct_gets() const { return direct; }

  // Whether the connection is up now (it may be reconnecting).
  bool connected() const;
  // Closes the connection for good: every later call fails. Tests end a node this way, without
  // a word to the servers.
  void close();
  const stream_settings& settings() const { return config; }

 private:
  friend class ordered_reader;
  friend class node_registry;
  static void on_publish_ack(jsCtx* js, natsMsg* msg, jsPubAck* ack, jsPubAckErr* failure,
                             void* closure);
  // One attempt of ensure_stream(); false, with `failure` set, when the servers could not answer
  // yet and asking again may help.
  bool try_ensure_stream(stream_state& out, std::string& failure);
  nats_raii::ptr<natsMsg> make_message(const std::string& subject, const std::string& body,
                                       const std::string& msg_id, std::string& error,
                                       const std::vector<message_header>& headers = {});

  stream_settings config;
  bool direct = false;  // set by ensure_stream() before any reader runs
  ack_callback ack_handler;
  nats_raii::ptr<natsConnection> connection;
  nats_raii::ptr<jsCtx> context;
};

// Delivers the stream's messages from a start sequence in stream order, each once, across
// reconnects and server changes (the library's ordered consumer recreates itself where it left
// off). One thread.
class ordered_reader {
 public:
  // Starts at `start_seq` (1: the stream's first message). Throws stream_error.
  ordered_reader(jetstream& stream, std::uint64_t start_seq);
  ~ordered_reader();
  ordered_reader(const ordered_reader&) = delete;
  ordered_reader& operator=(const ordered_reader&) = delete;

  // The next message into `out`; false when none came within `wait`. Throws stream_error when
  // the subscription has failed for good.
  bool next(stream_message& out, std::chrono::milliseconds wait);

 private:
  nats_raii::ptr<natsSubscription> subscription;
};

#endif  // NORVEL_JETSTREAM_H_
