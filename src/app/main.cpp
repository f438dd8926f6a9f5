// The daemon's entry: binds port 5000 while still attached to the terminal, detaches by forking
// twice, sends its standard streams to files, opens the event log, reads the configuration,
// loads the store and serves connections on the main thread until SIGINT or SIGTERM.
// Options (daemon_options.h) may change the address, port, configuration file and log directory,
// keep it in the foreground, or only check the configuration; without them it runs as above.
//
// Exit status: 0 from the exiting parents of the two forks and after a clean stop; 1 when start-up
// fails (port in use, bind or listen error, an unusable /tmp/norvel.out, fork failure, any
// exception), so whoever started the daemon learns of it; 2 for a wrong option or setting, before
// anything is started.
#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iostream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include <boost/asio.hpp>

#include "db/config_check.h"
#include "db/initial_load.h"
#include "metrics/load_progress.h"
#include "metrics/metrics.h"
#include "metrics/metrics_exposition.h"
#include "metrics/metrics_server.h"
#include "network/parser.h"
#include "network/srv.h"
#include "store/logic_center.h"
#include "stream/replica.h"
#include "stream/stream_check.h"
#include "stream/stream_metrics.h"
#include "stream/stream_settings.h"
#include "support/app_config.h"
#include "support/build_info.h"
#include "support/daemon_options.h"
#include "support/descriptor_limit.h"
#include "support/log.h"
#include "support/object_manager.h"
#include "support/service_notify.h"

