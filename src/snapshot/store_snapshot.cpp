#include "snapshot/store_snapshot.h"

#include <cstdint>
#include <future>
#include <stdexcept>
#include <utility>
#include <vector>

#include "support/log.h"

namespace snapshot {

namespace {

enum section_tag : uint32_t {
  members_tag = 1,
  feeds_tag = 2,
  public_tag = 3,
  inviters_tag = 4,
  layout_tag = 5,  // only in a shard's snapshot: what part of the site it holds
};

// ---- writing ----

void write_members(const logic_center& store, byte_writer& out) {
  const size_t count = store.member_count();
  out.varint(count);
  size_t written = 0;
  store.for_each_member([&](unsigned long id, const std::vector<unsigned long>& follows,
                            const std::vector<unsigned long>& own) {
    out.varint(id);
    out.id_list(follows);
    out.id_list(own);
    ++written;
  });
  if (written != count) {
    throw write_error("the store changed while it was written");
  }
}

void write_feeds(const logic_center& store, byte_writer& out) {
  const size_t count = store.feed_count();
  out.varint(count);
  size_t written = 0;
  store.for_each_feed([&](unsigned long id, const std::vector<unsigned long>& feed) {
    out.varint(id);
    out.id_list(feed);
    ++written;
  });
  if (written != count) {
    throw write_error("the store changed while it was written");
  }
}

void write_far_links(const std::vector<std::pair<int, int>>& links, byte_writer& out) {
  out.varint(links.size());
  for (const std::pair<int, int>& link : links) {
    out.signed_varint(link.first);
    out.signed_varint(link.second);
  }
}

void write_inviters(const logic_center& store, byte_writer& out) {
  const inviter_manager::image index = store.save_inviters();
  out.signed_varint(index.max_user_id);
  out.varint(index.table_size);
  out.varint(index.links.size());
  int previous = 0;
  for (const std::pair<int, int>& link : index.links) {
    out.varint(static_cast<uint64_t>(link.first - previous));  // ascending members
    out.signed_varint(link.second);
    previous = link.first;
  }
  write_far_links(index.far_links, out);
  out.varint(index.inviter_keys.size());
  const int* member = index.invitees.data();
  for (size_t i = 0; i < index.inviter_keys.size(); ++i) {
    out.signed_varint(index.inviter_keys[i]);
    out.varint(index.invitee_counts[i]);
    for (uint32_t n = 0; n < index.invitee_counts[i]; ++n) {
      out.signed_varint(*member++);
    }
  }
}

// ---- reading ----

void expect_end(const byte_reader& in, const char* section) {
  if (in.left() != 0) {
    throw malformed(std::string("the ") + section + " section holds more than it announces");
  }
}

// Hands out the members of `in` one by one, as restore_members asks for them.
class member_source {
 public:
  explicit member_source(byte_reader section) : in(section), remaining(in.varint()) {
    if (remaining > in.left()) {
      throw malformed("the member count exceeds the section");
    }
  }
  size_t count() const { return total; }
  bool next(logic_center::restored_member& out) {
    if (remaining == 0) {
      expect_end(in, "member");
      return false;
    }
    --remaining;
    out.id = in.varint();
    in.id_list(out.follows, "follow list");
    in.id_list(out.own, "own list");
    return true;
  }

 private:
  byte_reader in;
  uint64_t remaining;
  size_t total = static_cast<size_t>(remaining);
};

class feed_source {
 public:
  explicit feed_source(byte_reader section) : in(section), remaining(in.varint()) {
    if (remaining > in.left()) {
      throw malformed("the feed count exceeds the section");
    }
  }
  size_t count() const { return total; }
  bool next(logic_center::restored_feed& out) {
    if (remaining == 0) {
      expect_end(in, "feed");
      return false;
    }
    --remaining;
    out.id = in.varint();
    in.id_list(out.ids, "private feed");
    return true;
  }

