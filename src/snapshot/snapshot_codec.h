// The byte level of a snapshot file: a buffered writer to a file descriptor that keeps a running
// checksum and a byte count, and a bounds-checked reader over bytes in memory. Integers are
// little-endian fixed width or LEB128 varints; an ascending id list is its length, its first id
// and the gaps between neighbours, all varints.
// Each is used by one thread. The writer does not own its descriptor.
#ifndef NORVEL_SNAPSHOT_CODEC_H_
#define NORVEL_SNAPSHOT_CODEC_H_

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace snapshot {

// A write to the file failed (a full disk, an I/O error); what() says which and why.
class write_error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The bytes read do not make a snapshot; what() says where they stopped making sense.
class malformed : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The checksum of `size` bytes at `data`, continuing from `running` (0 to start).
uint32_t checksum(uint32_t running, const void* data, size_t size);
// The checksum of two pieces one after the other from the checksums of each; `second_size` is
// the second one's length.
uint32_t combine_checksums(uint32_t first, uint32_t second, uint64_t second_size);

class byte_writer {
 public:
  // `fd` stays open and owned by the caller; `path` names it in error messages.
  byte_writer(int fd, std::string path);
  byte_writer(const byte_writer&) = delete;
  byte_writer& operator=(const byte_writer&) = delete;

  void bytes(const void* data, size_t size);
  void u32(uint32_t value);
  void u64(uint64_t value);
  void varint(uint64_t value);
  // `ids` ascending without repeats.
  void id_list(const std::vector<unsigned long>& ids);
  void signed_varint(int64_t value);

  // Bytes written so far (buffered ones included).
  uint64_t offset() const { return written + used; }
  // The checksum of every byte given so far; flushes first.
  uint32_t sum();
  // Writes out what is buffered. Throws write_error.
  void flush();

 private:
  static constexpr size_t buffer_size = 1 << 20;

  int fd;
  std::string path;
  std::vector<unsigned char> buffer;
  size_t used = 0;
  uint64_t written = 0;
  uint32_t running_sum = 0;
};

class byte_reader {
 public:
  byte_reader(const unsigned char* data, size_t size) : at(data), end(data + size) {}

  // Each throws malformed when the bytes run out or a value does not fit.
  uint32_t u32();
  uint64_t u64();
  uint64_t varint();
  int64_t signed_varint();
  int int_varint();  // a signed varint that must fit an int
  std::string text(size_t size);
  // Replaces `ids` with an ascending id list; `what` names it in the error.
  void id_list(std::vector<unsigned long>& ids, const char* what);

  size_t left() const { return static_cast<size_t>(end - at); }

 private:
  void need(size_t size) const;

  const unsigned char* at;
  const unsigned char* end;
};

}  // namespace snapshot

#endif  // NORVEL_SNAPSHOT_CODEC_H_
