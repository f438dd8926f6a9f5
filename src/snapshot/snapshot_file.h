// A snapshot file: its name, where it is written, how it is checked before anything is read.
// The file is "<stream>-<sequence, 20 digits>.snap": a header (a magic, the format version, the
// stream's name, the stream sequence it holds), the sections, an index of the sections, and a
// checksum over everything before it. It is written under a name ending in ".tmp", fsynced,
// renamed and the directory fsynced, so a crash leaves either the whole new file or none; of
// the stream's files the two newest by sequence are kept, and every other file is left alone.
// The node's own name is not in it: any node of the stream can start from a peer's copy.
// Functions only; each call is on one thread and owns what it opens (descriptors and mappings
// are RAII and closed on every way out).
#ifndef NORVEL_SNAPSHOT_FILE_H_
#define NORVEL_SNAPSHOT_FILE_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "snapshot/snapshot_codec.h"

namespace snapshot {

constexpr uint32_t format_version = 1;
constexpr size_t files_kept = 2;

// "<stream>-<sequence, 20 digits>.snap"
std::string file_name(const std::string& stream, uint64_t sequence);

struct found_file {
  std::string path;
  uint64_t sequence = 0;
};
// This stream's snapshot files in `dir`, newest (highest sequence) first; any other file is
// ignored. Throws std::runtime_error when the directory cannot be read.
std::vector<found_file> list_files(const std::string& dir, const std::string& stream);

// One section of the body: a tag saying what it holds and what writes it.
struct section_writer {
  uint32_t tag = 0;
  std::function<void(byte_writer&)> write;
};

struct write_outcome {
  bool ok = false;
  std::string path;    // the file written
  uint64_t bytes = 0;  // its size
  std::string error;   // why not, when !ok
};
// Writes the file of `stream` at `sequence` into `dir` and then keeps the two newest. On any
// failure (a full disk included) the partial file is removed and every earlier one stays; the
// outcome says why. A section writer may throw write_error or std::bad_alloc.
write_outcome write_file(const std::string& dir, const std::string& stream, uint64_t sequence,
                         const std::vector<section_writer>& sections);

// Removes this stream's snapshot files beyond the `keep` newest, and its left-over ".tmp" files
// (a writer that died). Failures are ignored: a file left behind is only disk space.
void keep_newest(const std::string& dir, const std::string& stream, size_t keep);

// A file mapped read-only into memory; unmapped on destruction. Moved, never copied.
class mapped_file {
 public:
  // Throws std::runtime_error naming the file and the reason.
  explicit mapped_file(const std::string& path);
  ~mapped_file();
  mapped_file(mapped_file&& other) noexcept;
  mapped_file(const mapped_file&) = delete;
  mapped_file& operator=(const mapped_file&) = delete;
  mapped_file& operator=(mapped_file&&) = delete;

  const unsigned char* data() const { return base; }
  size_t size() const { return length; }

 private:
  const unsigned char* base = nullptr;
  size_t length = 0;
};

// Why a file is not used; what() is the reason alone ("its checksum does not match", ...).
class refused : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A snapshot file whose header, stream, format and checksum are good.
struct verified_file {
  mapped_file file;
  uint64_t sequence = 0;
  // The sections by tag, each as (offset, length) within the file.
  std::vector<std::pair<uint32_t, std::pair<uint64_t, uint64_t>>> sections;

  // The bytes of section `tag`; throws refused when the file has none.
  byte_reader section(uint32_t tag) const;
};
// Opens and checks `path` as a snapshot of `stream`. Throws refused with the reason: not a
// snapshot, a newer format, a checksum that does not match (damaged or truncated), another
// stream, a header sequence other than the name's, or an index that does not hold together.
verified_file open_verified(const found_file& found, const std::string& stream);

}  // namespace snapshot

#endif  // NORVEL_SNAPSHOT_FILE_H_
