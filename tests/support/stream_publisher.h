// Publishes request bodies to the test's stream as another node (or a foreign program) would:
// its own connection, message ids "<prefix>-<counter>", each publish waiting for the stream's
// acknowledgement. A failed publish fails the test.
//
// Threads: one thread at a time. Ownership: owns its connection to the stream servers.
#ifndef NORVEL_TESTS_STREAM_PUBLISHER_H_
#define NORVEL_TESTS_STREAM_PUBLISHER_H_

#include <cstdint>
#include <memory>
#include <string>

#include "jetstream_cluster.h"
#include "stream/jetstream.h"

class stream_publisher {
 public:
  // Connects to `servers` and creates the stream (norvel's defaults) if it does not exist.
  explicit stream_publisher(const jetstream_cluster& servers, const std::string& prefix = "test");
  ~stream_publisher();
  stream_publisher(const stream_publisher&) = delete;
  stream_publisher& operator=(const stream_publisher&) = delete;

  // Publishes `body` to norvel.mut.x; answers its stream sequence (0 when it failed).
  std::uint64_t publish(const std::string& body);
  jetstream& stream() { return *connection; }

 private:
  std::unique_ptr<jetstream> connection;
  std::string id_prefix;
  std::uint64_t counter = 0;
};

#endif  // NORVEL_TESTS_STREAM_PUBLISHER_H_
