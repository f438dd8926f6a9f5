// The member table against a std::map on random additions and lookups while it grows (ids in
// dense runs, spread over 64 bits, 0 and 2^64-1), moved and reserved half way through a growth;
// every record made is destroyed once. And growing never moves more than a few records in one
// addition, so no addition stalls the table's readers.
#include "store/member_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <random>

namespace {

// A record that counts the live ones and the moves; its heap value shows a lost or twice
// destroyed record under the address sanitizer.
struct tracked {
  static inline long live = 0;
  static inline long moves = 0;
  std::unique_ptr<unsigned long> value;

  tracked() { ++live; }
  tracked(tracked&& other) noexcept : value(std::move(other.value)) {
    ++live;
    ++moves;
  }
  tracked& operator=(tracked&& other) noexcept {
    value = std::move(other.value);
    ++moves;
    return *this;
  }
  tracked(const tracked&) = delete;
  tracked& operator=(const tracked&) = delete;
  ~tracked() { --live; }
};

class MemberTable : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_EQ(tracked::live, 0) << "records leaked or lost"; }

  unsigned long any_id() {
    switch (random() % 8) {
      case 0:
        return random();
      case 1:
        return random() % 2 == 0 ? 0 : ~0UL - random() % 2;
      default:
        return 1000 + random() % 400000;  // a dense run
    }
  }

  static void expect_same(const member_table<tracked>& table,
                          const std::map<unsigned long, unsigned long>& model) {
    ASSERT_EQ(table.size(), model.size());
    std::map<unsigned long, unsigned long> seen;
    table.for_each([&seen](unsigned long id, const tracked& record) {
      EXPECT_TRUE(seen.emplace(id, *record.value).second) << "visited twice: " << id;
    });
    EXPECT_EQ(seen, model);
  }

  std::mt19937_64 random{26};
};

TEST_F(MemberTable, RandomAdditionsAndLookupsWhileGrowingMatchAMap) {
  std::map<unsigned long, unsigned long> model;
  auto table = std::make_unique<member_table<tracked>>();
  for (int step = 1; step <= 300000; ++step) {
    const unsigned long id = any_id();
    tracked& record = table->find_or_add(id);
    if (!record.value) {
      ASSERT_EQ(model.count(id), 0u) << "a member added twice: " << id;
      record.value = std::make_unique<unsigned long>(id * 3);
      model.emplace(id, id * 3);
    }
    ASSERT_EQ(*record.value, id * 3);
    const unsigned long probe = any_id();
    const tracked* found = table->find(probe);
    ASSERT_EQ(found != nullptr, model.count(probe) != 0) << probe;
    if (found != nullptr) {
      ASSERT_EQ(*found->value, probe * 3);
    }
    if (step % 50000 == 0) {
      expect_same(*table, model);
      // Moved half way through a growth, and made to hold everything at once.
      table = std::make_unique<member_table<tracked>>(std::move(*table));
      expect_same(*table, model);
    }
    if (step == 120001) {
      table->reserve(model.size() * 2);
      expect_same(*table, model);
    }
  }
  expect_same(*table, model);
  EXPECT_EQ(tracked::live, static_cast<long>(model.size()));
}

TEST_F(MemberTable, AGrowingTableMovesFewRecordsInAnyOneAddition) {
  member_table<tracked> table;
  long most = 0;
  for (unsigned long id = 0; id < 400000; ++id) {
    const long before = tracked::moves;
    table.find_or_add(id * 7919).value = std::make_unique<unsigned long>(id);
    most = std::max(most, tracked::moves - before);
  }
  EXPECT_LE(most, 64) << "an addition moved " << most << " records";
  for (unsigned long id = 0; id < 400000; ++id) {
    ASSERT_NE(table.find(id * 7919), nullptr) << id;
  }
}

}  // namespace
