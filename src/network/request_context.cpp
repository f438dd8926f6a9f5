#include "network/request_context.h"

#include <stdexcept>

void deferred_reply::complete(const std::string& reply) const {
  if (const std::shared_ptr<reply_slots> waiting = owner.lock()) {
    waiting->complete_slot(slot, reply);
  }
}

void deferred_reply::fail() const {
  if (const std::shared_ptr<reply_slots> waiting = owner.lock()) {
    waiting->fail_slot(slot);
  }
}

deferred_reply request_context::defer_reply(later_requests after) {
  if (waiting_replies == nullptr) {
    throw std::logic_error("a reply can be deferred only while a session answers a request");
  }
  if (was_deferred) {
    throw std::logic_error("a request's reply can be deferred once");
  }
  was_deferred = true;
  return waiting_replies->open_slot(after);
}
