// The stream connection against real stream servers started by the test: creating and checking
// the stream, de-duplication by message id, ordered reading from a sequence, and publishing on
// through a change of the stream's leader in a three-server cluster.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "eventually.h"
#include "jetstream_cluster.h"
#include "stream/jetstream.h"

namespace {

stream_settings settings_for(const jetstream_cluster& cluster, unsigned replicas) {
  stream_settings settings;
  settings.servers = cluster.urls();
  settings.node = "t";
  settings.snapshot_dir = "/nonexistent";
  settings.replicas = replicas;
  settings.connect_timeout_s = 10;
  return settings;
}

std::vector<stream_message> read_all(jetstream& stream, std::uint64_t from, std::size_t count) {
  ordered_reader reader(stream, from);
  std::vector<stream_message> out;
  stream_message message;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (out.size() < count && std::chrono::steady_clock::now() < deadline) {
    if (reader.next(message, std::chrono::milliseconds(200))) {
      out.push_back(message);
    }
  }
  return out;
}

TEST(JetStream, NodesStartingTogetherOnAnEmptySiteAllFindTheOneStream) {
  jetstream_cluster cluster(1);
  for (int round = 0; round < 40; ++round) {
    stream_settings settings = settings_for(cluster, 1);
    settings.name = "RACE" + std::to_string(round);
    settings.subject = "race" + std::to_string(round);
    std::atomic<int> started{0};
    std::atomic<int> failed{0};
    std::vector<std::thread> nodes;
    for (int n = 0; n < 6; ++n) {
      nodes.emplace_back([&] {
        try {
          jetstream stream(settings);
          ++started;
          while (started < 6) {
          }
          stream.ensure_stream();
        } catch (const stream_error& e) {
          ADD_FAILURE() << e.what();
          ++failed;
        }
      });
    }
    for (std::thread& node : nodes) {
      node.join();
    }
    EXPECT_EQ(failed, 0);
  }
  // A stream of another name that holds the subjects is still refused at once.
  stream_settings other = settings_for(cluster, 1);
  other.name = "OTHER";
  other.subject = "race0";
  jetstream stream(other);
  EXPECT_THROW(stream.ensure_stream(), stream_error);
}

TEST(JetStream, CreatesChecksDeduplicatesAndReadsInOrder) {
  jetstream_cluster cluster(1);
  jetstream stream(settings_for(cluster, 1));
  const stream_state fresh = stream.ensure_stream();
  EXPECT_EQ(fresh.messages, 0u);
  EXPECT_EQ(stream.ensure_stream().last_seq, 0u);  // present now: checked, not created again

  for (int i = 1; i <= 20; ++i) {
    const publish_outcome outcome =
        stream.publish("norvel.mut.7", "body" + std::to_string(i), "t-" + std::to_string(i),
                       std::chrono::milliseconds(2000));
    ASSERT_TRUE(outcome.ok) << outcome.error;
    EXPECT_EQ(outcome.seq, static_cast<std::uint64_t>(i));
  }
  // A retry with the same id is stored once and answered with the first sequence.
  const publish_outcome again =
      stream.publish("norvel.mut.7", "other", "t-5", std::chrono::milliseconds(2000));
  ASSERT_TRUE(again.ok);
  EXPECT_TRUE(again.duplicate);
  EXPECT_EQ(again.seq, 5u);
  EXPECT_EQ(stream.state().messages, 20u);

  const std::vector<stream_message> all = read_all(stream, 1, 20);
  ASSERT_EQ(all.size(), 20u);
  for (std::size_t i = 0; i < all.size(); ++i) {
    EXPECT_EQ(all[i].seq, i + 1);
    EXPECT_EQ(all[i].body, "body" + std::to_string(i + 1));
  }
  EXPECT_EQ(all.front().pending, 19u);
  const std::vector<stream_message> tail = read_all(stream, 15, 6);
  ASSERT_EQ(tail.size(), 6u);
  EXPECT_EQ(tail.front().seq, 15u);
  EXPECT_EQ(tail.back().seq, 20u);

  stream_settings other = settings_for(cluster, 1);
  other.subject = "elsewhere";
  jetstream mismatched(other);
  EXPECT_THROW(mismatched.ensure_stream(), stream_error);
}

TEST(JetStream, UnreachableServersFailWithinTheConnectTimeout) {
  stream_settings settings;
  settings.servers = {"nats://127.0.0.1:" + std::to_string(free_port())};
  settings.node = "t";
  settings.connect_timeout_s = 1;
  const auto started = std::chrono::steady_clock::now();
  EXPECT_THROW(jetstream stream(settings), stream_error);
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::seconds(1));
}

// Asynchronous publishes acknowledged through the callback, across a stop of the leader: every
// message acknowledged is read back, once, in the order the stream stored them.
TEST(JetStream, ClusterKeepsAcknowledgedMessagesThroughALeaderChange) {
  jetstream_cluster cluster(3);
  std::mutex lock;
  std::map<std::string, publish_outcome> outcomes;
  jetstream stream(settings_for(cluster, 3), [&](const std::string& id, const publish_outcome& o) {
    std::lock_guard<std::mutex> hold(lock);
    outcomes[id] = o;
  });
  // Servers that have just started may not have agreed on their peers yet: until they have, a
  // stream with three replicas has nowhere to go.
  ASSERT_TRUE(eventually(
      [&] {
        try {
          stream.ensure_stream();
          return true;
        } catch (const stream_error&) {
          return false;
        }
      },
      std::chrono::seconds(20)));
  auto publish_batch = [&](int from, int to) {
    for (int i = from; i < to; ++i) {
      std::string error;
      const std::string id = "t-" + std::to_string(i);
      if (!stream.publish_async("norvel.mut.1", std::to_string(i), id,
                                std::chrono::milliseconds(3000), error)) {
        std::lock_guard<std::mutex> hold(lock);
        outcomes[id].error = error;
      }
    }
  };
  auto all_answered = [&](std::size_t count) {
    std::lock_guard<std::mutex> hold(lock);
    return outcomes.size() >= count;
  };
  publish_batch(0, 200);
  ASSERT_TRUE(eventually([&] { return all_answered(200); }, std::chrono::seconds(20)));
  const int leader = cluster.leader_of("NORVEL");
  ASSERT_GE(leader, 0);
  cluster.stop(leader);
  publish_batch(200, 400);
  ASSERT_TRUE(eventually([&] { return all_answered(400); }, std::chrono::seconds(20)));
  // Acknowledged or not, retrying the failed ones with their ids after the election stores each
  // once.
  std::vector<std::string> retry;
  {
    std::lock_guard<std::mutex> hold(lock);
    for (const auto& [id, outcome] : outcomes) {
      if (!outcome.ok) {
        retry.push_back(id);
      }
    }
  }
  for (const std::string& id : retry) {
    publish_outcome outcome;
    for (int attempt = 0; attempt < 100 && !outcome.ok; ++attempt) {
      outcome = stream.publish("norvel.mut.1", id.substr(2), id, std::chrono::milliseconds(1000));
      if (!outcome.ok) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
    }
    ASSERT_TRUE(outcome.ok) << id << ": " << outcome.error;
  }
  cluster.start(leader);
  const std::vector<stream_message> all = read_all(stream, 1, 400);
  ASSERT_EQ(all.size(), 400u);
  std::set<std::string> bodies;
  for (std::size_t i = 0; i < all.size(); ++i) {
    EXPECT_EQ(all[i].seq, i + 1);
    bodies.insert(all[i].body);
  }
  EXPECT_EQ(bodies.size(), 400u);  // each once
}

}  // namespace
