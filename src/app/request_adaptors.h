// What main hands the rooms below it: the request handler the server calls for every frame (the
// parser on the store, or a replicated node's front door), with or without the metrics
// endpoint's timing, and the store's figures
// for the metrics page. Event-loop thread (the handlers) and metrics thread (the figures).
#ifndef NORVEL_REQUEST_ADAPTORS_H_
#define NORVEL_REQUEST_ADAPTORS_H_

#include <string>

#include "metrics/metrics_exposition.h"
#include "network/frame_codec.h"
#include "protocol/parse_offload.h"
#include "store/logic_center.h"
#include "stream/front_door.h"
#include "stream/shard_router.h"

// Appends each request's reply to the session's output, from the parser on `*store`, and tells
// the session when the request queued work; with `measured`, also times each request and counts
// the bodies that are not requests (they end their connection). `store` is read at each request:
// the server is made before the store (which is created once the log is open), so it is set before
// the loop runs and outlives the handler. With `big_bodies`, a body above its threshold is parsed
// there, off the loop, and answered later in its place (parse_offload.h); with `measured` only the
// handler's own time is counted for it.
frame_handler request_handler(logic_center* const& store, bool measured,
                              parse_offload* big_bodies = nullptr);

// The same for a replicated node: each frame answered through `*door` (answer_replicated), which
// exists once the node has started, before the loop runs. With `measured`, timed and counted as
// on a single node: the handler's own time (a reply given later, once the stream has
// acknowledged a change, is not waited for).
// With `big_bodies`, a body above its threshold (and naming no "min_seq") is parsed there, off
// the loop, a change published from there, and answered later in its place.
// With `*router` set (it is once the node has started), the map and the reads another shard
// keeps are the router's (shard_router.h); a big body that names a fetch then stays on the loop,
// where the router is.
frame_handler replicated_handler(front_door* const& door, logic_center* const& store, bool measured,
                                 parse_offload* big_bodies = nullptr,
                                 shard_router* const* router = nullptr);

// The store's part of the metrics page: queue lengths, list sizes and bytes by structure.
store_figures store_figures_of(const logic_center& store);

#endif  // NORVEL_REQUEST_ADAPTORS_H_
