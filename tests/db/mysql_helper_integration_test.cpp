#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>

#include "db/mysql_helper.h"
#include "eventually.h"
#include "support/log.h"
#include "temp_dir.h"
#include "test_db.h"
#include "text_search.h"

namespace {

class MysqlConnection : public ::testing::Test {
 protected:
  std::unique_ptr<mysql::connection> connect(const std::string& passwd) {
    return std::make_unique<mysql::connection>(db.host(), db.user(), passwd, db.name(), db.port());
  }
  std::unique_ptr<mysql::connection> connect() { return connect(db.password()); }

  std::string log_text() const {
    std::ifstream in(gLogger->current_path());
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }
  // An entry "<stamp>\t<level>\t<message>\r\n" with exactly this message.
  bool logged(const std::string& level, const std::string& message) const {
    return log_text().find("\t" + level + "\t" + message + "\r\n") != std::string::npos;
  }
  bool logged_containing(const std::string& level, const std::string& part) const {
    std::istringstream lines(log_text());
    for (std::string line; std::getline(lines, line);) {
      if (line.find("\t" + level + "\t") != std::string::npos &&
          line.find(part) != std::string::npos) {
        return true;
      }
    }
    return false;
  }
  int count_of(const std::string& part) const {
    return static_cast<int>(::count_of(log_text(), part));
  }

  static int connection_id(mysql::connection& conn) {
    mysql::result rows = conn.exec("SELECT CONNECTION_ID()", mysql::connection::oper_select);
    int id = 0;
    mysql::fetch_column(rows.begin(), 0, id);
    return id;
  }

