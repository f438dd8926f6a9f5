#include "test_db.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <json/json.h>

#include "support/app_config.h"
#include "support/object_manager.h"

namespace {

std::string env_or(const char* key, const char* fallback) {
  const char* value = std::getenv(key);
  return value != nullptr && *value != '\0' ? value : fallback;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path);
  if (!in) {
    throw std::runtime_error("test_db: cannot read " + path);
  }
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool process_exists(long pid) {
  return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

}  // namespace

test_db::test_db(const std::string& suite)
    : db_host(env_or("NORVEL_DB_HOST", "127.0.0.1")),
      db_user(env_or("NORVEL_DB_USER", "norvel")),
      db_password(env_or("NORVEL_DB_PASSWORD", "norvel-local-pw")),
      db_name("norvel_t_" + suite + "_" + std::to_string(getpid())),
      admin(mysql_init(nullptr)) {
  if (!admin) {
    throw std::runtime_error("test_db: mysql_init failed");
  }
  if (mysql_real_connect(admin.get(), db_host.c_str(), db_user.c_str(), db_password.c_str(),
                         nullptr, port(), nullptr, CLIENT_MULTI_STATEMENTS) == nullptr) {
    throw std::runtime_error(std::string("test_db: cannot connect (is scripts/start_test_db.sh "
                                         "running?): ") +
                             mysql_error(admin.get()));
  }
  drop_stale_databases(suite);
  run("DROP DATABASE IF EXISTS `" + db_name + "`");
  run("CREATE DATABASE `" + db_name + "` CHARACTER SET utf8mb4");
  if (mysql_select_db(admin.get(), db_name.c_str()) != 0) {
    throw std::runtime_error(std::string("test_db: ") + mysql_error(admin.get()));
  }
  exec(read_file(std::string(NORVEL_SOURCE_DIR) + "/db/schema.sql"));
}

test_db::~test_db() {
  // A failure here only leaves a database behind, which the next run of the suite drops.
  std::string drop = "DROP DATABASE IF EXISTS `" + db_name + "`";
  mysql_real_query(admin.get(), drop.c_str(), drop.size());
}

void test_db::drop_stale_databases(const std::string& suite) {
  const std::string prefix = "norvel_t_" + suite + "_";
  std::vector<row> names = query("SHOW DATABASES LIKE '" + prefix + "%'");
  for (const row& r : names) {
    const std::string& found = r.at(0);
    const std::string tail = found.substr(prefix.size());
    if (tail.empty() || tail.find_first_not_of("0123456789") != std::string::npos) {
      continue;  // another suite whose name starts like ours
    }
    if (!process_exists(std::stol(tail))) {
      run("DROP DATABASE IF EXISTS `" + found + "`");
    }
  }
}

void test_db::run(const std::string& sql) {
  if (mysql_real_query(admin.get(), sql.c_str(), sql.size()) != 0) {
    throw std::runtime_error("test_db: " + std::string(mysql_error(admin.get())) + " in: " + sql);
  }
  // Drain every result of a multi-statement batch; a later statement's error surfaces here.
  for (;;) {
    MYSQL_RES* rows = mysql_store_result(admin.get());
    if (rows != nullptr) {
      mysql_free_result(rows);
    }
    int status = mysql_next_result(admin.get());
    if (status < 0) {
      return;
    }
    if (status > 0) {
      throw std::runtime_error("test_db: " + std::string(mysql_error(admin.get())) + " in: " + sql);
    }
  }
}

void test_db::exec(const std::string& sql) {
  run(sql);
}

std::vector<test_db::row> test_db::query(const std::string& sql) {
  if (mysql_real_query(admin.get(), sql.c_str(), sql.size()) != 0) {
    throw std::runtime_error("test_db: " + std::string(mysql_error(admin.get())) + " in: " + sql);
  }
  std::unique_ptr<MYSQL_RES, void (*)(MYSQL_RES*)> rows(mysql_store_result(admin.get()),
                                                        mysql_free_result);
  std::vector<row> out;
  if (!rows) {
    return out;
  }
  const unsigned int width = mysql_num_fields(rows.get());
  while (MYSQL_ROW r = mysql_fetch_row(rows.get())) {
    row values;
    for (unsigned int i = 0; i < width; ++i) {
      values.push_back(r[i] != nullptr ? r[i] : "NULL");
    }
    out.push_back(std::move(values));
  }
  return out;
}

void test_db::configure_app() const {
  app_cfg::db_setting& db = singleton<app_cfg>::instance()->db;
  db.host = db_host;
  db.user = db_user;
  db.passwd = db_password;
  db.name = db_name;
  db.port = static_cast<int>(port());
}

std::string test_db::config_json(const std::string& more_members) const {
  Json::Value db;
  db["host"] = db_host;
  db["user"] = db_user;
  db["passwd"] = db_password;
  db["name"] = db_name;
  db["port"] = static_cast<int>(port());
  Json::Value root;
  root["DB"] = db;
  Json::StreamWriterBuilder compact;
  compact["indentation"] = "";
  std::string text = Json::writeString(compact, root);
  text.insert(text.size() - 1, more_members);  // before the closing brace
  return text;
}

std::string test_db::write_config(const std::string& dir) const {
  const std::filesystem::path config_dir = std::filesystem::path(dir) / "data" / "config";
  std::filesystem::create_directories(config_dir);
  const std::string path = (config_dir / "norvel.config.ini").string();
  std::ofstream out(path, std::ios::trunc);
  out << config_json() << '\n';
  out.flush();
  if (!out) {
    throw std::runtime_error("test_db: cannot write " + path);
  }
  return path;
}
