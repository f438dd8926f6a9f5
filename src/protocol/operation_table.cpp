#include "protocol/operation_table.h"

#include <memory>

#include "metrics/metrics.h"
#include "support/log.h"

namespace {

// The reply of an inviter add that waited for the database, as answer() would have written it
// then, counted and logged the same way.
void answer_inviter_add(const deferred_reply& later, const inviter_manager::add_outcome& outcome) {
  if (outcome.failed) {
    log_event(log_debug, "exception:%s what=%s", "request", outcome.why.c_str());
  }
  if (metrics::enabled()) {
    metrics::count_request(metrics::classify("inviter", "add"),
                           outcome.failed ? metrics::result_failed : metrics::result_ok);
  }
  later.complete(outcome.failed ? reply_text::failed : reply_text::no_data);
}

}  // namespace

operation_result add_inviter(logic_center& store, int member, int inviter,
                             request_context* context) {
  if (context == nullptr || !context->can_defer()) {
    store.add_inviter(member, inviter);
    return operation_result();
  }
  auto later = std::make_shared<deferred_reply>();
  inviter_manager::add_outcome outcome;
  if (store.add_inviter(member, inviter, outcome,
                        [later](const inviter_manager::add_outcome& done) {
                          answer_inviter_add(*later, done);
                        })) {
    if (outcome.failed) {
      throw std::logic_error(outcome.why);
    }
    return operation_result();
  }
  *later = context->defer_reply(later_requests::held);  // before the answer: it never comes inside
  operation_result deferred;
  deferred.deferred = true;
  return deferred;
}