  test_db db{"mysql_helper"};
  temp_log event_log{"norvel", "norvel_mysql_log_"};
};

TEST_F(MysqlConnection, ConnectLogsSettingsWithThePasswordMasked) {
  auto conn = connect();
  EXPECT_TRUE(conn->good());
  EXPECT_TRUE(logged("Debug:", db.host()));
  EXPECT_TRUE(logged("Debug:", db.user()));
  EXPECT_TRUE(logged("Debug:", "******"));
  EXPECT_TRUE(logged("Debug:", db.name()));
  EXPECT_TRUE(logged_containing("Debug:", "created a connection to mysql, connection id="));
  EXPECT_TRUE(logged("Trace:", "connection::mysql_init success."));
  EXPECT_EQ(log_text().find(db.password()), std::string::npos);
}

TEST_F(MysqlConnection, WrongPasswordLogsAndThrowsWithoutWritingThePassword) {
  const std::string wrong = "not-the-%s-password";
  try {
    connect(wrong);
    FAIL() << "connected with a wrong password";
  } catch (const std::logic_error& e) {
    EXPECT_STREQ(e.what(), "mysql connection init error.");
  }
  EXPECT_TRUE(logged_containing("Error:", "mysql_real_connect() error:Access denied"));
  EXPECT_TRUE(logged("Fatal:", "connection::mysql_init"));
  EXPECT_EQ(log_text().find(wrong), std::string::npos);
}

TEST_F(MysqlConnection, FailingStatementAnswersAnEmptyResultAndIsLogged) {
  auto conn = connect();
  mysql::result rows = conn->exec("SELECT nope FROM brix_member", mysql::connection::oper_select);
  EXPECT_FALSE(rows.good());
  EXPECT_EQ(rows.size(), 0);
  EXPECT_EQ(rows.begin(), rows.end());
  EXPECT_EQ(rows.next(), rows.end());
  EXPECT_TRUE(logged_containing(
      "Debug:", "mysql_real_query() error: SELECT nope FROM brix_member,des:Unknown column"));
  EXPECT_TRUE(logged_containing("Debug:", "errornum:1054"));
  EXPECT_TRUE(conn->good()) << "an ordinary error keeps the connection";
  EXPECT_EQ(count_of("reinit mysql connection."), 0);
}

TEST_F(MysqlConnection, QueryMatchingNothingIsGoodWithNoRows) {
  auto conn = connect();
  mysql::result rows = conn->exec("SELECT member_id FROM brix_member WHERE member_id = 42",
                                  mysql::connection::oper_select);
  EXPECT_TRUE(rows.good());
  EXPECT_EQ(rows.size(), 0);
  EXPECT_EQ(rows.begin(), rows.end());
}

TEST_F(MysqlConnection, RowsArriveInOrderAndCountsFollowTheKind) {
  db.exec("CREATE TABLE counter (id INT AUTO_INCREMENT PRIMARY KEY, v INT)");
  auto conn = connect();
  mysql::result inserted =
      conn->exec("INSERT INTO counter (v) VALUES (10),(20),(30)", mysql::connection::oper_update);
  EXPECT_FALSE(inserted.good()) << "a statement without rows keeps no row set";
  EXPECT_EQ(inserted.size(), 3);
  EXPECT_EQ(inserted.last_insert_id(), 1);

  mysql::result rows =
      conn->exec("SELECT id, v FROM counter ORDER BY id DESC", mysql::connection::oper_select);
  ASSERT_TRUE(rows.good());
  EXPECT_EQ(rows.size(), 3);
  std::string seen;
  for (MYSQL_ROW row = rows.begin(); row != rows.end(); row = rows.next()) {
    int id = 0;
    int v = 0;
    mysql::fetch_column(row, 0, id, v);
    seen += std::to_string(id) + ":" + std::to_string(v) + " ";
  }
  EXPECT_EQ(seen, "3:30 2:20 1:10 ");

  // A moved result keeps the rows exactly once (the sanitizer build catches a double free).
  mysql::result moved = std::move(rows);
  mysql::result assigned;
  assigned = std::move(moved);
  EXPECT_FALSE(moved.good());
  EXPECT_EQ(assigned.size(), 3);
}

TEST_F(MysqlConnection, FetchColumnReadsTextByTheRulesOfAtoi) {
  auto conn = connect();
  mysql::result rows = conn->exec("SELECT '12ab', ' -7', '+5', NULL, 'x9', '  42  ', '-0', '\t3'",
                                  mysql::connection::oper_select);
  MYSQL_ROW row = rows.begin();
  ASSERT_NE(row, rows.end());
  int digits_then_letters = -1, blank_minus = -1, plus = -1, null_column = -1;
  int letters_first = -1, padded = -1, minus_zero = -1, tab = -1;
  mysql::fetch_column(row, 0, digits_then_letters, blank_minus, plus);
  mysql::fetch_column(row, 3, null_column, letters_first);
  mysql::fetch_column(row, 5, padded, minus_zero, tab);
  EXPECT_EQ(digits_then_letters, 12);
  EXPECT_EQ(blank_minus, -7);
  EXPECT_EQ(plus, 5);
  EXPECT_EQ(null_column, 0);
  EXPECT_EQ(letters_first, 0);
  EXPECT_EQ(padded, 42);
  EXPECT_EQ(minus_zero, 0);
  EXPECT_EQ(tab, 3);
}

TEST_F(MysqlConnection, ServerGoneReconnectsOnceAndRetries) {
  auto conn = connect();
  conn->exec("SET SESSION wait_timeout = 1", mysql::connection::oper_update);
  sleep(3);  // the server closes the idle connection
  mysql::result rows = conn->exec("SELECT 7", mysql::connection::oper_select);
  ASSERT_TRUE(rows.good());
  int seven = 0;
  mysql::fetch_column(rows.begin(), 0, seven);
  EXPECT_EQ(seven, 7);
  EXPECT_TRUE(logged_containing("Debug:", "mysql_real_query() error: SELECT 7,des:"));
  EXPECT_TRUE(logged_containing("Debug:", "errornum:2006"));
  EXPECT_TRUE(logged("Debug:", "reinit mysql connection."));
  EXPECT_EQ(count_of("created a connection to mysql, connection id="), 2);
  EXPECT_EQ(count_of("\tDebug:\t******\r\n"), 2);
}

TEST_F(MysqlConnection, KilledConnectionReconnectsAndTheQueryStillAnswers) {
  auto conn = connect();
  const int first_id = connection_id(*conn);
  db.exec("KILL " + std::to_string(first_id));
  mysql::result rows =
      conn->exec("SELECT member_id FROM brix_member", mysql::connection::oper_select);
  EXPECT_TRUE(rows.good());
  EXPECT_TRUE(logged_containing("Debug:", "errornum:2013"));
  EXPECT_TRUE(logged("Debug:", "reinit mysql connection."));
  EXPECT_NE(connection_id(*conn), first_id);
}

TEST_F(MysqlConnection, FailedReconnectLeavesTheConnectionDown) {
  auto conn = connect();
  db.exec("KILL " + std::to_string(connection_id(*conn)));
  db.exec("DROP DATABASE `" + db.name() + "`");  // the reconnect names it and must fail
  mysql::result rows = conn->exec("SELECT 1", mysql::connection::oper_select);
  EXPECT_FALSE(rows.good());
  EXPECT_FALSE(conn->good());
  EXPECT_TRUE(logged_containing("Error:", "mysql_real_connect() error:Unknown database"));
  EXPECT_TRUE(logged("Debug:", "reinit mysql connection."));

  const int queries_logged = count_of("mysql_real_query() error:");
  EXPECT_FALSE(conn->exec("SELECT 1", mysql::connection::oper_select).good());
  EXPECT_EQ(count_of("mysql_real_query() error:"), queries_logged) << "no statement is sent";
  conn->fini();
  conn->fini();  // safe twice
}

TEST_F(MysqlConnection, StatementThatChangedDataIsNotRepeatedAfterALostLink) {
  db.exec("CREATE TABLE counter (v INT)");
  auto conn = connect();
  db.exec("KILL " + std::to_string(connection_id(*conn)));
  mysql::result changed =
      conn->exec("INSERT INTO counter VALUES (1)", mysql::connection::oper_update);
  EXPECT_EQ(changed.size(), 0);
  EXPECT_EQ(count_of("reinit mysql connection."), 0);
  EXPECT_EQ(db.query("SELECT COUNT(*) FROM counter").at(0).at(0), "0");
}

TEST_F(MysqlConnection, AStatementThatOutlastsTheTimeoutFailsOnceAndIsNotRetried) {
  auto conn = std::make_unique<mysql::connection>(db.host(), db.user(), db.password(), db.name(),
                                                  db.port(), true, 1);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(conn->exec("SELECT SLEEP(5)", mysql::connection::oper_select).good());
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, std::chrono::milliseconds(900));
  EXPECT_LT(took, std::chrono::milliseconds(2500)) << "one timeout, no second attempt";
  EXPECT_TRUE(logged_containing("Debug:", "errornum:2013"));
  EXPECT_EQ(count_of("reinit mysql connection."), 0);

