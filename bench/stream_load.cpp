// Load for the replicated site's benchmarks, in two modes.
//
//   stream_load pipeline --port P [--host 127.0.0.1] [--connections 4] [--depth 64]
//               [--seconds 60 | --count N] [--rate 0] [--mix adds|random] [--users 100000]
//               [--specials 200000] [--new-base 1000000000] [--seed 1]
//     Changes over TCP, each connection keeping up to --depth requests in flight (pipelined),
//     paced to --rate changes per second in all when given. `adds`: one fresh public special per
//     request on a random member; `random`: follow adds and deletions (one in ten) and special
//     adds and deletions (one to three ids out of --specials, so members share ids), three adds
//     to each deletion. Prints what was sent, acknowledged ({"code":200) and failed, and the
//     acknowledged rate. With a stream that is the front door's rate; without, the direct intake.
//
//   stream_load publish --servers nats://h:p,... --count N [--users 100000]
//               [--new-base 2000000000]
//     N special adds published straight to the stream NORVEL (subject norvel.mut.bench) as fast
//     as the stream acknowledges them: a backlog for a node to replay.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "stream/jetstream.h"

namespace {

using steady = std::chrono::steady_clock;

struct options {
  std::string mode;
  std::string host = "127.0.0.1";
  unsigned short port = 5000;
  unsigned connections = 4;
  unsigned depth = 64;
  double seconds = 60;
  std::uint64_t count = 0;
  double rate = 0;
  std::string mix = "adds";
  std::uint64_t users = 100000;
  std::uint64_t specials = 200000;
  std::uint64_t new_base = 1000000000;
  std::uint64_t seed = 1;
  std::vector<std::string> servers;
};

std::string frame(const std::string& body) {
  char header[16];
  std::snprintf(header, sizeof header, "%010zu", body.size());
  return header + body;
}

std::string special_list(const std::vector<std::uint64_t>& ids) {
  std::string list;
  for (std::uint64_t id : ids) {
    list += (list.empty() ? "" : ",") + std::string("{\"spid\":") + std::to_string(id) +
            ",\"type\":" + (id % 4 == 0 ? "1" : "0") + "}";
  }
  return list;
}

// One change's body.
class change_maker {
 public:
  change_maker(const options& opts, unsigned index)
      : settings(opts),
        random(opts.seed * 1000 + index),
        next_id(opts.new_base + index),
        step(opts.connections) {}

  std::string next() {
    const std::uint64_t user = pick(1, settings.users);
    if (settings.mix == "adds") {
      const std::uint64_t id = next_id;
      next_id += step;
      return "{\"act\":\"special\",\"op\":\"add\",\"params\":{\"user_id\":" + std::to_string(user) +
             ",\"specials\":[{\"spid\":" + std::to_string(id) + ",\"type\":0}]}}";
    }
    const bool add = pick(0, 3) != 0;
    const char* op = add ? "add" : "del";
    if (pick(0, 9) == 0) {
      std::string friends;
      for (std::uint64_t n = pick(1, 3); n > 0; --n) {
        friends += (friends.empty() ? "" : ",") + std::to_string(pick(1, settings.users));
      }
      return std::string("{\"act\":\"follow\",\"op\":\"") + op +
             "\",\"params\":{\"user_id\":" + std::to_string(user) + ",\"friends\":[" + friends +
             "]}}";
    }
    std::map<std::uint64_t, bool> chosen;
    for (std::uint64_t n = pick(1, 3); n > 0; --n) {
      chosen[pick(1, settings.specials)] = true;
    }
    std::vector<std::uint64_t> ids;
    for (const auto& each : chosen) {
      ids.push_back(each.first);
    }
    return std::string("{\"act\":\"special\",\"op\":\"") + op +
           "\",\"params\":{\"user_id\":" + std::to_string(user) + ",\"specials\":[" +
           special_list(ids) + "]}}";
  }

