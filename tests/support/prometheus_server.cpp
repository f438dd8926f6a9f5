#include "prometheus_server.h"

#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <stdexcept>

#include "metrics_client.h"

namespace {

std::string url_encoded(const std::string& text) {
  std::string out;
  for (const unsigned char c : text) {
    if (std::isalnum(c) != 0 || c == '-' || c == '_' || c == '.' || c == '~') {
      out += static_cast<char>(c);
    } else {
      char escaped[4];
      std::snprintf(escaped, sizeof(escaped), "%%%02X", c);
      out += escaped;
    }
  }
  return out;
}

}  // namespace

bool prometheus_server::installed() {
  return ::access(binary, X_OK) == 0;
}

prometheus_server::prometheus_server(const std::string& dir,
                                     const std::vector<std::string>& targets,
                                     const std::vector<std::string>& rule_files)
    : port(free_port()) {
  std::string config =
      "global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n  evaluation_interval: 1s\n";
  if (!rule_files.empty()) {
    config += "rule_files:\n";
    for (const std::string& file : rule_files) {
      config += "  - " + file + "\n";
    }
  }
  config += "scrape_configs:\n  - job_name: norvel\n    static_configs:\n      - targets: [";
  for (std::size_t i = 0; i < targets.size(); ++i) {
    config += (i == 0 ? "'" : ", '") + targets[i] + "'";
  }
  config += "]\n";
  std::ofstream(dir + "/prometheus.yml") << config;
  process = std::make_unique<foreground_daemon>(
      std::vector<std::string>{
          "--config.file=" + dir + "/prometheus.yml", "--storage.tsdb.path=" + dir + "/tsdb",
          "--web.listen-address=127.0.0.1:" + std::to_string(port), "--log.level=warn"},
      dir, std::vector<std::string>{}, binary);
}

prometheus_server::~prometheus_server() = default;

Json::Value prometheus_server::api(const std::string& target, std::string& error) const {
  Json::Value answer;
  try {
    const http_reply reply =
        http_get("127.0.0.1", std::to_string(port), target, std::chrono::seconds(5));
    Json::Reader reader;
    if (!reader.parse(reply.body, answer, false) || !answer.isObject()) {
      error = "not JSON: " + reply.body;
    } else if (answer["status"].asString() != "success") {
      error = answer["errorType"].asString() + ": " + answer["error"].asString();
    }
  } catch (const std::exception& e) {
    error = e.what();
  }
  return answer.isObject() ? answer["data"] : Json::Value();
}

Json::Value prometheus_server::query(const std::string& expr, std::string& error) const {
  return api("/api/v1/query?query=" + url_encoded(expr), error)["result"];
}
