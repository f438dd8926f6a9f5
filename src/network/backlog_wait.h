// Sessions held back because the workers' backlog of queued work is over its bound, resumed
// together once it is down again. The workers cannot call into the event loop, so a timer looks
// at the backlog every millisecond while any session waits.
//
// The bound itself is not known here: whoever owns the queued work supplies it as a
// work_admission (the daemon wires the mutation pipeline's backlog; a server without one never
// holds a session back).
//
// Threads: the event loop's only (asserted in debug builds); the admission checks are read
// there too. Ownership: owned by
// the server (and by its pending timer wait); it holds each waiting session's resume callback,
// and with it the session, until it resumes them or the server lets them go (release()).
#ifndef NORVEL_BACKLOG_WAIT_H_
#define NORVEL_BACKLOG_WAIT_H_

#include <functional>
#include <memory>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include "support/thread_check.h"

// The bound on queued work as a session sees it. Both checks are cheap and throw nothing.
struct work_admission {
  // Asked after a request that queued work: true holds the session back.
  std::function<bool()> over_bound;
  // Asked while sessions wait: true lets them read again.
  std::function<bool()> may_resume;
};

class backlog_wait : public std::enable_shared_from_this<backlog_wait> {
 public:
  backlog_wait(boost::asio::io_context& loop, work_admission check)
      : timer(loop), admission(std::move(check)) {}
  backlog_wait(const backlog_wait&) = delete;
  backlog_wait& operator=(const backlog_wait&) = delete;

  // Whether a session that just queued work must stop reading.
  bool over_bound() const { return admission.over_bound(); }
  // Whether the backlog is low enough for held sessions to read again.
  bool may_resume() const { return admission.may_resume(); }

  // Calls `resume` (which holds its session) once the backlog may resume.
  void hold(std::function<void()> resume);
  // Drops every held session; at the server's teardown.
  void release();

 private:
  void arm();
  void on_timer(const boost::system::error_code& ec);

  boost::asio::steady_timer timer;
  const work_admission admission;
  bool armed = false;
  std::vector<std::function<void()>> held;
  thread_check loop_thread;
};

#endif  // NORVEL_BACKLOG_WAIT_H_
