#include "support/app_config.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>

#include "support/log.h"
#include "temp_dir.h"

namespace {

// Each test writes its own configuration file into a fresh directory, which also holds the
// event log; standard output is captured around open_file().
class ConfigFile : public ::testing::Test {
 protected:
  void SetUp() override { log_path = event_log.current_path(); }

  bool open_with(const std::string& content) {
    std::ofstream(config_path, std::ios::binary) << content;
    return open_path(config_path);
  }
  bool open_path(const std::string& path) {
    testing::internal::CaptureStdout();
    const bool ok = config.open_file(path);
    printed = testing::internal::GetCapturedStdout();
    if (config.log.level != 0 && gLogger != nullptr) {
      gLogger->set_max_level(config.log.level);  // as the daemon's start-up applies it
    }
    return ok;
  }

  // Log entries without banner or stamp: "Level:\tmessage".
  std::vector<std::string> log_entries() const {
    std::ifstream in(log_path, std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
      if (!line.empty() && line.back() == '\r') {
        line.pop_back();
      }
      if (!line.empty() && line[0] != '+') {
        lines.push_back(line.substr(line.find('\t') + 1));
      }
    }
    return lines;
  }

  void expect_failure_reported(const std::string& message) {
    EXPECT_EQ(printed, message + "\n");
    EXPECT_EQ(log_entries(),
              std::vector<std::string>{"Debug:\tException: app_cfg::open_file error " + message});
  }

  temp_log event_log{"norvel", "norvel_cfg_test_"};  // its directory holds the configuration too
  const std::string dir = event_log.dir();
  const std::string config_path = dir + "/norvel.config.ini";
  std::string log_path;
  std::string printed;
  app_cfg config;
};

TEST_F(ConfigFile, CompleteFileFillsEveryField) {
  EXPECT_TRUE(open_with(R"({"DB": {"host": "db.local", "user": "app", "passwd": "s3cret",
                                   "name": "social", "port": 3307, "extra": 1},
                            "other": [1, 2]})"));
  EXPECT_EQ(config.db.host, "db.local");
  EXPECT_EQ(config.db.user, "app");
  EXPECT_EQ(config.db.passwd, "s3cret");
  EXPECT_EQ(config.db.name, "social");
  EXPECT_EQ(config.db.port, 3307);
  EXPECT_TRUE(config.db.compress) << "compressed unless asked otherwise";
  EXPECT_EQ(printed, "");
  EXPECT_TRUE(log_entries().empty());

  EXPECT_TRUE(open_with(R"({"DB": {"host": "db.local", "compress": false}})"));
  EXPECT_FALSE(config.db.compress);
}

TEST_F(ConfigFile, MissingKeysAndNullsTakeDefaults) {
  EXPECT_TRUE(open_with("{}"));
  EXPECT_EQ(config.db.host, "");
  EXPECT_EQ(config.db.port, 0);

  EXPECT_TRUE(open_with(R"({"DB": {"host": "h", "user": null}})"));
  EXPECT_EQ(config.db.host, "h");
  EXPECT_EQ(config.db.user, "");
  EXPECT_EQ(config.db.passwd, "");
  EXPECT_EQ(config.db.name, "");
  EXPECT_EQ(config.db.port, 0);
  EXPECT_EQ(printed, "");
}

TEST_F(ConfigFile, StoreCapsAreOptInAndMustBeCounts) {
  EXPECT_TRUE(open_with(R"({"DB": {"host": "h"}})"));
  EXPECT_EQ(config.store.feed_cap, 0u);
  EXPECT_EQ(config.store.public_cap, 0u);
  EXPECT_TRUE(open_with(R"({"DB": {}, "store": {"feed_cap": 800, "public_cap": 100000}})"));
  EXPECT_EQ(config.store.feed_cap, 800u);
  EXPECT_EQ(config.store.public_cap, 100000u);
  EXPECT_FALSE(open_with(R"({"DB": {}, "store": {"feed_cap": -1}})"));
  EXPECT_FALSE(open_with(R"({"DB": {}, "store": 800})"));
  EXPECT_NE(printed, "");
}

