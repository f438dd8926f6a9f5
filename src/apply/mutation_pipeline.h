// The mutation pipeline: the path of an accepted change from whoever accepts it to the appliers
// that change the store. One queue per worker, the workers that take messages off them, and the
// backlog of queued work that holds back the sessions sending more (work_backlog.h). Every
// source of changes plugs in here: the requests answered on the event loop, and the stream's
// reader on a replicated node. Messages put to one worker are applied in the order they were
// put, never two at once; which worker a message goes to is its producer's choice (the store
// chooses by member).
//
// `Message` carries `std::size_t cost` (what it counts in the backlog) and
// `std::function<void()> on_applied` (called by the worker once it is applied, also when the
// applier failed; may be empty).
//
// Threads: put() on any producer thread; the applier on the workers; queued() and backlog() on
// any thread; start() and stop() on the owner's thread. Each queue is guarded by its own lock
// (msgqueue.h); the backlog is atomic.
// Ownership: owns the queues, the messages in them and the worker threads; stop() (or the
// destructor) joins the workers and drops what is still queued.
#ifndef NORVEL_MUTATION_PIPELINE_H_
#define NORVEL_MUTATION_PIPELINE_H_

#include <array>
#include <atomic>
#include <cstddef>
#include <functional>
#include <thread>
#include <utility>
#include <vector>

#include "apply/msgqueue.h"
#include "apply/work_backlog.h"

namespace pipeline_detail {
// Applies one message on worker `index` with the worker's log batch, its log entries and its
// applied count; whatever `apply(context)` throws is logged and swallowed.
void apply_logged(std::size_t index, void (*apply)(void* context), void* context) noexcept;
void log_worker_start() noexcept;
void log_worker_quit() noexcept;
}  // namespace pipeline_detail

template <typename Message, std::size_t Workers>
class mutation_pipeline {
 public:
  using applier = std::function<void(Message& message)>;

  mutation_pipeline() = default;
  ~mutation_pipeline() { stop(); }
  mutation_pipeline(const mutation_pipeline&) = delete;
  mutation_pipeline& operator=(const mutation_pipeline&) = delete;

  // Starts the workers, each applying its queue's messages with `apply`; a second call does
  // nothing. Owner's thread.
  void start(applier apply) {
    if (!workers.empty()) {
      return;
    }
    apply_message = std::move(apply);
    workers.reserve(Workers);
    for (std::size_t index = 0; index < Workers; ++index) {
      workers.emplace_back(&mutation_pipeline::work, this, index);
    }
  }

  // Queues `message` for worker `index` and counts its cost in the backlog. Any thread.
  void put(std::size_t index, Message&& message) noexcept {
    queued_work.add(message.cost);
    queues[index].putq(std::move(message));
  }

  // Stops the queues, joins the workers and drops what is still queued (its cost leaves the
  // backlog). Owner's thread; later calls do nothing.
  void stop() noexcept {
    stopping = true;
    for (auto& queue : queues) {
      queue.stop();
    }
    for (std::thread& worker : workers) {
      if (worker.joinable()) {
        worker.join();
      }
    }
    for (auto& queue : queues) {
      queue.drain([this](const Message& message) { queued_work.remove(message.cost); });
    }
  }

  // Messages waiting in worker `index`'s queue; any thread.
  std::size_t queued(std::size_t index) const { return queues[index].size(); }
  // The queued work, for the sessions' back-pressure; any thread.
  const work_backlog& backlog() const { return queued_work; }
  // Worker `index`'s queue, for tests that look at what is queued.
  msgqueue<Message>& queue(std::size_t index) { return queues[index]; }
  static constexpr std::size_t worker_count() { return Workers; }

 private:
  struct applying {
    mutation_pipeline* pipeline;
    Message* message;
  };
  static void apply_one(void* context) {
    applying* job = static_cast<applying*>(context);
    job->pipeline->apply_message(*job->message);
  }

  // The loop of worker `index`: takes messages off queues[index] until the pipeline stops.
  void work(std::size_t index) {
    pipeline_detail::log_worker_start();
    msgqueue<Message>& queue = queues[index];
    while (!stopping) {
      Message message;
      if (!queue.getq(message)) {
        continue;
      }
      applying job{this, &message};
      pipeline_detail::apply_logged(index, &mutation_pipeline::apply_one, &job);
      queued_work.remove(message.cost);
      if (message.on_applied) {
        message.on_applied();
      }
    }
    pipeline_detail::log_worker_quit();
  }

  applier apply_message;  // set before the workers start, read only after
  work_backlog queued_work;
  std::atomic<bool> stopping{false};
  std::array<msgqueue<Message>, Workers> queues;  // queues[i] feeds workers[i]
  std::vector<std::thread> workers;
};

#endif  // NORVEL_MUTATION_PIPELINE_H_
