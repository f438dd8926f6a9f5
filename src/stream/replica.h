// A node of a replicated site: everything the daemon does with a "stream" configured, wired
// together. At start it connects to the stream (creating it if absent), fills the store (from the
// database on the first start of a cluster or with --rebuild, else it refuses), starts the
// workers and the stream's reader, and waits until it has applied what the stream held, so the
// node's first answers are already caught up. A node that started without a snapshot writes one
// before its first answer, so that from then on it can always restart on its own; one that
// replayed changes after its snapshot takes a new one as soon as it serves. While it runs, every
// change of the stream goes through the ordered dispatch to the workers (inviter changes to the
// event loop).
//
// Threads: constructed, started and stopped on the main thread; the reader runs on its own
// thread; inviter changes run on the event loop once serve_on_loop() was called (until then, on
// the reader's thread while the main thread waits for the start-up replay and touches nothing;
// at the stop, once the loop has ended, on the main thread and the reader's). Every one runs
// under inviter_gate.
// Ownership: owns the stream connection, the dispatch and the reader; refers to the store, the
// event loop and the stream figures, which outlive it.
#ifndef NORVEL_REPLICA_H_
#define NORVEL_REPLICA_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>

#include "snapshot/snapshot_taker.h"
#include "store/logic_center.h"
#include "stream/front_door.h"
#include "stream/jetstream.h"
#include "stream/node_registry.h"
#include "stream/ordered_dispatch.h"
#include "stream/shard_router.h"
#include "stream/stream_consumer.h"
#include "stream/stream_settings.h"
#include "stream/stream_stats.h"
#include "support/annotated_mutex.h"

// The node must not start as configured (no snapshot while the stream holds changes); the
// message says what the operator can do. The daemon ends with status 1.
class start_refused : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class replica {
 public:
  struct start_options {
    bool rebuild = false;           // no snapshot: database load, then the whole stream
    unsigned progress_seconds = 0;  // replay progress lines; 0: none
    std::function<void(const std::string&)> status;  // the service manager's status line, or null
    // Loads the store from the database and starts its workers (the daemon's start_store).
    std::function<void()> load_store;
    // Where the node listens: a shard's node registers "<address>:<port>" (127.0.0.1 for an
    // address that names every interface) unless its "advertise" says otherwise.
    std::string listen_address = "127.0.0.1";
    unsigned short port = 5000;
  };

  // `stats`: the node's stream figures, counted into by every part; `snapshot_figures`: the
  // metrics page's snapshot figures; `caps`: the store's list caps (applied when a snapshot is
  // loaded; with one, every change waits for the one before).
  replica(const stream_settings& settings, logic_center& store, boost::asio::io_context& io,
          stream_stats& stats, metrics::snapshot_figures& snapshot_figures,
          logic_center::list_caps caps);
  ~replica();  // stop()
  replica(const replica&) = delete;
  replica& operator=(const replica&) = delete;

  // Everything up to the node's first answer; throws stream_error (unreachable stream, exit 1)
  // or start_refused (exit 1), or what the database load throws.
  void start(const start_options& options);
  // From now on inviter changes run on the event loop, and snapshots are taken (every
  // snapshot_interval_s and on SIGUSR1; one at once when the start replayed changes after the
  // snapshot it loaded). Call just before the loop runs.
  void serve_on_loop();
  // After the loop has ended: stops handing changes out and the reader, applies the inviter
  // changes the loop left behind, gives the workers a moment to apply what was handed out and,
  // once they have, writes the snapshot of the stop. Never waits on the loop.
  void stop();

  // Whether start() got as far as reading the stream (the metrics page shows it from then on).
  bool started() const { return reader != nullptr; }
  ordered_dispatch& dispatch() { return *changes; }
  // The front door for changes arriving on TCP; after start().
  front_door& door() { return *publisher; }
  jetstream& stream() { return *connection; }
  // The shard router (the map, and forwarding on a shard's node); after start().
  shard_router& router() { return *routing; }
  const stream_settings& settings() const { return config; }

 private:
  // Fills the store and answers the sequence it already holds; `from_snapshot` says whether a
  // snapshot was loaded.
  std::uint64_t fill_store(const stream_state& state, const start_options& options,
                           bool& from_snapshot);
  // Holds the changes still, writes a snapshot at the applied sequence in this process, and
  // lets the changes go on. Main thread, before the loop runs.
  void write_first_snapshot();
  // Loads the newest usable snapshot and starts the workers; false when there is none. Throws
  // start_refused when the snapshot cannot be caught up from this stream.
  bool load_snapshot(const stream_state& state, std::uint64_t& sequence);
  // Waits until the node has applied the stream up to `target` (its last sequence at start).
  void wait_for_replay(std::uint64_t target, const start_options& options);
  // Whether the replay is over short of `target`: the reader is idle with nothing in flight and
  // the stream holds nothing more up to `target`. `last_seen` and `quiet_since` carry the last
  // state seen and since when nothing moved, from one call to the next.
  bool replay_has_ended(std::uint64_t target, std::uint64_t& last_seen,
                        std::chrono::steady_clock::time_point& quiet_since);
  void apply_on_workers(change_request&& change, ordered_dispatch::done_fn done);
  void apply_inviter(change_request&& change, ordered_dispatch::done_fn done);
  // Applies the inviter changes posted to the loop so far; on the loop, or on the main thread
  // at the stop once the loop has ended (whatever it left behind).
  void run_posted_inviters();
  // A shard's node: registers with the site and reads its map; every node: the router.
  void join_site(const start_options& options);

  stream_settings config;
  logic_center& store;
  boost::asio::io_context& loop;
  stream_stats& stats;
  metrics::snapshot_figures& snapshot_figures;
  const logic_center::list_caps caps;
  std::unique_ptr<jetstream> connection;
  std::unique_ptr<ordered_dispatch> changes;
  std::unique_ptr<stream_consumer> reader;
  std::unique_ptr<front_door> publisher;
  std::unique_ptr<node_registry> registry;  // a shard's node only
  std::unique_ptr<shard_router> routing;
  std::atomic<bool> answering{false};  // the loop answers requests (the registry says so)
  // An inviter change handed to the loop: applied by run_posted_inviters.
  struct posted_inviter {
    int member;
    int inviter;
    std::int64_t stored_ns;
    ordered_dispatch::done_fn done;
  };
  annotated::mutex inviter_gate;  // held while an inviter change is applied, wherever it runs
  bool on_loop GUARDED_BY(inviter_gate) = false;
  std::vector<posted_inviter> on_loop_inviters GUARDED_BY(inviter_gate);
  // From start() to the stop's snapshot; event-loop thread once it runs (main thread before and
  // after).
  std::unique_ptr<snapshot::apply_gate> snapshot_hold;
  std::unique_ptr<snapshot::snapshot_taker> snapshots;
  std::uint64_t loaded_sequence = 0;  // the snapshot's, when start() loaded one
  bool loaded_snapshot = false;
  bool serving = false;  // serve_on_loop() was called; main thread
};

#endif  // NORVEL_REPLICA_H_
