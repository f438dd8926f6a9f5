// norvel --check-config with a "stream" configured: connects to the stream servers as a start
// would and prints "stream <name> last sequence <N>" (0 for a stream not created yet), then
// answers the exit status: 0, or 1 with a one-line reason on the error stream. The reason is
// also the refusal the start would meet when the stream holds changes and `snapshot_dir` has no
// snapshot of it (unless `rebuild`).
// Main thread, before anything is started.
#ifndef NORVEL_STREAM_CHECK_H_
#define NORVEL_STREAM_CHECK_H_

#include <cstdint>
#include <iosfwd>
#include <string>

#include "stream/stream_settings.h"

int check_stream(const stream_settings& settings, bool rebuild, std::ostream& out,
                 std::ostream& err);

// Why a node without a snapshot may not start while the stream holds `messages` changes, and
// what the operator can do.
std::string no_snapshot_refusal(const stream_settings& settings, std::uint64_t messages);

#endif  // NORVEL_STREAM_CHECK_H_