TEST_F(ConfigFile, ValuesConvertByTheJsonRules) {
  EXPECT_TRUE(open_with(R"({"DB": {"host": 10, "user": true, "passwd": "p", "name": "n",
                                   "port": 3306.9}})"));
  EXPECT_EQ(config.db.host, "10");
  EXPECT_EQ(config.db.user, "true");
  EXPECT_EQ(config.db.port, 3306);
}

TEST_F(ConfigFile, PortAsStringFailsAfterTheEarlierFieldsAreSet) {
  EXPECT_FALSE(open_with(R"({"DB": {"host": "h", "user": "u", "passwd": "p", "name": "n",
                                    "port": "3306"}})"));
  EXPECT_EQ(config.db.host, "h");
  EXPECT_EQ(config.db.user, "u");
  EXPECT_EQ(config.db.passwd, "p");
  EXPECT_EQ(config.db.name, "n");
  EXPECT_EQ(config.db.port, 0);
  expect_failure_reported("Value is not convertible to Int.");
}

TEST_F(ConfigFile, MissingFileIsReportedAndChangesNothing) {
  EXPECT_FALSE(open_path(dir + "/absent.ini"));
  EXPECT_EQ(config.db.host, "");
  expect_failure_reported("Exception app_cfg::open_file: file is not exist");
}

TEST_F(ConfigFile, DirectoryIsReportedAsMissingFile) {
  EXPECT_FALSE(open_path(dir));
  expect_failure_reported("Exception app_cfg::open_file: file is not exist");
}

// Exactly what the classic reader rejects, including what newer readers accept by default.
TEST_F(ConfigFile, TextTheReaderCannotParseIsReportedAndChangesNothing) {
  const std::string db = R"("DB": {"host": "db.local", "port": 3307})";
  const std::vector<std::string> texts = {
      "host = localhost\n",
      "",
      "{" + db + ",}",                                     // trailing comma in an object
      R"({"DB": {"host": "db.local", "port": 3307,}})",    // ... in the settings
      R"({"list": [1, 2,], "DB": {"host": "db.local"}})",  // ... in an array
      "\xEF\xBB\xBF{" + db + "}",                          // a byte-order mark
      R"({"DB": {"host": "db.local", "port": 1e400}})",    // beyond a double's range
      R"({'DB': {'host': 'db.local'}})",                   // single quotes
      R"({"DB": {"host": "db.local", "port": NaN}})",
      "{\"DB\": {\"host\": \"db.local\"}, \"deep\": " + std::string(2000, '[') +
          std::string(2000, ']') + "}",  // nesting beyond the reader's limit
  };
  for (const std::string& text : texts) {
    EXPECT_FALSE(open_with(text)) << text.substr(0, 80);
    EXPECT_EQ(printed, "Exception app_cfg::open_file: cannot parse config file.\n")
        << text.substr(0, 80);
    EXPECT_EQ(config.db.host, "") << text.substr(0, 80);
    EXPECT_EQ(config.db.port, 0) << text.substr(0, 80);
  }
  EXPECT_EQ(log_entries(), std::vector<std::string>(texts.size(),
                                                    "Debug:\tException: app_cfg::open_file error "
                                                    "Exception app_cfg::open_file: cannot parse "
                                                    "config file."));
}

TEST_F(ConfigFile, CommentsAndTextAfterTheDocumentAreReadAsTheReaderDoes) {
  EXPECT_TRUE(
      open_with("// settings\n{\"DB\": {/* the server */ \"host\": \"db.local\", "
                "\"port\": 3307}}\ntrailing words"));
  EXPECT_EQ(config.db.host, "db.local");
  EXPECT_EQ(config.db.port, 3307);
}

TEST_F(ConfigFile, WrongShapesAreReportedNotFatal) {
  EXPECT_FALSE(open_with("[1, 2]"));
  EXPECT_FALSE(printed.empty());
  EXPECT_FALSE(open_with(R"({"DB": "localhost"})"));
  EXPECT_FALSE(printed.empty());
  EXPECT_FALSE(open_with(R"({"DB": {"host": ["a"]}})"));
  EXPECT_FALSE(printed.empty());
  EXPECT_EQ(log_entries().size(), 3u);
}

TEST_F(ConfigFile, WithoutEventLogTheMessageStillReachesStandardOutput) {
  fini_log();
  EXPECT_FALSE(open_path(dir + "/absent.ini"));
  EXPECT_EQ(printed, "Exception app_cfg::open_file: file is not exist\n");
}

