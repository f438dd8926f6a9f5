// A fresh database for one test process on the project's local MariaDB server: created with the
// schema of db/schema.sql on construction, dropped on destruction.
// The name is norvel_t_<suite>_<pid>, so test cases of one suite that CTest runs in parallel
// processes never share (or drop) each other's database; databases left behind by processes that
// no longer exist are dropped when the next one of the same suite is made.
// Talks to the server through the client library directly, not through the daemon's wrapper,
// so the wrapper's own tests do not depend on it.
// Threads: one thread. Ownership: owns its admin connection and the database it created.
#ifndef NORVEL_TEST_DB_H_
#define NORVEL_TEST_DB_H_

#include <memory>
#include <string>
#include <vector>

#include <mysql.h>

class test_db {
 public:
  using row = std::vector<std::string>;  // an SQL NULL reads as "NULL"

  // `suite`: letters, digits and '_' only. Throws std::runtime_error if the server does not
  // answer or the schema cannot be loaded.
  explicit test_db(const std::string& suite);
  ~test_db();  // drops the database; never throws
  test_db(const test_db&) = delete;
  test_db& operator=(const test_db&) = delete;

  const std::string& host() const { return db_host; }
  const std::string& user() const { return db_user; }
  const std::string& password() const { return db_password; }
  const std::string& name() const { return db_name; }
  unsigned int port() const { return 3306; }

  // Runs one or more statements (separated by ';') in the test database; throws
  // std::runtime_error with the server's message on the first failure. Result sets are discarded.
  void exec(const std::string& sql);
  // Runs one query and answers its rows as text.
  std::vector<row> query(const std::string& sql);

  // Fills singleton<app_cfg>::instance()->db with this database's settings. The caller must
  // have called object_manager::init().
  void configure_app() const;
  // A configuration file's text naming this database, with `more_members` (",\"limits\":{...}",
  // say: a leading comma, then members of the top-level object) added after "DB".
  std::string config_json(const std::string& more_members = "") const;
  // Writes <dir>/data/config/norvel.config.ini naming this database (directories are created);
  // answers the file's path.
  std::string write_config(const std::string& dir) const;

 private:
  struct closer {
    void operator()(MYSQL* handle) const { mysql_close(handle); }
  };

  void drop_stale_databases(const std::string& suite);
  void run(const std::string& sql);  // one round trip on `admin`, all results drained

  std::string db_host;
  std::string db_user;
  std::string db_password;
  std::string db_name;
  std::unique_ptr<MYSQL, closer> admin;  // connected without a default database at first
};

#endif  // NORVEL_TEST_DB_H_
