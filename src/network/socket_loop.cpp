#include "network/socket_loop.h"

#include <sys/epoll.h>

#include <cerrno>
#include <utility>

#include "support/log.h"

namespace {

// Events taken per epoll_wait; more wait for the next turn, which follows at once.
constexpr int events_per_turn = 256;

int open_epoll_set() {
  const int fd = ::epoll_create1(EPOLL_CLOEXEC);
  if (fd < 0) {
    throw boost::system::system_error(
        boost::system::error_code(errno, boost::system::system_category()), "epoll_create1");
  }
  return fd;
}

}  // namespace

socket_loop::socket_loop(boost::asio::io_context& loop)
    : io(loop), waiter(loop, open_epoll_set()) {}

socket_loop::~socket_loop() {
  release();
}

void socket_loop::add(std::shared_ptr<client> joining) {
  loop_thread.assert_on_thread();
  epoll_event registration{};
  // Edge-triggered: an event says "something changed"; the session reads until a short read and
  // sends until the socket takes no more, so no change is missed.
  // The peer's end of stream is a state, not bytes: EPOLLRDHUP tells the session that a short
  // read has not seen everything.
  registration.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
  registration.data.ptr = joining.get();
  const int fd = joining->descriptor();
  if (::epoll_ctl(waiter.native_handle(), EPOLL_CTL_ADD, fd, &registration) != 0) {
    throw boost::system::system_error(
        boost::system::error_code(errno, boost::system::system_category()), "epoll_ctl");
  }
  const client* key = joining.get();
  sessions.emplace(key, std::move(joining));
  arm();
}

void socket_loop::arm() {
  if (armed || released) {
    return;
  }
  armed = true;
  std::weak_ptr<socket_loop> still_here = shared_from_this();
  waiter.async_wait(boost::asio::posix::stream_descriptor::wait_read,
                    [still_here](const boost::system::error_code& ec) {
                      const std::shared_ptr<socket_loop> self = still_here.lock();
                      if (!self) {
                        return;  // the server is gone
                      }
                      self->armed = false;
                      if (ec) {
                        return;  // cancelled at teardown
                      }
                      self->run_turn();
                    });
}

void socket_loop::run_turn() {
  loop_thread.assert_on_thread();
  begin_turn();
  serving.swap(again);
  for (const std::shared_ptr<client>& ready : serving) {
    ready->again_queued = false;
    ready->serve();
  }
  serving.clear();
  epoll_event events[events_per_turn];
  int count;
  do {
    count = ::epoll_wait(waiter.native_handle(), events, events_per_turn, 0);
  } while (count < 0 && errno == EINTR);
  for (int i = 0; i < count; ++i) {
    static_cast<client*>(events[i].data.ptr)->on_events(events[i].events);
  }
  end_turn();
}

void socket_loop::begin_turn() {
  if (turn_depth++ == 0) {
    log_batch_begin();
  }
}

void socket_loop::touch(client& served) {
  if (!served.in_turn) {
    served.in_turn = true;
    touched.push_back(served.shared_client());
  }
}

void socket_loop::serve_again(client& ready) {
  loop_thread.assert_on_thread();
  if (!ready.again_queued) {
    ready.again_queued = true;
    again.push_back(ready.shared_client());
  }
  if (turn_depth == 0) {
    post_turn();  // from a timer: no turn's end will see it
  }
}

void socket_loop::post_turn() {
  if (again_posted || released) {
    return;
  }
  again_posted = true;
  std::weak_ptr<socket_loop> still_here = shared_from_this();
  boost::asio::post(io, [still_here] {
    if (const std::shared_ptr<socket_loop> self = still_here.lock()) {
      self->again_posted = false;
      self->run_turn();
    }
  });
}

void socket_loop::end_turn() {
  if (--turn_depth > 0) {
    return;
  }
  log_batch_end();  // the turn's entries are in the file before any of its replies is sent
  for (const std::shared_ptr<client>& served : touched) {
    served->in_turn = false;
    if (served->end_of_turn()) {
      sessions.erase(served.get());
    }
  }
  touched.clear();  // sessions whose last reference this was end here, and log at once
  if (!again.empty()) {
    post_turn();
  }
  arm();
}

void socket_loop::release() {
  released = true;
  if (turn_depth > 0) {
    turn_depth = 0;
    log_batch_end();  // a stop can leave a turn open: its entries are written now
  }
  boost::system::error_code ignored_ec;  // cancelling an idle wait is not an error worth having
  waiter.cancel(ignored_ec);
  touched.clear();
  again.clear();
  std::unordered_map<const client*, std::shared_ptr<client>> dropped;
  dropped.swap(sessions);
}
