#include "support/daemon_options.h"

#include <sys/stat.h>

#include <cctype>
#include <ostream>
#include <vector>

#include <boost/program_options.hpp>

namespace po = boost::program_options;

namespace {

po::options_description described_options() {
  po::options_description options("Options");
  // clang-format off
  options.add_options()
    ("help,h", "print this help and exit")
    ("version", "print the version and the commit it was built from, and exit")
    ("config", po::value<std::string>()->value_name("PATH"),
     "configuration file (default ./data/config/norvel.config.ini)")
    ("foreground", "stay in the foreground: no forks, standard output and error stay where "
                   "they are; tells systemd when it is ready (Type=notify)")
    ("listen", po::value<std::string>()->value_name("ADDRESS"),
     "address to listen on (default: every IPv4 address)")
    ("port", po::value<std::string>()->value_name("N"), "port to listen on (default 5000)")
    ("log-dir", po::value<std::string>()->value_name("DIR"),
     "directory of the daily event log (default /var/log/norvel)")
    ("metrics", po::value<std::string>()->value_name("ADDRESS:PORT"),
     "serve Prometheus metrics over HTTP at /metrics on this address (default: off)")
    ("progress", po::value<std::string>()->value_name("SECONDS"),
     "during the start-up load, an Info entry with its progress in the event log every SECONDS "
     "(0: none; default 5 with --foreground, else none)")
    ("check-config", "read the configuration, connect to the database, print what would be "
                     "loaded and exit: 0 when all is well, 1 otherwise")
    ("rebuild", "with a \"stream\" configured and no snapshot: load the database, then apply "
                "the whole stream as retained (a recovery, not a normal start)")
    ("pid-file", po::value<std::string>()->value_name("PATH"),
     "write the daemon's process id to PATH once it has detached, and remove the file at a "
     "clean stop (default: none)");
  // clang-format on
  return options;
}

// A port number: decimal digits only, 1 to 65535.
unsigned short parse_port(const std::string& text, const char* what) {
  bool digits = !text.empty() && text.size() <= 5;
  for (char c : text) {
    digits = digits && std::isdigit(static_cast<unsigned char>(c)) != 0;
  }
  const long value = digits ? std::stol(text) : 0;
  if (value < 1 || value > 65535) {
    throw option_error(std::string(what) + " must be a port number from 1 to 65535, not '" + text +
                       "'");
  }
  return static_cast<unsigned short>(value);
}

// A whole number of seconds, 0 to one day.
unsigned parse_seconds(const std::string& text, const char* what) {
  bool digits = !text.empty() && text.size() <= 5;
  for (char c : text) {
    digits = digits && std::isdigit(static_cast<unsigned char>(c)) != 0;
  }
  const long value = digits ? std::stol(text) : -1;
  if (value < 0 || value > 86400) {
    throw option_error(std::string(what) + " must be a number of seconds from 0 to 86400, not '" +
                       text + "'");
  }
  return static_cast<unsigned>(value);
}

boost::asio::ip::address parse_address(const std::string& text, const char* what) {
  boost::system::error_code ec;
  const boost::asio::ip::address address = boost::asio::ip::make_address(text, ec);
  if (ec) {
    throw option_error(std::string(what) + " must be an IPv4 or IPv6 address, not '" + text + "'");
  }
  return address;
}

std::string config_text(const Json::Value& value, const char* key) {
  if (!value.isString()) {
    throw option_error(std::string("configuration: \"daemon\" member \"") + key +
                       "\" must be a string");
  }
  return value.asString();
}

void check_known_keys(const Json::Value& settings) {
  static const std::set<std::string> known = {"listen",     "port",    "log_dir",
                                              "foreground", "metrics", "progress"};
  for (const std::string& key : settings.getMemberNames()) {
    if (known.count(key) == 0) {
      throw option_error("configuration: unknown member \"" + key + "\" in \"daemon\"");
    }
  }
}

}  // namespace

boost::asio::ip::tcp::endpoint daemon_options::listen_endpoint() const {
  return boost::asio::ip::tcp::endpoint(parse_address(listen_address, "--listen"), port);
}

