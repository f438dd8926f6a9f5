// The shipped dashboard and rules against the real thing: a Prometheus server (Debian's package)
// loads deploy/prometheus/norvel-rules.yml and scrapes three built daemons, the two nodes of a
// sharded site on a stream server and one without a stream, while a small workload runs. Then
// every query of every panel of deploy/grafana/norvel.json, the dashboard's variables and every
// rule are asked through Prometheus's HTTP API: each must parse, each must answer a series for
// every node that exports what it names, every rule must evaluate without error, and a name that
// neither node exports nor a rule records fails the test, as does an alert pending or firing on
// these healthy nodes. norvel-cli top --once reads the same nodes.
#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <json/json.h>

#include "daemon_runner.h"
#include "eventually.h"
#include "foreground_daemon.h"
#include "jetstream_cluster.h"
#include "metrics_client.h"
#include "prometheus_server.h"
#include "replica_node.h"
#include "test_db.h"

namespace {

std::string read_file(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The metric names an expression reads: words outside quotes and braces' values that hold a
// colon (a recorded name) or start with norvel_ or process_, and `up`.
std::set<std::string> names_in(const std::string& expr) {
  std::set<std::string> names;
  std::string word;
  bool quoted = false;
  auto flush = [&] {
    if (word.find(':') != std::string::npos || word.rfind("norvel_", 0) == 0 ||
        word.rfind("process_", 0) == 0 || word == "up") {
      names.insert(word);
    }
    word.clear();
  };
  for (std::size_t i = 0; i < expr.size(); ++i) {
    const char c = expr[i];
    if (c == '"' && (i == 0 || expr[i - 1] != '\\')) {
      quoted = !quoted;
      word.clear();
    } else if (!quoted &&
               (std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_' || c == ':')) {
      word += c;
    } else if (!quoted) {
      flush();
    }
  }
  flush();
  return names;
}

// What each scraped node exports: sample names by instance ("127.0.0.1:PORT").
using exports_by_instance = std::map<std::string, std::set<std::string>>;

exports_by_instance read_exports(const std::vector<std::string>& instances) {
  exports_by_instance found;
  for (const std::string& instance : instances) {
    const std::size_t colon = instance.rfind(':');
    const http_reply page = http_get(instance.substr(0, colon), instance.substr(colon + 1),
                                     "/metrics", std::chrono::seconds(5));
    for (const metric_family& family : parse_exposition(page.body)) {
      for (const auto& sample : family.samples) {
        found[instance].insert(sample.name);
      }
    }
  }
  return found;
}

// Checks expressions against the server; each check adds its failures to a text, one per line.
class expression_check {
 public:
  expression_check(const prometheus_server& server, exports_by_instance exports,
                   std::set<std::string> recorded)
      : prometheus(server), exported(std::move(exports)), records(std::move(recorded)) {}

  // Whether `instance` has every name `expr` reads: exported by it, or recorded for it.
  bool has_all(const std::string& expr, const std::string& instance, std::string& failures) {
    bool all = true;
    for (const std::string& name : names_in(expr)) {
      if (name == "up") {
        continue;
      }
      if (records.count(name) != 0) {
        std::string error;
        const Json::Value own = prometheus.query(name + "{instance=\"" + instance + "\"}", error);
        const Json::Value any = prometheus.query(name, error);
        const bool per_instance = any.size() > 0 && any[0]["metric"].isMember("instance");
        all = all && (per_instance ? own.size() > 0 : any.size() > 0);
        continue;
      }
      bool anywhere = false;
      for (const auto& [node, names] : exported) {
        anywhere = anywhere || names.count(name) != 0;
      }
      if (!anywhere) {
        failures +=
            "'" + expr + "' reads " + name + ", which no node exports and no rule records\n";
      }
      all = all && exported[instance].count(name) != 0;
    }
    return all;
  }

  // `expr` parses, and answers a series wherever the node has what it reads; asked once per
  // node, with the dashboard's variables set to that node (and $__rate_interval to 5s).
  void dashboard_query(const std::string& title, std::string expr, std::string& failures) {
    for (const auto& [instance, names] : exported) {
      std::string query = expr;
      replace_all(query, "$__rate_interval", "5s");
      replace_all(query, "$job", "norvel");
      replace_all(query, "$instance", instance);
      std::string error;
      const Json::Value result = prometheus.query(query, error);
      if (!error.empty()) {
        failures += "panel '" + title + "': '" + query + "': " + error + "\n";
        return;
      }
      if (has_all(expr, instance, failures) && result.size() == 0) {
        failures += "panel '" + title + "': '" + query + "' answers no series for " + instance +
                    ", which exports what it reads\n";
      }
    }
  }

  // A rule from /api/v1/rules: evaluated without error; a recording rule's query answers a
  // series for every node that has what it reads.
  void rule(const Json::Value& rule, std::string& failures) {
    const std::string name = rule["name"].asString();
    const std::string expr = rule["query"].asString();
    if (rule["health"].asString() != "ok") {
      failures += "rule " + name + " health " + rule["health"].asString() + ": " +
                  rule["lastError"].asString() + "\n";
      return;
    }
    std::string error;
    const Json::Value result = prometheus.query(expr, error);
    if (!error.empty()) {
      failures += "rule " + name + ": " + error + "\n";
      return;
    }
    if (rule["type"].asString() != "recording") {
      return;
    }
    std::set<std::string> answered;
    for (const Json::Value& series : result) {
      answered.insert(series["metric"]["instance"].asString());
    }
    for (const auto& [instance, names] : exported) {
      const bool keeps_instance = answered.count("") == 0;
      if (has_all(expr, instance, failures) &&
          (keeps_instance ? answered.count(instance) == 0 : result.size() == 0)) {
        failures += "recording rule " + name + " answers no series for " + instance + "\n";
      }
    }
  }

 private:
  static void replace_all(std::string& text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size())) {
      text.replace(at, from.size(), to);
    }
  }

  const prometheus_server& prometheus;
  exports_by_instance exported;
  std::set<std::string> records;
};

// Every panel's queries, with the panel's title.
std::vector<std::pair<std::string, std::string>> dashboard_queries(const Json::Value& dashboard) {
  std::vector<std::pair<std::string, std::string>> queries;
  for (const Json::Value& panel : dashboard["panels"]) {
    for (const Json::Value& target : panel["targets"]) {
      queries.emplace_back(panel["title"].asString(), target["expr"].asString());
    }
  }
  return queries;
}

TEST(DashboardAndRules, EveryExpressionAnswersOnRealScrapesOfShardNodesAndAPlainNode) {
  test_db db("e2e_dashboard");
  db.exec(
      "INSERT INTO brix_mb_special (special_id, member_id, reader_type, from_user, state) "
      "VALUES (1,3,0,1,0),(2,5,1,1,0);"
      "INSERT INTO brix_member (member_id, inviter_id) VALUES (3,0),(5,3),(7,5)");
  temp_dir dir;
  jetstream_cluster stream(1);
  // A sharded site of two shards, a node each (both start on the empty stream from the
  // database), so that every stream and shard figure is there; the first takes the workload and
  // sends the other shard's reads on to it. One after the other: the first makes the stream
  // (two nodes starting at once on a new site may both try, and the second's start then fails).
  replica_node streamed("s0", dir.path(), db.config_json(), stream.servers_json(),
                        ",\"shards\":{\"count\":2,\"index\":0}");
  replica_node other_shard("s1", dir.path(), db.config_json(), stream.servers_json(),
                           ",\"shards\":{\"count\":2,\"index\":1}");
  const std::string streamed_metrics = "127.0.0.1:" + std::to_string(free_port());
  const std::string other_metrics = "127.0.0.1:" + std::to_string(free_port());
  streamed.start({"--metrics", streamed_metrics});
  ASSERT_TRUE(streamed.wait_serving()) << streamed.output();
  other_shard.start({"--metrics", other_metrics});
  ASSERT_TRUE(other_shard.wait_serving()) << other_shard.output();

  const unsigned short plain_port = free_port();
  const std::string plain_metrics = "127.0.0.1:" + std::to_string(free_port());
  const std::string config = dir.write("plain.ini", db.config_json());
  std::filesystem::create_directories(dir.path() + "/plain_logs");
  foreground_daemon plain({"--foreground", "--config", config, "--listen", "127.0.0.1", "--port",
                           std::to_string(plain_port), "--metrics", plain_metrics, "--log-dir",
                           dir.path() + "/plain_logs"},
                          dir.path());
  ASSERT_TRUE(wait_accepting(plain_port, plain)) << plain.output();

  // Reads, changes, a failed request on both nodes, until the checks are done: the stream node's
  // changes go through its stream, so its lag histogram fills too.
  std::atomic<bool> stop{false};
  std::thread workload([&] {
    frame_client to_stream(streamed.port());
    frame_client to_plain(plain_port);
    for (int i = 0; !stop; ++i) {
      for (frame_client* client : {&to_stream, &to_plain}) {
        const std::string id = std::to_string(100 + i);
        for (const std::string& body :
             {"{\"act\":\"special\",\"op\":\"add\",\"params\":{\"user_id\":5,\"specials\":[{"
              "\"spid\":" +
                  id + ",\"type\":0}]}}",
              std::string("{\"act\":\"follow\",\"op\":\"fetch\",\"params\":{\"user_id\":5}}"),
              "{\"act\":\"special\",\"op\":\"fetch_pri\",\"params\":{\"user_id\":" +
                  std::to_string(3 + i % 8) + ",\"special_id\":-1,\"count\":5,\"type\":1}}",
              std::string("{\"act\":\"special\",\"op\":\"fetch_pub\",\"params\":{\"special_id\""
                          ":-1,\"count\":5,\"type\":1}}"),
              std::string("{\"act\":\"follow\",\"op\":\"remove\"}")}) {
          client->send_frame(body);
          client->recv_frame();
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });

  const std::vector<std::string> instances = {streamed_metrics, other_metrics, plain_metrics};
  ASSERT_TRUE(prometheus_server::installed()) << "scripts/install_deps.sh installs prometheus";
  prometheus_server prometheus(dir.path(), instances,
                               {NORVEL_SOURCE_DIR "/deploy/prometheus/norvel-rules.yml"});

  Json::Value dashboard;
  Json::Reader reader;
  ASSERT_TRUE(reader.parse(read_file(NORVEL_SOURCE_DIR "/deploy/grafana/norvel.json"), dashboard))
      << reader.getFormattedErrorMessages();
  const auto queries = dashboard_queries(dashboard);
  ASSERT_GE(queries.size(), 20u);

  std::string failures;
  const bool all_answer = eventually(
      [&] {
        failures.clear();
        std::string error;
        const Json::Value groups = prometheus.api("/api/v1/rules", error)["groups"];
        std::set<std::string> recorded;
        std::size_t rule_count = 0;
        for (const Json::Value& group : groups) {
          for (const Json::Value& rule : group["rules"]) {
            ++rule_count;
            if (rule["type"].asString() == "recording") {
              recorded.insert(rule["name"].asString());
            }
          }
        }
        if (rule_count == 0) {
          failures = "Prometheus has loaded no rules: " + error + "\n";
          return false;
        }
        expression_check check(prometheus, read_exports(instances), recorded);
        for (const Json::Value& group : groups) {
          for (const Json::Value& rule : group["rules"]) {
            check.rule(rule, failures);
          }
        }
        for (const auto& [title, expr] : queries) {
          check.dashboard_query(title, expr, failures);
        }
        // The variables: label_values(norvel_build_info, job), then instance by job.
        const Json::Value nodes = prometheus.query(
            "count by (job, instance) (norvel_build_info{job=~\"norvel\"})", error);
        if (nodes.size() != instances.size()) {
          failures +=
              "the job and instance variables find " + std::to_string(nodes.size()) + " nodes\n";
        }
        // A healthy site: no alert's condition holds (ALERTS has a series per pending or firing
        // alert), so none would page on these nodes as they are.
        for (const Json::Value& alert : prometheus.query("ALERTS", error)) {
          failures += "alert " + alert["metric"]["alertname"].asString() + " is " +
                      alert["metric"]["alertstate"].asString() + " for " +
                      alert["metric"]["instance"].asString() + " on a healthy site\n";
        }
        return failures.empty();
      },
      std::chrono::seconds(40));
  // norvel-cli top reads a shard node and the plain node: the stream's and the shard's figures
  // on the one that has them.
  const command_result top =
      run_command(cli_binary(), {"top", "--once", streamed_metrics, plain_metrics}, dir.path(),
                  std::chrono::seconds(20));
  stop = true;
  workload.join();
  EXPECT_TRUE(all_answer) << failures << "\nprometheus:\n" << prometheus.output();
  EXPECT_EQ(top.exit_status, 0) << top.err;
  const std::size_t streamed_at = top.out.find(" " + streamed_metrics + " ");
  const std::size_t plain_at = top.out.find(" " + plain_metrics + " ");
  ASSERT_NE(streamed_at, std::string::npos) << top.out;
  ASSERT_NE(plain_at, std::string::npos) << top.out;
  const std::string streamed_line = top.out.substr(streamed_at);
  const std::string plain_line = top.out.substr(plain_at);
  for (const char* field : {" rps=", "special/add:", " applied_seq=", " lag_p99_ms=",
                            " shard=0/2 fwd_rps=", " snapshot_age_s="}) {
    EXPECT_NE(streamed_line.substr(0, streamed_line.find('\n')).find(field), std::string::npos)
        << field << "\n"
        << top.out;
  }
  EXPECT_NE(plain_line.find(" rps="), std::string::npos) << top.out;
  EXPECT_EQ(plain_line.substr(0, plain_line.find('\n')).find(" applied_seq="), std::string::npos)
      << top.out;
  EXPECT_EQ(plain.stop(SIGTERM), 0) << plain.output();
  EXPECT_EQ(streamed.stop(SIGTERM), 0) << streamed.output();
  EXPECT_EQ(other_shard.stop(SIGTERM), 0) << other_shard.output();
}

}  // namespace