TEST_F(ConfigFile, LogLevelInAnyCaseKeepsHigherLevelsOutOfTheEventLog) {
  EXPECT_TRUE(open_with(R"({"DB": {"host": "h"}, "log": {"level": "INFO"}})"));
  EXPECT_EQ(config.log.level, log_info);
  log_event(log_debug, "dropped");
  log_event(log_info, "kept");
  EXPECT_EQ(log_entries(), std::vector<std::string>{"Info:\tkept"});
}

// A broken "log" member is reported like any configuration error; the database settings are read
// and every level stays on.
TEST_F(ConfigFile, BrokenLogMemberIsReportedAndLeavesEveryLevelOn) {
  const std::string message =
      "Exception app_cfg::open_file: \"log\" member \"level\" must be one of fatal, error, "
      "warning, info, debug, trace; every level stays on";
  for (const char* log_member : {R"("loud")", R"({"level": "loud"})", R"({"level": 4})"}) {
    EXPECT_FALSE(open_with(std::string(R"({"DB": {"host": "h"}, "log": )") + log_member + "}"));
    EXPECT_EQ(printed, message + "\n") << log_member;
    EXPECT_EQ(config.db.host, "h");
    EXPECT_EQ(config.log.level, 0);
  }
  log_event(log_trace, "still written");
  EXPECT_EQ(log_entries().back(), "Trace:\tstill written");
  EXPECT_TRUE(open_with(R"({"DB": {}, "log": {}})"));
  EXPECT_EQ(config.log.level, 0);
}

TEST_F(ConfigFile, LimitsAreReadOrReportedKeepingTheDefaults) {
  EXPECT_TRUE(open_with(R"({"DB": {"host": "db.local"}, "limits": {"max_connections": 250}})"));
  EXPECT_EQ(config.limits.max_connections, 250u);
  EXPECT_TRUE(open_with(R"({"DB": {}, "limits": {}})"));
  EXPECT_EQ(config.limits.max_connections, 10000u);
  for (const char* limits : {R"(0)", R"({"max_connections": 0})", R"({"max_connections": -5})",
                             R"({"max_connections": 2.5})", R"({"max_connections": "100"})",
                             R"({"max_connections": 1000001})"}) {
    config.limits.max_connections = 7;
    EXPECT_FALSE(
        open_with(std::string(R"({"DB": {"host": "db.local"}, "limits": )") + limits + "}"))
        << limits;
    EXPECT_EQ(config.limits.max_connections, 10000u) << limits;
    EXPECT_EQ(config.db.host, "db.local") << limits;
    EXPECT_NE(printed.find("\"max_connections\" must be a whole number from 1 to 1000000"),
              std::string::npos)
        << printed;
  }
}

TEST_F(ConfigFile, InviterPacingIsReadOrReportedKeepingTheDefaults) {
  EXPECT_TRUE(
      open_with(R"({"DB": {}, "inviter": {"reload_interval_ms": 0, "read_timeout_s": 3}})"));
  EXPECT_EQ(config.inviter.reload_interval_ms, 0u);
  EXPECT_EQ(config.inviter.read_timeout_s, 3u);
  EXPECT_TRUE(open_with(R"({"DB": {}})"));
  EXPECT_EQ(config.inviter.reload_interval_ms, 1000u);
  EXPECT_EQ(config.inviter.read_timeout_s, 5u);
  for (const char* inviter : {R"([])", R"({"reload_interval_ms": -1})",
                              R"({"reload_interval_ms": 3600001})", R"({"read_timeout_s": 0.5})",
                              R"({"read_timeout_s": "10"})", R"({"read_timeout_s": 3601})"}) {
    config.inviter.reload_interval_ms = 7;
    EXPECT_FALSE(open_with(std::string(R"({"DB": {}, "inviter": )") + inviter + "}")) << inviter;
    EXPECT_EQ(config.inviter.reload_interval_ms, 1000u) << inviter;
    EXPECT_EQ(config.inviter.read_timeout_s, 5u) << inviter;
    EXPECT_NE(printed.find("\"inviter\" member must be an object"), std::string::npos) << printed;
  }
}

}  // namespace