namespace {

const char* const output_path = "/tmp/norvel.out";
const char* const log_name = "norvel";

void print_line(std::FILE* stream, const char* line) {
  std::fputs(line, stream);
  std::fputc('\n', stream);
  std::fflush(stream);
}

// Opens `path` onto descriptor `fd`, which the caller has closed. Answers false on failure.
bool open_onto(int fd, const char* path, int flags, mode_t mode) {
  const int opened = ::open(path, flags, mode);
  if (opened < 0) {
    return false;
  }
  if (opened != fd) {  // only when a lower descriptor was free; keep the standard numbering
    const int moved = ::dup2(opened, fd);
    ::close(opened);
    return moved == fd;
  }
  return true;
}

bool is_regular_file(int fd) {
  struct stat info {};
  return ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
}

// Before detaching, while the start command can still tell whoever started it: /tmp/norvel.out
// must be a regular file, or absent, and open for appending without following a symbolic link.
// A FIFO would block the open, another kind of file would take the output somewhere unintended.
// Creates the file as open_output would (mode 0644 exactly); throws std::runtime_error saying why
// it cannot be used.
void check_output_file() {
  struct stat link {};
  if (::lstat(output_path, &link) == 0 && S_ISLNK(link.st_mode)) {
    throw std::runtime_error(std::string(output_path) +
                             " is a symbolic link; remove it, the daemon does not follow it");
  }
  const mode_t inherited = ::umask(0);
  const int fd = ::open(output_path, O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK |
                                         O_CLOEXEC, 0644);
  const int open_error = errno;
  ::umask(inherited);
  if (fd < 0) {
    throw std::runtime_error(std::string("cannot open ") + output_path +
                             " for appending: " + std::strerror(open_error));
  }
  const bool regular = is_regular_file(fd);
  ::close(fd);
  if (!regular) {
    throw std::runtime_error(std::string(output_path) + " is not a regular file");
  }
}

// Standard input reads /dev/null; standard output appends to /tmp/norvel.out and standard error
// duplicates it. Answers false, printing nothing, if a descriptor cannot be made.
bool open_output() {
  ::close(0);
  ::close(1);
  ::close(2);
  if (!open_onto(0, "/dev/null", O_RDONLY, 0)) {
    return false;
  }
  // Never through a symbolic link: whoever made one there would choose the file we write.
  if (!open_onto(1, output_path, O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW, 0644) ||
      !is_regular_file(1)) {
    return false;
  }
  if (::dup2(1, 2) != 2) {
    return false;
  }
  print_line(stdout, "stdout create ok");
  print_line(stderr, "stderr create ok");
  return true;
}

// Appends the reply to `reply`, the session's output.
void answer_request(const std::string& body, std::string& reply) {
  parser(body).request(reply);
}

// The same with the metrics endpoint on: times each request, and counts the bodies that are not
// requests (they end their connection). The parser counts the others by kind and result.
void answer_request_measured(const std::string& body, std::string& reply) {
  const auto started = std::chrono::steady_clock::now();
  metrics::registry& counters = metrics::global();
  try {
    parser(body).request(reply);
    counters.request_latency.observe(std::chrono::steady_clock::now() - started);
  } catch (...) {
    counters.request_latency.observe(std::chrono::steady_clock::now() - started);
    metrics::count_request(metrics::other_request, metrics::result_closed);
    throw;
  }
}

// The store's part of the metrics page: queue lengths, list sizes and bytes by structure.
store_figures store_figures_of(const logic_center& store) {
  store_figures figures;
  for (std::size_t i = 0; i < logic_center::worker_count; ++i) {
    figures.queued.push_back(store.queued(i));
  }
  const logic_center::store_sizes sizes = store.sizes();
  figures.members = sizes.members;
  figures.feeds = sizes.feeds;
  figures.follow_entries = sizes.follow_entries;
  figures.own_entries = sizes.own_entries;
  figures.feed_entries = sizes.feed_entries;
  figures.public_entries = sizes.public_entries;
  const logic_center::store_bytes held = store.bytes();
  figures.bytes.member_tables = held.member_tables;
  figures.bytes.own_lists = held.own_lists;
  figures.bytes.follow_lists = held.follow_lists;
  figures.bytes.feeds = held.feeds;
  figures.bytes.public_list = held.public_list;
  figures.bytes.inviter_index = held.inviter_index;
  return figures;
}

// The request handler: the parser's, or with a stream the replicated node's front door, which
// exists once the node has started (before the loop runs any request).
reply_writer request_handler(const daemon_options& options,
                             const std::optional<stream_settings>& stream,
                             std::optional<replica>& node) {
  if (stream) {
    return [&node](const std::string& body, std::string& reply) {
      answer_replicated(node->door(), body, reply);
    };
  }
  return options.metrics.empty() ? answer_request : answer_request_measured;
}

// The metrics endpoint bound where the operator said, or null when it is off. An address that
// cannot be bound is the operator's to fix: option_error.
std::unique_ptr<metrics_server> open_metrics(const daemon_options& options) {
  if (options.metrics.empty()) {
    return nullptr;
  }
  try {
    auto endpoint = std::make_unique<metrics_server>(parse_endpoint(options.metrics, "--metrics"));
    metrics::enable();
    return endpoint;
  } catch (const boost::system::system_error& e) {
    throw option_error("cannot serve metrics on " + options.metrics + ": " + e.what());
  }
}

// Holds SIGINT and SIGTERM back on this thread for its lifetime; one sent meanwhile stays pending
// and is taken when the object goes.
class stop_signals_held {
 public:
  stop_signals_held() {
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    ::pthread_sigmask(SIG_BLOCK, &stop_signals, &previous);
  }
  ~stop_signals_held() { ::pthread_sigmask(SIG_SETMASK, &previous, nullptr); }
  stop_signals_held(const stop_signals_held&) = delete;
  stop_signals_held& operator=(const stop_signals_held&) = delete;

