// What a request handler may tell, or ask of, the connection whose request it answers: that the
// request queued work for the store's workers (a session may then hold back, see backlog_wait.h),
// or that its reply comes later (deferred_reply).
//
// A reply given later: the handler calls defer_reply(), appends nothing, returns, and completes
// the deferred_reply once the answer is there (a change the stream has acknowledged, a read
// waiting for a sequence or for a database read on another thread). The connection writes it
// in the request's place, after every reply before it, and holds every reply after it until
// then; the requests after it are answered meanwhile, or, when the handler says so
// (later_requests::held), not read until then, because what they answer may depend on what
// the deferred request does (an inviter add waiting for the database, then a list of the same
// member). Completing it after the connection has ended does nothing.
//
// Threads: the event loop's only. A reply worked out on another thread is posted to the loop
// and completed there. Completing inside the handler itself is allowed too.
// Ownership: a request_context lives for one request, on the caller's stack; a deferred_reply
// refers weakly to its connection, which may end first.
#ifndef NORVEL_REQUEST_CONTEXT_H_
#define NORVEL_REQUEST_CONTEXT_H_

#include <cstdint>
#include <memory>
#include <string>

class deferred_reply;

// What the connection does with the requests after a deferred one until its reply is given.
enum class later_requests {
  answered,  // answered meanwhile; their replies wait behind the deferred one
  held,      // left unread until the deferred reply is given, then answered in order
};

// Where the replies given later wait, in request order: a connection's pending-reply slots
// (session.h implements them). Event-loop thread.
class reply_slots {
 public:
  // A place, after every reply so far, for the reply of the request being answered now.
  virtual deferred_reply open_slot(later_requests after) = 0;
  // The reply of slot `id` has come (the whole body, line feed included); a slot answered
  // already, or unknown, is left alone.
  virtual void complete_slot(std::uint64_t id, const std::string& reply) = 0;
  // The request of slot `id`, deferred holding the requests after it, turned out not to be a
  // request: the connection ends as when a handler throws (the replies before it still go out,
  // nothing after it is answered). Not inside a handler of the same connection; a slot answered
  // already, or unknown, is left alone.
  virtual void fail_slot(std::uint64_t id) = 0;

 protected:
  ~reply_slots() = default;
};

// A reply given later, for one request. Copyable: every copy completes the same slot, once.
// Event-loop thread.
class deferred_reply {
 public:
  deferred_reply() = default;
  deferred_reply(std::weak_ptr<reply_slots> waiting, std::uint64_t id)
      : owner(std::move(waiting)), slot(id) {}

  // `reply`: the whole reply body (line feed included), framed by the connection.
  void complete(const std::string& reply) const;
  // For a reply deferred with later_requests::held: ends the connection instead, as a handler
  // that throws does (reply_slots::fail_slot).
  void fail() const;

 private:
  std::weak_ptr<reply_slots> owner;
  std::uint64_t slot = 0;
};

class request_context {
 public:
  // `slots`: where a deferred reply waits; null when no connection runs the handler.
  explicit request_context(reply_slots* slots) : waiting_replies(slots) {}
  request_context(const request_context&) = delete;
  request_context& operator=(const request_context&) = delete;

  // This request's reply comes later, through the answer. Once per request. Throws
  // std::logic_error when no connection runs the handler, or on a second call.
  deferred_reply defer_reply(later_requests after = later_requests::answered);
  // This request queued work for the store's workers.
  void note_queued_work() { queued = true; }

  bool queued_work() const { return queued; }
  // Whether a connection runs the handler, so that its reply may be deferred.
  bool can_defer() const { return waiting_replies != nullptr && !was_deferred; }
  bool deferred() const { return was_deferred; }

 private:
  reply_slots* waiting_replies;
  bool queued = false;
  bool was_deferred = false;
};

#endif  // NORVEL_REQUEST_CONTEXT_H_
