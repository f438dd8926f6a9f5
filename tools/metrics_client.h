// The reading side of the metrics endpoint, for norvel-cli --stats and the tests: one HTTP GET
// with a deadline, and the Prometheus text format turned into a page a person reads.
// Threads: whoever calls; no shared state.
#ifndef NORVEL_METRICS_CLIENT_H_
#define NORVEL_METRICS_CLIENT_H_

#include <chrono>
#include <string>
#include <vector>

struct http_reply {
  int status = 0;
  std::string content_type;
  std::string body;
};

// GET `target` from host:port over HTTP/1.1 and read the whole reply, all within `timeout`.
// Throws std::runtime_error with a message for the user on any failure.
http_reply http_get(const std::string& host, const std::string& port, const std::string& target,
                    std::chrono::milliseconds timeout);

// One metric family of a page in the text exposition format.
struct metric_family {
  struct sample {
    std::string name;    // the family's name, or with _bucket, _sum, _count for a histogram
    std::string labels;  // as written between the braces; "" for none
    double value = 0;
  };
  std::string name;
  std::string type;  // counter, gauge, histogram, untyped
  std::string help;
  std::vector<sample> samples;
};

// The families of `text`, in page order. Lines it cannot read are skipped.
std::vector<metric_family> parse_exposition(const std::string& text);

// The page as readable text: per family its help, then each sample as "labels  value" (samples
// that are 0 in a family with labels are summed up in one line), and for a histogram its count,
// mean and the bucket bounds below which 50, 90 and 99 per cent of observations fall.
std::string format_stats(const std::string& text);

#endif  // NORVEL_METRICS_CLIENT_H_
