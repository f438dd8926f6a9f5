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

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include <boost/asio.hpp>

#include "app/detach.h"
#include "app/load_stop_watch.h"
#include "app/pid_file.h"
#include "app/request_adaptors.h"
#include "db/config_check.h"
#include "db/initial_load.h"
#include "metrics/load_progress.h"
#include "metrics/metrics.h"
#include "metrics/metrics_exposition.h"
#include "metrics/metrics_server.h"
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
#include "support/malloc_settings.h"
#include "support/object_manager.h"
#include "support/service_notify.h"

namespace {

const char* const log_name = "norvel";

// The request handler: the parser's on the store, or with a stream the replicated node's front
// door, which exists once the node has started; either way big bodies are parsed by
// `big_bodies`. `store` and `door` are set once the log is open and the node has started; both
// are there before the loop runs any request.
frame_handler choose_handler(const daemon_options& options,
                             const std::optional<stream_settings>& stream, front_door* const& door,
                             shard_router* const& router, logic_center* const& store,
                             parse_offload& big_bodies) {
  if (stream) {
    return replicated_handler(door, store, !options.metrics.empty(), &big_bodies, &router);
  }
  return request_handler(store, !options.metrics.empty(), &big_bodies);
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
  boost::asio::io_context io(1);   // one thread runs the loop: the scheduler may skip wake-ups
  stream_stats stream_figures;     // the node's, counted into by its parts; outlives it
  std::optional<replica> node;     // with a "stream": this node of the replicated site
  logic_center* store = nullptr;   // created once the log is open; requests come after that
  front_door* door = nullptr;      // the node's, once it has started
  shard_router* router = nullptr;  // the same
  parse_offload big_bodies(io);    // outlives the server, whose handler hands it bodies
  server listener(io, options.listen_endpoint(),
                  choose_handler(options, stream, door, router, store, big_bodies));
  // The store's queued work holds back the sessions that send more (the store exists before
  // the loop runs any request).
  listener.hold_back_work({[&store] { return store->backlog().over_bound(); },
                           [&store] { return store->backlog().may_resume(); }});
  // Set when the loop starts answering (the store loaded, the stream caught up) and cleared when
  // it ends; /ready and norvel_ready show it.
  std::atomic<bool> serving{false};
  const std::unique_ptr<metrics_server> metrics_endpoint = open_metrics(options);
  boost::asio::signal_set signals(io, SIGINT, SIGTERM);
  signals.async_wait([&io](const boost::system::error_code&, int) { io.stop(); });

  if (!options.foreground) {
    check_output_file();
    if (!detach(io, metrics_endpoint.get())) {
      return 1;
    }
  }
  std::optional<pid_file> pid;  // written with the process's final id, removed at the stop
  if (!options.pid_file.empty()) {
    pid.emplace(options.pid_file);
  }
  if (options.foreground) {
    // A service manager's journal shows each progress line when it happens, not at exit.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
  }

  init_log(options.log_dir.c_str(), log_name);
  object_manager::init();
  print_line(stdout, "start read config");
  app_cfg& config = *singleton<app_cfg>::instance();
  config.open_file(options.config_path);  // missing settings stay empty
  if (config.log.level != 0 && gLogger != nullptr) {
    gLogger->set_max_level(config.log.level);  // a "log" member read before a later error holds
  }
  print_line(stdout, "after read config");
  limit_connections(listener, descriptors);
  if (options.foreground) {
    service_notify::status("loading the store from the database");
  }
  store = singleton<logic_center>::instance();
  store->count_into(metrics::global());
  if (metrics_endpoint) {
    const metrics_sources sources{&listener.stats(), [store] { return store_figures_of(*store); },
                                  [&serving] { return serving.load(); }};
    const metrics_server::ready_fn ready = sources.ready;
    if (stream) {
      metrics_endpoint->start(
          [sources, &node, &stream_figures] {
            std::string page = render_metrics(sources);
            if (node && node->started()) {
              render_stream_metrics(stream_figures, node->dispatch().applied(),
                                    node->stream().connected(), page);
            }
            return page;
          },
          ready);
    } else {
      metrics_endpoint->start([sources] { return render_metrics(sources); }, ready);
    }
  }
  {
    load_settings load = load_settings_from(*singleton<app_cfg>::instance());
    load.progress = &load_progress::global();
    load.to_loop = [&io](std::function<void()> answer) {
      boost::asio::post(io, std::move(answer));
    };
    std::optional<load_reporter> reporter;
    if (options.progress_seconds > 0) {
      reporter.emplace(std::chrono::seconds(options.progress_seconds),
                       options.foreground ? &service_notify::status : nullptr);
    }
    // A stop signal meanwhile abandons the load: start_store throws load_abandoned, a failed
    // start-up, and nothing is served.
    load_stop stop;
    const load_stop_watch stop_watch(stop);
    if (stream) {
      const app_cfg::store_setting& caps = singleton<app_cfg>::instance()->store;
      node.emplace(*stream, *store, io, stream_figures, metrics::global().snapshots,
                   logic_center::list_caps{caps.feed_cap, caps.public_cap});
      replica::start_options start;
      start.rebuild = options.rebuild;
      start.progress_seconds = options.progress_seconds;
      if (options.foreground) {
        start.status = &service_notify::status;
      }
      start.load_store = [store, &load, &stop] { start_store(*store, load, &stop); };
      start.listen_address = options.listen_address;
      start.port = options.port;
      node->start(start);
      door = &node->door();
      router = &node->router();
    } else {
      start_store(*store, load, &stop);
    }
  }
  malloc_trim(0);  // what the load's temporaries leave free goes back now, not at the next trim

  // Ready once the loop runs: the first handler it dispatches is this one.
  boost::asio::post(io, [&options, &serving] {
    serving = true;
    if (options.foreground) {
      service_notify::ready("serving requests on " + options.listen_address + " port " +
                            std::to_string(options.port));
    }
  });
  if (node) {
    node->serve_on_loop();
  }
  io.run();
  serving = false;
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
  malloc_settings::fix_thresholds();
  daemon_options options;
  std::optional<stream_settings> stream;
  try {
    options = read_options(argc, argv, stream);
  } catch (const option_error& e) {
    std::fprintf(stderr, "norvel: %s\nsee --help\n", e.what());
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
    return check_stream(*stream, options.rebuild, std::cout, std::cerr);
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
    std::fprintf(stderr, "norvel: %s\nsee --help\n", e.what());
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
