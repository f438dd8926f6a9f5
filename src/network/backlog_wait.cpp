#include "network/backlog_wait.h"

#include <chrono>
#include <utility>

namespace {

constexpr auto backlog_poll_interval = std::chrono::milliseconds(1);

}  // namespace

void backlog_wait::hold(std::function<void()> resume) {
  loop_thread.assert_on_thread();
  held.push_back(std::move(resume));
  arm();
}

void backlog_wait::release() {
  boost::system::error_code ignored_ec;  // cancelling an idle timer is not an error worth having
  timer.cancel(ignored_ec);
  std::vector<std::function<void()>> dropped;
  dropped.swap(held);
}

void backlog_wait::arm() {
  if (armed) {
    return;
  }
  armed = true;
  timer.expires_after(backlog_poll_interval);
  timer.async_wait(
      [self = shared_from_this()](const boost::system::error_code& ec) { self->on_timer(ec); });
}

void backlog_wait::on_timer(const boost::system::error_code& ec) {
  loop_thread.assert_on_thread();
  armed = false;
  if (ec || held.empty()) {
    return;
  }
  if (!may_resume()) {
    arm();
    return;
  }
  std::vector<std::function<void()>> resumed;
  resumed.swap(held);
  for (const std::function<void()>& resume : resumed) {
    resume();  // served in the socket loop's next turn
  }
}