 private:
  sigset_t previous;
};

// Forks twice and sends the standard streams to /tmp/norvel.out. The exiting parents end the
// process here with 0; answers false (printing nothing more) when a fork or a stream fails.
bool detach(boost::asio::io_context& io, metrics_server* metrics_endpoint) {
  // The loop learns of a stop signal through a pipe that the child makes anew after the forks.
  // A signal caught before that would go into the old pipe and be lost, and the daemon would not
  // stop: whoever started it may send one as soon as the terminal is let go, which is before.
  const stop_signals_held held;
  io.notify_fork(boost::asio::io_context::fork_prepare);
  if (metrics_endpoint != nullptr) {
    metrics_endpoint->notify_fork(boost::asio::io_context::fork_prepare);
  }
  pid_t pid = ::fork();
  if (pid > 0) {
    print_line(stdout, "First fork parent exit");
    std::exit(0);
  }
  if (pid < 0) {
    print_line(stdout, "First fork failed");
    return false;
  }
  ::setsid();  // fails only if already a group leader, which a fresh child never is
  ::umask(0);
  pid = ::fork();
  if (pid > 0) {
    print_line(stdout, "First fork parent exit");
    std::exit(0);
  }
  if (pid < 0) {
    return false;
  }
  if (!open_output()) {
    return false;
  }
  io.notify_fork(boost::asio::io_context::fork_child);
  if (metrics_endpoint != nullptr) {
    metrics_endpoint->notify_fork(boost::asio::io_context::fork_child);
  }
  return true;
}

// Applies the configured maximum of connections, within what the descriptor limit allows, and
// logs both figures.
void limit_connections(server& listener, const descriptor_limit& descriptors) {
  const std::size_t configured = singleton<app_cfg>::instance()->limits.max_connections;
  const std::size_t ceiling = connection_ceiling(configured, descriptors.after);
  listener.set_max_connections(ceiling);
  log_event(log_info, "open descriptors: soft limit %llu (inherited %llu); at most %zu connections",
            static_cast<unsigned long long>(descriptors.after),
            static_cast<unsigned long long>(descriptors.before), ceiling);
  if (ceiling < configured) {
    log_event(log_warning,
              "the descriptor limit leaves room for %zu connections, fewer than the %zu configured",
              ceiling, configured);
  }
}

// Start-up, the event loop and the finalisers. The event loop, the server and the signal set are
// locals destroyed in reverse order on every way out, before the caller closes the log.
// Throws on a failed start-up step.
int run_daemon(const daemon_options& options, const std::optional<stream_settings>& stream) {
  const descriptor_limit descriptors = raise_descriptor_limit();
  boost::asio::io_context io(1);  // one thread runs the loop: the scheduler may skip wake-ups
  std::optional<replica> node;  // with a "stream": this node of the replicated site
  server listener(io, options.listen_endpoint(), request_handler(options, stream, node));
  const std::unique_ptr<metrics_server> metrics_endpoint = open_metrics(options);
  boost::asio::signal_set signals(io, SIGINT, SIGTERM);
  signals.async_wait([&io](const boost::system::error_code&, int) { io.stop(); });

  if (!options.foreground) {
    check_output_file();
    if (!detach(io, metrics_endpoint.get())) {
      return 1;
    }
  }
  if (options.foreground) {
    // A service manager's journal shows each progress line when it happens, not at exit.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
  }

  init_log(options.log_dir.c_str(), log_name);
  object_manager::init();
  print_line(stdout, "start read config");
  singleton<app_cfg>::instance()->open_file(options.config_path);  // missing settings stay empty
  print_line(stdout, "after read config");
  limit_connections(listener, descriptors);
  if (options.foreground) {
    service_notify::status("loading the store from the database");
  }
  logic_center* store = singleton<logic_center>::instance();
  if (metrics_endpoint) {
    const metrics_sources sources{&listener.stats(), [store] { return store_figures_of(*store); }};
    if (stream) {
      metrics_endpoint->start([sources, &node] {
        std::string page = render_metrics(sources);
        if (node && node->started()) {
          render_stream_metrics(stream_stats::global(), node->dispatch().applied(),
                                node->stream().connected(), page);
        }
        return page;
      });
    } else {
      metrics_endpoint->start([sources] { return render_metrics(sources); });
    }
  }
  {
    const load_settings load = load_settings_from(*singleton<app_cfg>::instance());
    std::optional<load_reporter> reporter;
    if (options.progress_seconds > 0) {
      reporter.emplace(std::chrono::seconds(options.progress_seconds),
                       options.foreground ? &service_notify::status : nullptr);
    }
    if (stream) {
      node.emplace(*stream, *store, io);
      replica::start_options start;
      start.rebuild = options.rebuild;
      start.progress_seconds = options.progress_seconds;
      if (options.foreground) {
        start.status = &service_notify::status;
      }
      start.load_store = [store, &load] { start_store(*store, load); };
      node->start(start);
    } else {
      start_store(*store, load);
    }
  }
  malloc_trim(0);  // what the load's temporaries leave free goes back now, not at the next trim

  if (options.foreground) {
    // Ready once the loop runs: the first handler it dispatches is this one.
    boost::asio::post(io, [&options] {
      service_notify::ready("serving requests on " + options.listen_address + " port " +
                            std::to_string(options.port));
    });
  }
  if (node) {
    node->serve_on_loop();
  }
  io.run();
  if (options.foreground) {
    service_notify::stopping();
  }
  if (node) {
    node->stop();
  }
  if (metrics_endpoint) {
    metrics_endpoint->stop();  // it reads the store, which the finalisers destroy
  }
  object_manager::fini();
  return 0;
}

// Why the start failed: in the event log whatever its level, and on standard error when there
// is no log yet or a terminal (or service manager) is watching the foreground process.
void report_start_failure(const char* what, bool foreground) {
  if (gLogger != nullptr) {
    log_event_unfiltered(log_debug, "Main Exception: %s", what);
  }
  if (gLogger == nullptr || foreground) {
    std::fprintf(stderr, "Main Exception: %s\n", what);
    std::fflush(stderr);
  }
}

// A start the operator must act on (the stream unreachable, no snapshot for a stream that holds
// changes): the reason goes to the event log and to standard error, where whoever started the
// daemon sees it.
void report_refused_start(const char* what) {
  if (gLogger != nullptr) {
    log_event(log_fatal, "start refused: %s", what);
  }
  std::fprintf(stderr, "norvel: %s\n", what);
  std::fflush(stderr);
}

// Reads the command line and the configuration file's own settings, the "stream" member into
// `stream` when there is one. Answers the settings, or throws option_error.
daemon_options read_options(int argc, const char* const argv[],
                            std::optional<stream_settings>& stream) {
  daemon_options options = parse_command_line(argc, argv);
  if (options.show_help || options.show_version) {
    return options;
  }
  Json::Value document;
  try {
    document = read_config_document(options.config_path);
  } catch (const std::exception& e) {
    // The classic start reports an unusable default file later and runs on; a file the operator
    // named must be usable.
    if (options.is_given("config")) {
      const bool readable = ::access(options.config_path.c_str(), R_OK) == 0;
      throw option_error("cannot use the configuration file '" + options.config_path +
                         "': " + (readable ? e.what() : std::strerror(errno)));
    }
  }
  apply_config_settings(document, options);
  try {
    stream_settings read;
    if (read_stream_settings(document, read)) {
      stream = std::move(read);
    }
  } catch (const std::invalid_argument& e) {
    throw option_error(e.what());
  }
  settle_defaults(options);
  check_settings(options);
  return options;
}

}  // namespace

