#include "stream/replica.h"

#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <future>
#include <thread>
#include <utility>

#include <boost/asio/post.hpp>

#include "snapshot/store_snapshot.h"
#include "stream/snapshot_gate.h"
#include "stream/stream_check.h"
#include "stream/stream_stats.h"
#include "support/log.h"

namespace {

// Changes handed to the workers and not yet applied, at most: beyond it the reader waits and the
// stream holds the rest.
constexpr std::size_t max_changes_in_flight = 4096;

std::int64_t now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// One change applied: counted, and its lag taken. The start-up replay applies changes stored
// long ago: its lags say nothing of the live node.
void note_applied(stream_stats& stats, std::int64_t stored_ns) {
  stats.applied.fetch_add(1, std::memory_order_relaxed);
  if (stored_ns > 0 && stats.replay_target.load(std::memory_order_relaxed) == 0) {
    const std::int64_t lag = now_ns() - stored_ns;
    stats.last_lag_ns.store(lag, std::memory_order_relaxed);
    stats.lag.observe(std::chrono::nanoseconds(lag > 0 ? lag : 0));
  }
}

logic_center::mutation_kind kind_for_workers(change_request::kind what) {
  switch (what) {
    case change_request::kind::add_follow:
      return logic_center::mutation_kind::add_follow;
    case change_request::kind::del_follow:
      return logic_center::mutation_kind::del_follow;
    case change_request::kind::add_special:
      return logic_center::mutation_kind::add_special;
    default:
      return logic_center::mutation_kind::del_special;
  }
}

}  // namespace

replica::replica(const stream_settings& settings, logic_center& target, boost::asio::io_context& io,
                 stream_stats& figures, metrics::snapshot_figures& snapshot_counts,
                 logic_center::list_caps list_caps)
    : config(settings),
      store(target),
      loop(io),
      stats(figures),
      snapshot_figures(snapshot_counts),
      caps(list_caps) {}

replica::~replica() {
  stop();
}

void replica::apply_on_workers(change_request&& change, ordered_dispatch::done_fn done) {
  const std::int64_t stored_ns = change.stored_ns;
  store.queue_tracked(kind_for_workers(change.what), change.user, std::move(change.ids),
                      std::move(change.items), [this, done = std::move(done), stored_ns] {
                        note_applied(stats, stored_ns);
                        done();
                      });
}

void replica::apply_inviter(change_request&& change, ordered_dispatch::done_fn done) {
  annotated::mutex_lock gate(inviter_gate);
  if (!on_loop) {
    store.add_inviter_in_place(change.inviter_member, change.inviter);
    gate.unlock();
    note_applied(stats, change.stored_ns);
    done();
    return;
  }
  on_loop_inviters.push_back(
      posted_inviter{change.inviter_member, change.inviter, change.stored_ns, std::move(done)});
  gate.unlock();
  boost::asio::post(loop, [this] { run_posted_inviters(); });
}

void replica::run_posted_inviters() {
  std::vector<posted_inviter> applied;
  {
    annotated::mutex_lock gate(inviter_gate);
    applied.swap(on_loop_inviters);
    for (const posted_inviter& each : applied) {
      store.add_inviter_in_place(each.member, each.inviter);
    }
  }
  for (posted_inviter& each : applied) {
    note_applied(stats, each.stored_ns);
    each.done();
  }
}

void replica::start(const start_options& options) {
  store.set_layout(config.layout);
  stats.sharded = config.sharded;
  stats.shard = config.layout.index;
  stats.shards = config.layout.count;
  if (config.sharded) {
    log_event(log_info, "this node keeps %s", config.layout.describe().c_str());
  }
  // Acknowledgements go to the front door, made below before anything is published.
  connection = std::make_unique<jetstream>(
      config, [this](const std::string& msg_id, const publish_outcome& outcome) {
        if (publisher) {
          publisher->on_ack(msg_id, outcome);
        }
      });
  const stream_state state = connection->ensure_stream();
  stats.last_sequence.store(state.last_seq, std::memory_order_relaxed);
  log_event(log_info, "stream %s: messages %llu, sequences %llu to %llu", config.name.c_str(),
            static_cast<unsigned long long>(state.messages),
            static_cast<unsigned long long>(state.first_seq),
            static_cast<unsigned long long>(state.last_seq));
  log_event(log_info,
            "the stream servers take messages of up to %lld bytes; a larger change is published "
            "in parts",
            static_cast<long long>(connection->max_payload()));
  // With a cap, which ids a list keeps depends on the order of additions and removals.
  const bool capped = caps.feed_cap != 0 || caps.public_cap != 0;
  changes = std::make_unique<ordered_dispatch>(
      [this](change_request&& change, ordered_dispatch::done_fn done) {
        apply_on_workers(std::move(change), std::move(done));
      },
      [this](change_request&& change, ordered_dispatch::done_fn done) {
        apply_inviter(std::move(change), std::move(done));
      },
      max_changes_in_flight, capped);
  publisher = std::make_unique<front_door>(*connection, *changes, loop, config, stats);
  const std::uint64_t held = fill_store(state, options, loaded_snapshot);
  loaded_sequence = held;
  changes->start_after(held);
  snapshot_hold = std::make_unique<snapshot_gate>(*changes, loop);
  snapshots = std::make_unique<snapshot::snapshot_taker>(
      loop, store, *snapshot_hold,
      snapshot::taker_settings{config.snapshot_dir, config.name,
                               std::chrono::seconds(config.snapshot_interval_s)},
      snapshot_figures);
  reader = std::make_unique<stream_consumer>(*connection, *changes, stats);
  reader->start();
  wait_for_replay(connection->state().last_seq, options);
  if (!loaded_snapshot) {
    write_first_snapshot();
  }
  join_site(options);
}

