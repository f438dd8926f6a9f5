// Turning the started process into a background daemon: the checks made while the start command
// can still report to whoever ran it, the double fork, and the standard streams sent to
// /tmp/norvel.out. Main thread, before any other thread exists.
#ifndef NORVEL_DETACH_H_
#define NORVEL_DETACH_H_

#include <cstdio>

#include <boost/asio.hpp>

#include "metrics/metrics_server.h"

// Writes `line` and a line feed to `stream` and flushes it.
void print_line(std::FILE* stream, const char* line);

// Before detaching: /tmp/norvel.out must be a regular file, or absent, and open for appending
// without following a symbolic link. A FIFO would block the open, another kind of file would take
// the output somewhere unintended. Creates the file as the detach does (mode 0644 exactly);
// throws std::runtime_error saying why it cannot be used.
void check_output_file();

// Forks twice and sends the standard streams to /tmp/norvel.out (standard input reads
// /dev/null). The exiting parents end the process here with 0; answers false (printing nothing
// more) when a fork or a stream fails. `io` and `metrics_endpoint` (which may be null) are told
// of the forks so their reactors work in the child.
bool detach(boost::asio::io_context& io, metrics_server* metrics_endpoint);

#endif  // NORVEL_DETACH_H_
