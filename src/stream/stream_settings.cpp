#include "stream/stream_settings.h"

#include <stdexcept>

namespace {

const char* const known_members[] = {"servers",
                                     "name",
                                     "subject",
                                     "node",
                                     "replicas",
                                     "max_age_hours",
                                     "publish_timeout_ms",
                                     "connect_timeout_s",
                                     "snapshot_dir",
                                     "snapshot_interval_s",
                                     "reply_seq",
                                     "min_seq_wait_ms",
                                     "shards"};

[[noreturn]] void wrong(const std::string& member, const std::string& what) {
  throw std::invalid_argument("configuration: \"stream\" member \"" + member + "\" " + what);
}

// A name the stream server accepts in a stream name or a subject token: no blanks, no
// wildcards, no dots (subjects are checked token by token).
bool is_plain_token(const std::string& text) {
  if (text.empty()) {
    return false;
  }
  for (unsigned char c : text) {
    if (c <= ' ' || c == 0x7f || c == '.' || c == '*' || c == '>' || c == '/' || c == '\\') {
      return false;
    }
  }
  return true;
}

bool is_subject(const std::string& text) {
  std::size_t start = 0;
  while (true) {
    const std::size_t dot = text.find('.', start);
    if (!is_plain_token(
            text.substr(start, dot == std::string::npos ? std::string::npos : dot - start))) {
      return false;
    }
    if (dot == std::string::npos) {
      return true;
    }
    start = dot + 1;
  }
}

std::string read_text(const Json::Value& object, const char* member, bool required,
                      const std::string& fallback) {
  const Json::Value& value = object[member];
  if (value.isNull()) {
    if (required) {
      wrong(member, "is required");
    }
    return fallback;
  }
  if (!value.isString() || value.asString().empty()) {
    wrong(member, "must be a non-empty string");
  }
  return value.asString();
}

unsigned read_number(const Json::Value& object, const char* member, unsigned least, unsigned most,
                     unsigned fallback) {
  const Json::Value& value = object[member];
  if (value.isNull()) {
    return fallback;
  }
  if (!value.isIntegral() || !value.isUInt64() || value.asUInt64() < least ||
      value.asUInt64() > most) {
    wrong(member,
          "must be a whole number from " + std::to_string(least) + " to " + std::to_string(most));
  }
  return static_cast<unsigned>(value.asUInt64());
}

bool is_server_url(const std::string& text) {
  const std::string scheme = "nats://";
  return text.size() > scheme.size() && text.compare(0, scheme.size(), scheme) == 0 &&
         text.find_first_of(" \t\r\n,") == std::string::npos;
}

[[noreturn]] void wrong_shards(const std::string& member, const std::string& what) {
  throw std::invalid_argument("configuration: \"stream\" member \"shards\": \"" + member + "\" " +
                              what);
}

unsigned shard_number(const Json::Value& shards, const char* member, unsigned least, unsigned most,
                      unsigned fallback, bool required) {
  const Json::Value& value = shards[member];
  if (value.isNull()) {
    if (required) {
      wrong_shards(member, "is required");
    }
    return fallback;
  }
  if (!value.isIntegral() || !value.isUInt64() || value.asUInt64() < least ||
      value.asUInt64() > most) {
    wrong_shards(member, "must be a whole number from " + std::to_string(least) + " to " +
                             std::to_string(most));
  }
  return static_cast<unsigned>(value.asUInt64());
}

// "host:port" with a port from 1 to 65535 and no blanks.
bool is_address(const std::string& text) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == text.size() ||
      text.find_first_of(" \t\r\n,/") != std::string::npos) {
    return false;
  }
  const std::string port = text.substr(colon + 1);
  if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  const unsigned long number = std::stoul(port);
  return number >= 1 && number <= 65535;
}

