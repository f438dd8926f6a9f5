#include "support/app_config.h"

#include <sys/stat.h>

#include <cstdio>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <vector>

#include "support/log.h"
#include "util/clibext.h"

namespace {

using file_ptr = std::unique_ptr<FILE, int (*)(FILE*)>;

// The whole file as text. The buffer carries two zero bytes past the end, which the parser
// never sees as content.
std::string read_whole_file(const std::string& path) {
  file_ptr file(std::fopen(path.c_str(), "rb"), &std::fclose);
  // A directory opens for reading too, but has no text (and reports a size of up to 2^63).
  struct stat info {};
  if (!file || ::fstat(::fileno(file.get()), &info) != 0 || S_ISDIR(info.st_mode)) {
    throw std::logic_error("Exception app_cfg::open_file: file is not exist");
  }
  const long size = clibext::fsize(file.get());
  std::vector<char> buffer(static_cast<size_t>(size > 0 ? size : 0) + 2, '\0');
  const long got =
      size > 0 ? clibext::freadn(file.get(), buffer.data(), static_cast<size_t>(size)) : 0;
  return std::string(buffer.data(), static_cast<size_t>(got > 0 ? got : 0));
}

// Json::Reader with all its features, the reader the file format is defined by: comments are
// allowed and anything after the document is ignored, but a trailing comma, a byte-order mark or
// a number out of a double's range is not JSON. (The newer builders accept those by default.)
// Nesting deeper than the reader's limit throws from inside it; that is a text it cannot parse
// too.
Json::Value parse_config_text(const std::string& text) {
  Json::Reader reader;
  Json::Value document;
  bool parsed = false;
  try {
    parsed = reader.parse(text.data(), text.data() + text.size(), document);
  } catch (const Json::Exception&) {
    parsed = false;
  }
  if (!parsed) {
    throw std::logic_error("Exception app_cfg::open_file: cannot parse config file.");
  }
  return document;
}

std::string text_or_empty(const Json::Value& value) {
  return value.isNull() ? std::string() : value.asString();
}

}  // namespace

Json::Value read_config_document(const std::string& path) {
  return parse_config_text(read_whole_file(path));
}

// Field by field in this order, so a field that fails to convert leaves the earlier ones set.
void app_cfg::db_setting::init(const Json::Value& value) {
  host = text_or_empty(value["host"]);
  user = text_or_empty(value["user"]);
  passwd = text_or_empty(value["passwd"]);
  name = text_or_empty(value["name"]);
  const Json::Value& port_value = value["port"];
  port = port_value.isNull() ? 0 : port_value.asInt();
  const Json::Value& compress_value = value["compress"];
  compress = compress_value.isNull() ? true : compress_value.asBool();
}

void app_cfg::log_setting::init(const Json::Value& value) {
  level = 0;
  if (value.isNull()) {
    return;
  }
  const char* const wrong =
      "Exception app_cfg::open_file: \"log\" member \"level\" must be one of fatal, error, "
      "warning, info, debug, trace; every level stays on";
  if (!value.isObject()) {
    throw std::logic_error(wrong);
  }
  const Json::Value& word = value["level"];
  if (word.isNull()) {
    return;
  }
  const int parsed = word.isString() ? log_level_from_word(word.asString()) : 0;
  if (parsed == 0) {
    throw std::logic_error(wrong);
  }
  level = parsed;
}

void app_cfg::store_setting::init(const Json::Value& value) {
  feed_cap = 0;
  public_cap = 0;
  if (value.isNull()) {
    return;
  }
  if (!value.isObject()) {
    throw std::logic_error(
        "Exception app_cfg::open_file: \"store\" member must be an object of "
        "\"feed_cap\" and \"public_cap\"");
  }
  const Json::Value& feed = value["feed_cap"];
  const Json::Value& pub = value["public_cap"];
  feed_cap = feed.isNull() ? 0 : static_cast<unsigned long>(feed.asUInt64());
  public_cap = pub.isNull() ? 0 : static_cast<unsigned long>(pub.asUInt64());
}

namespace {

// A whole number from `least` to `most` goes to `out`; absent (null) leaves `out` as it is;
// anything else throws `wrong`.
void read_bounded(const Json::Value& number, unsigned long least, unsigned long most,
                  const char* wrong, unsigned long& out) {
  if (number.isNull()) {
    return;
  }
  if (!number.isIntegral() || !number.isUInt64() || number.asUInt64() < least ||
      number.asUInt64() > most) {
    throw std::logic_error(wrong);
  }
  out = static_cast<unsigned long>(number.asUInt64());
}

}  // namespace

void app_cfg::limits_setting::init(const Json::Value& value) {
  *this = limits_setting();
  if (value.isNull()) {
    return;
  }
  const char* const wrong =
      "Exception app_cfg::open_file: \"limits\" member \"max_connections\" must be a whole number "
      "from 1 to 1000000; the default of 10000 stays";
  if (!value.isObject()) {
    throw std::logic_error(wrong);
  }
  unsigned long connections = max_connections;
  read_bounded(value["max_connections"], 1, 1000000, wrong, connections);
  max_connections = static_cast<std::size_t>(connections);
}

void app_cfg::inviter_setting::init(const Json::Value& value) {
  *this = inviter_setting();
  if (value.isNull()) {
    return;
  }
  const char* const wrong =
      "Exception app_cfg::open_file: \"inviter\" member must be an object of "
      "\"reload_interval_ms\" "
      "(0 to 3600000) and \"read_timeout_s\" (0 to 3600); the defaults of 1000 and 5 stay";
  if (!value.isObject()) {
    throw std::logic_error(wrong);
  }
  unsigned long interval = default_reload_interval_ms;
  unsigned long timeout = default_read_timeout_s;
  read_bounded(value["reload_interval_ms"], 0, 3600000, wrong, interval);
  read_bounded(value["read_timeout_s"], 0, 3600, wrong, timeout);
  reload_interval_ms = interval;
  read_timeout_s = static_cast<unsigned int>(timeout);
}

namespace {

bool report_failure(const std::exception& e) {
  log_event(log_debug, "Exception: app_cfg::open_file error %s", e.what());
  std::cout << e.what() << std::endl;
  return false;
}

}  // namespace

bool app_cfg::open_file(const std::string& path) {
  std::string text;
  try {
    text = read_whole_file(path);
  } catch (const std::exception& e) {
    return report_failure(e);
  }
  return open_text(text);
}

bool app_cfg::open_text(const std::string& text) {
  try {
    const Json::Value document = parse_config_text(text);
    db.init(document["DB"]);
    log.init(document.isObject() ? document["log"] : Json::Value());
    store.init(document.isObject() ? document["store"] : Json::Value());
    limits.init(document.isObject() ? document["limits"] : Json::Value());
    inviter.init(document.isObject() ? document["inviter"] : Json::Value());
    return true;
  } catch (const std::exception& e) {
    return report_failure(e);
  }
}
