#include "util/md5.h"

#include <cstring>

namespace {

// Per-round shift amounts and the sine-derived constants of RFC 1321, in step order.
constexpr int shifts[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                            5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                            4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                            6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};

constexpr uint32_t sines[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

uint32_t rotate_left(uint32_t x, int n) {
  return (x << n) | (x >> (32 - n));
}

// Little-endian regardless of the host, as the digest requires.
uint32_t load_le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void store_le32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

}  // namespace

void md5_init(md5_state* state) {
  state->count[0] = 0;
  state->count[1] = 0;
  state->abcd[0] = 0x67452301;
  state->abcd[1] = 0xefcdab89;
  state->abcd[2] = 0x98badcfe;
  state->abcd[3] = 0x10325476;
  std::memset(state->buffer, 0, sizeof(state->buffer));
}

void md5_process(md5_state* state, const uint8_t block[64]) {
  uint32_t words[16];
  for (int i = 0; i < 16; ++i) {
    words[i] = load_le32(block + 4 * i);
  }
  uint32_t a = state->abcd[0];
  uint32_t b = state->abcd[1];
  uint32_t c = state->abcd[2];
  uint32_t d = state->abcd[3];
  for (int step = 0; step < 64; ++step) {
    uint32_t mixed;
    int index;
    if (step < 16) {
      mixed = (b & c) | (~b & d);
      index = step;
    } else if (step < 32) {
      mixed = (b & d) | (c & ~d);
      index = (5 * step + 1) % 16;
    } else if (step < 48) {
      mixed = b ^ c ^ d;
      index = (3 * step + 5) % 16;
    } else {
      mixed = c ^ (b | ~d);
      index = (7 * step) % 16;
    }
    const uint32_t rotated = rotate_left(a + mixed + sines[step] + words[index], shifts[step]);
    a = d;
    d = c;
    c = b;
    b += rotated;
  }
  state->abcd[0] += a;
  state->abcd[1] += b;
  state->abcd[2] += c;
  state->abcd[3] += d;
}

void md5_append(md5_state* state, const void* data, long n) {
  if (n < 1 || data == nullptr) {
    return;
  }
  const auto* bytes = static_cast<const uint8_t*>(data);
  const size_t length = static_cast<size_t>(n);
  size_t offset = (state->count[0] >> 3) & 63;
  const uint32_t bits = static_cast<uint32_t>(length << 3);

  state->count[1] += static_cast<uint32_t>(static_cast<uint64_t>(length) >> 29);
  state->count[0] += bits;
  if (state->count[0] < bits) {
    ++state->count[1];
  }

  size_t done = 0;
  if (offset != 0) {
    const size_t take = length < 64 - offset ? length : 64 - offset;
    std::memcpy(state->buffer + offset, bytes, take);
    done = take;
    if (offset + take < 64) {
      return;
    }
    md5_process(state, state->buffer);
  }
  for (; length - done >= 64; done += 64) {
    md5_process(state, bytes + done);
  }
  if (done < length) {
    std::memcpy(state->buffer, bytes + done, length - done);
  }
}

void md5_finish(md5_state* state, uint8_t digest[16]) {
  static const uint8_t padding[64] = {0x80};
  uint8_t length_bytes[8];
  store_le32(length_bytes, state->count[0]);
  store_le32(length_bytes + 4, state->count[1]);
  // Pad to 56 bytes modulo 64, then the bit count makes the last block whole.
  const size_t used = (state->count[0] >> 3) & 63;
  const size_t pad = used < 56 ? 56 - used : 120 - used;
  md5_append(state, padding, static_cast<long>(pad));
  md5_append(state, length_bytes, 8);
  for (int i = 0; i < 4; ++i) {
    store_le32(digest + 4 * i, state->abcd[i]);
  }
}
