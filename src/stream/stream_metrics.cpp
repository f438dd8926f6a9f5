#include "stream/stream_metrics.h"

#include "metrics/page_writer.h"

namespace {

// A family of one sample without labels.
void one(metrics::page_writer& page, const char* name, const char* type, const char* help,
         unsigned long long value) {
  page.family(name, type, help);
  page.integer(name, "", value);
}

std::uint64_t get(const std::atomic<std::uint64_t>& value) {
  return value.load(std::memory_order_relaxed);
}

}  // namespace

void render_stream_metrics(const stream_stats& stats, std::uint64_t applied, bool connected,
                           std::string& text) {
  metrics::page_writer page(text);
  const std::uint64_t last = get(stats.last_sequence);
  one(page, "norvel_stream_applied_sequence", "gauge",
      "Every stream message up to this sequence is applied on this node.", applied);
  one(page, "norvel_stream_last_sequence", "gauge", "The stream's last sequence, as last seen.",
      last);
  one(page, "norvel_stream_lag_messages", "gauge", "Stream messages not yet applied here.",
      last > applied ? last - applied : 0);
  page.family("norvel_stream_last_lag_seconds", "gauge",
              "From the stream storing the last applied message to its taking effect here.");
  page.real("norvel_stream_last_lag_seconds", "",
            static_cast<double>(stats.last_lag_ns.load(std::memory_order_relaxed)) / 1e9);
  page.family("norvel_stream_lag_seconds", "histogram",
              "From the stream storing a message to its taking effect here (after the start-up).");
  page.histogram("norvel_stream_lag_seconds", stats.lag);
  one(page, "norvel_stream_applied_total", "counter", "Stream messages applied on this node.",
      get(stats.applied));
  one(page, "norvel_stream_skipped_total", "counter",
      "Stream messages that were not a valid change: logged and skipped.", get(stats.skipped));
  one(page, "norvel_stream_redelivered_total", "counter",
      "Stream messages delivered again after the reader started over: skipped as duplicates.",
      get(stats.redelivered));
  one(page, "norvel_stream_publishes_total", "counter",
      "Changes this node published and the stream acknowledged.", get(stats.publishes));
  one(page, "norvel_stream_publish_duplicates_total", "counter",
      "Acknowledged publishes the stream already held under their message id.",
      get(stats.duplicates));
  one(page, "norvel_stream_publish_failures_total", "counter",
      "Publishes that failed or timed out: answered code 0.", get(stats.publish_failures));
  one(page, "norvel_stream_reader_restarts_total", "counter",
      "Times the stream reader failed and was made again.", get(stats.reconnects));
  one(page, "norvel_stream_replay_target_sequence", "gauge",
      "During the start-up: the sequence the node replays up to before it answers; 0 after.",
      get(stats.replay_target));
  one(page, "norvel_stream_connected", "gauge", "1 while the connection to the stream is up.",
      connected ? 1 : 0);
  if (stats.sharded) {
    one(page, "norvel_shard_index", "gauge", "The shard this node keeps.", stats.shard);
    one(page, "norvel_shard_count", "gauge", "The shards of the site.", stats.shards);
    one(page, "norvel_shard_forwarded_total", "counter",
        "Reads of another shard's member answered by a node of that shard.", get(stats.forwarded));
    one(page, "norvel_shard_forward_failures_total", "counter",
        "Reads of another shard's member no node of it answered in time: answered code 0.",
        get(stats.forward_failures));
  }
}
