// A Prometheus server (Debian's package) for end-to-end tests: on a free loopback port, storing
// into a directory of the test's, scraping the given metrics endpoints as job "norvel" every
// second and evaluating the given rule files every second. Its HTTP API is asked through api()
// and query().
//
// Threads: the test's thread. Ownership: owns its process (stopped on destruction); the directory
// belongs to the caller.
#ifndef NORVEL_PROMETHEUS_SERVER_H_
#define NORVEL_PROMETHEUS_SERVER_H_

#include <memory>
#include <string>
#include <vector>

#include <json/json.h>

#include "foreground_daemon.h"

class prometheus_server {
 public:
  static constexpr const char* binary = "/usr/bin/prometheus";

  // Whether the server is installed (scripts/install_deps.sh installs it).
  static bool installed();

  // Writes `dir`/prometheus.yml and starts the server. `targets`: ADDRESS:PORT of each endpoint.
  prometheus_server(const std::string& dir, const std::vector<std::string>& targets,
                    const std::vector<std::string>& rule_files = {});
  ~prometheus_server();
  prometheus_server(const prometheus_server&) = delete;
  prometheus_server& operator=(const prometheus_server&) = delete;

  // The "data" member of the API's answer to GET `target` (/api/v1/...). `error` is set to the
  // reason when the server cannot be asked or its "status" is not "success".
  Json::Value api(const std::string& target, std::string& error) const;
  // The "result" of the instant query `expr`; `error` set when it does not parse or evaluate.
  Json::Value query(const std::string& expr, std::string& error) const;

  std::string output() const { return process->output(); }

 private:
  unsigned short port;
  std::unique_ptr<foreground_daemon> process;
};

#endif  // NORVEL_PROMETHEUS_SERVER_H_