daemon_options parse_command_line(int argc, const char* const argv[]) {
  po::variables_map values;
  const po::positional_options_description no_operands;  // every argument is an option
  try {
    po::store(
        po::command_line_parser(argc, argv)
            .options(described_options())
            .positional(no_operands)
            .style(po::command_line_style::default_style & ~po::command_line_style::allow_guessing)
            .run(),
        values);
    po::notify(values);
  } catch (const po::too_many_positional_options_error&) {
    throw option_error("unexpected argument: norvel takes options only");
  } catch (const po::error& e) {
    throw option_error(e.what());
  }

  daemon_options options;
  for (const auto& entry : values) {
    options.given.insert(entry.first);
  }
  options.show_help = values.count("help") != 0;
  options.show_version = values.count("version") != 0;
  options.foreground = values.count("foreground") != 0;
  options.check_config = values.count("check-config") != 0;
  options.rebuild = values.count("rebuild") != 0;
  if (values.count("config")) {
    options.config_path = values["config"].as<std::string>();
    if (options.config_path.empty()) {
      throw option_error("--config needs a file name");
    }
  }
  if (values.count("listen")) {
    options.listen_address = values["listen"].as<std::string>();
    parse_address(options.listen_address, "--listen");
  }
  if (values.count("port")) {
    options.port = parse_port(values["port"].as<std::string>(), "--port");
  }
  if (values.count("log-dir")) {
    options.log_dir = values["log-dir"].as<std::string>();
  }
  if (values.count("metrics")) {
    options.metrics = values["metrics"].as<std::string>();
    parse_endpoint(options.metrics, "--metrics");
  }
  if (values.count("progress")) {
    options.progress_seconds = parse_seconds(values["progress"].as<std::string>(), "--progress");
  }
  if (values.count("pid-file")) {
    options.pid_file = values["pid-file"].as<std::string>();
    if (options.pid_file.empty()) {
      throw option_error("--pid-file needs a file name");
    }
  }
  return options;
}

void apply_config_settings(const Json::Value& document, daemon_options& options) {
  if (!document.isObject() || !document.isMember("daemon")) {
    return;  // no settings of ours; the database settings are read and reported elsewhere
  }
  const Json::Value& settings = document["daemon"];
  if (!settings.isObject()) {
    throw option_error("configuration: \"daemon\" must be an object");
  }
  check_known_keys(settings);
  if (settings.isMember("listen") && !options.is_given("listen")) {
    options.listen_address = config_text(settings["listen"], "listen");
    parse_address(options.listen_address, "configuration: \"daemon\" member \"listen\"");
  }
  if (settings.isMember("port") && !options.is_given("port")) {
    const Json::Value& port = settings["port"];
    if (!port.isIntegral() || port.asLargestInt() < 1 || port.asLargestInt() > 65535) {
      throw option_error(
          "configuration: \"daemon\" member \"port\" must be a port number from 1 to 65535");
    }
    options.port = static_cast<unsigned short>(port.asInt());
  }
  if (settings.isMember("log_dir") && !options.is_given("log-dir")) {
    options.log_dir = config_text(settings["log_dir"], "log_dir");
    options.given.insert("log-dir");  // set by the operator: checked like the option
  }
  if (settings.isMember("foreground") && !options.is_given("foreground")) {
    if (!settings["foreground"].isBool()) {
      throw option_error("configuration: \"daemon\" member \"foreground\" must be true or false");
    }
    options.foreground = settings["foreground"].asBool();
  }
  if (settings.isMember("progress") && !options.is_given("progress")) {
    const Json::Value& seconds = settings["progress"];
    if (!seconds.isIntegral() || seconds.asLargestInt() < 0 || seconds.asLargestInt() > 86400) {
      throw option_error(
          "configuration: \"daemon\" member \"progress\" must be a number of seconds from 0 "
          "to 86400");
    }
    options.progress_seconds = seconds.asUInt();
    options.given.insert("progress");
  }
  if (settings.isMember("metrics") && !options.is_given("metrics")) {
    options.metrics = config_text(settings["metrics"], "metrics");
    if (!options.metrics.empty()) {
      parse_endpoint(options.metrics, "configuration: \"daemon\" member \"metrics\"");
    }
  }
}

void settle_defaults(daemon_options& options) {
  if (!options.is_given("progress") && options.foreground) {
    options.progress_seconds = 5;
  }
}

void check_settings(const daemon_options& options) {
  if (!options.is_given("log-dir")) {
    return;  // the classic default: a missing directory sends the log to standard error
  }
  struct stat info {};
  if (options.log_dir.empty() || ::stat(options.log_dir.c_str(), &info) != 0 ||
      !S_ISDIR(info.st_mode)) {
    throw option_error("log directory '" + options.log_dir + "' does not exist");
  }
}

boost::asio::ip::tcp::endpoint parse_endpoint(const std::string& text, const char* what) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) {
    throw option_error(std::string(what) + " must be ADDRESS:PORT, not '" + text + "'");
  }
  std::string host = text.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  const unsigned short port = parse_port(text.substr(colon + 1), what);
  return boost::asio::ip::tcp::endpoint(parse_address(host, what), port);
}

void print_usage(std::ostream& out) {
  out << "usage: norvel [OPTIONS]\n"
         "  Without options: detaches, listens on port 5000 of every IPv4 address, reads\n"
         "  ./data/config/norvel.config.ini and writes its event log under /var/log/norvel.\n"
         "  The settings may also be given in the configuration file, as a \"daemon\" object\n"
         "  next to \"DB\" (keys listen, port, log_dir, foreground, metrics, progress); the\n"
         "  command line wins.\n"
      << described_options();
}
