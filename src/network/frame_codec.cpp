#include "network/frame_codec.h"

#include <stdexcept>
#include <utility>

namespace {

bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

// Writes the ten-digit header for a body of `body_size` bytes at `at`, digit by digit: once per
// reply.
void write_frame_header(std::size_t body_size, char* at) {
  if (body_size > 9999999999ULL) {
    throw std::length_error("reply too large for a ten-digit frame header");
  }
  for (std::size_t i = frame_header_size; i > 0; --i) {
    at[i - 1] = static_cast<char>('0' + body_size % 10);
    body_size /= 10;
  }
}

// Erases the bytes consumed so far from the front of the input on every way out, exceptions
// included, so a throwing handler never leaves answered frames behind to be answered again.
class consumed_eraser {
 public:
  explicit consumed_eraser(std::string& text) : input(text) {}
  ~consumed_eraser() { input.erase(0, consumed); }
  consumed_eraser(const consumed_eraser&) = delete;
  consumed_eraser& operator=(const consumed_eraser&) = delete;

  std::size_t consumed = 0;

 private:
  std::string& input;
};

// The body of the frame at the front, in one buffer per thread, so a request costs no
// allocation here. A huge body's buffer is let go at the next ordinary one.
const std::string& body_of(const std::string& input, std::size_t at, std::size_t body_size) {
  constexpr std::size_t kept_body_capacity = 64 * 1024;
  thread_local std::string body;
  if (body.capacity() > kept_body_capacity && body_size <= kept_body_capacity) {
    std::string().swap(body);
  }
  body.assign(input, at, body_size);
  return body;
}

// The one cutting loop behind every handler form: `answer(body, output, context)` appends the
// reply of one non-empty body.
template <typename Answer>
frame_status cut_with(std::string& input, std::string& output, const cut_options& options,
                      const Answer& answer) {
  consumed_eraser eraser(input);
  for (;;) {
    const std::size_t available = input.size() - eraser.consumed;
    if (available == 0) {
      return frame_status::drained;
    }
    if (output.size() > options.output_limit) {
      return frame_status::output_full;
    }
    if (available < frame_header_size) {
      return frame_status::need_more;
    }
    const long long length = read_frame_length(input.data() + eraser.consumed);
    if (length < 0 || static_cast<unsigned long long>(length) > max_body_size) {
      return frame_status::bad_header;
    }
    const std::size_t body_size = static_cast<std::size_t>(length);
    if (available - frame_header_size < body_size) {
      return frame_status::need_more;
    }
    // The reply is written after a header of zeros, which then gets its length.
    const std::size_t header_at = output.size();
    output.append(frame_header_size, '0');
    bool queued_work = false;
    if (body_size > 0) {
      const std::string& body = body_of(input, eraser.consumed + frame_header_size, body_size);
      request_context context(options.slots);
      try {
        answer(body, output, context);
        if (context.deferred()) {
          output.resize(header_at);
          eraser.consumed += frame_header_size + body_size;
          return frame_status::deferred;
        }
        write_frame_header(output.size() - header_at - frame_header_size, &output[header_at]);
      } catch (...) {
        output.resize(header_at);
        throw;
      }
      queued_work = context.queued_work();
    }
    eraser.consumed += frame_header_size + body_size;
    if (queued_work && options.hold_back_after_work && options.hold_back_after_work()) {
      return frame_status::work_full;
    }
  }
}

}  // namespace

long long read_frame_length(const char* header) {
  std::size_t i = 0;
  while (i < frame_header_size && is_blank(header[i])) {
    ++i;
  }
  bool negative = false;
  if (i < frame_header_size && (header[i] == '+' || header[i] == '-')) {
    negative = header[i] == '-';
    ++i;
  }
  long long value = 0;
  for (; i < frame_header_size && is_digit(header[i]); ++i) {
    value = value * 10 + (header[i] - '0');
  }
  return negative ? -value : value;
}

void append_frame_header(std::size_t body_size, std::string& out) {
  char header[frame_header_size];
  write_frame_header(body_size, header);
  out.append(header, frame_header_size);
}

frame_status cut_frames(std::string& input, const frame_handler& handler, std::string& output,
                        const cut_options& options) {
  return cut_with(input, output, options, handler);
}

frame_status cut_frames(std::string& input, const reply_writer& writer, std::string& output,
                        std::size_t output_limit) {
  cut_options options;
  options.output_limit = output_limit;
  return cut_with(input, output, options,
                  [&writer](const std::string& body, std::string& out, request_context&) {
                    writer(body, out);
                  });
}

frame_status cut_frames(std::string& input, const body_handler& handler, std::string& output,
                        std::size_t output_limit) {
  cut_options options;
  options.output_limit = output_limit;
  return cut_with(input, output, options,
                  [&handler](const std::string& body, std::string& out, request_context&) {
                    out += handler(body);
                  });
}

frame_handler as_frame_handler(reply_writer writer) {
  return [writer = std::move(writer)](const std::string& body, std::string& out, request_context&) {
    writer(body, out);
  };
}

frame_handler as_frame_handler(body_handler handler) {
  return [handler = std::move(handler)](const std::string& body, std::string& out,
                                        request_context&) { out += handler(body); };
}
