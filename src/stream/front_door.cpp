#include "stream/front_door.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include <boost/asio/post.hpp>
#include <json/json.h>

#include "metrics/metrics.h"
#include "protocol/parser.h"
#include "stream/shard_router.h"
#include "stream/stream_stats.h"
#include "support/log.h"
#include "util/stringutil.h"

namespace {

std::string accepted_with_seq(std::uint64_t seq) {
  return "{\"code\":200,\"data\":{\"seq\":" + std::to_string(seq) + "}}\n";
}

// A change cut into parts of at most `limit` bytes for the stream: each part's message id, body
// and header, and the value of the header of the message that completes it.
class change_parts_out {
 public:
  change_parts_out(const std::string& msg_id, const std::string& body, std::size_t limit)
      : id(msg_id), whole(body), size(limit), parts((body.size() + limit - 1) / limit) {
    log_event(log_info, "publishing change %s of %zu bytes in %zu parts", id.c_str(), whole.size(),
              parts);
  }
  std::size_t count() const { return parts; }
  std::string part_id(std::size_t i) const { return id + "-part-" + std::to_string(i); }
  std::string part_body(std::size_t i) const { return whole.substr(i * size, size); }
  std::vector<message_header> part_headers(std::size_t i) const {
    return {{part_header, id + " " + std::to_string(i)}};
  }
  // "<bytes> <md5> <sequence of each part>..."
  std::string last_header(const std::vector<std::uint64_t>& sequences) const {
    std::string value = std::to_string(whole.size()) + " " + stringutil::md5_encode(whole);
    for (std::uint64_t seq : sequences) {
      value += " " + std::to_string(seq);
    }
    return value;
  }

 private:
  const std::string& id;
  const std::string& whole;
  const std::size_t size;
  const std::size_t parts;
};

// The message ids of one run of a node: the node's name, the start time (so a restarted node
// never reuses an id the stream still remembers), then the counter.
std::string id_prefix_for(const std::string& node) {
  const auto now = std::chrono::duration_cast<std::chrono::microseconds>(
      std::chrono::system_clock::now().time_since_epoch());
  return node + "-" + std::to_string(now.count()) + "-";
}

constexpr auto waiter_poll = std::chrono::milliseconds(1);

}  // namespace

front_door::front_door(jetstream& source, ordered_dispatch& dispatch, boost::asio::io_context& io,
                       const stream_settings& settings, stream_stats& figures)
    : stream(source),
      changes(dispatch),
      stats(figures),
      loop(io),
      subject(settings.subject + "." + settings.node),
      id_prefix(id_prefix_for(settings.node)),
      timeout(settings.publish_timeout_ms),
      reply_seq(settings.reply_seq),
      min_seq_wait(settings.min_seq_wait_ms),
      waiter_timer(io) {}

std::size_t front_door::part_limit() const {
  // Room for the message id, the part headers and the protocol line.
  constexpr std::int64_t header_room = 4096;
  return static_cast<std::size_t>(
      std::max<std::int64_t>(stream.max_payload() - header_room, 64 * 1024));
}

void front_door::publish(const std::string& body, reply_fn done) {
  const std::string msg_id = id_prefix + std::to_string(++counter);
  if (body.size() > part_limit()) {
    publish_in_parts(msg_id, body, std::move(done));
    return;
  }
  send(msg_id, body, {}, answering(msg_id, std::move(done)));
}

std::string front_door::publish_and_wait(const std::string& body) {
  const std::string msg_id = id_prefix + "w" + std::to_string(++waited_counter);
  std::vector<message_header> headers;
  if (body.size() > part_limit()) {
    const change_parts_out parts(msg_id, body, part_limit());
    std::vector<std::uint64_t> sequences;
    for (std::size_t i = 0; i < parts.count(); ++i) {
      const publish_outcome part = stream.publish(subject, parts.part_body(i), parts.part_id(i),
                                                  timeout, parts.part_headers(i));
      if (!part.ok) {
        note_failure(parts.part_id(i), part.error);
        return reply_text::failed;
      }
      sequences.push_back(part.seq);
    }
    headers.emplace_back(parts_header, parts.last_header(sequences));
  }
  const publish_outcome outcome =
      stream.publish(subject, headers.empty() ? body : std::string(), msg_id, timeout, headers);
  if (!outcome.ok) {
    note_failure(msg_id, outcome.error);
    return reply_text::failed;
  }
  note_published(outcome);
  return accepted(outcome);
}

