// The configuration's optional top-level "stream" member: the replicated stream every node
// consumes and publishes its changes to. Absent, the daemon never touches the stream's client
// library and behaves as a single node.
// Threads: read once on the main thread before anything starts; only read after.
#ifndef NORVEL_STREAM_SETTINGS_H_
#define NORVEL_STREAM_SETTINGS_H_

#include <string>
#include <vector>

#include <json/json.h>

#include "store/shard_layout.h"

struct stream_settings {
  std::vector<std::string> servers;  // nats://host:port, at least one
  std::string name = "NORVEL";       // the stream's name
  std::string subject =
      "norvel.mut";              // changes go to <subject>.<member>; the stream holds <subject>.>
  std::string node;              // this node's name, in the ids of what it publishes
  unsigned replicas = 1;         // the stream's replicas, when this node creates it
  unsigned max_age_hours = 168;  // the stream's retention, when this node creates it
  unsigned publish_timeout_ms = 2000;
  unsigned connect_timeout_s = 30;
  std::string snapshot_dir;
  unsigned snapshot_interval_s = 300;
  bool reply_seq = false;           // accepted changes answer {"seq":N}
  unsigned min_seq_wait_ms = 1000;  // how long a fetch with "min_seq" waits for it
  // "shards": this node is one of a site's shards (shard_layout.h), registers itself with the
  // stream servers and forwards the reads it does not keep. Absent: a full node, as ever.
  bool sharded = false;
  shard_layout layout;    // count 1, index 0 unless "shards" says otherwise
  std::string advertise;  // "host:port" the other nodes reach this one at; empty: 127.0.0.1:<port>
  unsigned forward_timeout_ms = 1000;  // one try of a forwarded read; no try starts after it
  unsigned registry_ttl_s = 5;         // a node that stops refreshing its entry drops out after it

  // The subjects the stream holds: "<subject>.>".
  std::string stream_subjects() const { return subject + ".>"; }
};

// The "stream" member of `document` when it has one, checked. Throws std::invalid_argument with a
// one-line message naming the member at fault; answers false (and leaves `out` alone) when the
// document has no "stream" member.
bool read_stream_settings(const Json::Value& document, stream_settings& out);

#endif  // NORVEL_STREAM_SETTINGS_H_