 private:
  std::uint64_t pick(std::uint64_t low, std::uint64_t high) {
    return std::uniform_int_distribution<std::uint64_t>(low, high)(random);
  }
  const options& settings;
  std::mt19937_64 random;
  std::uint64_t next_id;
  std::uint64_t step;
};

struct tally {
  std::atomic<std::uint64_t> sent{0};
  std::atomic<std::uint64_t> ok{0};
  std::atomic<std::uint64_t> failed{0};
};

int connect_to(const options& opts) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(opts.port);
  ::inet_pton(AF_INET, opts.host.c_str(), &address.sin_addr);
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    throw std::runtime_error(std::string("cannot connect: ") + std::strerror(errno));
  }
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

// One connection: up to `depth` changes in flight, paced when a rate is given, until the time
// or the count of this connection is spent and every reply has come.
void run_connection(const options& opts, unsigned index, steady::time_point began,
                    steady::time_point until, std::uint64_t quota, tally& out) {
  const int fd = connect_to(opts);
  change_maker changes(opts, index);
  const double per_second = opts.rate > 0 ? opts.rate / opts.connections : 0;
  std::uint64_t sent = 0;
  std::uint64_t in_flight = 0;
  std::string in;
  char buffer[65536];
  for (;;) {
    const auto now = steady::now();
    const bool sending = quota != 0 ? sent < quota : now < until;
    std::string batch;
    while (sending && in_flight < opts.depth && (quota == 0 || sent < quota)) {
      if (per_second > 0) {
        const auto due = began + std::chrono::nanoseconds(static_cast<std::int64_t>(
                                     static_cast<double>(sent) * 1e9 / per_second));
        if (due > now) {
          break;
        }
      }
      batch += frame(changes.next());
      ++sent;
      ++in_flight;
    }
    for (std::size_t done = 0; done < batch.size();) {
      const ssize_t n = ::send(fd, batch.data() + done, batch.size() - done, MSG_NOSIGNAL);
      if (n <= 0) {
        throw std::runtime_error("send failed");
      }
      done += static_cast<std::size_t>(n);
    }
    if (!sending && in_flight == 0) {
      break;
    }
    pollfd entry{fd, POLLIN, 0};
    const int wait_ms = in_flight >= opts.depth || !sending ? 1000 : (per_second > 0 ? 1 : 0);
    if (::poll(&entry, 1, wait_ms) <= 0) {
      continue;
    }
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) {
      throw std::runtime_error("the server closed the connection");
    }
    in.append(buffer, static_cast<std::size_t>(n));
    std::size_t at = 0;
    while (in.size() - at >= 10) {
      const std::size_t body = std::strtoull(in.substr(at, 10).c_str(), nullptr, 10);
      if (in.size() - at < 10 + body) {
        break;
      }
      if (in.compare(at + 10, 11, "{\"code\":200") == 0) {
        out.ok.fetch_add(1, std::memory_order_relaxed);
      } else {
        out.failed.fetch_add(1, std::memory_order_relaxed);
      }
      at += 10 + body;
      --in_flight;
    }
    in.erase(0, at);
  }
  out.sent.fetch_add(sent);
  ::close(fd);
}

int run_pipeline(const options& opts) {
  tally counts;
  const auto began = steady::now();
  const auto until =
      began + std::chrono::microseconds(static_cast<std::int64_t>(opts.seconds * 1e6));
  std::vector<std::thread> threads;
  for (unsigned i = 0; i < opts.connections; ++i) {
    const std::uint64_t quota =
        opts.count == 0 ? 0 : opts.count / opts.connections + (i < opts.count % opts.connections);
    threads.emplace_back([&, i, quota] {
      try {
        run_connection(opts, i, began, until, quota, counts);
      } catch (const std::exception& e) {
        std::fprintf(stderr, "connection %u: %s\n", i, e.what());
      }
    });
  }
  for (std::thread& each : threads) {
    each.join();
  }
  const double took = std::chrono::duration<double>(steady::now() - began).count();
  std::printf("sent %llu, acknowledged %llu, failed %llu in %.1f s: %.0f acknowledged/s\n",
              static_cast<unsigned long long>(counts.sent.load()),
              static_cast<unsigned long long>(counts.ok.load()),
              static_cast<unsigned long long>(counts.failed.load()), took,
              static_cast<double>(counts.ok.load()) / took);
  std::printf("RESULT ok=%llu failed=%llu seconds=%.2f rate=%.0f\n",
              static_cast<unsigned long long>(counts.ok.load()),
              static_cast<unsigned long long>(counts.failed.load()), took,
              static_cast<double>(counts.ok.load()) / took);
  return counts.failed.load() == 0 ? 0 : 1;
}

