#include "stream_publisher.h"

#include <gtest/gtest.h>

#include <chrono>

stream_publisher::stream_publisher(const jetstream_cluster& servers, const std::string& prefix)
    : id_prefix(prefix + "-") {
  stream_settings settings;
  settings.servers = servers.urls();
  settings.node = prefix;
  connection = std::make_unique<jetstream>(settings);
  connection->ensure_stream();
}

stream_publisher::~stream_publisher() = default;

std::uint64_t stream_publisher::publish(const std::string& body) {
  const publish_outcome outcome = connection->publish(
      "norvel.mut.x", body, id_prefix + std::to_string(++counter), std::chrono::milliseconds(5000));
  EXPECT_TRUE(outcome.ok) << outcome.error;
  return outcome.ok ? outcome.seq : 0;
}
