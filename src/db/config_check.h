// norvel --check-config: reads the configuration file as the daemon would, connects to the
// database with its settings and prints what a start would load (row counts), then answers the
// process's exit status: 0 when all is well, 1 with a one-line reason on standard error.
// Main thread, before anything is started; opens one database connection of its own.
#ifndef NORVEL_CONFIG_CHECK_H_
#define NORVEL_CONFIG_CHECK_H_

#include <iosfwd>

#include "support/daemon_options.h"

int check_configuration(const daemon_options& options, std::ostream& out, std::ostream& err);

#endif  // NORVEL_CONFIG_CHECK_H_
