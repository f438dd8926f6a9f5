// The metrics endpoint over real sockets: what it answers, and that clients that send garbage,
// send nothing or never read neither stop it nor hold it up for others.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "daemon_runner.h"
#include "metrics/metrics_server.h"
#include "metrics_client.h"

namespace {

class MetricsEndpoint : public ::testing::Test {
 protected:
  void SetUp() override {
    endpoint = std::make_unique<metrics_server>(
        boost::asio::ip::tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0));
    endpoint->start([this] {
      ++renders;
      return std::string("# HELP t_total A test.\n# TYPE t_total counter\nt_total 1\n");
    });
    port = std::to_string(endpoint->port());
  }

  http_reply get(const std::string& target) {
    return http_get("127.0.0.1", port, target, std::chrono::seconds(5));
  }

  std::unique_ptr<metrics_server> endpoint;
  std::string port;
  std::atomic<int> renders{0};
};

TEST_F(MetricsEndpoint, ServesThePageAtMetricsOnlyAndOnlyToGetAndHead) {
  const http_reply page = get("/metrics");
  EXPECT_EQ(page.status, 200);
  EXPECT_EQ(page.content_type, "text/plain; version=0.0.4; charset=utf-8");
  EXPECT_EQ(page.body, "# HELP t_total A test.\n# TYPE t_total counter\nt_total 1\n");
  EXPECT_EQ(get("/metrics?name[]=x").status, 200);
  EXPECT_EQ(get("/").status, 404);
  EXPECT_EQ(get("/metricsx").status, 404);

  frame_client raw(endpoint->port());
  raw.send_raw("POST /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n");
  EXPECT_EQ(raw.recv_exact(12), "HTTP/1.1 405");

  // A response to HEAD carries no body, whatever its status: on a kept connection the next
  // response follows its header directly.
  frame_client kept(endpoint->port());
  kept.send_raw(
      "HEAD /elsewhere HTTP/1.1\r\nHost: x\r\n\r\nGET /metrics HTTP/1.1\r\nHost: x\r\n\r\n");
  std::string header;
  while (header.size() < 4 || header.compare(header.size() - 4, 4, "\r\n\r\n") != 0) {
    header += kept.recv_exact(1);
  }
  EXPECT_EQ(header.rfind("HTTP/1.1 404", 0), 0u) << header;
  EXPECT_EQ(kept.recv_exact(12), "HTTP/1.1 200");
}

TEST_F(MetricsEndpoint, GarbageGetsBadRequestAndTheConnectionClosed) {
  static const char tls_hello[] = "\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03 tls hello\r\n\r\n";
  for (const std::string& garbage :
       {std::string(tls_hello, sizeof(tls_hello) - 1),
        std::string("GET /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\n\r\nhello"),
        std::string("GET /metrics HTTP/1.1\r\n") + std::string(20000, 'X') + "\r\n\r\n",
        std::string("0000000017{\"act\":\"nothing\"}")}) {
    frame_client raw(endpoint->port());
    try {
      raw.send_raw(garbage);
    } catch (const std::exception&) {
      // the server may close while we still write: that is an answer too
    }
    std::string received;
    EXPECT_TRUE(raw.wait_closed(&received));
    if (!received.empty()) {
      EXPECT_EQ(received.rfind("HTTP/1.1 400", 0), 0u) << received;
    }
  }
  EXPECT_EQ(get("/metrics").status, 200);
}

TEST_F(MetricsEndpoint, SilentAndNonReadingClientsDoNotHoldUpOthers) {
  // Silent clients hold a connection each; a client that asks again and again but never reads
  // fills its socket buffers. The endpoint serves others meanwhile, up to its connection bound.
  std::vector<std::unique_ptr<frame_client>> silent;
  for (int i = 0; i < 8; ++i) {
    silent.push_back(std::make_unique<frame_client>(endpoint->port()));
  }
  frame_client greedy(endpoint->port(), std::chrono::milliseconds(500));
  std::string pipelined;
  for (int i = 0; i < 2000; ++i) {
    pipelined += "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n";
  }
  try {
    greedy.send_raw(pipelined);
  } catch (const std::exception&) {
    // it stops taking our bytes once it waits for us to read: expected
  }
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(get("/metrics").status, 200);
  }

  // Beyond the bound, connections are closed on accept rather than queued without end.
  std::vector<std::unique_ptr<frame_client>> crowd;
  for (int i = 0; i < 40; ++i) {
    crowd.push_back(std::make_unique<frame_client>(endpoint->port()));
  }
  EXPECT_TRUE(crowd.back()->wait_closed());
  crowd.clear();
  silent.clear();
  // Once the endpoint has seen them go, there is room again.
  int status = 0;
  for (int attempt = 0; attempt < 200 && status != 200; ++attempt) {
    try {
      status = get("/metrics").status;
    } catch (const std::exception&) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  EXPECT_EQ(status, 200);
}

TEST_F(MetricsEndpoint, StopsWithClientsStillConnected) {
  frame_client idle(endpoint->port());
  EXPECT_EQ(get("/metrics").status, 200);
  endpoint->stop();
  EXPECT_TRUE(idle.wait_closed());
  endpoint->stop();  // twice is fine
}

}  // namespace
