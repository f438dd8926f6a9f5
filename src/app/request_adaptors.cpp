#include "app/request_adaptors.h"

#include <chrono>
#include <cstddef>

#include "metrics/metrics.h"
#include "protocol/parser.h"

namespace {

// Appends the reply to `reply`, the session's output.
void answer_request(logic_center& store, const std::string& body, std::string& reply,
                    request_context& context) {
  parser request(body, store);
  request.request(reply, context);
  if (request.queued_work()) {
    context.note_queued_work();
  }
}

// `answer` with the metrics endpoint on: times each request, and counts the bodies that are not
// requests (they end their connection). The parser counts the others by kind and result.
template <typename answer_fn>
void measure(const answer_fn& answer) {
  const auto started = std::chrono::steady_clock::now();
  metrics::registry& counters = metrics::global();
  try {
    answer();
    counters.request_latency.observe(std::chrono::steady_clock::now() - started);
  } catch (...) {
    counters.request_latency.observe(std::chrono::steady_clock::now() - started);
    metrics::count_request(metrics::other_request, metrics::result_closed);
    throw;
  }
}

// A big body's request, parsed off the loop and run back on it: the same operation and reply as
// answer_request's (its queued work is not reported: the request has left its handler by then).
// With `measured`, a body that is not a request is counted as measure() counts it.
void answer_offloaded(parse_offload& big_bodies, logic_center& store, const std::string& body,
                      request_context& context, bool measured) {
  big_bodies.offload(
      body, store, context,
      [](parser& request, const std::string&, std::string& reply) {
        request_context none(nullptr);
        request.request(reply, none);
      },
      [measured] {
        if (measured) {
          metrics::count_request(metrics::other_request, metrics::result_closed);
        }
      });
}

}  // namespace

frame_handler request_handler(logic_center* const& store, bool measured,
                              parse_offload* big_bodies) {
  if (measured) {
    return [&store, big_bodies](const std::string& body, std::string& reply,
                                request_context& context) {
      if (big_bodies != nullptr && big_bodies->takes(body, context)) {
        measure([&] { answer_offloaded(*big_bodies, *store, body, context, true); });
        return;
      }
      measure([&] { answer_request(*store, body, reply, context); });
    };
  }
  return
      [&store, big_bodies](const std::string& body, std::string& reply, request_context& context) {
        if (big_bodies != nullptr && big_bodies->takes(body, context)) {
          answer_offloaded(*big_bodies, *store, body, context, false);
          return;
        }
        answer_request(*store, body, reply, context);
      };
}

frame_handler replicated_handler(front_door* const& door, logic_center* const& store, bool measured,
                                 parse_offload* big_bodies, shard_router* const* router) {
  // Where the node's router will be once it has started (read at each request), or nowhere.
  static shard_router* const no_router = nullptr;
  shard_router* const* const routing = router != nullptr ? router : &no_router;
  // A big body that names a "min_seq" stays on the loop, where the wait for a sequence lives;
  // so does one that names a fetch on a shard's node, where the router is.
  auto offloaded = [&door, &store, big_bodies, measured, routing](const std::string& body,
                                                                  request_context& context) {
    if (big_bodies == nullptr || !big_bodies->takes(body, context) ||
        body.find("min_seq") != std::string::npos ||
        (*routing != nullptr && body.find("fetch") != std::string::npos)) {
      return false;
    }
    big_bodies->offload(
        body, *store, context,
        [&door](parser& request, const std::string& text, std::string& reply) {
          answer_replicated_parsed(*door, request, text, reply);
        },
        [measured] {
          if (measured) {
            metrics::count_request(metrics::other_request, metrics::result_closed);
          }
        });
    return true;
  };
  if (measured) {
    return [&door, &store, offloaded, routing](const std::string& body, std::string& reply,
                                               request_context& context) {
      measure([&] {
        if (!offloaded(body, context)) {
          answer_replicated(*door, *store, body, reply, context, *routing);
        }
      });
    };
  }
  return [&door, &store, offloaded, routing](const std::string& body, std::string& reply,
                                             request_context& context) {
    if (!offloaded(body, context)) {
      answer_replicated(*door, *store, body, reply, context, *routing);
    }
  };
}

store_figures store_figures_of(const logic_center& store) {
  store_figures figures;
  for (std::size_t i = 0; i < logic_center::worker_count; ++i) {
    figures.queued.push_back(store.queued(i));
  }
  figures.sizes = store.sizes();
  figures.bytes = store.bytes();
  return figures;
}
