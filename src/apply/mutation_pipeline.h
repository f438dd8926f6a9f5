// The mutation pipeline: the path of an accepted change from whoever accepts it to the appliers
// that change the store. One queue per worker, the workers that take messages off them, and the
// backlog of queued work that holds back the sessions sending more (work_backlog.h). Every
// source of changes plugs in here: the requests answered on the event loop, and the stream's
// reader on a replicated node. Which worker a message goes to is its producer's choice (the
// store chooses by member).
//
// Order: the messages of one `user` put to one worker are applied in the order they were put,
// never two at once. An applier may do a big message in turns: it answers false ("more to do")
// and is called again with the same message later; meanwhile the worker applies the other users'
// messages (one turn of each message under way, then what has been queued since), and holds the
// same user's later messages back until that one is done. So a member whose change reaches a
// million feeds delays the others on its worker by one turn, not by the whole change.
//
// `Message` carries `unsigned long user` (whose messages keep their order), `std::size_t cost`
// (what it counts in the backlog) and `std::function<void()> on_applied` (called by the worker
// once it is applied, also when the applier failed; may be empty).
//
// Threads: put() on any producer thread; the applier on the workers; queued() and backlog() on
// any thread; start() and stop() on the owner's thread. Each queue is guarded by its own lock
// (msgqueue.h); the backlog is atomic; the messages under way belong to their worker's thread.
// Ownership: owns the queues, the messages in them and the worker threads; stop() (or the
// destructor) joins the workers and drops what is still queued or under way.
#ifndef NORVEL_MUTATION_PIPELINE_H_
#define NORVEL_MUTATION_PIPELINE_H_

#include <array>
#include <atomic>
#include <cstddef>
#include <deque>
#include <functional>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "apply/msgqueue.h"
#include "apply/work_backlog.h"
#include "metrics/metrics.h"

namespace pipeline_detail {
// Applies one turn of a message on worker `index` with the worker's log batch, its log entries
// (the "worker" entry on its first turn only) and, once the message is done, its applied count.
// Answers whether it is done: what `apply(context)` answers, or true when it threw (what it
// threw is logged and swallowed). `applied`: the counters by worker, or null.
bool apply_logged(std::size_t index, bool first_turn, bool (*apply)(void* context), void* context,
                  metrics::padded_counter* applied) noexcept;
void log_worker_start() noexcept;
void log_worker_quit() noexcept;
}  // namespace pipeline_detail

template <typename Message, std::size_t Workers>
class mutation_pipeline {
 public:
  // Applies a turn of `message`: true once it is done, false to be called again later.
  using applier = std::function<bool(Message& message)>;

  mutation_pipeline() = default;
  ~mutation_pipeline() { stop(); }
  mutation_pipeline(const mutation_pipeline&) = delete;
  mutation_pipeline& operator=(const mutation_pipeline&) = delete;

  // Where each worker counts the messages it applied (`counters[index]`, the metrics page's);
  // null, the default: nowhere. Before start(); owner's thread.
  void count_applied_into(metrics::padded_counter* counters) { applied_counts = counters; }

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

  // Stops the queues, joins the workers and drops what is still queued or under way (its cost
  // leaves the backlog). Owner's thread; later calls do nothing.
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
  static bool apply_one(void* context) {
    applying* job = static_cast<applying*>(context);
    return job->pipeline->apply_message(*job->message);
  }

  // What one worker has under way: the users with a message begun and not done, each with the
  // messages of that user that came after it (the front one is the one begun), and whose turn
  // is next. Only the worker's own thread touches it.
  struct user_lane {
    std::deque<Message> messages;
    bool front_begun = false;  // the front message has had a turn
  };
  struct under_way {
    std::unordered_map<unsigned long, user_lane> waiting;
    std::deque<unsigned long> turns;
  };

  // At most this many queued messages are taken between two turns of the messages under way,
  // so that these keep moving while producers keep the queue full.
  static constexpr std::size_t taken_between_turns = 64;

  // The loop of worker `index`: takes messages off queues[index] until the pipeline stops.
  void work(std::size_t index) {
    pipeline_detail::log_worker_start();
    msgqueue<Message>& queue = queues[index];
    under_way begun;
    while (!stopping) {
      if (begun.turns.empty()) {
        Message message;
        if (queue.getq(message)) {
          start(index, begun, std::move(message));
        }
        continue;
      }
      next_turn(index, begun);
      Message message;
      for (std::size_t taken = 0; taken < taken_between_turns && queue.try_getq(message); ++taken) {
        start(index, begun, std::move(message));
      }
    }
    for (auto& [user, lane] : begun.waiting) {
      for (const Message& message : lane.messages) {
        queued_work.remove(message.cost);
      }
    }
    pipeline_detail::log_worker_quit();
  }

  // A message just taken off the queue: behind its user's message under way if there is one,
  // else applied now, and kept under way if the applier has more to do.
  void start(std::size_t index, under_way& begun, Message&& message) {
    const auto held = begun.waiting.find(message.user);
    if (held != begun.waiting.end()) {
      held->second.messages.push_back(std::move(message));
      return;
    }
    if (apply_turn(index, true, message)) {
      return;
    }
    const unsigned long user = message.user;
    user_lane& lane = begun.waiting[user];
    lane.messages.push_back(std::move(message));
    lane.front_begun = true;
    begun.turns.push_back(user);
  }

  // One turn of the message under way whose turn it is; once it is done, the next message of the
  // same user (if any) becomes the one under way, in the same turn order.
  void next_turn(std::size_t index, under_way& begun) {
    const unsigned long user = begun.turns.front();
    begun.turns.pop_front();
    user_lane& lane = begun.waiting[user];
    const bool first_turn = !lane.front_begun;
    lane.front_begun = true;
    if (apply_turn(index, first_turn, lane.messages.front())) {
      lane.messages.pop_front();
      lane.front_begun = false;
    }
    if (lane.messages.empty()) {
      begun.waiting.erase(user);
    } else {
      begun.turns.push_back(user);
    }
  }

  // Applies a turn of `message`; once it is done, settles its cost and tells its producer.
  bool apply_turn(std::size_t index, bool first_turn, Message& message) {
    applying job{this, &message};
    if (!pipeline_detail::apply_logged(index, first_turn, &mutation_pipeline::apply_one, &job,
                                       applied_counts)) {
      return false;
    }
    queued_work.remove(message.cost);
    if (message.on_applied) {
      message.on_applied();
    }
    return true;
  }

  applier apply_message;  // set before the workers start, read only after
  metrics::padded_counter* applied_counts = nullptr;  // likewise
  work_backlog queued_work;
  std::atomic<bool> stopping{false};
  std::array<msgqueue<Message>, Workers> queues;  // queues[i] feeds workers[i]
  std::vector<std::thread> workers;
};

#endif  // NORVEL_MUTATION_PIPELINE_H_
