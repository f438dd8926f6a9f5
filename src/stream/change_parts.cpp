#include "stream/change_parts.h"

#include <sstream>
#include <utility>
#include <vector>

#include "util/stringutil.h"

namespace {

struct parts_header_fields {
  std::size_t bytes = 0;
  std::string md5;
  std::vector<std::uint64_t> sequences;
};

// Reads "<bytes> <md5> <seq>...": every part before `seq`, in increasing order, within the
// bounds. False for anything else.
bool read_header(const std::string& header, std::uint64_t seq, parts_header_fields& out) {
  std::istringstream in(header);
  if (!(in >> out.bytes >> out.md5) || out.bytes > change_parts::max_change_bytes ||
      out.md5.size() != 32) {
    return false;
  }
  std::uint64_t part = 0;
  while (in >> part) {
    const bool ordered = out.sequences.empty() ? part > 0 : part > out.sequences.back();
    if (!ordered || part >= seq || out.sequences.size() == change_parts::max_parts) {
      return false;
    }
    out.sequences.push_back(part);
  }
  return in.eof() && !out.sequences.empty();
}

}  // namespace

void change_parts::keep(std::uint64_t seq, std::string body) {
  held_bytes += body.size();
  const auto [at, added] = parts.emplace(seq, std::move(body));
  if (!added) {
    held_bytes -= at->second.size();  // read twice: kept once
  }
  while (held_bytes > kept_bytes && !parts.empty()) {
    held_bytes -= parts.begin()->second.size();
    parts.erase(parts.begin());
  }
}

bool change_parts::put_together(std::uint64_t seq, const std::string& header, const fetch_fn& fetch,
                                std::string& body, std::string& why) {
  parts_header_fields fields;
  if (!read_header(header, seq, fields)) {
    why = "its parts header does not read";
    return false;
  }
  body.clear();
  body.reserve(fields.bytes);
  for (std::uint64_t part : fields.sequences) {
    const auto kept = parts.find(part);
    if (kept != parts.end()) {
      body += kept->second;
      continue;
    }
    std::string fetched;
    if (!fetch(part, fetched)) {
      why = "the stream no longer holds its part " + std::to_string(part);
      return false;
    }
    body += fetched;
    if (body.size() > fields.bytes) {
      break;
    }
  }
  // The change is whole: its parts are not needed again.
  for (std::uint64_t part : fields.sequences) {
    const auto kept = parts.find(part);
    if (kept != parts.end()) {
      held_bytes -= kept->second.size();
      parts.erase(kept);
    }
  }
  if (body.size() != fields.bytes || stringutil::md5_encode(body) != fields.md5) {
    why = "its parts do not add up to the change named (" + std::to_string(body.size()) +
          " bytes put together, " + std::to_string(fields.bytes) + " named)";
    return false;
  }
  return true;
}
