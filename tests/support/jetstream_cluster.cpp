#include "jetstream_cluster.h"

#include <nats/nats.h>
#include <signal.h>

#include <stdexcept>
#include <thread>

namespace {

const char* const server_binary = "/usr/sbin/nats-server";

// Asks server `url` for the stream feature's state; true once it answers.
bool stream_feature_answers(const std::string& url) {
  natsConnection* connection = nullptr;
  natsOptions* options = nullptr;
  natsOptions_Create(&options);
  natsOptions_SetURL(options, url.c_str());
  natsOptions_SetTimeout(options, 1000);
  natsOptions_SetMaxReconnect(options, 0);
  const bool connected = natsConnection_Connect(&connection, options) == NATS_OK;
  natsOptions_Destroy(options);
  if (!connected) {
    return false;
  }
  jsCtx* context = nullptr;
  jsOptions js_options;
  jsOptions_Init(&js_options);
  js_options.Wait = 1000;
  bool answered = false;
  if (natsConnection_JetStream(&context, connection, &js_options) == NATS_OK) {
    jsAccountInfo* info = nullptr;
    jsErrCode code = static_cast<jsErrCode>(0);
    answered = js_GetAccountInfo(&info, context, nullptr, &code) == NATS_OK;
    jsAccountInfo_Destroy(info);
    jsCtx_Destroy(context);
  }
  natsConnection_Destroy(connection);
  return answered;
}

// Asks server `url` for stream `stream`'s information and hands it to `read` (null when the
// server does not answer it: no such stream, no leader yet); false when the server cannot be
// reached.
template <typename Read>
bool with_stream_info(const std::string& url, const std::string& stream, Read read) {
  natsConnection* connection = nullptr;
  if (natsConnection_ConnectTo(&connection, url.c_str()) != NATS_OK) {
    return false;
  }
  jsCtx* context = nullptr;
  jsStreamInfo* info = nullptr;
  jsErrCode code = static_cast<jsErrCode>(0);
  if (natsConnection_JetStream(&context, connection, nullptr) != NATS_OK ||
      js_GetStreamInfo(&info, context, stream.c_str(), nullptr, &code) != NATS_OK) {
    jsStreamInfo_Destroy(info);
    info = nullptr;
  }
  read(static_cast<const jsStreamInfo*>(info));
  jsStreamInfo_Destroy(info);
  jsCtx_Destroy(context);
  natsConnection_Destroy(connection);
  return true;
}

}  // namespace

jetstream_cluster::jetstream_cluster(int size) {
  if (size != 1 && size != 3) {
    throw std::invalid_argument("jetstream_cluster: 1 or 3 servers");
  }
  servers.resize(static_cast<std::size_t>(size));
  for (server& each : servers) {
    each.client_port = free_port();
    each.cluster_port = free_port();
    each.monitor_port = free_port();
  }
  for (int i = 0; i < size; ++i) {
    write_config(i);
  }
  for (int i = 0; i < size; ++i) {
    start(i);
  }
  wait_ready();
}

jetstream_cluster::~jetstream_cluster() {
  for (server& each : servers) {
    each.process.reset();  // SIGTERM, then SIGKILL
  }
}

void jetstream_cluster::write_config(int index) {
  server& self = servers[static_cast<std::size_t>(index)];
  const std::string name = "s" + std::to_string(index + 1);
  std::string text = "server_name: " + name + "\n" +
                     "listen: 127.0.0.1:" + std::to_string(self.client_port) + "\n" +
                     "http: 127.0.0.1:" + std::to_string(self.monitor_port) + "\n" +
                     "jetstream {\n  store_dir: \"" + dir.path() + "/" + name + "\"\n}\n";
  if (servers.size() > 1) {
    text +=
        "cluster {\n  name: norveltest\n  listen: 127.0.0.1:" + std::to_string(self.cluster_port) +
        "\n  routes: [\n";
    for (std::size_t other = 0; other < servers.size(); ++other) {
      if (static_cast<int>(other) != index) {
        text += "    nats://127.0.0.1:" + std::to_string(servers[other].cluster_port) + "\n";
      }
    }
    text += "  ]\n}\n";
  }
  self.config_path = dir.write(name + ".conf", text);
}