int main(int argc, char** argv) {
  daemon_options options;
  std::optional<stream_settings> stream;
  try {
    options = read_options(argc, argv, stream);
  } catch (const option_error& e) {
    std::fprintf(stderr, "norvel: %s\n", e.what());
    print_usage(std::cerr);
    return 2;
  }
  if (options.show_help) {
    print_usage(std::cout);
    return 0;
  }
  if (options.show_version) {
    std::cout << build_info::describe() << std::endl;
    return 0;
  }
  if (options.check_config) {
    const int status = check_configuration(options, std::cout, std::cerr);
    if (status != 0 || !stream) {
      return status;
    }
    return check_stream(*stream, std::cout, std::cerr);
  }

  int status = 1;
  try {
    status = run_daemon(options, stream);
  } catch (const start_refused& e) {
    report_refused_start(e.what());
    status = 1;
  } catch (const stream_error& e) {
    report_refused_start(e.what());
    status = 1;
  } catch (const option_error& e) {
    std::fprintf(stderr, "norvel: %s\n", e.what());
    status = 2;
  } catch (const std::exception& e) {
    report_start_failure(e.what(), options.foreground);
    status = 1;
  } catch (...) {
    report_start_failure("unknown exception", options.foreground);
    status = 1;
  }
  fini_log();
  return status;
}
