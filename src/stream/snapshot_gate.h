// The snapshot taker's hold on the stream's changes: a pause of the ordered dispatch whose moment
// of rest is handed to the event loop, where the taker forks its writer.
// Threads: pause() and resume() on the event-loop thread; the rest comes from whichever thread
// applies the last change in flight and is posted to the loop. Refers to the dispatch and the
// loop, which outlive it.
#ifndef NORVEL_SNAPSHOT_GATE_H_
#define NORVEL_SNAPSHOT_GATE_H_

#include <cstdint>
#include <functional>
#include <utility>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include "snapshot/snapshot_taker.h"
#include "stream/ordered_dispatch.h"

class snapshot_gate : public snapshot::apply_gate {
 public:
  snapshot_gate(ordered_dispatch& changes, boost::asio::io_context& io)
      : dispatch(changes), loop(io) {}

  void pause(std::function<void(std::uint64_t)> at_rest) override {
    dispatch.pause([this, at_rest = std::move(at_rest)](std::uint64_t applied) {
      boost::asio::post(loop, [at_rest, applied] { at_rest(applied); });
    });
  }
  void resume() override { dispatch.resume(); }

 private:
  ordered_dispatch& dispatch;
  boost::asio::io_context& loop;
};

#endif  // NORVEL_SNAPSHOT_GATE_H_
