// The daemon's options: the command line and the configuration file's "daemon" member, and which
// one wins.
#include "support/daemon_options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

daemon_options parse(std::vector<std::string> args) {
  args.insert(args.begin(), "norvel");
  std::vector<const char*> argv;
  for (const std::string& arg : args) {
    argv.push_back(arg.c_str());
  }
  return parse_command_line(static_cast<int>(argv.size()), argv.data());
}

Json::Value json(const std::string& text) {
  Json::Value value;
  Json::Reader reader;
  EXPECT_TRUE(reader.parse(text, value)) << text;
  return value;
}

TEST(CommandLine, NoArgumentsMeansTheClassicDaemon) {
  const daemon_options options = parse({});
  EXPECT_EQ(options.config_path, "./data/config/norvel.config.ini");
  EXPECT_EQ(options.listen_endpoint(),
            boost::asio::ip::tcp::endpoint(boost::asio::ip::address_v4::any(), 5000));
  EXPECT_EQ(options.log_dir, "/var/log/norvel");
  EXPECT_FALSE(options.foreground || options.check_config || options.show_help ||
               options.show_version);
  EXPECT_TRUE(options.metrics.empty());
  EXPECT_NO_THROW(check_settings(options));  // a missing default log directory is not an error
}

TEST(CommandLine, EveryOptionTakesItsValue) {
  const daemon_options options =
      parse({"--config", "/etc/norvel.ini", "--foreground", "--listen", "::1", "--port", "6000",
             "--log-dir", "/tmp", "--metrics", "127.0.0.1:9105", "--check-config"});
  EXPECT_EQ(options.config_path, "/etc/norvel.ini");
  EXPECT_TRUE(options.foreground);
  EXPECT_TRUE(options.check_config);
  EXPECT_EQ(options.listen_endpoint(),
            boost::asio::ip::tcp::endpoint(boost::asio::ip::make_address("::1"), 6000));
  EXPECT_EQ(options.log_dir, "/tmp");
  EXPECT_EQ(options.metrics, "127.0.0.1:9105");
  EXPECT_EQ(parse({"--port=1"}).port, 1);
  EXPECT_EQ(parse({"--port", "65535"}).port, 65535);
}

TEST(CommandLine, WrongOptionsAndValuesAreRefused) {
  const std::vector<std::vector<std::string>> wrong = {
      {"--bogus"},
      {"-x"},
      {"stray"},
      {"--port"},
      {"--port", "0"},
      {"--port", "65536"},
      {"--port", "-1"},
      {"--port", "80x"},
      {"--port", " 80"},
      {"--port", "99999999999999999999"},
      {"--listen", "1.2.3"},
      {"--listen", "localhost"},
      {"--metrics", "9105"},
      {"--metrics", "127.0.0.1:"},
      {"--metrics", ":9105"},
      {"--metrics", "127.0.0.1:70000"},
      {"--config", ""},
      {"--foreground", "--foreground"},
      {"--fore"},  // no guessing of abbreviations: a typo must not silently mean something
  };
  for (const auto& args : wrong) {
    std::string shown;
    for (const std::string& arg : args) {
      shown += arg + " ";
    }
    EXPECT_THROW(parse(args), option_error) << shown;
  }
}

TEST(CommandLine, MetricsEndpointsInBothAddressFamilies) {
  EXPECT_EQ(parse_endpoint("127.0.0.1:9105", "x"),
            boost::asio::ip::tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 9105));
  EXPECT_EQ(parse_endpoint("[::1]:9105", "x"),
            boost::asio::ip::tcp::endpoint(boost::asio::ip::make_address("::1"), 9105));
}

TEST(ConfigSettings, FillWhatTheCommandLineLeftAndNeverOverrideIt) {
  daemon_options options = parse({"--port", "6001", "--metrics", "127.0.0.1:9200"});
  apply_config_settings(json(R"({"DB":{"host":"h"},"daemon":{"listen":"127.0.0.1","port":7000,
      "log_dir":"/tmp","foreground":true,"metrics":"127.0.0.1:9300"}})"),
                        options);
  EXPECT_EQ(options.port, 6001);                 // command line
  EXPECT_EQ(options.metrics, "127.0.0.1:9200");  // command line
  EXPECT_EQ(options.listen_address, "127.0.0.1");
  EXPECT_EQ(options.log_dir, "/tmp");
  EXPECT_TRUE(options.foreground);
}

TEST(ConfigSettings, FilesWithoutThemChangeNothing) {
  for (const char* text : {R"({"DB":{"host":"h"}})", "[]", "null", R"({"daemon":{}})"}) {
    daemon_options options = parse({});
    apply_config_settings(json(text), options);
    EXPECT_EQ(options.port, 5000) << text;
    EXPECT_EQ(options.log_dir, "/var/log/norvel") << text;
    EXPECT_FALSE(options.foreground) << text;
  }
}

TEST(ConfigSettings, WrongTypesAndValuesAreRefused) {
  for (const char* text : {
           R"({"daemon":[]})", R"({"daemon":{"port":"5000"}})", R"({"daemon":{"port":0}})",
           R"({"daemon":{"port":65536}})", R"({"daemon":{"port":80.5}})",
           R"({"daemon":{"listen":5}})", R"({"daemon":{"listen":"example"}})",
           R"({"daemon":{"foreground":"yes"}})", R"({"daemon":{"metrics":"nowhere"}})",
           R"({"daemon":{"log_dir":null}})",
           R"({"daemon":{"prot":5000}})",  // a misspelt key would otherwise be ignored silently
       }) {
    daemon_options options = parse({});
    EXPECT_THROW(apply_config_settings(json(text), options), option_error) << text;
  }
}

TEST(ConfigSettings, ALogDirectoryTheOperatorNamedMustExist) {
  daemon_options options = parse({"--log-dir", "/nonexistent/norvel-logs"});
  EXPECT_THROW(check_settings(options), option_error);
  options = parse({});
  apply_config_settings(json(R"({"daemon":{"log_dir":"/nonexistent/norvel-logs"}})"), options);
  EXPECT_THROW(check_settings(options), option_error);
  EXPECT_NO_THROW(check_settings(parse({"--log-dir", "/tmp"})));
}

}  // namespace
