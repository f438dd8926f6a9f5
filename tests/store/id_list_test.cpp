// id_list and list_arena against std::set: many lists sharing one arena (so a block handed to
// two lists, or a freed block still in use, shows up as another list's wrong content), through
// every form a list takes: empty, one or two ids in the word, narrow and wide blocks, growth,
// shrinking back into the word, caps, clearing and reuse of freed blocks.
#include "store/id_list.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <random>
#include <set>
#include <vector>

#include "store/list_arena.h"

namespace {

using ids = std::vector<unsigned long>;
constexpr unsigned long top = ~0UL;

// Random ids from one of several ranges: small (lists stay in the word), around 2^31 and 2^32
// (the word's and the narrow block's limits), around 2^62, and up to 2^64-1.
class id_source {
 public:
  explicit id_source(unsigned seed) : random(seed) {}

  unsigned long pick(unsigned long low, unsigned long high) {
    return std::uniform_int_distribution<unsigned long>(low, high)(random);
  }
  unsigned long id(int range) {
    switch (range) {
      case 0:
        return pick(0, 60);
      case 1:
        return pick((1UL << 31) - 20, (1UL << 31) + 20);
      case 2:
        return pick((1UL << 32) - 20, (1UL << 32) + 20);
      case 3:
        return pick((1UL << 62) - 10, (1UL << 62) + 10);
      default:
        return pick(top - 30, top);
    }
  }
  // An ascending batch of 1 to `most` ids; mostly from `range`, sometimes from any.
  ids batch(int range, unsigned long most) {
    std::set<unsigned long> chosen;
    for (unsigned long n = pick(1, most); n > 0; --n) {
      chosen.insert(pick(0, 9) == 0 ? id(static_cast<int>(pick(0, 4))) : id(range));
    }
    return ids(chosen.begin(), chosen.end());
  }

