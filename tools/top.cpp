#include "top.h"

#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <future>
#include <iostream>
#include <string>
#include <vector>

#include "metrics_client.h"
#include "top_figures.h"
#include "top_view.h"

namespace {

volatile std::sig_atomic_t stop_requested = 0;

extern "C" void request_stop(int) {
  stop_requested = 1;
}

struct top_options {
  std::vector<std::string> addresses;
  bool once = false;
  bool plain = false;  // --interval, --once, or not on a terminal
  long interval_seconds = 1;
  long timeout_seconds = 1;
};

void print_top_usage(std::ostream& out) {
  out << "usage: norvel-cli top [--once | --interval SECONDS] [--timeout SECONDS] "
         "ADDRESS:PORT [ADDRESS:PORT ...]\n"
         "  A live view of norvel nodes from their metrics endpoints (the daemons' --metrics\n"
         "  addresses), refreshed every second; q quits. --interval N prints one line per node\n"
         "  every N seconds instead, --once one line per node after one interval, and exits.\n"
         "  A node that does not answer within --timeout (default 1) is shown as unreachable.\n";
}

bool positive_seconds(const std::string& text, long& out) {
  char* end = nullptr;
  out = std::strtol(text.c_str(), &end, 10);
  return !text.empty() && *end == '\0' && out > 0 && out <= 86400;
}

bool parse_top_options(int argc, char** argv, int first, top_options& opts) {
  for (int i = first; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      print_top_usage(std::cout);
      std::exit(0);
    } else if (arg == "--once") {
      opts.once = true;
      opts.plain = true;
    } else if (arg == "--interval" || arg == "--timeout") {
      long& value = arg == "--interval" ? opts.interval_seconds : opts.timeout_seconds;
      if (i + 1 >= argc || !positive_seconds(argv[++i], value)) {
        std::cerr << "norvel-cli top: " << arg << " needs a whole number of seconds\n";
        return false;
      }
      opts.plain = opts.plain || arg == "--interval";
    } else if (arg.rfind("--", 0) == 0) {
      std::cerr << "norvel-cli top: unknown option " << arg << "\n";
      return false;
    } else {
      std::size_t start = 0;
      while (start <= arg.size()) {  // "a:1,b:2" as well as "a:1 b:2"
        const std::size_t comma = arg.find(',', start);
        const std::string address = arg.substr(start, comma - start);
        const std::size_t colon = address.rfind(':');
        if (colon == std::string::npos || colon == 0 || colon + 1 == address.size()) {
          std::cerr << "norvel-cli top: " << address << " is not ADDRESS:PORT\n";
          return false;
        }
        opts.addresses.push_back(address);
        if (comma == std::string::npos) {
          break;
        }
        start = comma + 1;
      }
    }
  }
  if (opts.addresses.empty()) {
    std::cerr << "norvel-cli top: name at least one metrics endpoint, ADDRESS:PORT\n";
    return false;
  }
  return true;
}

double steady_seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// One scrape of `address`: the page read, or the reason it could not be.
top::node_scrape scrape(const std::string& address, std::chrono::milliseconds timeout) {
  const std::size_t colon = address.rfind(':');
  std::string host = address.substr(0, colon);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  const http_reply reply = http_get(host, address.substr(colon + 1), "/metrics", timeout);
  if (reply.status != 200) {
    throw std::runtime_error("HTTP " + std::to_string(reply.status));
  }
  return top::read_scrape(reply.body, steady_seconds());
}

// Scrapes every node at once (each within the timeout) and updates what the view knows.
void refresh(std::vector<top::node_state>& nodes, std::chrono::milliseconds timeout) {
  std::vector<std::future<top::node_scrape>> pending;
  for (const top::node_state& node : nodes) {
    pending.push_back(std::async(std::launch::async, scrape, node.address, timeout));
  }
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    top::node_state& node = nodes[i];
    try {
      top::node_scrape now = pending[i].get();
      node.rates.reset();
      if (node.latest && node.error.empty() && now.at > node.latest->at) {
        node.rates = top::rates_between(*node.latest, now);
      }
      node.latest = std::move(now);
      node.error.clear();
    } catch (const std::exception& e) {
      node.error = e.what();
      node.rates.reset();
    }
  }
}

std::string clock_text(const char* format, bool utc) {
  const std::time_t now = std::time(nullptr);
  std::tm parts{};
  if (utc) {
    gmtime_r(&now, &parts);
  } else {
    localtime_r(&now, &parts);
  }
  char text[64];
  std::strftime(text, sizeof(text), format, &parts);
  return text;
}

