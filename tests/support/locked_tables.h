// The test database's two tables held locked for writing by its own session (LOCK TABLES ...
// WRITE), so every read of them from another connection waits; released on destruction.
// waiting() is true once a statement of another connection waits for the lock.
// Threads: the test's thread. Ownership: uses the caller's test_db, which outlives it.
#ifndef NORVEL_TESTS_LOCKED_TABLES_H_
#define NORVEL_TESTS_LOCKED_TABLES_H_

#include <string>

#include "eventually.h"
#include "test_db.h"

class locked_tables {
 public:
  explicit locked_tables(test_db& database) : db(database) {
    db.exec("LOCK TABLES brix_member WRITE, brix_mb_special WRITE");
  }
  ~locked_tables() {
    try {
      db.exec("UNLOCK TABLES");
    } catch (...) {
      // The session's locks end with it anyway.
    }
  }
  locked_tables(const locked_tables&) = delete;
  locked_tables& operator=(const locked_tables&) = delete;

  bool waiting() {
    return eventually([this] {
      return db.query("SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE DB = '" +
                      db.name() + "' AND STATE LIKE 'Waiting for table%'")[0][0] != "0";
    });
  }

 private:
  test_db& db;
};

#endif  // NORVEL_TESTS_LOCKED_TABLES_H_