void front_door::send(const std::string& msg_id, const std::string& body,
                      const std::vector<message_header>& headers, ack_fn on_outcome) {
  {
    annotated::mutex_lock hold(pending_lock);
    pending.emplace(msg_id, std::move(on_outcome));
  }
  std::string error;
  if (!stream.publish_async(subject, body, msg_id, timeout, error, headers)) {
    ack_fn failed;
    {
      annotated::mutex_lock hold(pending_lock);
      const auto found = pending.find(msg_id);
      if (found == pending.end()) {
        return;  // answered already by the callback
      }
      failed = std::move(found->second);
      pending.erase(found);
    }
    publish_outcome outcome;
    outcome.error = error;
    failed(outcome);
  }
}

front_door::ack_fn front_door::answering(const std::string& msg_id, reply_fn done) {
  return [this, msg_id, done = std::move(done)](const publish_outcome& outcome) mutable {
    if (!outcome.ok) {
      answer_failure(msg_id, outcome.error, std::move(done));
      return;
    }
    note_published(outcome);
    std::string reply = accepted(outcome);
    boost::asio::post(loop, [done = std::move(done), reply = std::move(reply)]() mutable {
      done(std::move(reply));
    });
  };
}

struct front_door::parts_progress {
  std::string msg_id;
  std::string last_header;  // parts_header's value without the sequences
  std::vector<std::uint64_t> sequences;
  std::size_t missing = 0;
  bool failed = false;
  reply_fn done;
};

void front_door::publish_in_parts(const std::string& msg_id, const std::string& body,
                                  reply_fn done) {
  const change_parts_out parts(msg_id, body, part_limit());
  auto progress = std::make_shared<parts_progress>();
  progress->msg_id = msg_id;
  progress->last_header = parts.last_header({});
  progress->sequences.resize(parts.count());
  progress->missing = parts.count();
  progress->done = std::move(done);
  for (std::size_t i = 0; i < parts.count(); ++i) {
    send(parts.part_id(i), parts.part_body(i), parts.part_headers(i),
         [this, progress, i](const publish_outcome& outcome) {
           boost::asio::post(loop,
                             [this, progress, i, outcome] { part_answered(progress, i, outcome); });
         });
  }
}

void front_door::part_answered(const std::shared_ptr<parts_progress>& progress, std::size_t index,
                               const publish_outcome& outcome) {
  if (progress->failed) {
    return;
  }
  if (!outcome.ok) {
    progress->failed = true;
    answer_failure(progress->msg_id + "-part-" + std::to_string(index), outcome.error,
                   std::move(progress->done));
    return;
  }
  progress->sequences[index] = outcome.seq;
  if (--progress->missing != 0) {
    return;
  }
  std::string value = progress->last_header;
  for (std::uint64_t seq : progress->sequences) {
    value += " " + std::to_string(seq);
  }
  send(progress->msg_id, "", {{parts_header, value}},
       answering(progress->msg_id, std::move(progress->done)));
}

std::string front_door::accepted(const publish_outcome& outcome) const {
  return reply_seq ? accepted_with_seq(outcome.seq) : std::string(reply_text::no_data);
}

void front_door::note_published(const publish_outcome& outcome) {
  stats.publishes.fetch_add(1, std::memory_order_relaxed);
  if (outcome.duplicate) {
    stats.duplicates.fetch_add(1, std::memory_order_relaxed);
  }
}

void front_door::note_failure(const std::string& msg_id, const std::string& why) {
  stats.publish_failures.fetch_add(1, std::memory_order_relaxed);
  log_event(log_error, "publish %s to the stream failed: %s; answered code 0", msg_id.c_str(),
            why.c_str());
}

void front_door::answer_failure(const std::string& msg_id, const std::string& why, reply_fn done) {
  note_failure(msg_id, why);
  boost::asio::post(loop, [done = std::move(done)] { done(reply_text::failed); });
}

void front_door::on_ack(const std::string& msg_id, const publish_outcome& outcome) {
  ack_fn handler;
  {
    annotated::mutex_lock hold(pending_lock);
    const auto found = pending.find(msg_id);
    if (found == pending.end()) {
      return;
    }
    handler = std::move(found->second);
    pending.erase(found);
  }
  handler(outcome);
}

std::size_t front_door::in_flight() const {
  annotated::mutex_lock hold(pending_lock);
  return pending.size();
}

bool front_door::min_seq_of(const std::string& body, std::uint64_t& seq) {
  seq = 0;
  if (body.find("min_seq") == std::string::npos) {
    return true;
  }
  Json::Value document;
  Json::Reader reader;
  try {
    if (!reader.parse(body.data(), body.data() + body.size(), document, false) ||
        !document.isObject()) {
      return true;  // not a request: the parser answers it
    }
    const Json::Value& params = document["params"];
    if (!params.isObject()) {
      return true;
    }
    const Json::Value& value = params["min_seq"];
    if (value.isString() || value.isArray() || value.isObject()) {
      return false;
    }
    if (value.type() == Json::realValue) {
      // Checked here: the library's own range check lets 2^64 itself through.
      const double number = value.asDouble();
      if (!(number >= 0 && number < 18446744073709551616.0)) {
        return false;
      }
      seq = static_cast<std::uint64_t>(number);
      return true;
    }
    seq = value.asUInt64();  // throws for a negative number
    return true;
  } catch (const std::exception&) {
    seq = 0;
    return false;
  }
}

