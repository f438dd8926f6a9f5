// Fuzzes the initial load from the rows on: column texts as the database server sends them (any
// bytes, or NULL) are read into ids the way the load reads them, the rows the load keeps are
// joined into the store's lists, and everything is compared with a plain model.
//
// Input: lines, one row each; the first byte of a line picks the table (even: a specials row of
// special_id, member_id, reader_type; odd: a member row of member_id, inviter_id), and the rest
// holds the columns separated by tab bytes, a column of exactly "\N" being NULL. Checked:
// - an id reads as strtoull reads the text, negative exactly when it starts with '-', null
//   exactly for NULL; the reader type reads as strtol reads it, cut to an int;
// - a text called a plain number is an optional '-' and 1 to 20 digits, so putting it back into
//   SQL cannot change the statement;
// - every member's own list, follow list and feed, and the public list, equal those worked out
//   with sets from the kept rows: specials of reader type 2 are left out, public means reader
//   type 0 in the low 8 bits, a link needs both ids positive, a follow list is the link
//   partners, a feed the member's own ids and its partners'.
// Threads: the fuzzer's one thread. No database, no file, no log.
#include <cctype>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "db/table_reader.h"
#include "store/load_plan.h"

namespace {

using id_set = std::set<unsigned long>;

void fail(const char* what, const std::string& text) {
  std::fprintf(stderr, "row_fuzz: %s\ncolumn: \"%s\"\n", what, text.c_str());
  std::abort();
}

// The columns of one line; nullptr for NULL. `storage` keeps the texts.
std::vector<const char*> split_columns(const std::string& line, std::vector<std::string>& storage) {
  storage.clear();
  std::size_t start = 0;
  for (;;) {
    const std::size_t tab = line.find('\t', start);
    storage.push_back(
        line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
    if (tab == std::string::npos) {
      break;
    }
    start = tab + 1;
  }
  std::vector<const char*> columns;
  for (const std::string& text : storage) {
    columns.push_back(text == "\\N" ? nullptr : text.c_str());
  }
  return columns;
}

bool looks_plain(const char* text) {
  const char* digit = *text == '-' ? text + 1 : text;
  std::size_t digits = 0;
  while (digit[digits] >= '0' && digit[digits] <= '9') {
    ++digits;
  }
  return digits >= 1 && digits <= 20 && digit[digits] == '\0';
}

table_reader::id_column checked_id(const char* text) {
  const table_reader::id_column id = table_reader::id_from_text(text);
  if (text == nullptr) {
    if (!id.null || id.value != 0 || id.positive()) {
      fail("NULL did not read as a null id", "(NULL)");
    }
    return id;
  }
  if (id.null || id.value != std::strtoull(text, nullptr, 10) || id.negative != (*text == '-')) {
    fail("an id reads differently from strtoull", text);
  }
  if (table_reader::is_plain_number(text) != looks_plain(text)) {
    fail("a text is misjudged as a plain number", text);
  }
  return id;
}

int checked_int(const char* text) {
  const int value = table_reader::int_from_text(text);
  const int expected = text == nullptr ? 0 : static_cast<int>(std::strtol(text, nullptr, 10));
  if (value != expected) {
    fail("a reader type reads differently from strtol", text == nullptr ? "(NULL)" : text);
  }
  return value;
}

// The lists worked out with sets.
struct model {
  std::map<unsigned long, id_set> own;
  std::map<unsigned long, id_set> partners;
  id_set public_ids;

  id_set feed(unsigned long member) const {
    id_set out = own_of(member);
    const auto links = partners.find(member);
    if (links != partners.end()) {
      for (unsigned long partner : links->second) {
        const id_set& theirs = own_of(partner);
        out.insert(theirs.begin(), theirs.end());
      }
    }
    return out;
  }
  const id_set& own_of(unsigned long member) const {
    static const id_set none;
    const auto found = own.find(member);
    return found == own.end() ? none : found->second;
  }
};

id_set span_ids(const load_plan::id_vector& block, load_plan::span ids) {
  return id_set(block.begin() + static_cast<long>(ids.first),
                block.begin() + static_cast<long>(ids.last));
}

void check_ascending(const load_plan::id_vector& block, load_plan::span ids) {
  for (std::size_t at = ids.first + 1; at < ids.last; ++at) {
    if (block[at - 1] >= block[at]) {
      fail("a list is not ascending without repeats", "");
    }
  }
}

void compare(const load_plan::joined_rows& joined, const model& expected) {
  if (id_set(joined.public_ids().begin(), joined.public_ids().end()) != expected.public_ids ||
      joined.public_ids().size() != expected.public_ids.size()) {
    fail("the public list differs", "");
  }
  const load_plan::member_records records = joined.member_lists();
  std::set<unsigned long> seen;
  for (const auto& member : records.members) {
    check_ascending(joined.own_ids(), member.own);
    check_ascending(records.follow_ids, member.follows);
    if (!seen.insert(member.id).second) {
      fail("a member has two records", "");
    }
    const auto links = expected.partners.find(member.id);
    const id_set none;
    if (span_ids(joined.own_ids(), member.own) != expected.own_of(member.id) ||
        span_ids(records.follow_ids, member.follows) !=
            (links == expected.partners.end() ? none : links->second)) {
      fail("a member's own or follow list differs", "");
    }
  }
  for (const auto& [member, ids] : expected.own) {
    if (!ids.empty() && seen.count(member) == 0) {
      fail("an owner has no record", "");
    }
  }
  for (const auto& entry : expected.partners) {
    if (seen.count(entry.first) == 0) {
      fail("an end of a link has no record", "");
    }
  }
  const load_plan::feed_lists lists = joined.feeds();
  std::size_t feeds_expected = 0;
  for (unsigned long member : seen) {
    feeds_expected += expected.feed(member).empty() ? 0 : 1;
  }
  if (lists.feeds.size() != feeds_expected) {
    fail("the number of feeds differs", "");
  }
  for (const auto& listed : lists.feeds) {
    check_ascending(lists.feed_ids, listed.ids);
    if (span_ids(lists.feed_ids, listed.ids) != expected.feed(listed.id)) {
      fail("a feed differs", "");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  load_plan::special_rows specials;
  std::vector<load_plan::link> links;
  model expected;
  std::vector<std::string> storage;
  std::size_t start = 0;
  while (start < input.size()) {
    std::size_t end = input.find('\n', start);
    if (end == std::string::npos) {
      end = input.size();
    }
    const std::string line = input.substr(start, end - start);
    start = end + 1;
    if (line.empty()) {
      continue;
    }
    const bool member_table = (static_cast<unsigned char>(line[0]) & 1) != 0;
    std::vector<const char*> columns = split_columns(line.substr(1), storage);
    columns.resize(member_table ? 2 : 3, nullptr);  // missing columns read as NULL
    if (member_table) {
      const table_reader::member_row row{checked_id(columns[0]), checked_id(columns[1])};
      const bool link = !row.member_id.null && !row.member_id.negative &&
                        row.member_id.value != 0 && !row.inviter_id.null &&
                        !row.inviter_id.negative && row.inviter_id.value != 0;
      if (link) {
        links.emplace_back(row.member_id.value, row.inviter_id.value);
        expected.partners[row.member_id.value].insert(row.inviter_id.value);
        expected.partners[row.inviter_id.value].insert(row.member_id.value);
      }
      continue;
    }
    table_reader::special_row row;
    row.special_id = checked_id(columns[0]);
    row.member_id = checked_id(columns[1]);
    row.reader_type = checked_int(columns[2]);
    if (table_reader::is_loaded(row) != (row.reader_type != 2)) {
      fail("a specials row is misjudged", columns[2] == nullptr ? "(NULL)" : columns[2]);
    }
    const bool is_public = (row.reader_type & 0xff) == 0;
    if (table_reader::is_loaded(row)) {
      specials.add(row.member_id.value, row.special_id.value, is_public);
      expected.own[row.member_id.value].insert(row.special_id.value);
      if (is_public) {
        expected.public_ids.insert(row.special_id.value);
      }
    }
  }
  const load_plan::joined_rows joined(std::move(specials), load_plan::link_ends(std::move(links)));
  compare(joined, expected);
  return 0;
}
