#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "db/table_reader.h"
#include "support/app_config.h"
#include "support/object_manager.h"
#include "test_db.h"

namespace {

using key = std::pair<unsigned long, unsigned long>;  // (member id, special id)

class TableReader : public ::testing::Test {
 protected:
  void SetUp() override {
    object_manager::init();
    db.configure_app();
  }
  void TearDown() override { object_manager::fini(); }

  // Fills the specials table with `rows` rows of 25 owners, in one statement.
  void seed_specials(int rows) {
    db.exec(
        "INSERT INTO brix_mb_special (special_id, member_id, reader_type) "
        "SELECT seq, seq % 25, seq % 3 FROM seq_1_to_" +
        std::to_string(rows));
  }
  // What the reader must hand over, in its order.
  std::vector<key> expected_specials() {
    std::vector<key> keys;
    for (const auto& row : db.query("SELECT member_id, special_id FROM brix_mb_special "
                                    "WHERE from_user=1 and state = 0 "
                                    "ORDER BY member_id, special_id")) {
      keys.emplace_back(std::stoul(row[0]), std::stoul(row[1]));
    }
    return keys;
  }
  // The server's threads that stream the specials of this database.
  std::vector<std::vector<std::string>> streams() {
    return db.query(
        "SELECT ID FROM information_schema.PROCESSLIST "
        "WHERE INFO LIKE 'SELECT special_id,member_id,reader_type%' AND DB = '" +
        db.name() + "'");
  }
  // Kills the connection (or only the query) that streams the specials, from the admin side.
  void kill_stream(const char* how) {
    const auto found = streams();
    ASSERT_EQ(found.size(), 1u);
    db.exec(std::string(how) + " " + found[0][0]);
  }
  // A killed or closed connection's thread can stay in the process list for a moment while the
  // server winds it down; the next round must not mistake it for its own stream.
  void wait_until_no_stream_is_left() {
    for (int tries = 0; tries < 200 && !streams().empty(); ++tries) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }

  test_db db{"reader"};
};

TEST_F(TableReader, KilledStreamResumesAndHandsOverEveryRowOnce) {
  // Enough rows, over the compressed protocol (the server compresses far slower than the
  // client reads), that the stream is still being sent when the kill lands.
  seed_specials(200000);
  const std::vector<key> expected = expected_specials();
  for (const char* how : {"KILL", "KILL QUERY"}) {
    SCOPED_TRACE(how);
    wait_until_no_stream_is_left();
    auto conn = table_reader::connect(singleton<app_cfg>::instance()->db);
    std::vector<key> read;
    read.reserve(expected.size());
    const table_reader::read_outcome outcome =
        table_reader::read_specials(*conn, [&](const table_reader::special_row& row) {
          if (read.size() == 10) {
            kill_stream(how);
          }
          read.emplace_back(row.member_id.value, row.special_id.value);
        });
    EXPECT_TRUE(outcome.complete);
    EXPECT_EQ(outcome.resumes, 1u);
    EXPECT_EQ(outcome.rows, expected.size());
    EXPECT_TRUE(read == expected) << "every row exactly once, in key order";
  }
}

TEST_F(TableReader, NullKeysAreReadOnceAndDoNotStopTheRead) {
  db.exec("ALTER TABLE brix_member DROP PRIMARY KEY, MODIFY member_id INT NULL");
  db.exec(
      "INSERT INTO brix_member (member_id, inviter_id) VALUES "
      "(NULL, 3), (NULL, 4), (-7, 1), (5, NULL), (2147483647, 5)");
  auto conn = table_reader::connect(singleton<app_cfg>::instance()->db);
  std::vector<std::pair<bool, unsigned long>> members;
  const auto outcome = table_reader::read_members(*conn, [&](const table_reader::member_row& row) {
    members.emplace_back(row.member_id.null, row.member_id.value);
  });
  EXPECT_TRUE(outcome.complete);
  ASSERT_EQ(members.size(), 5u);
  EXPECT_TRUE(members[0].first && members[1].first);
  EXPECT_EQ(members[2].second, static_cast<unsigned long>(-7L));
  EXPECT_EQ(members[4].second, 2147483647u);
}

TEST_F(TableReader, UncompressedAndCompressedConnectionsReadTheSameRows) {
  seed_specials(3000);
  std::vector<std::vector<key>> reads;
  for (bool compress : {true, false}) {
    singleton<app_cfg>::instance()->db.compress = compress;
    auto conn = table_reader::connect(singleton<app_cfg>::instance()->db);
    reads.emplace_back();
    table_reader::read_specials(*conn, [&](const table_reader::special_row& row) {
      reads.back().emplace_back(row.member_id.value, row.special_id.value);
    });
  }
  EXPECT_EQ(reads[0], expected_specials());
  EXPECT_EQ(reads[1], reads[0]);
}

}  // namespace
