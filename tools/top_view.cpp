#include "top_view.h"

#include <cmath>
#include <cstdio>
#include <ctime>
#include <sstream>

namespace top {

namespace {

std::string fixed(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof(text), "%.*f", decimals, value);
  return text;
}

std::string whole(double value) {
  return fixed(value, 0);
}

// "1h02m", "3m05s", "42s".
std::string readable_duration(double seconds) {
  const long s = static_cast<long>(seconds);
  char text[64];
  if (s >= 3600) {
    std::snprintf(text, sizeof(text), "%ldh%02ldm", s / 3600, (s / 60) % 60);
  } else if (s >= 60) {
    std::snprintf(text, sizeof(text), "%ldm%02lds", s / 60, s % 60);
  } else {
    std::snprintf(text, sizeof(text), "%lds", s);
  }
  return text;
}

// The node's state word: ready, or what keeps it from answering.
std::string readiness(const node_scrape& scrape) {
  if (scrape.gauge("norvel_ready", 1) != 0) {
    return "ready";
  }
  if (scrape.gauge("norvel_load_in_progress", 0) == 1) {
    return "NOT READY: loading for " +
           readable_duration(scrape.gauge("norvel_load_duration_seconds", 0));
  }
  if (scrape.gauge("norvel_stream_replay_target_sequence", 0) > 0) {
    return "NOT READY: replaying to " + whole(scrape.gauge("norvel_stream_replay_target_sequence"));
  }
  return "NOT READY";
}

double total_bytes(const node_scrape& scrape) {
  double total = 0;
  for (const auto& [structure, bytes] : scrape.store_bytes) {
    total += bytes;
  }
  return total;
}

std::string snapshot_age(const node_scrape& scrape) {
  const double age = scrape.gauge("norvel_snapshot_age_seconds", -2);
  return age < -1.5 ? "" : age < 0 ? "none" : readable_duration(age);
}

// Appends `line` cut at `width` columns (the text is ASCII).
void add_line(std::string& screen, const std::string& line, std::size_t width) {
  screen += line.substr(0, width);
  screen += '\n';
}

// Appends `items` separated by two spaces, over as many lines as `width` needs, each indented.
void add_wrapped(std::string& screen, const std::vector<std::string>& items, std::size_t width,
                 const std::string& indent) {
  std::string line = indent;
  for (const std::string& item : items) {
    if (line.size() > indent.size() && line.size() + 2 + item.size() > width) {
      add_line(screen, line, width);
      line = indent;
    }
    line += (line.size() > indent.size() ? "  " : "") + item;
  }
  if (line.size() > indent.size()) {
    add_line(screen, line, width);
  }
}

void render_block(std::string& screen, const node_state& node, std::size_t width) {
  if (!node.error.empty() || !node.latest) {
    add_line(screen, node.address + "  UNREACHABLE  " + node.error, width);
    return;
  }
  const node_scrape& now = *node.latest;
  const double start = now.gauge("process_start_time_seconds", 0);
  std::string title = node.address + "  " + readiness(now);
  if (start > 0) {
    const double up = static_cast<double>(std::time(nullptr)) - start;
    title += "  up " + readable_duration(up > 0 ? up : 0);
  }
  add_line(screen, title, width);
  if (node.rates) {
    const node_rates& r = *node.rates;
    add_line(screen,
             "  requests/s " + fixed(r.requests_total, 1) + "  failed/s " + fixed(r.failed, 1) +
                 "  p50 " + readable_seconds(r.p50) + "  p99 " + readable_seconds(r.p99),
             width);
    std::vector<std::string> kinds;
    for (const auto& [kind, per_second] : r.requests) {
      kinds.push_back(kind + " " + fixed(per_second, 1));
    }
    if (kinds.empty()) {
      kinds.push_back("(no requests)");
    }
    add_wrapped(screen, kinds, width, "    ");
  } else {
    add_line(screen, "  requests/s ...  (rates after the second scrape)", width);
  }
  add_line(screen,
           "  connections " + whole(now.gauge("norvel_connections_open", 0)) + "  held back " +
               whole(now.gauge("norvel_sessions_held_back", 0)) + "  queued " + whole(now.queued) +
               (node.rates ? "  applied/s " + fixed(node.rates->applied, 1) : std::string()),
           width);
  std::string memory = "  memory " + readable_bytes(now.gauge("process_resident_memory_bytes", 0));
  if (now.gauge("norvel_memory_limit_bytes", 0) > 0) {
    memory += " of " + readable_bytes(now.gauge("norvel_memory_limit_bytes"));
  }
  add_line(screen, memory + "  store " + readable_bytes(total_bytes(now)), width);
  std::vector<std::string> structures;
  for (const auto& [structure, bytes] : now.store_bytes) {
    structures.push_back(structure + " " + readable_bytes(bytes));
  }
  add_wrapped(screen, structures, width, "    ");
  if (now.has_stream) {
    std::string stream = "  stream applied " + whole(now.gauge("norvel_stream_applied_sequence")) +
                         "  last " + whole(now.gauge("norvel_stream_last_sequence")) + "  lag " +
                         whole(now.gauge("norvel_stream_lag_messages", 0));
    if (node.rates) {
      stream += "  lag p50 " + readable_seconds(node.rates->lag_p50) + "  p99 " +
                readable_seconds(node.rates->lag_p99);
    }
    if (now.gauge("norvel_stream_connected", 1) == 0) {
      stream += "  DISCONNECTED";
    }
    add_line(screen, stream, width);
  }
  if (now.has_shards) {
    std::string shard = "  shard " + whole(now.gauge("norvel_shard_index")) + " of " +
                        whole(now.gauge("norvel_shard_count"));
    if (node.rates) {
      shard += "  forwarded/s " + fixed(node.rates->forwarded, 1) + "  failed/s " +
               fixed(node.rates->forward_failures, 1);
    }
    add_line(screen, shard, width);
  }
  const std::string age = snapshot_age(now);
  if (!age.empty()) {
    add_line(screen, "  snapshot " + (age == "none" ? age : age + " ago"), width);
  }
}

}  // namespace

