// Writes families and samples of a metrics page in the Prometheus text exposition format: a
// family's HELP and TYPE lines, integer and real samples with their labels, a latency
// histogram's buckets, sum and count, and label text escaped as the format wants. Every part of
// the page (the daemon's, the stream's) is written through it, so all look alike.
// Threads: the metrics thread. Ownership: appends to a page the caller owns.
#ifndef NORVEL_PAGE_WRITER_H_
#define NORVEL_PAGE_WRITER_H_

#include <string>

#include "metrics/metrics.h"

namespace metrics {

class page_writer {
 public:
  explicit page_writer(std::string& page) : out(page) {}

  void family(const char* name, const char* type, const char* help);
  // `labels` is the inside of the braces, already escaped; "" for none.
  void integer(const char* name, const std::string& labels, unsigned long long value);
  void real(const char* name, const std::string& labels, double value);
  // The samples of a histogram family `name` (its _bucket, _sum and _count).
  void histogram(const std::string& name, const latency_histogram& values);

 private:
  void begin_sample(const char* name, const std::string& labels);

  std::string& out;
};

// `name="value"`, the value escaped.
std::string label(const char* name, const std::string& value);

}  // namespace metrics

#endif  // NORVEL_PAGE_WRITER_H_