// The terminal in the view's mode while it lives: keys read one at a time without echo, the
// alternate screen, the cursor hidden; all put back as they were on destruction.
class terminal_mode {
 public:
  terminal_mode() {
    ::tcgetattr(STDIN_FILENO, &saved);
    termios raw = saved;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = 0;
    ::tcsetattr(STDIN_FILENO, TCSANOW, &raw);
    std::cout << "\x1b[?1049h\x1b[?25l" << std::flush;
  }
  ~terminal_mode() {
    std::cout << "\x1b[?25h\x1b[?1049l" << std::flush;
    ::tcsetattr(STDIN_FILENO, TCSANOW, &saved);
  }
  terminal_mode(const terminal_mode&) = delete;
  terminal_mode& operator=(const terminal_mode&) = delete;

  static std::size_t width() {
    winsize size{};
    return ::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : 80;
  }

  // Waits up to `seconds` for a key; true when it was q (or Q), or the terminal went away.
  static bool wait_for_quit(double seconds) {
    const double until = steady_seconds() + seconds;
    while (stop_requested == 0) {
      const double left = until - steady_seconds();
      pollfd input{STDIN_FILENO, POLLIN, 0};
      const int ready = ::poll(&input, 1, left > 0 ? static_cast<int>(left * 1000) + 1 : 0);
      if (ready > 0) {
        char key = 0;
        if (::read(STDIN_FILENO, &key, 1) <= 0 || key == 'q' || key == 'Q') {
          return true;
        }
      } else if (ready == 0 || left <= 0) {
        return false;
      }  // else interrupted by a signal: look at stop_requested again
    }
    return false;
  }

 private:
  termios saved{};
};

// Sleeps until `until` (steady seconds) or a stop signal.
void sleep_until(double until) {
  while (stop_requested == 0) {
    const double left = until - steady_seconds();
    if (left <= 0) {
      return;
    }
    ::poll(nullptr, 0, static_cast<int>(left * 1000) + 1);
  }
}

int run_plain(std::vector<top::node_state>& nodes, const top_options& opts,
              std::chrono::milliseconds timeout) {
  double next = steady_seconds();
  refresh(nodes, timeout);  // the first scrape: the rates need a second one
  while (stop_requested == 0) {
    next += static_cast<double>(opts.interval_seconds);
    sleep_until(next);
    if (stop_requested != 0) {
      break;
    }
    refresh(nodes, timeout);
    const std::string clock = clock_text("%Y-%m-%dT%H:%M:%SZ", true);
    bool all_read = true;
    for (const top::node_state& node : nodes) {
      std::cout << top::render_line(node, clock);
      all_read = all_read && node.error.empty();
    }
    std::cout << std::flush;
    if (opts.once) {
      return all_read ? 0 : 1;
    }
  }
  return 0;
}

int run_screen(std::vector<top::node_state>& nodes, std::chrono::milliseconds timeout) {
  terminal_mode terminal;
  double next = steady_seconds();
  while (stop_requested == 0) {
    refresh(nodes, timeout);
    std::cout << "\x1b[H\x1b[2J"
              << top::render_screen(nodes, clock_text("%H:%M:%S", false), terminal.width())
              << std::flush;
    next = std::max(next + 1, steady_seconds());  // a slow round does not make the next ones rush
    if (terminal.wait_for_quit(next - steady_seconds())) {
      break;
    }
  }
  return 0;
}

}  // namespace

int run_top(int argc, char** argv, int first) {
  top_options opts;
  if (!parse_top_options(argc, argv, first, opts)) {
    print_top_usage(std::cerr);
    return 2;
  }
  struct sigaction action {};
  action.sa_handler = request_stop;  // no SA_RESTART: a wait in poll ends at once
  ::sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
  ::signal(SIGPIPE, SIG_IGN);

  std::vector<top::node_state> nodes;
  for (const std::string& address : opts.addresses) {
    nodes.push_back(top::node_state{address, "not read yet", std::nullopt, std::nullopt});
  }
  const std::chrono::milliseconds timeout(opts.timeout_seconds * 1000);
  const bool terminal = ::isatty(STDIN_FILENO) != 0 && ::isatty(STDOUT_FILENO) != 0;
  if (opts.plain || !terminal) {
    return run_plain(nodes, opts, timeout);
  }
  return run_screen(nodes, timeout);
}