void replica::join_site(const start_options& options) {
  if (config.sharded) {
    std::string address = config.advertise;
    if (address.empty()) {
      const bool any = options.listen_address == "0.0.0.0" || options.listen_address == "::" ||
                       options.listen_address.empty();
      address = (any ? std::string("127.0.0.1") : options.listen_address) + ":" +
                std::to_string(options.port);
    }
    registry = std::make_unique<node_registry>(*connection, config, address);
    registry->start({[this] { return answering.load(); }, [this] { return changes->applied(); }});
    log_event(log_info, "registered as %s at %s", config.layout.describe().c_str(),
              address.c_str());
  }
  routing = std::make_unique<shard_router>(config, registry.get(), loop, stats);
}

void replica::write_first_snapshot() {
  std::promise<std::uint64_t> rest;
  std::future<std::uint64_t> at_rest = rest.get_future();
  changes->pause([&rest](std::uint64_t applied) { rest.set_value(applied); });
  const std::uint64_t applied = at_rest.get();
  if (!snapshots->write_here(applied)) {
    log_event(log_error,
              "no snapshot after the start: a restart before the next one succeeds will need a "
              "peer's snapshot or --rebuild");
  }
  changes->resume();
}

bool replica::load_snapshot(const stream_state& state, std::uint64_t& sequence) {
  if (::mkdir(config.snapshot_dir.c_str(), 0755) != 0 && errno != EEXIST) {
    throw start_refused("cannot make the snapshot directory " + config.snapshot_dir + ": " +
                        std::strerror(errno));
  }
  store.set_caps(caps);
  snapshot::load_result loaded;
  try {
    loaded = snapshot::load_newest(config.snapshot_dir, config.name, store);
  } catch (const std::runtime_error& e) {
    throw start_refused(e.what());
  }
  if (!loaded.loaded) {
    return false;
  }
  if (loaded.sequence > state.last_seq) {
    throw start_refused("snapshot " + loaded.path + " holds sequence " +
                        std::to_string(loaded.sequence) + ", beyond stream " + config.name +
                        "'s last sequence " + std::to_string(state.last_seq) +
                        ": it was taken from another history of the stream");
  }
  if (loaded.sequence + 1 < state.first_seq) {
    throw start_refused("snapshot " + loaded.path + " holds sequence " +
                        std::to_string(loaded.sequence) + ", but stream " + config.name +
                        " keeps changes only from sequence " + std::to_string(state.first_seq) +
                        ": copy a newer snapshot from a peer into " + config.snapshot_dir +
                        ", or start once with --rebuild");
  }
  log_event(log_info, "snapshot %s loaded: sequence %llu, %llu bytes", loaded.path.c_str(),
            static_cast<unsigned long long>(loaded.sequence),
            static_cast<unsigned long long>(loaded.bytes));
  store.start_workers();
  sequence = loaded.sequence;
  return true;
}

std::uint64_t replica::fill_store(const stream_state& state, const start_options& options,
                                  bool& from_snapshot) {
  std::uint64_t snapshot_sequence = 0;
  if (options.status) {
    options.status("loading the newest snapshot");
  }
  from_snapshot = load_snapshot(state, snapshot_sequence);
  if (from_snapshot) {
    return snapshot_sequence;
  }
  if (state.messages == 0) {
    // The first start of a cluster (or everything expired): the database is the whole truth.
    if (options.status) {
      options.status("loading the store from the database");
    }
    options.load_store();
    return state.last_seq;
  }
  if (!options.rebuild) {
    throw start_refused(no_snapshot_refusal(config, state.messages));
  }
  log_event(log_warning,
            "rebuilding: loading the database, then applying stream %s from sequence %llu",
            config.name.c_str(), static_cast<unsigned long long>(state.first_seq));
  if (options.status) {
    options.status("rebuilding: loading the store from the database");
  }
  options.load_store();
  return state.first_seq - 1;
}

