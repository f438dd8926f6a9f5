// One norvel node of a replicated site, for end-to-end tests: the built daemon in --foreground
// with a port, a log directory and a snapshot directory of its own under a test directory, and
// a configuration naming the test's database and stream servers. It can be stopped (gracefully
// or with SIGKILL) and started again on the same port and directories.
//
// Threads: the test's thread. Ownership: owns its process (stopped on destruction); the test
// directory belongs to the caller.
#ifndef NORVEL_REPLICA_NODE_H_
#define NORVEL_REPLICA_NODE_H_

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "foreground_daemon.h"

class replica_node {
 public:
  // `db_config_json`: a configuration's text (test_db::config_json), to which the node adds its
  // "stream" member; `servers_json`: the stream servers as a
  // JSON array; `more_stream`: further members of "stream" (",\"reply_seq\":true", say; a
  // "connect_timeout_s" there replaces the 30 s the nodes get otherwise: a three-server cluster
  // just started on a loaded machine may take more than 10 s to place a stream's replicas).
  replica_node(const std::string& name, const std::string& base_dir,
               const std::string& db_config_json, const std::string& servers_json,
               const std::string& more_stream = "");
  ~replica_node();
  replica_node(const replica_node&) = delete;
  replica_node& operator=(const replica_node&) = delete;

  // Starts the daemon with `extra` arguments added.
  void start(const std::vector<std::string>& extra = {});
  // Waits until it answers a request; false when it ended or the time ran out.
  bool wait_serving(std::chrono::milliseconds timeout = std::chrono::seconds(60));
  // Sends `signal` and waits for the exit; answers as foreground_daemon::stop does.
  int stop(int signal);
  // Sends `signal` and returns at once (SIGUSR1: a snapshot now).
  void send_signal(int signal);
  // Waits for the process to end by itself (a refused start).
  int wait_exit(std::chrono::milliseconds timeout = std::chrono::seconds(60));
  bool running();
  std::string output() const;
  // Every file of its log directory, one after the other: what a failed check prints.
  std::string event_log() const;

  // One request on a new connection; its reply body.
  std::string ask(const std::string& body) const;

  unsigned short port() const { return listen_port; }
  const std::string& snapshot_dir() const { return snapshots; }
  const std::string& config_path() const { return config; }

 private:
  std::string node_dir;
  std::string snapshots;
  std::string config;
  unsigned short listen_port;
  std::unique_ptr<foreground_daemon> process;
};

// `changes` pipelined through the front doors of `nodes` in turn (change i to node i mod N), one
// connection each; answers the reply of each change, in the order of `changes`.
std::vector<std::string> pipelined_through(const std::vector<replica_node*>& nodes,
                                           const std::vector<std::string>& changes);

#endif  // NORVEL_REPLICA_NODE_H_
