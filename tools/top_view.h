// What `norvel-cli top` prints: the full-screen view of one node or many (a block per node), and
// the one line per node and refresh of its plain mode. Pure formatting: the figures come from
// top_figures, the screen handling from top.cpp.
// Threads: whoever calls; no shared state.
#ifndef NORVEL_TOP_VIEW_H_
#define NORVEL_TOP_VIEW_H_

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "top_figures.h"

namespace top {

// What the view knows of one node.
struct node_state {
  std::string address;                // ADDRESS:PORT of its metrics endpoint
  std::string error;                  // why the last scrape failed; "" when it was read
  std::optional<node_scrape> latest;  // the last page read
  std::optional<node_rates> rates;    // between the last two pages read
};

// The whole screen: a title line with `clock`, then each node's block; no line longer than
// `width` columns.
std::string render_screen(const std::vector<node_state>& nodes, const std::string& clock,
                          std::size_t width);

// One line (ending in '\n') of key=value fields for the plain mode; an unreachable node says so
// and why.
std::string render_line(const node_state& node, const std::string& clock);

// "950 us", "2.40 ms", "1.20 s"; "-" for NaN.
std::string readable_seconds(double seconds);
// "512.0 KiB", "3.2 GiB".
std::string readable_bytes(double bytes);

}  // namespace top

#endif  // NORVEL_TOP_VIEW_H_
