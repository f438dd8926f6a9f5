// The "stream" member: defaults, every member read, and each kind of fault named by its member.
#include "stream/stream_settings.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace {

Json::Value parse(const std::string& text) {
  Json::Value document;
  Json::Reader reader;
  EXPECT_TRUE(reader.parse(text, document)) << text;
  return document;
}

// The message of the error reading `stream_member` throws, or "" when it reads.
std::string fault_of(const std::string& stream_member) {
  stream_settings settings;
  try {
    read_stream_settings(parse("{\"stream\":" + stream_member + "}"), settings);
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
  return "";
}

const char* const minimal =
    R"({"servers":["nats://127.0.0.1:4222"],"node":"a","snapshot_dir":"/var/lib/norvel"})";

TEST(StreamSettings, AbsentMemberLeavesTheNodeAlone) {
  stream_settings settings;
  EXPECT_FALSE(read_stream_settings(parse(R"({"DB":{}})"), settings));
  EXPECT_FALSE(read_stream_settings(parse("[]"), settings));
}

TEST(StreamSettings, DefaultsAndEveryMember) {
  stream_settings settings;
  ASSERT_TRUE(read_stream_settings(parse(std::string("{\"stream\":") + minimal + "}"), settings));
  EXPECT_EQ(settings.name, "NORVEL");
  EXPECT_EQ(settings.subject, "norvel.mut");
  EXPECT_EQ(settings.stream_subjects(), "norvel.mut.>");
  EXPECT_EQ(settings.replicas, 1u);
  EXPECT_EQ(settings.max_age_hours, 168u);
  EXPECT_EQ(settings.publish_timeout_ms, 2000u);
  EXPECT_EQ(settings.connect_timeout_s, 30u);
  EXPECT_EQ(settings.snapshot_interval_s, 300u);
  EXPECT_FALSE(settings.reply_seq);
  EXPECT_EQ(settings.min_seq_wait_ms, 1000u);

  ASSERT_TRUE(read_stream_settings(
      parse(R"({"stream":{"servers":["nats://a:1","nats://b:2"],"name":"S","subject":"x.y",
               "node":"n1","replicas":3,"max_age_hours":2,"publish_timeout_ms":50,
               "connect_timeout_s":0,"snapshot_dir":"/s","snapshot_interval_s":10,
               "reply_seq":true,"min_seq_wait_ms":7}})"),
      settings));
  EXPECT_EQ(settings.servers.size(), 2u);
  EXPECT_EQ(settings.stream_subjects(), "x.y.>");
  EXPECT_EQ(settings.replicas, 3u);
  EXPECT_EQ(settings.connect_timeout_s, 0u);
  EXPECT_TRUE(settings.reply_seq);
  EXPECT_EQ(settings.min_seq_wait_ms, 7u);
}

TEST(StreamSettings, EachFaultNamesItsMember) {
  EXPECT_NE(fault_of("[]").find("\"stream\" must be an object"), std::string::npos);
  EXPECT_NE(
      fault_of(R"({"servers":["nats://a:1"],"snapshot_dir":"/s"})").find("\"node\" is required"),
      std::string::npos);
  EXPECT_NE(fault_of(R"({"servers":["nats://a:1"],"node":"a"})").find("\"snapshot_dir\""),
            std::string::npos);
  EXPECT_NE(fault_of(R"({"node":"a","snapshot_dir":"/s"})").find("\"servers\""), std::string::npos);
  EXPECT_NE(
      fault_of(R"({"servers":"nats://a:1","node":"a","snapshot_dir":"/s"})").find("\"servers\""),
      std::string::npos);
  EXPECT_NE(
      fault_of(R"({"servers":["http://a:1"],"node":"a","snapshot_dir":"/s"})").find("\"servers\""),
      std::string::npos);
  const std::string base = R"("servers":["nats://a:1"],"node":"a","snapshot_dir":"/s")";
  const char* const wrong_values[][2] = {
      {"replicas", "0"},
      {"replicas", "7"},
      {"replicas", "\"3\""},
      {"max_age_hours", "-1"},
      {"publish_timeout_ms", "0"},
      {"connect_timeout_s", "1.5"},
      {"snapshot_interval_s", "true"},
      {"reply_seq", "1"},
      {"min_seq_wait_ms", "null1"},
      {"name", "\"a b\""},
      {"name", "\"a.b\""},
      {"subject", "\"a.*\""},
      {"subject", "\"a..b\""},
      {"node", "\"x.y\""},
      {"node", "3"},
  };
  for (const auto& entry : wrong_values) {
    const std::string member = entry[0];
    const std::string text = "{" + base + ",\"" + member + "\":" + entry[1] + "}";
    if (std::string(entry[1]) == "null1") {
      continue;  // not JSON; the file reader rejects it before this
    }
    EXPECT_NE(fault_of(text).find("\"" + member + "\""), std::string::npos) << text;
  }
  EXPECT_NE(fault_of("{" + base + ",\"sever\":1}").find("unknown member \"sever\""),
            std::string::npos);
}

TEST(StreamSettings, ShardsAreReadAndEachFaultNamesItsMember) {
  const std::string base = R"("servers":["nats://a:1"],"node":"a","snapshot_dir":"/s")";
  stream_settings settings;
  ASSERT_TRUE(read_stream_settings(
      parse("{\"stream\":{" + base +
            R"(,"shards":{"count":4,"index":3,"partitions":256,"advertise":"10.0.0.5:5000"}}})"),
      settings));
  EXPECT_TRUE(settings.sharded);
  EXPECT_EQ(settings.layout, (shard_layout{256, 4, 3}));
  EXPECT_EQ(settings.advertise, "10.0.0.5:5000");
  const char* const wrong[][2] = {
      {R"({"index":0})", "\"count\" is required"},
      {R"({"count":2})", "\"index\" is required"},
      {R"({"count":0,"index":0})", "\"count\""},
      {R"({"count":65,"index":0})", "\"count\""},
      {R"({"count":2,"index":2})", "\"index\" must be less than \"count\" (2)"},
      {R"({"count":2,"index":-1})", "\"index\""},
      {R"({"count":2,"index":0,"partitions":1000})", "\"partitions\""},
      {R"({"count":8,"index":0,"partitions":4})", "\"partitions\""},
      {R"({"count":2,"index":0,"advertise":"nohost"})", "\"advertise\""},
      {R"({"count":2,"index":0,"advertise":"h:70000"})", "\"advertise\""},
      {R"({"count":2,"index":0,"shard":1})", "unknown member \"shard\""},
      {"[2,0]", "\"shards\" must be an object"},
  };
  for (const auto& entry : wrong) {
    const std::string text = "{" + base + ",\"shards\":" + entry[0] + "}";
    EXPECT_NE(fault_of(text).find(entry[1]), std::string::npos) << text << ": " << fault_of(text);
  }
}

}  // namespace