void jetstream_cluster::start(int index) {
  server& self = servers[static_cast<std::size_t>(index)];
  self.process.reset();
  self.process =
      std::make_unique<foreground_daemon>(std::vector<std::string>{"-c", self.config_path},
                                          dir.path(), std::vector<std::string>{}, server_binary);
}

void jetstream_cluster::stop(int index, bool kill) {
  server& self = servers[static_cast<std::size_t>(index)];
  if (self.process) {
    self.process->stop(kill ? SIGKILL : SIGTERM);
    self.process.reset();
  }
}

bool jetstream_cluster::running(int index) const {
  const server& self = servers[static_cast<std::size_t>(index)];
  return self.process && self.process->running();
}

std::string jetstream_cluster::url(int index) const {
  return "nats://127.0.0.1:" + std::to_string(servers[static_cast<std::size_t>(index)].client_port);
}

std::vector<std::string> jetstream_cluster::urls() const {
  std::vector<std::string> out;
  for (int i = 0; i < size(); ++i) {
    out.push_back(url(i));
  }
  return out;
}

std::string jetstream_cluster::servers_json() const {
  std::string out = "[";
  for (int i = 0; i < size(); ++i) {
    out += (i == 0 ? "\"" : ",\"") + url(i) + "\"";
  }
  return out + "]";
}

int jetstream_cluster::leader_of(const std::string& stream) const {
  for (int i = 0; i < size(); ++i) {
    int found = -1;
    const bool asked =
        running(i) && with_stream_info(url(i), stream, [&](const jsStreamInfo* info) {
          if (info != nullptr && info->Cluster != nullptr && info->Cluster->Leader != nullptr) {
            const std::string leader = info->Cluster->Leader;  // "s<N>"
            if (leader.size() > 1 && leader[0] == 's') {
              found = std::stoi(leader.substr(1)) - 1;
            }
          } else if (info != nullptr && size() == 1) {
            found = 0;
          }
        });
    if (asked && (found >= 0 || size() == 1)) {
      return size() == 1 ? 0 : found;
    }
  }
  return -1;
}

void jetstream_cluster::wait_ready(std::chrono::milliseconds timeout) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (int i = 0; i < size(); ++i) {
    while (running(i) && !stream_feature_answers(url(i))) {
      if (std::chrono::steady_clock::now() > deadline) {
        throw std::runtime_error("stream server " + url(i) + " did not become ready");
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }
}

void jetstream_cluster::wait_stream_current(const std::string& stream,
                                            std::chrono::milliseconds timeout) const {
  int running_count = 0;
  for (int i = 0; i < size(); ++i) {
    running_count += running(i) ? 1 : 0;
  }
  // Whether the stream's information shows a leader and every other running server current.
  auto all_current = [&](const jsStreamInfo* info) {
    if (info == nullptr || size() == 1) {
      return info != nullptr;
    }
    if (info->Cluster == nullptr || info->Cluster->Leader == nullptr) {
      return false;
    }
    int up_to_date = 0;
    for (int r = 0; r < info->Cluster->ReplicasLen; ++r) {
      const jsPeerInfo* peer = info->Cluster->Replicas[r];
      up_to_date += peer->Current && !peer->Offline ? 1 : 0;
    }
    return up_to_date >= running_count - 1;
  };
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    // The first running server that can be reached answers for the cluster.
    bool current = false;
    for (int i = 0; i < size(); ++i) {
      if (running(i) && with_stream_info(url(i), stream, [&](const jsStreamInfo* info) {
            current = all_current(info);
          })) {
        break;
      }
    }
    if (current) {
      return;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      throw std::runtime_error("stream " + stream + " has no current replica on every server");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}
