#include "snapshot/snapshot_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <future>
#include <memory>

namespace snapshot {

namespace {

const char magic[8] = {'N', 'R', 'V', 'L', 'S', 'N', 'A', 'P'};
const char suffix[] = ".snap";
const char tmp_suffix[] = ".tmp";
constexpr size_t sequence_digits = 20;
// The index offset and the checksum after the index.
constexpr size_t trailer_size = 8 + 4;

// Closes its descriptor on destruction unless released; one thread.
class owned_fd {
 public:
  explicit owned_fd(int descriptor) : fd(descriptor) {}
  ~owned_fd() {
    if (fd >= 0) {
      ::close(fd);
    }
  }
  owned_fd(const owned_fd&) = delete;
  owned_fd& operator=(const owned_fd&) = delete;

  int get() const { return fd; }
  // Closes now; false with errno set when the close reports a failed write.
  bool close() {
    const int closing = fd;
    fd = -1;
    return ::close(closing) == 0;
  }

 private:
  int fd;
};

std::string error_text(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

// The sequence of a file named "<stream>-<20 digits><ending>", or false for any other name.
bool sequence_of(const std::string& name, const std::string& stream, const std::string& ending,
                 uint64_t& sequence) {
  const size_t expected = stream.size() + 1 + sequence_digits + ending.size();
  if (name.size() != expected || name.compare(0, stream.size(), stream) != 0 ||
      name[stream.size()] != '-' || name.compare(expected - ending.size(), ending.size(), ending)) {
    return false;
  }
  uint64_t value = 0;
  for (size_t i = stream.size() + 1; i < stream.size() + 1 + sequence_digits; ++i) {
    const char digit = name[i];
    if (digit < '0' || digit > '9' || value > (~uint64_t{0} - 9) / 10) {
      return false;
    }
    value = value * 10 + static_cast<uint64_t>(digit - '0');
  }
  sequence = value;
  return true;
}

// Every name in `dir`; throws std::runtime_error when it cannot be read.
std::vector<std::string> names_in(const std::string& dir) {
  std::unique_ptr<DIR, int (*)(DIR*)> listing(::opendir(dir.c_str()), &::closedir);
  if (!listing) {
    throw std::runtime_error(error_text("cannot read the snapshot directory", dir));
  }
  std::vector<std::string> names;
  while (const dirent* entry = ::readdir(listing.get())) {
    names.emplace_back(entry->d_name);
  }
  return names;
}

// Makes a rename in `dir` durable.
bool sync_directory(const std::string& dir) {
  owned_fd directory(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return directory.get() >= 0 && ::fsync(directory.get()) == 0;
}

void write_header(byte_writer& out, const std::string& stream, uint64_t sequence) {
  out.bytes(magic, sizeof magic);
  out.u32(format_version);
  out.u32(static_cast<uint32_t>(stream.size()));
  out.bytes(stream.data(), stream.size());
  out.u64(sequence);
}

// The sections, their index and the checksum, into the open file `fd`; answers its size.
uint64_t write_body(int fd, const std::string& path, const std::string& stream, uint64_t sequence,
                    const std::vector<section_writer>& sections) {
  byte_writer out(fd, path);
  write_header(out, stream, sequence);
  std::vector<std::pair<uint32_t, std::pair<uint64_t, uint64_t>>> index;
  for (const section_writer& section : sections) {
    const uint64_t start = out.offset();
    section.write(out);
    index.push_back({section.tag, {start, out.offset() - start}});
  }
  const uint64_t index_offset = out.offset();
  out.u32(static_cast<uint32_t>(index.size()));
  for (const auto& entry : index) {
    out.u32(entry.first);
    out.u64(entry.second.first);
    out.u64(entry.second.second);
  }
  out.u64(index_offset);
  out.u32(out.sum());
  out.flush();
  return out.offset();
}

// The checksum of a large file, its two halves summed on two threads and combined.
uint32_t checksum_in_halves(const unsigned char* data, size_t size) {
  const size_t half = size / 2;
  std::future<uint32_t> second = std::async(
      std::launch::async, [data, half, size] { return checksum(0, data + half, size - half); });
  const uint32_t first = checksum(0, data, half);
  return combine_checksums(first, second.get(), size - half);
}

}  // namespace

std::string file_name(const std::string& stream, uint64_t sequence) {
  char digits[sequence_digits + 1];
  std::snprintf(digits, sizeof digits, "%020llu", static_cast<unsigned long long>(sequence));
  return stream + "-" + digits + suffix;
}

std::vector<found_file> list_files(const std::string& dir, const std::string& stream) {
  std::vector<found_file> found;
  for (const std::string& name : names_in(dir)) {
    uint64_t sequence = 0;
    if (sequence_of(name, stream, suffix, sequence)) {
      found.push_back({dir + "/" + name, sequence});
    }
  }
  std::sort(found.begin(), found.end(),
            [](const found_file& a, const found_file& b) { return a.sequence > b.sequence; });
  return found;
}

write_outcome write_file(const std::string& dir, const std::string& stream, uint64_t sequence,
                         const std::vector<section_writer>& sections) {
  write_outcome outcome;
  outcome.path = dir + "/" + file_name(stream, sequence);
  const std::string tmp_path = outcome.path + tmp_suffix;
  owned_fd file(::open(tmp_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (file.get() < 0) {
    outcome.error = error_text("cannot create", tmp_path);
    return outcome;
  }
  try {
    outcome.bytes = write_body(file.get(), tmp_path, stream, sequence, sections);
    if (::fsync(file.get()) != 0) {
      throw write_error(error_text("cannot sync", tmp_path));
    }
    if (!file.close()) {
      throw write_error(error_text("cannot close", tmp_path));
    }
    if (::rename(tmp_path.c_str(), outcome.path.c_str()) != 0) {
      throw write_error(error_text("cannot rename", tmp_path));
    }
  } catch (const std::exception& e) {
    outcome.error = e.what();
    ::unlink(tmp_path.c_str());
    return outcome;
  }
  if (!sync_directory(dir)) {
    // The file is whole; only the rename's durability is in doubt, so it counts as written.
    outcome.error = error_text("cannot sync the directory", dir);
  }
  outcome.ok = true;
  keep_newest(dir, stream, files_kept);
  return outcome;
}

void keep_newest(const std::string& dir, const std::string& stream, size_t keep) {
  std::vector<found_file> found;
  std::vector<std::string> names;
  try {
    found = list_files(dir, stream);
    names = names_in(dir);
  } catch (const std::runtime_error&) {
    return;
  }
  for (size_t i = keep; i < found.size(); ++i) {
    ::unlink(found[i].path.c_str());
  }
  for (const std::string& name : names) {
    uint64_t sequence = 0;
    if (sequence_of(name, stream, std::string(suffix) + tmp_suffix, sequence)) {
      ::unlink((dir + "/" + name).c_str());
    }
  }
}

// ---- reading ----

mapped_file::mapped_file(const std::string& path) {
  owned_fd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat status {};
  if (file.get() < 0 || ::fstat(file.get(), &status) != 0) {
    throw std::runtime_error(error_text("cannot open", path));
  }
  length = static_cast<size_t>(status.st_size);
  if (length == 0) {
    return;
  }
  void* mapped = ::mmap(nullptr, length, PROT_READ, MAP_PRIVATE | MAP_POPULATE, file.get(), 0);
  if (mapped == MAP_FAILED) {
    throw std::runtime_error(error_text("cannot map", path));
  }
  base = static_cast<const unsigned char*>(mapped);
}

mapped_file::~mapped_file() {
  if (base != nullptr) {
    ::munmap(const_cast<unsigned char*>(base), length);
  }
}

mapped_file::mapped_file(mapped_file&& other) noexcept
    : base(std::exchange(other.base, nullptr)), length(std::exchange(other.length, 0)) {}

byte_reader verified_file::section(uint32_t tag) const {
  for (const auto& entry : sections) {
    if (entry.first == tag) {
      return byte_reader(file.data() + entry.second.first,
                         static_cast<size_t>(entry.second.second));
    }
  }
  throw refused("it has no section " + std::to_string(tag));
}

verified_file open_verified(const found_file& found, const std::string& stream) {
  verified_file verified{mapped_file(found.path), 0, {}};
  const unsigned char* data = verified.file.data();
  const size_t size = verified.file.size();
  if (size < sizeof magic + 4 || std::memcmp(data, magic, sizeof magic) != 0) {
    throw refused("it is not a snapshot file");
  }
  byte_reader header(data + sizeof magic, size - sizeof magic);
  const uint32_t version = header.u32();
  if (version > format_version) {
    throw refused("it has format version " + std::to_string(version) +
                  ", newer than this build reads (" + std::to_string(format_version) + ")");
  }
  if (size < sizeof magic + 4 + trailer_size) {
    throw refused("it is truncated");
  }
  byte_reader trailer(data + size - trailer_size, trailer_size);
  const uint64_t index_offset = trailer.u64();
  const uint32_t stored_sum = trailer.u32();
  if (checksum_in_halves(data, size - 4) != stored_sum) {
    throw refused("its checksum does not match (the file is damaged or truncated)");
  }
  try {
    const uint32_t name_size = header.u32();
    const std::string named = header.text(name_size);
    if (named != stream) {
      throw refused("it belongs to stream \"" + named + "\", not \"" + stream + "\"");
    }
    verified.sequence = header.u64();
    if (verified.sequence != found.sequence) {
      throw refused("its header holds sequence " + std::to_string(verified.sequence) +
                    ", its name " + std::to_string(found.sequence));
    }
    const size_t body_end = size - trailer_size;
    if (index_offset > body_end) {
      throw malformed("the section index lies outside the file");
    }
    byte_reader index(data + index_offset, body_end - index_offset);
    for (uint32_t n = index.u32(); n > 0; --n) {
      const uint32_t tag = index.u32();
      const uint64_t offset = index.u64();
      const uint64_t length = index.u64();
      if (offset > index_offset || length > index_offset - offset) {
        throw malformed("a section lies outside the file");
      }
      verified.sections.push_back({tag, {offset, length}});
    }
  } catch (const malformed& e) {
    throw refused(std::string("it is malformed: ") + e.what());
  }
  return verified;
}

}  // namespace snapshot