bool replica::replay_has_ended(std::uint64_t target, std::uint64_t& last_seen,
                               std::chrono::steady_clock::time_point& quiet_since) {
  const auto now = std::chrono::steady_clock::now();
  if (!reader->idle_and(*changes)) {
    quiet_since = now;
    return false;
  }
  // The reader's word is not enough: its ordered consumer may pause for a while (a server
  // coming back, the consumer made again) after a message that said nothing followed it.
  // Only the stream's own state says whether anything up to the target is still to come.
  stream_state state;
  try {
    state = connection->state();
  } catch (const stream_error&) {
    quiet_since = now;
    return false;  // asked again at the next turn
  }
  const std::uint64_t applied = changes->applied();
  if (state.messages == 0 || state.first_seq > target || state.last_seq <= applied) {
    return true;  // what is left of the target expired, or there never was more
  }
  if (state.last_seq != last_seen) {
    last_seen = state.last_seq;
    quiet_since = now;
    return false;
  }
  // Messages after `applied` that the reader never delivers were deleted by hand: the stream
  // still counts their sequences. Serve rather than wait for them for ever.
  if (now - quiet_since < std::chrono::seconds(10)) {
    return false;
  }
  log_event(log_warning,
            "stream %s: nothing delivered after sequence %llu for 10 s though its last sequence "
            "is %llu; the messages in between were deleted: serving",
            config.name.c_str(), static_cast<unsigned long long>(applied),
            static_cast<unsigned long long>(state.last_seq));
  return true;
}

void replica::wait_for_replay(std::uint64_t target, const start_options& options) {
  stats.replay_target.store(target, std::memory_order_relaxed);
  const std::uint64_t from = changes->applied();
  const auto started = std::chrono::steady_clock::now();
  auto last_report = started;
  std::uint64_t last_seen = target;
  auto quiet_since = started;
  while (changes->applied() < target && !replay_has_ended(target, last_seen, quiet_since)) {
    changes->wait_applied(target, std::chrono::milliseconds(200));
    const auto now = std::chrono::steady_clock::now();
    if (options.progress_seconds != 0 &&
        now - last_report >= std::chrono::seconds(options.progress_seconds)) {
      last_report = now;
      const double seconds = std::chrono::duration<double>(now - started).count();
      const std::uint64_t done = changes->applied();
      char line[200];
      std::snprintf(line, sizeof(line),
                    "replaying the stream: sequence %llu of %llu (%.0f changes/s)",
                    static_cast<unsigned long long>(done), static_cast<unsigned long long>(target),
                    seconds > 0 ? static_cast<double>(done - from) / seconds : 0.0);
      log_event(log_info, "%s", line);
      if (options.status) {
        options.status(line);
      }
    }
  }
  stats.replay_target.store(0, std::memory_order_relaxed);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  log_event(log_info, "stream %s replayed up to sequence %llu (%llu changes in %.2f s)",
            config.name.c_str(), static_cast<unsigned long long>(changes->applied()),
            static_cast<unsigned long long>(changes->applied() - from), seconds);
}

void replica::serve_on_loop() {
  {
    annotated::mutex_lock gate(inviter_gate);
    on_loop = true;
  }
  serving = true;
  boost::asio::post(loop, [this] {
    answering = true;
    if (registry) {
      registry->refresh_now();
    }
  });
  snapshots->start();
  if (loaded_snapshot && changes->applied() > loaded_sequence) {
    // The next restart replays only what comes after this one.
    boost::asio::post(loop, [this] { snapshots->take(); });
  }
}

void replica::stop() {
  answering = false;
  if (registry) {
    registry->stop();  // first: the others stop sending this node reads
  }
  if (changes) {
    // First: the reader may be waiting in the dispatch for a snapshot's pause to end, or behind
    // an inviter change posted to the loop that has ended; neither would come.
    changes->stop();
  }
  if (reader) {
    reader->stop();
  }
  {
    annotated::mutex_lock gate(inviter_gate);
    on_loop = false;  // the loop has ended: whatever is left runs here
  }
  run_posted_inviters();
  bool at_rest = true;
  if (changes) {
    at_rest = changes->drain(std::chrono::seconds(5));
  }
  if (snapshots) {
    // Only with nothing in flight does the applied sequence say exactly what the store holds.
    // A start that ended before serving leaves the snapshots as they were.
    if (serving && at_rest) {
      snapshots->write_here(changes->applied());
    } else if (serving) {
      log_event(log_error, "no snapshot at the stop: changes were still being applied");
    }
    snapshots.reset();  // waits for a writer still running
    snapshot_hold.reset();
  }
}
