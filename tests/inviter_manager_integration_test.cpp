#include "inviter_manager.h"

#include <stdexcept>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "object_manager.h"
#include "test_db.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class InviterIndex : public ::testing::Test {
 protected:
  void SetUp() override {
    object_manager::init();
    db.configure_app();
  }
  void TearDown() override { object_manager::fini(); }

  // reinit() with its standard output captured.
  std::string reload() {
    ::testing::internal::CaptureStdout();
    index.reinit();
    return ::testing::internal::GetCapturedStdout();
  }
  // The rows (1, 0), (3, 1), (5, 3): 5 invited by 3, 3 by 1, 1 by nobody.
  void load_small_tree() {
    db.exec("INSERT INTO brix_member (member_id, inviter_id) VALUES (1, 0), (3, 1), (5, 3)");
    reload();
  }

  test_db db{"inviter"};
  inviter_manager index;
};

TEST_F(InviterIndex, LoadedRowsAnswerChainsAndInvitees) {
  db.exec("INSERT INTO brix_member (member_id, inviter_id) VALUES (1, 0), (3, 1), (5, 3)");
  EXPECT_EQ(reload(), "max user id=5 max_bucket=53\nstart rehash\n");
  EXPECT_EQ(index.max_user(), 5);
  EXPECT_EQ(index.table_size(), 10u);
  EXPECT_THAT(index.list(5), ElementsAre(3, 1));
  EXPECT_THAT(index.list(1), IsEmpty());
  EXPECT_THAT(index.list(4), IsEmpty()) << "a member without a row";
  EXPECT_THAT(index.list(10), IsEmpty()) << "beyond the table";
  EXPECT_THAT(index.list(-1), IsEmpty());
  EXPECT_THAT(index.invitees(1), ElementsAre(3));
  EXPECT_THAT(index.invitees(0), ElementsAre(1)) << "key 0 collects members without inviter";
  EXPECT_THAT(index.invitees(5), IsEmpty());
  EXPECT_THAT(index.invitees(-3), IsEmpty());
}

TEST_F(InviterIndex, EmptyMemberTableGivesAnEmptyIndex) {
  EXPECT_EQ(reload(), "");
  EXPECT_EQ(index.max_user(), 0);
  EXPECT_THAT(index.list(0), IsEmpty());
  EXPECT_THAT(index.invitees(0), IsEmpty());
  EXPECT_TRUE(index.add(0, 0)) << "beyond the empty table: a reload, still true";
  EXPECT_THAT(index.invitees(0), IsEmpty());
}

TEST_F(InviterIndex, RowsOutsideTheTableRulesAreSkipped) {
  db.exec(
      "INSERT INTO brix_member (member_id, inviter_id) VALUES "
      "(-4, 1), (1, 0), (2, -1), (3, 9), (4, NULL), (6, 1)");
  reload();
  EXPECT_EQ(index.max_user(), 6);
  EXPECT_THAT(index.invitees(1), ElementsAre(6)) << "a negative member id is skipped";
  EXPECT_THAT(index.invitees(-1), IsEmpty());
  EXPECT_THAT(index.list(2), IsEmpty());
  EXPECT_THAT(index.list(3), IsEmpty()) << "an inviter above the highest member is skipped";
  EXPECT_THAT(index.invitees(9), IsEmpty());
  EXPECT_THAT(index.invitees(0), ElementsAre(1, 4)) << "a NULL inviter reads as none";
}

TEST_F(InviterIndex, IdsBeyondASigned32BitIntAreSkippedNotWrapped) {
  db.exec("ALTER TABLE brix_member MODIFY member_id BIGINT NOT NULL, MODIFY inviter_id BIGINT");
  db.exec("INSERT INTO brix_member (member_id, inviter_id) VALUES "
          "(1, 0), (3, 1), (3000000000, 3), (4294967299, 1), (7, 4294967299)");
  EXPECT_EQ(reload(), "max user id=7 max_bucket=53\nstart rehash\n")
      << "the highest id that fits sizes the table";
  EXPECT_THAT(index.invitees(3), IsEmpty()) << "3000000000 does not fit; it is not wrapped";
  EXPECT_THAT(index.invitees(1), ElementsAre(3));
  EXPECT_THAT(index.list(7), IsEmpty());
}