  // Without a timeout the same connection settings wait as long as the statement takes.
  auto patient = connect();
  EXPECT_TRUE(patient->exec("SELECT SLEEP(2)", mysql::connection::oper_select).good());
}

// Another thread interrupts a read that waits for a table another session holds locked: the
// read fails at once (the lock is still held when it has returned), and the connection then
// neither reconnects nor runs another statement.
TEST_F(MysqlConnection, InterruptFromAnotherThreadEndsAWaitingReadForGood) {
  auto locker = connect();
  locker->exec("LOCK TABLES brix_member WRITE", mysql::connection::oper_update);
  auto reader = connect();
  bool failed = false;
  std::thread reading([&] {
    mysql::row_stream rows = reader->stream("SELECT member_id FROM brix_member");
    while (rows.next() != nullptr) {
    }
    failed = rows.failed();
  });
  EXPECT_TRUE(eventually([&] {
    return db.query("SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE DB = '" + db.name() +
                    "' AND STATE LIKE 'Waiting for table%'")[0][0] != "0";
  })) << "the read never waited for the lock";
  reader->interrupt();
  reading.join();
  EXPECT_TRUE(failed);
  EXPECT_FALSE(reader->exec("SELECT 1", mysql::connection::oper_select).good());
  EXPECT_EQ(count_of("reinit mysql connection."), 0) << "an interrupted connection reconnected";
  locker->exec("UNLOCK TABLES", mysql::connection::oper_update);
  reader->interrupt();  // twice, and after the end, is harmless
}

}  // namespace
