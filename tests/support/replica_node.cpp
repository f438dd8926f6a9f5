#include "replica_node.h"

#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "daemon_runner.h"

namespace {

void make_dir(const std::string& path) {
  if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
    throw std::runtime_error("cannot make " + path);
  }
}

}  // namespace

replica_node::replica_node(const std::string& name, const std::string& base_dir,
                           const std::string& db_config_json, const std::string& servers_json,
                           const std::string& more_stream)
    : node_dir(base_dir + "/" + name), listen_port(free_port()) {
  make_dir(node_dir);
  snapshots = node_dir + "/snapshots";
  make_dir(snapshots);
  make_dir(node_dir + "/log");
  config = node_dir + "/norvel.ini";
  std::ofstream file(config);
  const std::string base = db_config_json.substr(0, db_config_json.rfind('}'));
  const bool own_timeout = more_stream.find("\"connect_timeout_s\"") != std::string::npos;
  file << base << ",\"stream\":{\"servers\":" << servers_json << ",\"node\":\"" << name
       << "\",\"snapshot_dir\":\"" << snapshots << "\""
       << (own_timeout ? "" : ",\"connect_timeout_s\":30") << more_stream << "}}";
}

replica_node::~replica_node() = default;

void replica_node::start(const std::vector<std::string>& extra) {
  std::vector<std::string> args = {"--config",
                                   config,
                                   "--foreground",
                                   "--listen",
                                   "127.0.0.1",
                                   "--port",
                                   std::to_string(listen_port),
                                   "--log-dir",
                                   node_dir + "/log"};
  args.insert(args.end(), extra.begin(), extra.end());
  process.reset();
  process = std::make_unique<foreground_daemon>(args, node_dir);
}

bool replica_node::wait_serving(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (!running()) {
      return false;
    }
    if (port_accepts(listen_port)) {
      try {
        ask(R"({"act":"special","op":"fetch_pub","params":{"special_id":-1,"count":1,"type":1}})");
        return true;
      } catch (const std::exception&) {
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

int replica_node::stop(int signal) {
  if (!process) {
    return -1;
  }
  const int status = process->stop(signal);
  return status;
}

void replica_node::send_signal(int signal) {
  if (process && process->running()) {
    ::kill(process->pid(), signal);
  }
}

int replica_node::wait_exit(std::chrono::milliseconds timeout) {
  return process ? process->wait_exit(timeout) : -1;
}

bool replica_node::running() {
  return process && process->running();
}

std::string replica_node::output() const {
  return process ? process->output() : std::string();
}

std::string replica_node::event_log() const {
  std::string text;
  std::error_code ignored;  // a log directory not made yet reads as empty
  for (const auto& entry : std::filesystem::directory_iterator(node_dir + "/log", ignored)) {
    std::ifstream file(entry.path());
    std::ostringstream content;
    content << file.rdbuf();
    text += "== " + entry.path().filename().string() + "\n" + content.str();
  }
  return text;
}

std::string replica_node::ask(const std::string& body) const {
  frame_client client(listen_port, std::chrono::seconds(30));
  client.send_frame(body);
  return client.recv_frame();
}

std::vector<std::string> pipelined_through(const std::vector<replica_node*>& nodes,
                                           const std::vector<std::string>& changes) {
  std::vector<std::unique_ptr<frame_client>> clients;
  for (replica_node* node : nodes) {
    clients.push_back(std::make_unique<frame_client>(node->port()));
  }
  for (std::size_t i = 0; i < changes.size(); ++i) {
    clients[i % nodes.size()]->send_frame(changes[i]);
  }
  std::vector<std::string> replies(changes.size());
  for (std::size_t n = 0; n < nodes.size(); ++n) {
    for (std::size_t i = n; i < changes.size(); i += nodes.size()) {
      replies[i] = clients[n]->recv_frame();
    }
  }
  return replies;
}
