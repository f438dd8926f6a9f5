// The daemon's configuration file, read once at start-up and held by the app_cfg singleton
// (singleton<app_cfg>): the database settings ("DB") and the optional "log" level, "store" caps,
// "limits" and "inviter" pacing. It only reads and checks them: main hands each setting to the
// part it configures (the log level to the event log, the caps to the store, ...).
// Threads: filled on the main thread before the store and its workers start; only read after.
#ifndef NORVEL_APP_CONFIG_H_
#define NORVEL_APP_CONFIG_H_

#include <cstddef>
#include <string>

#include <json/json.h>

class app_cfg {
 public:
  struct db_setting {
    std::string host;
    std::string user;
    std::string passwd;
    std::string name;  // the database (schema) name
    int port = 0;      // read but not used: the loaders always connect on 3306
    // "compress": false connects without the compressed protocol (a database on the same host
    // or a fast network). Absent or true: compressed.
    bool compress = true;

    // Fills host, user, passwd, name, port, compress in that order from `value`; a missing or
    // null key gives the default. Throws the JSON library's error on a value that cannot be
    // converted.
    void init(const Json::Value& value);
  };

  // The optional top-level "log" member: {"level": "info"} keeps the event log from writing
  // entries of a higher level number. Absent, every level is written.
  struct log_setting {
    int level = 0;  // 1 (fatal) .. 6 (trace); 0: every level

    // Fills level from the "log" member `value` (null: absent). Throws std::logic_error with the
    // message to report on anything but an object whose "level", if present, is one of the six
    // level words in any case; level is then left at 0.
    void init(const Json::Value& value);
  };

  // The optional "store" member: {"feed_cap": N, "public_cap": M}. With a cap, a private feed
  // (or the public list) keeps only its newest N (M) ids. Absent, null or 0: unbounded.
  struct store_setting {
    unsigned long feed_cap = 0;
    unsigned long public_cap = 0;

    // Throws the JSON library's error on a value that is not a non-negative integer.
    void init(const Json::Value& value);
  };

  // The optional top-level "limits" member: bounds on what clients may hold of the daemon.
  // {"max_connections": n}: connections served at once (1 to 1000000); one more is closed as
  // soon as it is accepted. Absent members keep the defaults.
  struct limits_setting {
    static constexpr std::size_t default_max_connections = 10000;
    std::size_t max_connections = default_max_connections;

    // Fills the limits from the "limits" member `value` (null: absent). Throws std::logic_error
    // with the message to report on anything but an object of valid limits; every limit then
    // keeps its default.
    void init(const Json::Value& value);
  };

  // The optional top-level "inviter" member: {"reload_interval_ms": n, "read_timeout_s": t}.
  // A request for a member beyond the inviter index reloads the index from the database at most
  // once per n ms (0: on every such request); in between, that member's row alone is read. The
  // database connections of those reloads and reads give up on a server silent for t seconds
  // (0: they wait for ever). Absent members keep the defaults.
  struct inviter_setting {
    static constexpr unsigned long default_reload_interval_ms = 1000;
    static constexpr unsigned int default_read_timeout_s = 5;
    unsigned long reload_interval_ms = default_reload_interval_ms;
    unsigned int read_timeout_s = default_read_timeout_s;

    // Fills the settings from the "inviter" member `value` (null: absent). Throws
    // std::logic_error with the message to report on anything but an object of valid settings;
    // every setting then keeps its default.
    void init(const Json::Value& value);
  };

  // Reads `path`, fills db, then log, then store, then limits, then inviter; a failure leaves the
  // members after it at their defaults. Answers false after reporting any failure (log at Debug
  // when the event log exists, and the message alone on standard output).
  bool open_file(const std::string& path);
  // The same from the file's text already read.
  bool open_text(const std::string& text);

  db_setting db;
  log_setting log;
  store_setting store;
  limits_setting limits;
  inviter_setting inviter;
};

// The configuration file's whole JSON document. Throws std::logic_error with the message that
// open_file reports: the file cannot be read, or is not JSON.
Json::Value read_config_document(const std::string& path);

#endif  // NORVEL_APP_CONFIG_H_
