// The wire framing, both directions: ten ASCII digits giving the body's length ("%010d"), then
// the body. cut_frames() cuts the complete frames off the front of a connection's input, hands
// each body to a handler and frames its reply; no sockets, so tests and fuzzers drive it byte
// by byte. The session (session.h) is its one caller in the daemon.
//
// Threads: whichever thread calls; it keeps one buffer per thread for the body being answered.
// Ownership: works on the caller's strings; keeps nothing between calls.
#ifndef NORVEL_FRAME_CODEC_H_
#define NORVEL_FRAME_CODEC_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "network/request_context.h"

// The frame header: the body's length as ten zero-padded ASCII digits.
constexpr std::size_t frame_header_size = 10;
// The largest body a peer may announce: 16 MiB. A larger announced length closes the connection,
// so a peer cannot make the daemon buffer without bound.
constexpr std::size_t max_body_size = 16 * 1024 * 1024;

// Turns one request body into one reply body. It may throw (the std::exception family): the
// session then stops reading that connection.
using body_handler = std::function<std::string(const std::string& body)>;
// The same, appending the reply to `out` instead of returning it, so the reply is written once,
// straight into the session's output. On a throw, what it appended is taken back.
using reply_writer = std::function<void(const std::string& body, std::string& out)>;
// The daemon's form: as reply_writer, and through `context` it tells the connection whether
// the request queued work, or takes the reply's place to answer later (request_context.h).
using frame_handler =
    std::function<void(const std::string& body, std::string& out, request_context& context)>;

enum class frame_status {
  drained,      // every byte consumed: the input ends on a frame boundary
  need_more,    // an incomplete frame waits for more bytes (left in the input)
  bad_header,   // a header that is negative or announces more than max_body_size
  output_full,  // stopped because `output` passed its limit; complete frames may remain
  work_full,    // stopped after a frame that queued work when `hold_back_after_work` said so;
                // complete frames may remain
  deferred,     // stopped after a frame whose handler deferred its reply; complete frames may
                // remain
};

// How far one cut_frames() call may go, and where deferred replies go.
struct cut_options {
  // Once `output` holds more than this many bytes no further frame is cut (output_full), so a
  // burst of pipelined requests cannot build more than one reply beyond the limit.
  std::size_t output_limit = SIZE_MAX;
  // Asked after each frame whose handler queued work: true makes it the last frame cut
  // (work_full). Empty: never asked.
  std::function<bool()> hold_back_after_work;
  // Where a handler's deferred reply waits; null: a handler that defers throws
  // std::logic_error, as when no connection runs it.
  reply_slots* slots = nullptr;
};

// The announced body length of a ten-byte header, read the way atoi reads text: leading blanks,
// an optional sign, then digits up to the first non-digit (no digits read as 0). Never
// overflows: ten digits fit in 64 bits.
long long read_frame_length(const char* header);

// Appends the ten-digit header for a body of `body_size` bytes to `out`.
void append_frame_header(std::size_t body_size, std::string& out);

// Cuts every complete frame off the front of `input`, in order. For each, appends to `output`
// the framed reply: the handler's reply to a non-empty body, or an empty reply to an empty body
// (the handler is not called). Consumed frames are erased from `input`; an incomplete frame is
// left there. A bad header stops the cutting and is left in `input`. If the handler throws,
// the frames before it stay answered and consumed, and the exception passes to the caller.
// A frame whose handler deferred its reply is consumed, adds nothing to `output` and ends the
// call (deferred), so the caller can direct the replies after it elsewhere.
frame_status cut_frames(std::string& input, const frame_handler& handler, std::string& output,
                        const cut_options& options);
// The same with a handler that appends each reply, or returns it (copied into `output`).
frame_status cut_frames(std::string& input, const reply_writer& writer, std::string& output,
                        std::size_t output_limit = SIZE_MAX);
frame_status cut_frames(std::string& input, const body_handler& handler, std::string& output,
                        std::size_t output_limit = SIZE_MAX);

// The daemon's form of a simpler handler: it never queues work nor defers.
frame_handler as_frame_handler(reply_writer writer);
frame_handler as_frame_handler(body_handler handler);

#endif  // NORVEL_FRAME_CODEC_H_
