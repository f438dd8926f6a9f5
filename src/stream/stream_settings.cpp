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
                                     "min_seq_wait_ms"};

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
  out = std::move(read);
  return true;
}