 private:
  byte_reader in;
  uint64_t remaining;
  size_t total = static_cast<size_t>(remaining);
};

std::vector<unsigned long> read_public(byte_reader in) {
  std::vector<unsigned long> ids;
  in.id_list(ids, "public list");
  expect_end(in, "public");
  return ids;
}

inviter_manager::image read_inviters(byte_reader in) {
  inviter_manager::image index;
  index.max_user_id = in.int_varint();
  index.table_size = in.varint();
  const uint64_t links = in.varint();
  if (links > in.left() / 2) {
    throw malformed("the inviter link count exceeds the section");
  }
  if (index.table_size > uint64_t{INT32_MAX} + 1) {
    throw malformed("the inviter table is larger than any member id");
  }
  index.links.reserve(static_cast<size_t>(links));
  int64_t member = 0;
  for (uint64_t n = 0; n < links; ++n) {
    member += static_cast<int64_t>(in.varint());
    if (member >= static_cast<int64_t>(index.table_size) ||
        (n > 0 && member == index.links.back().first)) {
      throw malformed("the inviter links are not ascending within the table");
    }
    index.links.emplace_back(static_cast<int>(member), in.int_varint());
  }
  const uint64_t far_links = in.varint();
  if (far_links > in.left() / 2) {
    throw malformed("the far link count exceeds the section");
  }
  for (uint64_t n = 0; n < far_links; ++n) {
    const int far_member = in.int_varint();
    if (n > 0 && far_member <= index.far_links.back().first) {
      throw malformed("the far links are not ascending");
    }
    index.far_links.emplace_back(far_member, in.int_varint());
  }
  const uint64_t inviters = in.varint();
  if (inviters > in.left() / 2) {
    throw malformed("the inviter count exceeds the section");
  }
  for (uint64_t n = 0; n < inviters; ++n) {
    index.inviter_keys.push_back(in.int_varint());
    const uint64_t count = in.varint();
    if (count > in.left()) {
      throw malformed("an invitee list is longer than the section");
    }
    index.invitee_counts.push_back(static_cast<uint32_t>(count));
    for (uint64_t i = 0; i < count; ++i) {
      index.invitees.push_back(in.int_varint());
    }
  }
  expect_end(in, "inviter");
  return index;
}

// The part of the site a file holds: a shard's layout, or the whole (a full node's file has no
// layout section).
shard_layout held_layout(const verified_file& verified) {
  bool present = false;
  for (const auto& section : verified.sections) {
    present = present || section.first == layout_tag;
  }
  if (!present) {
    return shard_layout{};
  }
  byte_reader in = verified.section(layout_tag);
  shard_layout held;
  held.partitions = static_cast<uint32_t>(in.varint());
  held.count = static_cast<uint32_t>(in.varint());
  held.index = static_cast<uint32_t>(in.varint());
  expect_end(in, "layout");
  if (held.partitions == 0 || held.count == 0 || held.index >= held.count) {
    throw malformed("the layout section names no shard");
  }
  return held;
}

}  // namespace

write_outcome save_store(const logic_center& store, const std::string& dir,
                         const std::string& stream, uint64_t sequence) {
  std::vector<section_writer> sections = {
      {members_tag, [&store](byte_writer& out) { write_members(store, out); }},
      {feeds_tag, [&store](byte_writer& out) { write_feeds(store, out); }},
      {public_tag, [&store](byte_writer& out) { out.id_list(store.public_ids()); }},
      {inviters_tag, [&store](byte_writer& out) { write_inviters(store, out); }},
  };
  const shard_layout kept = store.kept_layout();
  if (kept.sharded()) {
    sections.push_back({layout_tag, [kept](byte_writer& out) {
                          out.varint(kept.partitions);
                          out.varint(kept.count);
                          out.varint(kept.index);
                        }});
  }
  return write_file(dir, stream, sequence, sections);
}

// Leaves the store as empty as before a load that went wrong half way.
void empty_store(logic_center& store) {
  store.restore_members(0, [](logic_center::restored_member&) { return false; });
  store.restore_feeds(0, [](logic_center::restored_feed&) { return false; });
  store.restore_public({});
  store.restore_inviters(inviter_manager::image());
}

uint64_t load_file(const found_file& found, const std::string& stream, logic_center& store) {
  const verified_file verified = open_verified(found, stream);
  const byte_reader members = verified.section(members_tag);
  const byte_reader feeds = verified.section(feeds_tag);
  const byte_reader public_list = verified.section(public_tag);
  const byte_reader inviters = verified.section(inviters_tag);
  const shard_layout kept = store.kept_layout();
  shard_layout held;
  try {
    held = held_layout(verified);
  } catch (const malformed& e) {
    throw refused(std::string("it is malformed: ") + e.what());
  }
  if (!kept.contained_in(held)) {
    throw refused("it holds " + held.describe() + ", which does not hold all of " +
                  (kept.sharded() ? kept.describe() : std::string("a full node")));
  }
  // A file that holds more than this node keeps (a full node's, or the shard this one grew
  // out of) is cut down to this node's part as it is read.
  const bool narrower = !(kept == held) && kept.sharded();
  try {
    // The member section is the largest: read into the store on a thread of its own while this
    // one reads the rest (the two share no lock). A section that does not hold together
    // empties the store again.
    std::future<void> members_filled =
        std::async(std::launch::async, [members, &store, &kept, narrower] {
          member_source source(members);
          store.restore_members(source.count(),
                                [&source, &kept, narrower](logic_center::restored_member& out) {
                                  if (!source.next(out)) {
                                    return false;
                                  }
                                  if (narrower && !kept.is_local(out.id)) {
                                    out.follows = kept.local_only(out.follows);
                                  }
                                  return true;
                                });
        });
    feed_source feed_lists(feeds);
    store.restore_feeds(feed_lists.count(),
                        [&feed_lists, &kept, narrower](logic_center::restored_feed& out) {
                          while (feed_lists.next(out)) {
                            if (!narrower || kept.is_local(out.id)) {
                              return true;
                            }
                          }
                          return false;
                        });
    store.restore_public(read_public(public_list));
    if (!store.restore_inviters(read_inviters(inviters))) {
      throw malformed("the inviter index does not hold together");
    }
    members_filled.get();
  } catch (const malformed& e) {
    empty_store(store);  // the member thread has ended: its future was waited for on the way out
    throw refused(std::string("it is malformed: ") + e.what());
  }
  return verified.file.size();
}

load_result load_newest(const std::string& dir, const std::string& stream, logic_center& store) {
  load_result result;
  for (const found_file& found : list_files(dir, stream)) {
    try {
      result.bytes = load_file(found, stream, store);
    } catch (const refused& e) {
      log_event(log_error, "snapshot %s refused: %s", found.path.c_str(), e.what());
      continue;
    } catch (const std::runtime_error& e) {  // cannot open or map it
      log_event(log_error, "snapshot %s refused: %s", found.path.c_str(), e.what());
      continue;
    }
    result.loaded = true;
    result.sequence = found.sequence;
    result.path = found.path;
    return result;
  }
  return result;
}

}  // namespace snapshot