int run_publish(const options& opts) {
  stream_settings settings;
  settings.servers = opts.servers;
  settings.node = "bench";
  std::atomic<std::uint64_t> acked{0}, failed{0};
  jetstream stream(settings, [&](const std::string&, const publish_outcome& outcome) {
    (outcome.ok ? acked : failed).fetch_add(1);
  });
  stream.ensure_stream();
  std::mt19937_64 random(opts.seed);
  const auto began = steady::now();
  const std::string prefix = "bench-" +
                             std::to_string(std::chrono::duration_cast<std::chrono::microseconds>(
                                                std::chrono::system_clock::now().time_since_epoch())
                                                .count()) +
                             "-";
  for (std::uint64_t n = 0; n < opts.count; ++n) {
    while (n - acked.load() - failed.load() > 20000) {
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    const std::string body = "{\"act\":\"special\",\"op\":\"add\",\"params\":{\"user_id\":" +
                             std::to_string(random() % opts.users + 1) +
                             ",\"specials\":[{\"spid\":" + std::to_string(opts.new_base + n) +
                             ",\"type\":0}]}}";
    std::string error;
    while (!stream.publish_async("norvel.mut.bench", body, prefix + std::to_string(n),
                                 std::chrono::milliseconds(10000), error)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  while (acked.load() + failed.load() < opts.count) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  const double took = std::chrono::duration<double>(steady::now() - began).count();
  std::printf("published %llu (%llu failed) in %.1f s: %.0f/s; stream last sequence %llu\n",
              static_cast<unsigned long long>(acked.load()),
              static_cast<unsigned long long>(failed.load()), took,
              static_cast<double>(acked.load()) / took,
              static_cast<unsigned long long>(stream.state().last_seq));
  return failed.load() == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  options opts;
  if (argc < 2) {
    std::fprintf(stderr, "usage: stream_load pipeline|publish [options]\n");
    return 2;
  }
  opts.mode = argv[1];
  for (int i = 2; i + 1 < argc; i += 2) {
    const std::string arg = argv[i];
    const std::string value = argv[i + 1];
    if (arg == "--host")
      opts.host = value;
    else if (arg == "--port")
      opts.port = static_cast<unsigned short>(std::stoul(value));
    else if (arg == "--connections")
      opts.connections = static_cast<unsigned>(std::stoul(value));
    else if (arg == "--depth")
      opts.depth = static_cast<unsigned>(std::stoul(value));
    else if (arg == "--seconds")
      opts.seconds = std::stod(value);
    else if (arg == "--count")
      opts.count = std::stoull(value);
    else if (arg == "--rate")
      opts.rate = std::stod(value);
    else if (arg == "--mix")
      opts.mix = value;
    else if (arg == "--users")
      opts.users = std::stoull(value);
    else if (arg == "--specials")
      opts.specials = std::stoull(value);
    else if (arg == "--new-base")
      opts.new_base = std::stoull(value);
    else if (arg == "--seed")
      opts.seed = std::stoull(value);
    else if (arg == "--servers") {
      for (std::size_t start = 0; start < value.size();) {
        const std::size_t comma = value.find(',', start);
        opts.servers.push_back(value.substr(start, comma - start));
        start = comma == std::string::npos ? value.size() : comma + 1;
      }
    } else {
      std::fprintf(stderr, "stream_load: unknown option %s\n", arg.c_str());
      return 2;
    }
  }
  try {
    if (opts.mode == "pipeline") {
      return run_pipeline(opts);
    }
    if (opts.mode == "publish" && !opts.servers.empty() && opts.count > 0) {
      return run_publish(opts);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "stream_load: %s\n", e.what());
    return 1;
  }
  std::fprintf(stderr, "usage: stream_load pipeline|publish [options]\n");
  return 2;
}