void read_shards(const Json::Value& shards, stream_settings& read) {
  if (!shards.isObject()) {
    wrong("shards", "must be an object with \"count\" and \"index\"");
  }
  static const char* const shard_members[] = {
      "count", "index", "partitions", "advertise", "forward_timeout_ms", "registry_ttl_s"};
  for (const std::string& key : shards.getMemberNames()) {
    bool known = false;
    for (const char* member : shard_members) {
      known = known || key == member;
    }
    if (!known) {
      throw std::invalid_argument("configuration: unknown member \"" + key +
                                  "\" in \"stream\" member \"shards\"");
    }
  }
  read.sharded = true;
  read.layout.count = shard_number(shards, "count", 1, shard_layout::max_shards, 1, true);
  read.layout.index = shard_number(shards, "index", 0, shard_layout::max_shards - 1, 0, true);
  if (read.layout.index >= read.layout.count) {
    wrong_shards("index",
                 "must be less than \"count\" (" + std::to_string(read.layout.count) + ")");
  }
  read.layout.partitions =
      shard_number(shards, "partitions", 1, 65536, shard_layout::default_partitions, false);
  if ((read.layout.partitions & (read.layout.partitions - 1)) != 0 ||
      read.layout.partitions < read.layout.count) {
    wrong_shards("partitions", "must be a power of two, at least \"count\"");
  }
  const Json::Value& advertise = shards["advertise"];
  if (!advertise.isNull()) {
    if (!advertise.isString() || !is_address(advertise.asString())) {
      wrong_shards("advertise", "must be \"host:port\"");
    }
    read.advertise = advertise.asString();
  }
  read.forward_timeout_ms =
      shard_number(shards, "forward_timeout_ms", 1, 600000, read.forward_timeout_ms, false);
  read.registry_ttl_s = shard_number(shards, "registry_ttl_s", 2, 3600, read.registry_ttl_s, false);
}

}  // namespace

bool read_stream_settings(const Json::Value& document, stream_settings& out) {
  if (!document.isObject() || !document.isMember("stream")) {
    return false;
  }
  const Json::Value& object = document["stream"];
  if (!object.isObject()) {
    throw std::invalid_argument("configuration: \"stream\" must be an object");
  }
  for (const std::string& key : object.getMemberNames()) {
    bool known = false;
    for (const char* member : known_members) {
      known = known || key == member;
    }
    if (!known) {
      throw std::invalid_argument("configuration: unknown member \"" + key + "\" in \"stream\"");
    }
  }
  stream_settings read;
  const Json::Value& servers = object["servers"];
  if (servers.isNull()) {
    wrong("servers", "is required");
  }
  if (!servers.isArray() || servers.empty()) {
    wrong("servers", "must be a non-empty list of nats://host:port");
  }
  for (const Json::Value& server : servers) {
    if (!server.isString() || !is_server_url(server.asString())) {
      wrong("servers", "must be a non-empty list of nats://host:port");
    }
    read.servers.push_back(server.asString());
  }
  read.name = read_text(object, "name", false, read.name);
  if (!is_plain_token(read.name)) {
    wrong("name", "must be a stream name without blanks, dots, slashes or wildcards");
  }
  read.subject = read_text(object, "subject", false, read.subject);
  if (!is_subject(read.subject)) {
    wrong("subject", "must be dot-separated tokens without blanks or wildcards");
  }
  read.node = read_text(object, "node", true, "");
  if (!is_plain_token(read.node)) {
    wrong("node", "must be a name without blanks, dots, slashes or wildcards");
  }
  read.replicas = read_number(object, "replicas", 1, 5, read.replicas);
  read.max_age_hours = read_number(object, "max_age_hours", 1, 100000, read.max_age_hours);
  read.publish_timeout_ms =
      read_number(object, "publish_timeout_ms", 1, 600000, read.publish_timeout_ms);
  read.connect_timeout_s =
      read_number(object, "connect_timeout_s", 0, 3600, read.connect_timeout_s);
  read.snapshot_dir = read_text(object, "snapshot_dir", true, "");
  read.snapshot_interval_s =
      read_number(object, "snapshot_interval_s", 0, 604800, read.snapshot_interval_s);
  const Json::Value& reply_seq = object["reply_seq"];
  if (!reply_seq.isNull()) {
    if (!reply_seq.isBool()) {
      wrong("reply_seq", "must be true or false");
    }
    read.reply_seq = reply_seq.asBool();
  }
  read.min_seq_wait_ms = read_number(object, "min_seq_wait_ms", 0, 600000, read.min_seq_wait_ms);
  if (object.isMember("shards")) {
    read_shards(object["shards"], read);
  }
  out = std::move(read);
  return true;
}