TEST_F(InviterIndex, EveryPageOfALargeTableIsRead) {
  // 2,500 members in one chain: member m was invited by m - 1.
  std::string rows = "(1, 0)";
  for (int m = 2; m <= 2500; ++m) {
    rows += ",(" + std::to_string(m) + "," + std::to_string(m - 1) + ")";
  }
  db.exec("INSERT INTO brix_member (member_id, inviter_id) VALUES " + rows);
  EXPECT_EQ(reload(), "max user id=2500 max_bucket=3079\nstart rehash\n");
  const std::vector<int> chain = index.list(2500);
  ASSERT_EQ(chain.size(), 2499u);
  EXPECT_EQ(chain.front(), 2499);
  EXPECT_EQ(chain.back(), 1);
  EXPECT_THAT(index.invitees(1000), ElementsAre(1001));
  EXPECT_THAT(index.invitees(2000), ElementsAre(2001));
}

TEST_F(InviterIndex, AddWithinTheTableRecordsInPlace) {
  load_small_tree();
  EXPECT_TRUE(index.add(7, 3));
  EXPECT_THAT(index.list(7), ElementsAre(3, 1));
  EXPECT_THAT(index.invitees(3), ElementsAre(5, 7));
  EXPECT_TRUE(index.add(7, 3));
  EXPECT_THAT(index.invitees(3), ElementsAre(5, 7, 7)) << "the same pair twice is listed twice";
  EXPECT_FALSE(index.add(-1, 3));
  EXPECT_THAT(index.invitees(3), ElementsAre(5, 7, 7));
}

TEST_F(InviterIndex, AddBeyondTheTableReloadsFromTheDatabase) {
  load_small_tree();
  db.exec("INSERT INTO brix_member (member_id, inviter_id) VALUES (40, 5)");
  ::testing::internal::CaptureStdout();
  EXPECT_TRUE(index.add(40, 5));
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "max user id=40 max_bucket=53\nstart rehash\n");
  EXPECT_THAT(index.list(40), ElementsAre(5, 3, 1));
  EXPECT_EQ(index.table_size(), 80u);
}

TEST_F(InviterIndex, FailedReloadKeepsTheOldIndex) {
  load_small_tree();
  index.add(7, 3);

  // The member table is unreadable: the reload fails quietly and keeps everything.
  db.exec("RENAME TABLE brix_member TO brix_member_away");
  EXPECT_TRUE(index.add(100, 1));
  EXPECT_THAT(index.list(7), ElementsAre(3, 1));
  EXPECT_THAT(index.invitees(3), ElementsAre(5, 7));

  // The database is unreachable: the error reaches the caller, the index stays.
  db.exec("DROP DATABASE `" + db.name() + "`");
  EXPECT_THROW(index.add(100, 1), std::logic_error);
  EXPECT_THAT(index.list(5), ElementsAre(3, 1));
  EXPECT_THAT(index.invitees(0), ElementsAre(1));
}

TEST_F(InviterIndex, ChainWalksEndAtRepeatsAndAtIdsBeyondTheTable) {
  load_small_tree();
  index.add(3, 5);  // 3 and 5 now name each other
  EXPECT_THAT(index.list(5), ElementsAre(3));
  EXPECT_THAT(index.list(3), ElementsAre(5));
  index.add(1, 1);  // a member naming itself
  EXPECT_THAT(index.list(1), IsEmpty());

  index.add(2, 1000000);  // an inviter far beyond the table
  EXPECT_THAT(index.list(2), ElementsAre(1000000));
}

TEST_F(InviterIndex, InviteesOfIdsAboveTheBucketCountAreAnswered) {
  load_small_tree();
  index.add(9, 60);  // 60 lies above the 53 buckets of the loaded map
  EXPECT_THAT(index.invitees(60), ElementsAre(9));
  EXPECT_THAT(index.invitees(61), IsEmpty());
}

TEST(NextPrime, ChoosesTheFirstClassicPrimeNotBelowN) {
  EXPECT_EQ(helper::next_prime(0), 53ul);
  EXPECT_EQ(helper::next_prime(1), 53ul);
  EXPECT_EQ(helper::next_prime(53), 53ul);
  EXPECT_EQ(helper::next_prime(54), 97ul);
  EXPECT_EQ(helper::next_prime(100), 193ul);
  EXPECT_EQ(helper::next_prime(1610612742ul), 3221225473ul);
  EXPECT_EQ(helper::next_prime(4294967291ul), 4294967291ul);
  EXPECT_EQ(helper::next_prime(4294967292ul), 4294967291ul);
  EXPECT_EQ(helper::next_prime(~0ul), 4294967291ul);
}

}  // namespace
