// The reading side of changes published in parts (front_door.h): the parts a node has read,
// kept until the message that completes their change comes, and that change put together again.
// The parts are kept in a bounded store (a change whose last message never comes, because a part
// failed at the front door, is never applied; its parts go once the store is full); a part that is
// not in the store (the node started after it, or let it go) is fetched from the stream by its
// sequence.
//
// Threads: the stream consumer's thread only. Ownership: owns the parts it keeps.
#ifndef NORVEL_CHANGE_PARTS_H_
#define NORVEL_CHANGE_PARTS_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>

class change_parts {
 public:
  // The most bytes of parts kept; the oldest go first beyond it.
  static constexpr std::size_t kept_bytes = 32u << 20;
  // The largest change put together, and the most parts one may have.
  static constexpr std::size_t max_change_bytes = 64u << 20;
  static constexpr std::size_t max_parts = 1024;

  // Fetches the part of sequence `seq` into `body`; false when the stream does not hold it.
  // Throws (stream_error) when it cannot ask now: the caller's put_together() then throws too.
  using fetch_fn = std::function<bool(std::uint64_t seq, std::string& body)>;

  // Keeps the part read at `seq`.
  void keep(std::uint64_t seq, std::string body);

  // Puts together the change that the message at `seq` completes, its parts header being
  // `header` ("<bytes> <md5> <sequence of each part>..."), into `body`. False, with `why`, when
  // it cannot be: a header that does not read, a part the stream no longer holds, a length or
  // digest that does not match. What it fails on fails on every node alike, but for a part that
  // has expired from the stream on one node's replay and was kept by another.
  bool put_together(std::uint64_t seq, const std::string& header, const fetch_fn& fetch,
                    std::string& body, std::string& why);

  std::size_t bytes() const { return held_bytes; }

 private:
  std::map<std::uint64_t, std::string> parts;  // by sequence
  std::size_t held_bytes = 0;
};

#endif  // NORVEL_CHANGE_PARTS_H_
