// The event log's further writers (values, hex dumps, the banner, bare line ends): kept for
// programs built on the log; the daemon's own paths never call them.
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>

#include "support/log.h"
#include "support/log_internal.h"

namespace logger {

char* Logfile::FromatStamp(char* out) {
  annotated::mutex_lock guard(entry_lock);
  return format_stamp(out, level_for_this_thread(), clock());
}

void Logfile::write_value(const char* value_format, ...) {
  if (filtered_out(level_for_this_thread())) {
    return;
  }
  write_pending_of_this_thread();
  annotated::mutex_lock guard(entry_lock);
  const timeval now = clock();
  char line[stamp_buffer_size] = {};
  char* value = format_stamp(line, level_for_this_thread(), now);
  const size_t room = sizeof(line) - static_cast<size_t>(value - line);
  va_list args;
  va_start(args, value_format);
  const int written = std::vsnprintf(value, room, value_format, args);
  va_end(args);
  if (written < 0) {
    return;
  }
  size_t value_length = static_cast<size_t>(written);
  if (value_length >= room) {
    // Cut to the line (a huge double prints 300 digits), and keep its end so the next entry
    // starts on a line of its own.
    value_length = room - 1;
    value[value_length - 2] = '\r';
    value[value_length - 1] = '\n';
  }
  write_locked(line, static_cast<size_t>(value - line) + value_length, now);
}

void Logfile::WriteSigned(int value) {
  write_value("%d\r\n", value);
}

void Logfile::WriteUnsigned(unsigned value, int width) {
  switch (width) {
    case 1:
      write_value("0x%02x\r\n", value);
      break;
    case 2:
      write_value("0x%04x\r\n", value);
      break;
    case 4:
      write_value("0x%08x\r\n", value);
      break;
    default:
      break;
  }
}

void Logfile::WriteFloat(double value) {
  write_value("%.6f\r\n", value);
}

void Logfile::Log(bool value) {
  if (value) {
    Write("true\r\n", 6);
  } else {
    Write("false\r\n", 7);
  }
}

void Logfile::EndWrite() {
  Write("\r\n", 2);
}

void Logfile::StartWrite() {
  Write(banner, std::strlen(banner));
}

void Logfile::Log(const unsigned char* begin, const unsigned char* end) {
  hex_dump(begin, end);
}

void Logfile::Log(const wchar_t* text) {
  if (text == nullptr) {
    return;
  }
  const auto* bytes = reinterpret_cast<const unsigned char*>(text);
  hex_dump(bytes, bytes + std::wcslen(text) * sizeof(wchar_t));
}

// A header line, then rows of 16 bytes while more than 16 remain, then the rest in short form.
// The whole dump is built first and written at once, so it stays in one piece.
void Logfile::hex_dump(const unsigned char* begin, const unsigned char* end) {
  if (filtered_out(level_for_this_thread())) {
    return;
  }
  write_pending_of_this_thread();
  annotated::mutex_lock guard(entry_lock);
  const timeval now = clock();
  char head[stamp_buffer_size] = {};
  char* head_end = format_stamp(head, level_for_this_thread(), now);
  std::string dump(head, head_end);
  dump += "\r\n";
  if (begin != nullptr && end != nullptr && begin < end) {
    char row[80];
    const unsigned char* p = begin;
    for (; end - p > 16; p += 16) {
      const int n = std::snprintf(
          row, sizeof(row),
          "%02x %02x %02x %02x %02x %02x %02x %02x  %02x %02x %02x %02x %02x %02x %02x %02x\r\n",
          p[0], p[1], p[2], p[3], p[4], p[5], p[6], p[7], p[8], p[9], p[10], p[11], p[12], p[13],
          p[14], p[15]);
      dump.append(row, static_cast<size_t>(n));
    }
    for (; p < end; ++p) {
      const int n = std::snprintf(row, sizeof(row), "%02x ", *p);
      dump.append(row, static_cast<size_t>(n));
    }
    dump += "\r\n";
  }
  write_locked(dump.data(), dump.size(), now);
}

}  // namespace logger
