#include "protocol/parse_offload.h"

#include <optional>
#include <utility>

#include <boost/asio/post.hpp>

namespace {

// A body and the parser reading it, made in place and never moved: the parser refers to the
// body.
struct parsed_body {
  std::string body;
  std::optional<parser> request;
};

}  // namespace

parse_offload::parse_offload(boost::asio::io_context& event_loop, std::size_t bytes)
    : loop(event_loop), threshold(bytes) {}

parse_offload::~parse_offload() {
  {
    annotated::mutex_lock hold(lock);
    stopping = true;
  }
  wake.notify_all();
  if (helper.joinable()) {
    helper.join();
  }
}

bool parse_offload::takes(const std::string& body, const request_context& context) const {
  return body.size() > threshold && context.can_defer();
}

void parse_offload::offload(const std::string& body, logic_center& store, request_context& context,
                            answer_fn answer, failed_fn failed) {
  job work;
  work.later = context.defer_reply(later_requests::held);
  {
    annotated::mutex_lock hold(lock);
    work.body.swap(spare);
  }
  work.body.assign(body);
  work.store = &store;
  work.answer = std::move(answer);
  work.failed = std::move(failed);
  {
    annotated::mutex_lock hold(lock);
    waiting.push_back(std::move(work));
  }
  wake.notify_one();
  if (!helper.joinable()) {
    helper = std::thread([this] { run(); });
  }
}

void parse_offload::run() {
  for (;;) {
    job work;
    {
      annotated::mutex_lock hold(lock);
      hold.wait(wake, [&]() REQUIRES(lock) { return stopping || !waiting.empty(); });
      if (stopping) {
        return;
      }
      work = std::move(waiting.front());
      waiting.pop_front();
    }
    parse(std::move(work));
  }
}

void parse_offload::parse(job&& work) {
  auto parsed = std::make_shared<parsed_body>();
  parsed->body = std::move(work.body);
  bool is_request = true;
  try {
    parsed->request.emplace(parsed->body, *work.store);
    // A follow or special change only queues work for the workers, which any thread may do:
    // run here, it leaves the loop nothing but the reply (a big document's conversion and
    // freeing would stall it too).
    if (parsed->request->names_queued_change()) {
      std::string reply;
      work.answer(*parsed->request, parsed->body, reply);
      boost::asio::post(loop,
                        [later = work.later, reply = std::move(reply)] { later.complete(reply); });
      parsed->request.reset();  // it reads the body: gone first
      keep_room(std::move(parsed->body));
      return;
    }
  } catch (const std::exception&) {
    is_request = false;  // the loop ends the connection, as a parser there would
  }
  boost::asio::post(loop, [parsed, is_request, work = std::move(work)] {
    if (is_request) {
      std::string reply;
      try {
        work.answer(*parsed->request, parsed->body, reply);
        work.later.complete(reply);
        return;
      } catch (...) {
        // Not a request either (parser::request() said so): as below.
      }
    }
    if (work.failed) {
      work.failed();
    }
    work.later.fail();
  });
}

void parse_offload::keep_room(std::string&& body) {
  body.clear();
  annotated::mutex_lock hold(lock);
  if (body.capacity() > spare.capacity()) {
    spare.swap(body);
  }
}
