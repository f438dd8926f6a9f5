#include "db/config_check.h"

#include <cstdlib>
#include <ostream>
#include <sstream>
#include <string>

#include "db/mysql_helper.h"
#include "support/app_config.h"

namespace {

constexpr unsigned int load_db_port = 3306;  // the loaders connect here whatever "port" says

// The same rows the start-up load reads: specials added by members themselves, still live, of a
// reader type the load keeps (a NULL type reads as 0, so it is kept too).
const char* const count_specials_sql =
    "SELECT COUNT(*), 0 FROM brix_mb_special WHERE from_user=1 and state = 0 "
    "and (reader_type IS NULL or reader_type <> 2)";
const char* const count_members_sql =
    "SELECT COUNT(*), COALESCE(SUM(member_id > 0 and inviter_id > 0), 0) FROM brix_member";

// The first row's columns as numbers; false if the statement failed.
bool query_counts(mysql::connection& conn, const char* sql, long long& first, long long& second) {
  mysql::result rows = conn.exec(sql, mysql::connection::oper_select);
  if (!rows.good() || rows.size() == 0) {
    return false;
  }
  MYSQL_ROW row = rows.begin();
  first = row[0] != nullptr ? std::atoll(row[0]) : 0;
  second = row[1] != nullptr ? std::atoll(row[1]) : 0;
  return true;
}

std::string describe_settings(const daemon_options& options) {
  std::ostringstream text;
  text << "listen " << options.listen_endpoint() << ", log directory " << options.log_dir << ", "
       << (options.foreground ? "foreground" : "detached") << ", metrics "
       << (options.metrics.empty() ? "off" : options.metrics);
  return text.str();
}

}  // namespace

int check_configuration(const daemon_options& options, std::ostream& out, std::ostream& err) {
  out << "configuration file: " << options.config_path << std::endl;
  app_cfg config;
  if (!config.open_file(options.config_path)) {  // prints the reason on standard output
    err << "norvel: the configuration file " << options.config_path << " cannot be used"
        << std::endl;
    return 1;
  }
  const app_cfg::db_setting& db = config.db;
  out << "settings: " << describe_settings(options) << std::endl;
  out << "database: " << db.name << " on " << db.host << ":" << load_db_port << " as " << db.user
      << std::endl;
  try {
    mysql::connection conn(db.host, db.user, db.passwd, db.name, load_db_port);
    long long specials = 0;
    long long unused = 0;
    long long members = 0;
    long long invited = 0;
    if (!query_counts(conn, count_specials_sql, specials, unused)) {
      err << "norvel: cannot count the rows of brix_mb_special" << std::endl;
      return 1;
    }
    if (!query_counts(conn, count_members_sql, members, invited)) {
      err << "norvel: cannot count the rows of brix_member" << std::endl;
      return 1;
    }
    out << "would load: " << specials << " specials (brix_mb_special), " << members
        << " members of which " << invited << " have an inviter (brix_member)" << std::endl;
  } catch (const std::exception& e) {
    err << "norvel: cannot connect to the database " << db.name << " on " << db.host << ":"
        << load_db_port << " as " << db.user << ": " << e.what() << std::endl;
    return 1;
  }
  out << "configuration ok" << std::endl;
  return 0;
}
