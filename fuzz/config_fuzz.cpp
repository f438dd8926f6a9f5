// Fuzzes the configuration reader: arbitrary bytes become the configuration file's text, which
// app_cfg::open_text converts. It must answer true or false and never throw, crash or read out
// of bounds. When it answers true, the settings must be exactly those that the same bytes give
// when parsed by the reader the format is defined by. One input in `through_file_every` also goes
// through a real file and app_cfg::open_file, which must answer the same, so nothing of the file
// is lost or altered on its way from the disk (short reads, a zero byte inside the text, a file
// without a trailing newline); the others cost no file system work.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include <json/json.h>

#include "support/app_config.h"
#include "temp_dir.h"

namespace {

constexpr size_t through_file_every = 64;

std::string config_path;

void fail(const char* what) {
  std::fprintf(stderr, "config_fuzz: %s\n", what);
  std::abort();
}

bool write_file(const std::string& path, const uint8_t* data, size_t size) {
  std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "wb"), &std::fclose);
  return file && std::fwrite(data, 1, size, file.get()) == size;
}

// What the settings should be after reading these bytes; false when reading them should fail:
// the text is not JSON, or a member open_file reads ("DB", "log", "store", "limits", "inviter") is
// wrong.
bool expected_settings(const uint8_t* data, size_t size, app_cfg::db_setting& out) {
  Json::Reader reader;  // the reader the file format is defined by
  Json::Value document;
  const char* text = reinterpret_cast<const char*>(data);
  try {
    if (!reader.parse(text, text + size, document)) {
      return false;
    }
    out.init(document["DB"]);
    const auto member = [&](const char* name) {
      return document.isObject() ? document[name] : Json::Value();
    };
    app_cfg::log_setting().init(member("log"));
    app_cfg::store_setting().init(member("store"));
    app_cfg::limits_setting().init(member("limits"));
    app_cfg::inviter_setting().init(member("inviter"));
  } catch (const std::exception&) {
    return false;
  }
  return true;
}

bool same_settings(const app_cfg::db_setting& a, const app_cfg::db_setting& b) {
  return a.host == b.host && a.user == b.user && a.passwd == b.passwd && a.name == b.name &&
         a.port == b.port;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  static const temp_dir scratch("norvel_config_fuzz_");  // removed at exit
  config_path = scratch.file("norvel.config.ini");
  // A failed read prints its message on standard output; thousands of them per second would
  // bury the fuzzer's own report.
  const int null_fd = ::open("/dev/null", O_WRONLY);
  if (null_fd >= 0) {
    ::dup2(null_fd, STDOUT_FILENO);
    ::close(null_fd);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (config_path.empty()) {
    LLVMFuzzerInitialize(nullptr, nullptr);
  }
  app_cfg config;
  const bool read =
      config.open_text(std::string(reinterpret_cast<const char*>(data), size));  // must not throw
  static size_t inputs = 0;
  if (++inputs % through_file_every == 0) {
    if (!write_file(config_path, data, size)) {
      fail("cannot write the configuration file");
    }
    app_cfg from_file;
    if (from_file.open_file(config_path) != read ||
        (read && !same_settings(from_file.db, config.db))) {
      fail("the file reads differently from its text");
    }
  }
  app_cfg::db_setting expected;
  const bool should_read = expected_settings(data, size, expected);
  if (read != should_read) {
    fail(read ? "file accepted although its text is not a valid configuration"
              : "valid configuration rejected");
  }
  if (read && !same_settings(config.db, expected)) {
    fail("settings differ from the file's text");
  }
  return 0;
}
