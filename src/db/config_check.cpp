#include "db/config_check.h"

#include <cstdlib>
#include <ostream>
#include <sstream>
#include <string>

#include "db/mysql_helper.h"
#include "db/table_reader.h"
#include "support/app_config.h"

namespace {

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
  out << "database: " << db.name << " on " << db.host << ":" << table_reader::port << " as "
      << db.user << std::endl;
  try {
    mysql::connection conn(db.host, db.user, db.passwd, db.name, table_reader::port);
    long long specials = 0;
    long long members = 0;
    long long invited = 0;
    if (!table_reader::count_loaded_specials(conn, specials)) {
      err << "norvel: cannot count the rows of brix_mb_special" << std::endl;
      return 1;
    }
    if (!table_reader::count_members(conn, members, invited)) {
      err << "norvel: cannot count the rows of brix_member" << std::endl;
      return 1;
    }
    out << "would load: " << specials << " specials (brix_mb_special), " << members
        << " members of which " << invited << " have an inviter (brix_member)" << std::endl;
  } catch (const std::exception& e) {
    err << "norvel: cannot connect to the database " << db.name << " on " << db.host << ":"
        << table_reader::port << " as " << db.user << ": " << e.what() << std::endl;
    return 1;
  }
  out << "configuration ok" << std::endl;
  return 0;
}
