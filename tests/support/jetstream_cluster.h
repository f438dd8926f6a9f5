// Stream servers for tests: one, or a cluster of three, nats-server processes with the stream
// feature on, listening on free loopback ports, each storing into a temp directory of its own.
// Servers can be stopped (gracefully or with SIGKILL) and started again on the same ports and
// store, so tests can take a leader away and bring it back.
//
// Threads: the test's thread. Ownership: owns the processes (stopped on destruction) and the
// directory (removed with them).
#ifndef NORVEL_JETSTREAM_CLUSTER_H_
#define NORVEL_JETSTREAM_CLUSTER_H_

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "foreground_daemon.h"

class jetstream_cluster {
 public:
  // Starts `size` servers (1, or 3 for a cluster) and waits until the stream feature answers.
  explicit jetstream_cluster(int size);
  ~jetstream_cluster();
  jetstream_cluster(const jetstream_cluster&) = delete;
  jetstream_cluster& operator=(const jetstream_cluster&) = delete;

  int size() const { return static_cast<int>(servers.size()); }
  // nats://127.0.0.1:PORT of server `index`.
  std::string url(int index) const;
  // Every server's url.
  std::vector<std::string> urls() const;
  // The "servers" member of a norvel "stream" configuration, as a JSON array text.
  std::string servers_json() const;

  // Stops server `index` (SIGTERM, or SIGKILL when `kill`) and waits for it to end.
  void stop(int index, bool kill = false);
  // Starts server `index` again on its ports and store.
  void start(int index);
  bool running(int index) const;
  // The index of the server that leads stream `stream` now, or -1 when none does.
  int leader_of(const std::string& stream) const;
  // Waits until every running server answers and the stream feature has a leader.
  void wait_ready(std::chrono::milliseconds timeout = std::chrono::seconds(30)) const;
  // Waits until stream `stream` has a leader and a current replica on every other running
  // server: a server started again has caught up, so losing another one leaves a quorum. Throws
  // std::runtime_error when the time runs out.
  void wait_stream_current(const std::string& stream,
                           std::chrono::milliseconds timeout = std::chrono::seconds(90)) const;

 private:
  struct server {
    unsigned short client_port = 0;
    unsigned short cluster_port = 0;
    unsigned short monitor_port = 0;
    std::string config_path;
    std::unique_ptr<foreground_daemon> process;
  };
  void write_config(int index);

  temp_dir dir;
  std::vector<server> servers;
};

#endif  // NORVEL_JETSTREAM_CLUSTER_H_
