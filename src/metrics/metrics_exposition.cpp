#include "metrics/metrics_exposition.h"

#include <chrono>
#include <cstdint>
#include <cstdio>

#include "metrics/load_progress.h"
#include "metrics/metrics.h"
#include "metrics/page_writer.h"
#include "metrics/process_stats.h"
#include "support/build_info.h"
#include "support/log.h"

namespace {

using metrics::label;
using metrics::page_writer;

const char* const level_names[] = {"other", "fatal", "error", "warning", "info", "debug", "trace"};

// When this process started, in seconds since the epoch.
const double process_start_seconds =
    std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();

void write_requests(page_writer& page) {
  const metrics::registry& counters = metrics::global();
  page.family("norvel_requests_total", "counter",
              "Requests handled, by action, operation and result: 200 dispatched, 0 failed, "
              "closed when the body was not a request and the connection was closed.");
  for (std::size_t kind = 0; kind < metrics::request_kind_count; ++kind) {
    for (std::size_t result = 0; result < metrics::request_result_count; ++result) {
      const auto k = static_cast<metrics::request_kind>(kind);
      const auto r = static_cast<metrics::request_result>(result);
      page.integer("norvel_requests_total",
                   label("act", metrics::act_label(k)) + "," + label("op", metrics::op_label(k)) +
                       "," + label("result", metrics::result_label(r)),
                   counters.requests[kind][result].load(std::memory_order_relaxed));
    }
  }

  page.family("norvel_request_duration_seconds", "histogram",
              "Time to handle one request on the event loop, from its complete frame to its "
              "reply.");
  page.histogram("norvel_request_duration_seconds", counters.request_latency);
}

void write_connections(page_writer& page, const connection_stats& stats) {
  auto value = [](const std::atomic<std::size_t>& v) {
    return static_cast<std::uint64_t>(v.load(std::memory_order_relaxed));
  };
  page.family("norvel_connections_open", "gauge", "Client connections open now.");
  page.integer("norvel_connections_open", "", value(stats.open_sessions));
  page.family("norvel_connections_accepted_total", "counter", "Client connections accepted.");
  page.integer("norvel_connections_accepted_total", "", value(stats.accepted));
  page.family("norvel_connections_refused_total", "counter",
              "Client connections turned away: over the connection limit, or out of descriptors.");
  page.integer("norvel_connections_refused_total", "", value(stats.refused));
  page.family("norvel_connections_closed_total", "counter", "Client connections ended.");
  page.integer("norvel_connections_closed_total", "", value(stats.closed));
  page.family("norvel_bad_frame_headers_total", "counter",
              "Connections closed for a frame header announcing a negative or too large body.");
  page.integer("norvel_bad_frame_headers_total", "", value(stats.bad_headers));
  page.family("norvel_received_bytes_total", "counter", "Bytes received from clients.");
  page.integer("norvel_received_bytes_total", "",
               stats.bytes_received.load(std::memory_order_relaxed));
  page.family("norvel_sent_bytes_total", "counter", "Bytes of replies written to clients.");
  page.integer("norvel_sent_bytes_total", "", stats.bytes_sent.load(std::memory_order_relaxed));
  page.family("norvel_sessions_held_back", "gauge",
              "Connections not being read now because their unwritten replies are over the "
              "back-pressure bound.");
  page.integer("norvel_sessions_held_back", "", value(stats.paused_sessions));
  page.family("norvel_session_holds_total", "counter",
              "Times a connection stopped being read for back-pressure.");
  page.integer("norvel_session_holds_total", "", value(stats.read_pauses));
}

void write_store(page_writer& page, const store_figures& figures) {
  const store_sizes& sizes = figures.sizes;
  page.family("norvel_queued_messages", "gauge", "Changes waiting in each worker's queue.");
  for (std::size_t i = 0; i < figures.queued.size(); ++i) {
    page.integer("norvel_queued_messages", label("worker", std::to_string(i)), figures.queued[i]);
  }
  page.family("norvel_applied_messages_total", "counter", "Changes applied by each worker.");
  for (std::size_t i = 0; i < figures.queued.size(); ++i) {
    page.integer("norvel_applied_messages_total", label("worker", std::to_string(i)),
                 metrics::global().applied[i].get());
  }
  page.family("norvel_store_members", "gauge", "Member records in the store.");
  page.integer("norvel_store_members", "", sizes.members);
  page.family("norvel_store_private_feeds", "gauge", "Private feeds in the store.");
  page.integer("norvel_store_private_feeds", "", sizes.feeds);
  page.family("norvel_store_entries", "gauge", "Entries in the store's lists, by kind of list.");
  page.integer("norvel_store_entries", label("list", "follows"), sizes.follow_entries);
  page.integer("norvel_store_entries", label("list", "own_specials"), sizes.own_entries);
  page.integer("norvel_store_entries", label("list", "private_feeds"), sizes.feed_entries);
  page.integer("norvel_store_entries", label("list", "public"), sizes.public_entries);
  const store_bytes& held = figures.bytes;
  page.family("norvel_store_bytes", "gauge",
              "Bytes the store's structures hold, by structure, from their own running figures.");
  page.integer("norvel_store_bytes", label("structure", "member_tables"), held.member_tables);
  page.integer("norvel_store_bytes", label("structure", "own_lists"), held.own_lists);
  page.integer("norvel_store_bytes", label("structure", "follow_lists"), held.follow_lists);
  page.integer("norvel_store_bytes", label("structure", "feeds"), held.feeds);
  page.integer("norvel_store_bytes", label("structure", "public_list"), held.public_list);
  page.integer("norvel_store_bytes", label("structure", "inviter_index"), held.inviter_index);
}

void write_load(page_writer& page) {
  const load_progress& load = load_progress::global();
  page.family("norvel_load_in_progress", "gauge", "1 while the start-up load runs.");
  page.integer("norvel_load_in_progress", "", load.running() ? 1 : 0);
  page.family("norvel_load_duration_seconds", "gauge",
              "Time the start-up load took, or has taken so far.");
  page.real("norvel_load_duration_seconds", "", load.elapsed_seconds());
  page.family("norvel_load_rows_total", "counter", "Rows read by the start-up load, by table.");
  for (int t = 0; t < load_progress::table_count; ++t) {
    const auto table = static_cast<load_progress::table>(t);
    page.integer("norvel_load_rows_total", label("table", load_progress::table_name(table)),
                 load.rows_read(table));
  }
}

void write_snapshots(page_writer& page) {
  const metrics::snapshot_figures& figures = metrics::global().snapshots;
  if (!figures.taken_on.load(std::memory_order_relaxed)) {
    return;
  }
  const double now =
      std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  const double written = figures.last_written_unix.load(std::memory_order_relaxed);
  page.family("norvel_snapshot_age_seconds", "gauge",
              "Seconds since the newest snapshot was written; -1 while there is none.");
  page.real("norvel_snapshot_age_seconds", "", written > 0 ? now - written : -1.0);
  page.family("norvel_snapshot_duration_seconds", "gauge",
              "Time the last snapshot took, from the dispatch pause to the file's rename.");
  page.real("norvel_snapshot_duration_seconds", "",
            figures.duration_seconds.load(std::memory_order_relaxed));
  page.family("norvel_snapshot_pause_seconds", "gauge",
              "How long the last snapshot paused the applying of changes (drain and fork).");
  page.real("norvel_snapshot_pause_seconds", "",
            figures.pause_seconds.load(std::memory_order_relaxed));
  page.family("norvel_snapshot_size_bytes", "gauge", "Size of the last snapshot written.");
  page.integer("norvel_snapshot_size_bytes", "", figures.bytes.load(std::memory_order_relaxed));
  page.family("norvel_snapshots_total", "counter", "Snapshots written, and failed, by result.");
  page.integer("norvel_snapshots_total", label("result", "written"),
               figures.written.load(std::memory_order_relaxed));
  page.integer("norvel_snapshots_total", label("result", "failed"),
               figures.failed.load(std::memory_order_relaxed));
}

void write_support(page_writer& page) {
  const metrics::registry& counters = metrics::global();
  page.family("norvel_inviter_reloads_total", "counter",
              "Reloads of the inviter index from the member table, for members beyond it.");
  page.integer("norvel_inviter_reloads_total", "",
               counters.inviter_reloads.load(std::memory_order_relaxed));
  page.family("norvel_log_entries_total", "counter", "Event-log entries written, by level.");
  for (std::size_t level = 1; level < metrics::registry::level_count; ++level) {
    page.integer("norvel_log_entries_total", label("level", level_names[level]),
                 log_entries_written(static_cast<int>(level)));
  }
  page.family("norvel_build_info", "gauge",
              "The running version, and the commit it was built from.");
  page.integer(
      "norvel_build_info",
      label("version", build_info::version()) + "," + label("commit", build_info::git_commit()), 1);
  page.family("process_resident_memory_bytes", "gauge", "Resident memory size in bytes.");
  page.integer("process_resident_memory_bytes", "", resident_bytes());
  page.family("norvel_memory_limit_bytes", "gauge",
              "Memory the process may use: its control group's limit (systemd MemoryMax=, a "
              "container's limit) or the machine's memory, whichever is lower.");
  page.integer("norvel_memory_limit_bytes", "", memory_limit_bytes());
  page.family("process_open_fds", "gauge", "Number of open file descriptors.");
  page.integer("process_open_fds", "", open_descriptors());
  page.family("process_start_time_seconds", "gauge",
              "Start time of the process since unix epoch in seconds.");
  page.real("process_start_time_seconds", "", process_start_seconds);
}

}  // namespace

std::string render_metrics(const metrics_sources& sources) {
  std::string text;
  text.reserve(16384);
  page_writer page(text);
  if (sources.ready) {
    page.family("norvel_ready", "gauge",
                "1 once the node answers requests; 0 while it loads the store or replays the "
                "stream.");
    page.integer("norvel_ready", "", sources.ready() ? 1 : 0);
  }
  write_requests(page);
  if (sources.connections != nullptr) {
    write_connections(page, *sources.connections);
  }
  if (sources.store) {
    write_store(page, sources.store());
  }
  write_load(page);
  write_snapshots(page);
  write_support(page);
  return text;
}