void front_door::wait_for_sequence(std::uint64_t seq, std::function<void()> ready,
                                   std::function<void()> expired) {
  if (changes.applied() >= seq) {
    // Never from inside the caller: a handler that deferred its reply returns first.
    boost::asio::post(loop, std::move(ready));
    return;
  }
  waiters.push_back(
      {seq, std::chrono::steady_clock::now() + min_seq_wait, std::move(ready), std::move(expired)});
  arm_waiters();
}

void front_door::arm_waiters() {
  if (waiter_timer_armed) {
    return;
  }
  waiter_timer_armed = true;
  waiter_timer.expires_after(waiter_poll);
  waiter_timer.async_wait([this](const boost::system::error_code& ec) {
    waiter_timer_armed = false;
    if (!ec) {
      check_waiters();
    }
  });
}

void front_door::check_waiters() {
  const std::uint64_t applied = changes.applied();
  const auto now = std::chrono::steady_clock::now();
  std::vector<waiter> due;
  for (auto at = waiters.begin(); at != waiters.end();) {
    if (at->seq <= applied || at->deadline <= now) {
      due.push_back(std::move(*at));
      at = waiters.erase(at);
    } else {
      ++at;
    }
  }
  if (!waiters.empty()) {
    arm_waiters();
  }
  for (waiter& each : due) {
    if (each.seq <= applied) {
      each.ready();
    } else {
      each.expired();
    }
  }
}

namespace {

metrics::request_kind kind_of(const change_request& change) {
  switch (change.what) {
    case change_request::kind::add_follow:
      return metrics::follow_add;
    case change_request::kind::del_follow:
      return metrics::follow_del;
    case change_request::kind::add_special:
      return metrics::special_add;
    case change_request::kind::del_special:
      return metrics::special_del;
    case change_request::kind::add_inviter:
      return metrics::inviter_add;
    case change_request::kind::none:
      break;
  }
  return metrics::other_request;
}

void count(metrics::request_kind kind, bool ok) {
  if (metrics::enabled()) {
    metrics::count_request(kind, ok ? metrics::result_ok : metrics::result_failed);
  }
}

}  // namespace

namespace {

// The change a request names, converted; false, with the reply appended and counted, when it
// fails conversion or changes nothing (neither is published).
bool read_publishable(parser& request, change_request& change, std::string& reply) {
  try {
    request.read_change(change);
  } catch (const std::exception& e) {
    log_event(log_debug, "exception:%s what=%s", "request", e.what());
    reply += reply_text::failed;
    count(kind_of(change), false);
    return false;
  }
  if (change.empty()) {
    reply += reply_text::no_data;  // nothing to change: answered as a single node does
    count(kind_of(change), true);
    return false;
  }
  return true;
}

}  // namespace

void answer_replicated_parsed(front_door& door, parser& request, const std::string& body,
                              std::string& reply) {
  if (!request.names_change()) {
    request.request(reply);
    return;
  }
  change_request change;
  if (!read_publishable(request, change, reply)) {
    return;
  }
  const std::string text = door.publish_and_wait(body);
  count(kind_of(change), text != reply_text::failed);
  reply += text;
}

void answer_replicated(front_door& door, logic_center& store, const std::string& body,
                       std::string& reply, request_context& context, shard_router* router) {
  parser request(body, store);
  if (router != nullptr && router->take(request, body, reply, context)) {
    return;
  }
  if (!request.names_change()) {
    std::uint64_t wanted = 0;
    if (!front_door::min_seq_of(body, wanted)) {
      log_event(log_debug, "exception:%s what=%s", "request", "min_seq is not a sequence number");
      reply += reply_text::failed;
      return;
    }
    if (wanted == 0 || door.applied() >= wanted) {
      request.request(reply);
      return;
    }
    const deferred_reply later = context.defer_reply();
    door.wait_for_sequence(
        wanted,
        [later, body, &store] {
          std::string text;
          try {
            parser(body, store).request(text);
          } catch (const std::exception&) {
            text = reply_text::failed;  // parsed before: cannot happen
          }
          later.complete(text);
        },
        [later] { later.complete(reply_text::failed); });
    return;
  }
  change_request change;
  if (!read_publishable(request, change, reply)) {
    return;
  }
  const metrics::request_kind kind = kind_of(change);
  const deferred_reply later = context.defer_reply();
  door.publish(body, [later, kind](std::string text) {
    count(kind, text != reply_text::failed);
    later.complete(text);
  });
}
