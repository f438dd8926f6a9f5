// Inviter changes from the stream: recorded without the database, a member far beyond the index
// in the side table (the table does not grow), answered as a member inside it would be.
#include <gtest/gtest.h>

#include <vector>

#include "store/inviter_manager.h"

namespace {

TEST(InviterSideTable, FarMembersGoAsideWithoutGrowingTheTableAndAnswerAsInside) {
  inviter_manager index;  // nothing loaded: every member is beyond the table
  EXPECT_TRUE(index.add_in_place(2000000000, 7));
  EXPECT_TRUE(index.add_in_place(7, 3));
  EXPECT_TRUE(index.add_in_place(3, 2000000000));  // a cycle ends the walk
  EXPECT_FALSE(index.add_in_place(-1, 3));
  EXPECT_EQ(index.table_size(), 0u);
  EXPECT_EQ(index.list(2000000000), (std::vector<int>{7, 3}));
  EXPECT_EQ(index.list(7), (std::vector<int>{3, 2000000000}));
  EXPECT_EQ(index.invitees(7), (std::vector<int>{2000000000}));
  EXPECT_EQ(index.invitees(3), (std::vector<int>{7}));
  EXPECT_TRUE(index.add_in_place(2000000000, 9));  // a second change of the same member wins
  EXPECT_EQ(index.list(2000000000), (std::vector<int>{9}));
}

}  // namespace
