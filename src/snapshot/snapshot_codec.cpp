#include "snapshot/snapshot_codec.h"

#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <utility>

namespace snapshot {

uint32_t checksum(uint32_t running, const void* data, size_t size) {
  const auto* bytes = static_cast<const Bytef*>(data);
  uLong sum = running;
  while (size > 0) {  // zlib takes at most a uInt at a time
    const uInt chunk = static_cast<uInt>(std::min<size_t>(size, UINT_MAX));
    sum = crc32(sum, bytes, chunk);
    bytes += chunk;
    size -= chunk;
  }
  return static_cast<uint32_t>(sum);
}

uint32_t combine_checksums(uint32_t first, uint32_t second, uint64_t second_size) {
  return static_cast<uint32_t>(crc32_combine(first, second, static_cast<z_off_t>(second_size)));
}

// ---- writer ----

byte_writer::byte_writer(int fd_to_write, std::string file_path)
    : fd(fd_to_write), path(std::move(file_path)), buffer(buffer_size) {}

void byte_writer::bytes(const void* data, size_t size) {
  const auto* from = static_cast<const unsigned char*>(data);
  while (size > 0) {
    if (used == buffer.size()) {
      flush();
    }
    const size_t chunk = std::min(size, buffer.size() - used);
    std::memcpy(buffer.data() + used, from, chunk);
    used += chunk;
    from += chunk;
    size -= chunk;
  }
}

void byte_writer::u32(uint32_t value) {
  unsigned char out[4];
  for (int i = 0; i < 4; ++i) {
    out[i] = static_cast<unsigned char>(value >> (8 * i));
  }
  bytes(out, sizeof out);
}

void byte_writer::u64(uint64_t value) {
  unsigned char out[8];
  for (int i = 0; i < 8; ++i) {
    out[i] = static_cast<unsigned char>(value >> (8 * i));
  }
  bytes(out, sizeof out);
}

void byte_writer::varint(uint64_t value) {
  if (buffer.size() - used < 10) {
    flush();
  }
  unsigned char* out = buffer.data() + used;
  while (value >= 0x80) {
    *out++ = static_cast<unsigned char>(value | 0x80);
    value >>= 7;
  }
  *out++ = static_cast<unsigned char>(value);
  used = static_cast<size_t>(out - buffer.data());
}

void byte_writer::signed_varint(int64_t value) {
  // Zigzag: small negative numbers stay short.
  varint((static_cast<uint64_t>(value) << 1) ^ static_cast<uint64_t>(value >> 63));
}

void byte_writer::id_list(const std::vector<unsigned long>& ids) {
  varint(ids.size());
  unsigned long previous = 0;
  for (size_t i = 0; i < ids.size(); ++i) {
    varint(i == 0 ? ids[i] : ids[i] - previous);
    previous = ids[i];
  }
}

uint32_t byte_writer::sum() {
  flush();
  return running_sum;
}

void byte_writer::flush() {
  running_sum = checksum(running_sum, buffer.data(), used);
  size_t done = 0;
  while (done < used) {
    const ssize_t n = ::write(fd, buffer.data() + done, used - done);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      const int error = n < 0 ? errno : ENOSPC;
      used = 0;  // dropped: the file is given up anyway
      throw write_error("cannot write " + path + ": " + std::strerror(error));
    }
    done += static_cast<size_t>(n);
  }
  written += used;
  used = 0;
}

// ---- reader ----

void byte_reader::need(size_t size) const {
  if (left() < size) {
    throw malformed("the data ends early");
  }
}

uint32_t byte_reader::u32() {
  need(4);
  uint32_t value = 0;
  for (int i = 0; i < 4; ++i) {
    value |= static_cast<uint32_t>(at[i]) << (8 * i);
  }
  at += 4;
  return value;
}

uint64_t byte_reader::u64() {
  need(8);
  uint64_t value = 0;
  for (int i = 0; i < 8; ++i) {
    value |= static_cast<uint64_t>(at[i]) << (8 * i);
  }
  at += 8;
  return value;
}

uint64_t byte_reader::varint() {
  uint64_t value = 0;
  for (unsigned shift = 0; shift < 64; shift += 7) {
    need(1);
    const unsigned char byte = *at++;
    if (shift == 63 && byte > 1) {
      break;
    }
    value |= static_cast<uint64_t>(byte & 0x7f) << shift;
    if ((byte & 0x80) == 0) {
      return value;
    }
  }
  throw malformed("a number is longer than 64 bits");
}

int64_t byte_reader::signed_varint() {
  const uint64_t raw = varint();
  return static_cast<int64_t>((raw >> 1) ^ (~(raw & 1) + 1));
}

int byte_reader::int_varint() {
  const int64_t value = signed_varint();
  if (value < INT_MIN || value > INT_MAX) {
    throw malformed("a member id does not fit 32 bits");
  }
  return static_cast<int>(value);
}

std::string byte_reader::text(size_t size) {
  need(size);
  std::string out(reinterpret_cast<const char*>(at), size);
  at += size;
  return out;
}

void byte_reader::id_list(std::vector<unsigned long>& ids, const char* what) {
  const uint64_t count = varint();
  if (count > left()) {  // every id takes a byte at least
    throw malformed(std::string("a ") + what + " is longer than the data left");
  }
  ids.resize(static_cast<size_t>(count));
  unsigned long previous = 0;
  for (size_t i = 0; i < ids.size(); ++i) {
    const uint64_t step = varint();
    if (i > 0 && (step == 0 || step > ~0UL - previous)) {
      throw malformed(std::string("a ") + what + " is not ascending");
    }
    previous = i == 0 ? step : previous + step;
    ids[i] = previous;
  }
}

}  // namespace snapshot