  std::mt19937_64 random;
};

ids newest(const std::set<unsigned long>& model, size_t n) {
  return ids(std::prev(model.end(), static_cast<long>(std::min(n, model.size()))), model.end());
}

// What a page must hold, from the model.
ids model_page(const std::set<unsigned long>& model, unsigned long cursor, unsigned long limit,
               bool below) {
  ids out;
  if (below) {
    for (auto at = model.lower_bound(cursor); at != model.begin() && out.size() < limit;) {
      out.push_back(*--at);
    }
  } else {
    for (auto at = model.upper_bound(cursor); at != model.end() && out.size() < limit; ++at) {
      out.push_back(*at);
    }
  }
  return out;
}

void expect_same(const id_list& list, const std::set<unsigned long>& model, id_source& source,
                 int range) {
  ASSERT_EQ(list.size(), model.size());
  ASSERT_EQ(list.empty(), model.empty());
  ASSERT_EQ(list.ids(), ids(model.begin(), model.end()));
  for (size_t i = 0; i < model.size(); i += 1 + model.size() / 4) {
    ASSERT_EQ(list.at(i), *std::next(model.begin(), static_cast<long>(i)));
  }
  const unsigned long cursor = source.pick(0, 3) == 0 ? top : source.id(range);
  const unsigned long limit = source.pick(0, 6);
  const bool below = source.pick(0, 1) == 0;
  ASSERT_EQ(list.page(cursor, limit, below), model_page(model, cursor, limit, below));
}

// Sixty lists on one arena, each kept in one id range, changed in random order by unions,
// differences, caps and clears; every list is compared after every change.
TEST(IdList, ManyListsOnOneArenaMatchSets) {
  for (unsigned seed = 1; seed <= 6; ++seed) {
    id_source source(seed);
    list_arena arena;
    constexpr size_t list_count = 60;
    std::vector<id_list> lists(list_count);
    std::vector<std::set<unsigned long>> models(list_count);
    std::vector<int> ranges(list_count);
    for (size_t i = 0; i < list_count; ++i) {
      ranges[i] = static_cast<int>(i % 5);
    }
    for (int step = 0; step < 6000; ++step) {
      const size_t which = source.pick(0, list_count - 1);
      id_list& list = lists[which];
      std::set<unsigned long>& model = models[which];
      const int action = static_cast<int>(source.pick(0, 19));
      const unsigned long most = source.pick(0, 3) == 0 ? 40 : 3;
      if (action < 11) {
        const ids batch = source.batch(ranges[which], most);
        list.insert(arena, batch);
        model.insert(batch.begin(), batch.end());
      } else if (action < 17) {
        const ids batch = source.pick(0, 1) == 0 && !model.empty()
                              ? newest(model, source.pick(1, 3))
                              : source.batch(ranges[which], most);
        list.erase(arena, batch);
        for (unsigned long id : batch) {
          model.erase(id);
        }
      } else if (action < 19) {
        const size_t keep = source.pick(0, 5);
        list.keep_newest(arena, keep);
        const ids kept = newest(model, keep);
        model = std::set<unsigned long>(kept.begin(), kept.end());
      } else {
        list.clear(arena);
        model.clear();
      }
      ASSERT_NO_FATAL_FAILURE(expect_same(list, model, source, ranges[which]))
          << "seed " << seed << " step " << step << " list " << which;
      if (step % 50 == 0) {
        // The arena's count of blocks in use is exactly the lists' blocks: every block went back
        // with the size it was handed out with.
        size_t blocks = 0;
        for (const id_list& each : lists) {
          blocks += each.heap_bytes();
        }
        ASSERT_EQ(arena.in_use_bytes(), blocks) << "seed " << seed << " step " << step;
        ASSERT_GE(arena.bytes(), blocks);
      }
    }
    for (size_t i = 0; i < list_count; ++i) {
      ASSERT_NO_FATAL_FAILURE(expect_same(lists[i], models[i], source, ranges[i]));
      lists[i].clear(arena);
    }
    EXPECT_EQ(arena.in_use_bytes(), 0u);
  }
}

// One long list: appends of newer ids, merges between stored ones, removals, the turn to 64-bit
// entries, the shrink after removals, and blocks beyond the arena's largest class.
TEST(IdList, LongListMatchesASet) {
  id_source source(7);
  for (int round = 0; round < 20; ++round) {
    list_arena arena;
    id_list list;
    std::set<unsigned long> model;
    const unsigned long span = round < 10 ? 5000 : top;
    for (int step = 0; step < 400; ++step) {
      std::set<unsigned long> chosen;
      const bool append = source.pick(0, 1) == 0 && !model.empty() && *model.rbegin() < span - 100;
      for (unsigned long n = source.pick(1, 40); n > 0; --n) {
        chosen.insert(append ? *model.rbegin() + source.pick(1, 100) : source.pick(0, span));
      }
      const ids batch(chosen.begin(), chosen.end());
      if (source.pick(0, 3) == 0) {
        list.erase(arena, batch);
        for (unsigned long id : batch) {
          model.erase(id);
        }
      } else {
        list.insert(arena, batch);
        model.insert(batch.begin(), batch.end());
      }
      ASSERT_EQ(list.ids(), ids(model.begin(), model.end())) << "round " << round;
    }
    list.keep_newest(arena, 7);
    ASSERT_EQ(list.ids(), newest(model, 7));
    EXPECT_EQ(arena.in_use_bytes(), list.heap_bytes());
    list.clear(arena);
    EXPECT_EQ(arena.in_use_bytes(), 0u);
  }
}

// The word holds one id below 2^62 or two below 2^31; anything else takes a block, and a block
// shrunk to what the word holds gives its bytes back to the arena for the next list.
TEST(IdList, WordAndBlockForms) {
  list_arena arena;
  id_list list;
  list.insert(arena, ids{(1UL << 62) - 1});
  EXPECT_EQ(list.heap_bytes(), 0u);
  list.insert(arena, ids{5});
  EXPECT_GT(list.heap_bytes(), 0u);  // two ids, one beyond 2^31
  EXPECT_TRUE(list.wide());
  list.erase(arena, ids{(1UL << 62) - 1});
  EXPECT_EQ(list.heap_bytes(), 0u);
  EXPECT_EQ(list.ids(), ids{5});
  const size_t held = arena.bytes();
  id_list other;
  other.insert(arena, ids{1, 2, 3});  // takes the block given back: nothing new is carved
  EXPECT_EQ(arena.bytes(), held);
  EXPECT_EQ(other.ids(), (ids{1, 2, 3}));
  list.insert(arena, ids{1UL << 62});
  EXPECT_EQ(list.ids(), (ids{5, 1UL << 62}));
  id_list moved(std::move(list));
  EXPECT_TRUE(list.empty());
  EXPECT_EQ(moved.ids(), (ids{5, 1UL << 62}));
  moved.clear(arena);
  other.clear(arena);
}

}  // namespace
