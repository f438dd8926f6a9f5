// How the daemon is run: the command line, and the same settings in the configuration file's
// "daemon" member. Without either, the defaults are the daemon's classic behaviour: listen on
// every IPv4 address on port 5000, read ./data/config/norvel.config.ini, log to /var/log/norvel,
// detach from the terminal, no metrics endpoint.
//
// The command line wins over the configuration file; both are read on the main thread before
// anything is started. Bad input raises option_error with a one-line message for the user.
#ifndef NORVEL_DAEMON_OPTIONS_H_
#define NORVEL_DAEMON_OPTIONS_H_

#include <iosfwd>
#include <set>
#include <stdexcept>
#include <string>

#include <boost/asio/ip/tcp.hpp>
#include <json/json.h>

// A wrong option, value or setting: the daemon says so on standard error and exits with 2.
class option_error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct daemon_options {
  static constexpr const char* default_config_path = "./data/config/norvel.config.ini";
  static constexpr const char* default_log_dir = "/var/log/norvel";
  static constexpr unsigned short default_port = 5000;

  std::string config_path = default_config_path;
  std::string listen_address = "0.0.0.0";
  unsigned short port = default_port;
  std::string log_dir = default_log_dir;
  bool foreground = false;
  bool check_config = false;
  bool rebuild = false;  // with a stream and no snapshot: database load, then the whole stream
  std::string metrics;   // ADDRESS:PORT of the metrics endpoint; empty: no endpoint
  std::string pid_file;  // where the running daemon's process id goes; empty: nowhere
  // Seconds between the load's progress entries in the event log; 0: none. Unless set, 5 in the
  // foreground and none for the classic detached daemon, whose log stays as it always was.
  unsigned progress_seconds = 0;
  bool show_help = false;
  bool show_version = false;

  // The names of the settings given on the command line ("port", "log-dir", ...).
  std::set<std::string> given;
  bool is_given(const char* name) const { return given.count(name) != 0; }

  // Where the daemon listens for requests.
  boost::asio::ip::tcp::endpoint listen_endpoint() const;
};

// Reads argv. Throws option_error for an unknown option, a missing or malformed value.
daemon_options parse_command_line(int argc, const char* const argv[]);

// Takes the settings of `document`'s "daemon" member (an object, or absent) that the command line
// did not give. Throws option_error for a member of the wrong type or value.
void apply_config_settings(const Json::Value& document, daemon_options& options);

// Fills the defaults that depend on other settings (the progress interval with --foreground).
// Call once everything has been read.
void settle_defaults(daemon_options& options);

// Checks what cannot be checked while reading: that a log directory set by the operator exists.
// Throws option_error.
void check_settings(const daemon_options& options);

// "ADDRESS:PORT" (IPv6 in brackets, "[::1]:9105") as an endpoint. Throws option_error.
boost::asio::ip::tcp::endpoint parse_endpoint(const std::string& text, const char* what);

void print_usage(std::ostream& out);

#endif  // NORVEL_DAEMON_OPTIONS_H_
