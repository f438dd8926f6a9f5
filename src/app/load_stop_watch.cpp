#include "app/load_stop_watch.h"

#include <csignal>

#include "support/log.h"

load_stop_watch::load_stop_watch(load_stop& load)
    : signals(io, SIGINT, SIGTERM), watcher([this, &load] {
        signals.async_wait([&load](const boost::system::error_code& ec, int signal_number) {
          if (ec) {
            return;  // the load ended first
          }
          log_event(log_info, "signal %d during the start-up load: the load is abandoned",
                    signal_number);
          load.stop();
        });
        io.run();
      }) {}

load_stop_watch::~load_stop_watch() {
  io.stop();
  watcher.join();
}