std::string readable_seconds(double seconds) {
  if (std::isnan(seconds)) {
    return "-";
  }
  if (seconds < 0.001) {
    return whole(seconds * 1e6) + " us";
  }
  if (seconds < 1) {
    return fixed(seconds * 1e3, 2) + " ms";
  }
  return fixed(seconds, 2) + " s";
}

std::string readable_bytes(double bytes) {
  const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  int unit = 0;
  while (bytes >= 1024 && unit < 4) {
    bytes /= 1024;
    ++unit;
  }
  return unit == 0 ? whole(bytes) + " B" : fixed(bytes, 1) + " " + units[unit];
}

std::string render_screen(const std::vector<node_state>& nodes, const std::string& clock,
                          std::size_t width) {
  std::string screen;
  add_line(screen,
           "norvel top  " + std::to_string(nodes.size()) +
               (nodes.size() == 1 ? " node" : " nodes") + "  " + clock + "  (q quits)",
           width);
  for (const node_state& node : nodes) {
    add_line(screen, "", width);
    render_block(screen, node, width);
  }
  return screen;
}

std::string render_line(const node_state& node, const std::string& clock) {
  std::ostringstream line;
  line << clock << ' ' << node.address;
  if (!node.error.empty() || !node.latest) {
    line << " unreachable: " << node.error << '\n';
    return line.str();
  }
  const node_scrape& now = *node.latest;
  line << " ready=" << whole(now.gauge("norvel_ready", 1));
  if (node.rates) {
    const node_rates& r = *node.rates;
    line << " rps=" << fixed(r.requests_total, 1) << " failed_rps=" << fixed(r.failed, 1)
         << " p50_ms=" << (std::isnan(r.p50) ? "-" : fixed(r.p50 * 1e3, 3))
         << " p99_ms=" << (std::isnan(r.p99) ? "-" : fixed(r.p99 * 1e3, 3));
  }
  line << " conns=" << whole(now.gauge("norvel_connections_open", 0))
       << " held=" << whole(now.gauge("norvel_sessions_held_back", 0))
       << " queued=" << whole(now.queued)
       << " rss_mib=" << fixed(now.gauge("process_resident_memory_bytes", 0) / 1048576, 1)
       << " store_mib=" << fixed(total_bytes(now) / 1048576, 1);
  if (now.has_stream) {
    line << " applied_seq=" << whole(now.gauge("norvel_stream_applied_sequence"))
         << " lag=" << whole(now.gauge("norvel_stream_lag_messages", 0));
    if (node.rates) {
      line << " lag_p99_ms="
           << (std::isnan(node.rates->lag_p99) ? "-" : fixed(node.rates->lag_p99 * 1e3, 3));
    }
  }
  if (now.has_shards) {
    line << " shard=" << whole(now.gauge("norvel_shard_index")) << '/'
         << whole(now.gauge("norvel_shard_count"));
    if (node.rates) {
      line << " fwd_rps=" << fixed(node.rates->forwarded, 1)
           << " fwd_failed_rps=" << fixed(node.rates->forward_failures, 1);
    }
  }
  const double age = now.gauge("norvel_snapshot_age_seconds", -2);
  if (age > -1.5) {
    line << " snapshot_age_s=" << whole(age);
  }
  if (node.rates) {
    line << " ops=";
    bool first = true;
    for (const auto& [kind, per_second] : node.rates->requests) {
      std::string name = kind;
      const std::size_t space = name.find(' ');
      if (space != std::string::npos) {
        name[space] = '/';
      }
      line << (first ? "" : ",") << name << ':' << fixed(per_second, 1);
      first = false;
    }
  }
  line << " mem=";
  bool first = true;
  for (const auto& [structure, bytes] : now.store_bytes) {
    line << (first ? "" : ",") << structure << ':' << fixed(bytes / 1048576, 1);
    first = false;
  }
  line << '\n';
  return line.str();
}

}  // namespace top
