// The MD5 message digest of RFC 1321, fed incrementally.
// A state belongs to one caller at a time; the functions keep no other state.
#ifndef NORVEL_MD5_H_
#define NORVEL_MD5_H_

#include <cstddef>
#include <cstdint>

struct md5_state {
  uint32_t count[2];   // bits fed so far, low word first
  uint32_t abcd[4];    // the chaining words
  uint8_t buffer[64];  // the part of a block still waiting for the rest of its 64 bytes
};

void md5_init(md5_state* state);
// Feeds `n` bytes; full blocks are processed at once, the rest waits in the state.
void md5_append(md5_state* state, const void* data, long n);
// Pads, appends the bit count and writes the 16-byte digest.
void md5_finish(md5_state* state, uint8_t digest[16]);
// Transforms the chaining words with one 64-byte block.
void md5_process(md5_state* state, const uint8_t block[64]);

#endif  // NORVEL_MD5_H_
