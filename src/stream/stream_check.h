// norvel --check-config with a "stream" configured: connects to the stream servers as a start
// would and prints "stream <name> last sequence <N>" (0 for a stream not created yet), then
// answers the exit status: 0, or 1 with a one-line reason on the error stream.
// Main thread, before anything is started.
#ifndef NORVEL_STREAM_CHECK_H_
#define NORVEL_STREAM_CHECK_H_

#include <iosfwd>

#include "stream/stream_settings.h"

int check_stream(const stream_settings& settings, std::ostream& out, std::ostream& err);

#endif  // NORVEL_STREAM_CHECK_H_
