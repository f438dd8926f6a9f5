// Tells the service manager about the daemon's state (systemd's notification protocol, through
// libsystemd's sd_notify): READY=1 once requests are served, STOPPING=1 when it stops, and a
// one-line STATUS= meanwhile. Every call is a no-op when the daemon was not started by a service
// manager that listens (no NOTIFY_SOCKET in the environment). Only the foreground mode calls them;
// a detached daemon has no notifying parent to speak of.
// Threads: any; each call sends one datagram and keeps no state.
#ifndef NORVEL_SERVICE_NOTIFY_H_
#define NORVEL_SERVICE_NOTIFY_H_

#include <string>

namespace service_notify {

void ready(const std::string& status);
void stopping();
void status(const std::string& text);

}  // namespace service_notify

#endif  // NORVEL_SERVICE_NOTIFY_H_
