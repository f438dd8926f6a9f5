#include "support/service_notify.h"

#include <systemd/sd-daemon.h>

namespace service_notify {

namespace {

// The manager's answer is of no use to us: a failed notification must not stop the daemon.
void send(const std::string& message) {
  const int ignored_result = sd_notify(0, message.c_str());
  (void)ignored_result;
}

}  // namespace

void ready(const std::string& status) {
  send("READY=1\nSTATUS=" + status);
}

void stopping() {
  send("STOPPING=1\nSTATUS=stopping");
}

void status(const std::string& text) {
  send("STATUS=" + text);
}

}  // namespace service_notify
