#include "metrics/page_writer.h"

#include <cstdint>
#include <cstdio>

namespace metrics {

void page_writer::family(const char* name, const char* type, const char* help) {
  out += "# HELP ";
  out += name;
  out += ' ';
  out += help;
  out += "\n# TYPE ";
  out += name;
  out += ' ';
  out += type;
  out += '\n';
}

void page_writer::integer(const char* name, const std::string& labels, unsigned long long value) {
  begin_sample(name, labels);
  out += std::to_string(value);
  out += '\n';
}

void page_writer::real(const char* name, const std::string& labels, double value) {
  begin_sample(name, labels);
  char number[64];
  std::snprintf(number, sizeof(number), "%.10g\n", value);
  out += number;
}

void page_writer::histogram(const std::string& name, const latency_histogram& values) {
  const std::string bucket = name + "_bucket";
  const auto& bounds = latency_histogram::bounds;
  for (std::size_t i = 0; i < bounds.size(); ++i) {
    char bound[32];
    std::snprintf(bound, sizeof(bound), "%g", bounds[i]);
    integer(bucket.c_str(), label("le", bound), values.cumulative(i));
  }
  const std::uint64_t count = values.cumulative(bounds.size());
  integer(bucket.c_str(), label("le", "+Inf"), count);
  real((name + "_sum").c_str(), "", values.sum_seconds());
  integer((name + "_count").c_str(), "", count);
}

void page_writer::begin_sample(const char* name, const std::string& labels) {
  out += name;
  if (!labels.empty()) {
    out += '{';
    out += labels;
    out += '}';
  }
  out += ' ';
}

std::string label(const char* name, const std::string& value) {
  std::string text = name;
  text += "=\"";
  for (char c : value) {
    if (c == '\\' || c == '"') {
      text += '\\';
      text += c;
    } else if (c == '\n') {
      text += "\\n";
    } else {
      text += c;
    }
  }
  return text + '"';
}

}  // namespace metrics
