#include "metrics_client.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <sstream>
#include <stdexcept>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

namespace beast = boost::beast;
namespace http = boost::beast::http;
using boost::asio::ip::tcp;

http_reply http_get(const std::string& host, const std::string& port, const std::string& target,
                    std::chrono::milliseconds timeout) {
  boost::asio::io_context io;
  beast::tcp_stream stream(io);
  beast::flat_buffer buffer;
  http::request<http::empty_body> request{http::verb::get, target, 11};
  request.set(http::field::host, host);
  request.set(http::field::connection, "close");
  http::response<http::string_body> response;
  beast::error_code failure;
  const char* step = "resolving";

  tcp::resolver resolver(io);
  resolver.async_resolve(
      host, port, [&](const beast::error_code& ec, tcp::resolver::results_type found) {
        if (ec) {
          failure = ec;
          return;
        }
        step = "connecting";
        stream.expires_after(timeout);
        stream.async_connect(found, [&](const beast::error_code& connect_ec, const tcp::endpoint&) {
          if (connect_ec) {
            failure = connect_ec;
            return;
          }
          step = "sending the request";
          http::async_write(stream, request, [&](const beast::error_code& write_ec, std::size_t) {
            if (write_ec) {
              failure = write_ec;
              return;
            }
            step = "reading the reply";
            http::async_read(
                stream, buffer, response,
                [&](const beast::error_code& read_ec, std::size_t) { failure = read_ec; });
          });
        });
      });
  io.run_for(timeout);
  if (!io.stopped()) {
    throw std::runtime_error("no answer from " + host + ":" + port + " in time while " + step);
  }
  if (failure) {
    throw std::runtime_error("cannot get http://" + host + ":" + port + target + " while " + step +
                             ": " + failure.message());
  }
  return http_reply{static_cast<int>(response.result_int()),
                    std::string(response[http::field::content_type]), response.body()};
}

namespace {

std::string after(const std::string& line, std::size_t at) {
  return at < line.size() ? line.substr(at) : std::string();
}

// "a=\"x\",b=\"y\"" as "a=x b=y".
std::string readable_labels(const std::string& labels) {
  std::string out;
  bool quoted = false;
  for (std::size_t i = 0; i < labels.size(); ++i) {
    const char c = labels[i];
    if (c == '"' && (i == 0 || labels[i - 1] != '\\')) {
      quoted = !quoted;
    } else if (c == ',' && !quoted) {
      out += ' ';
    } else if (c != '\\' || !quoted) {
      out += c;
    }
  }
  return out;
}

std::string number(double value) {
  char text[64];
  if (value == std::floor(value) && std::fabs(value) < 1e15) {
    std::snprintf(text, sizeof(text), "%.0f", value);
  } else {
    std::snprintf(text, sizeof(text), "%.6g", value);
  }
  return text;
}

void format_histogram(const metric_family& family, std::ostringstream& out) {
  double count = 0;
  double sum = 0;
  std::vector<std::pair<std::string, double>> buckets;  // (le, cumulative count)
  for (const auto& s : family.samples) {
    if (s.name == family.name + "_count") {
      count = s.value;
    } else if (s.name == family.name + "_sum") {
      sum = s.value;
    } else if (s.name == family.name + "_bucket") {
      const std::size_t le = s.labels.find("le=\"");
      if (le != std::string::npos) {
        const std::size_t end = s.labels.find('"', le + 4);
        buckets.emplace_back(s.labels.substr(le + 4, end - le - 4), s.value);
      }
    }
  }
  out << "  " << number(count) << " observations";
  if (count > 0) {
    out << ", mean " << number(sum / count);
    for (double quantile : {0.5, 0.9, 0.99}) {
      for (const auto& bucket : buckets) {
        if (bucket.second >= quantile * count) {
          out << ", p" << number(quantile * 100) << " <= " << bucket.first;
          break;
        }
      }
    }
  }
  out << '\n';
}

}  // namespace

std::vector<metric_family> parse_exposition(const std::string& text) {
  std::vector<metric_family> families;
  std::istringstream lines(text);
  std::string line;
  auto family_named = [&](const std::string& name) -> metric_family& {
    if (families.empty() || families.back().name != name) {
      families.push_back(metric_family{name, "untyped", "", {}});
    }
    return families.back();
  };
  while (std::getline(lines, line)) {
    if (line.rfind("# HELP ", 0) == 0 || line.rfind("# TYPE ", 0) == 0) {
      const std::size_t name_end = line.find(' ', 7);
      metric_family& family = family_named(line.substr(7, name_end - 7));
      (line[2] == 'H' ? family.help : family.type) = after(line, name_end + 1);
      continue;
    }
    if (line.empty() || line[0] == '#') {
      continue;
    }
    metric_family::sample s;
    std::size_t value_at;
    const std::size_t brace = line.find('{');
    const std::size_t space = line.find(' ');
    if (brace != std::string::npos && brace < space) {
      const std::size_t close = line.rfind('}');
      if (close == std::string::npos) {
        continue;
      }
      s.name = line.substr(0, brace);
      s.labels = line.substr(brace + 1, close - brace - 1);
      value_at = close + 1;
    } else {
      s.name = line.substr(0, space);
      value_at = space;
    }
    if (value_at >= line.size()) {
      continue;
    }
    const std::string value = after(line, value_at + 1);
    s.value = value == "+Inf" ? std::numeric_limits<double>::infinity() : std::atof(value.c_str());
    std::string family_name = s.name;
    if (!families.empty() && s.name.rfind(families.back().name, 0) == 0) {
      family_name = families.back().name;  // a histogram's _bucket, _sum and _count
    }
    family_named(family_name).samples.push_back(s);
  }
  return families;
}

std::string format_stats(const std::string& text) {
  std::ostringstream out;
  for (const metric_family& family : parse_exposition(text)) {
    out << family.help << "  (" << family.name << ")\n";
    if (family.type == "histogram") {
      format_histogram(family, out);
      continue;
    }
    std::size_t zeros = 0;
    for (const auto& s : family.samples) {
      if (s.labels.empty()) {
        out << "  " << number(s.value) << '\n';
      } else if (s.value == 0 && family.samples.size() > 1) {
        ++zeros;
      } else {
        out << "  " << readable_labels(s.labels) << "  " << number(s.value) << '\n';
      }
    }
    if (zeros > 0) {
      out << "  (" << zeros << " more at 0)\n";
    }
  }
  return out.str();
}
