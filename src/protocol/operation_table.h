// The one table of operations, over either parameter reader (request_params.h): which store call
// each "act" and "op" makes, with which parameters. Each operation reads its parameters in the
// order listed and calls the store only after all of them converted; an unknown operation of a
// known action throws, an unknown action answers no data. Templates, so that the hot path's
// reader is inlined into them.
// Threads: the event loop (the store's queries and enqueueing calls it makes are its callers').
#ifndef NORVEL_OPERATION_TABLE_H_
#define NORVEL_OPERATION_TABLE_H_

#include <stdexcept>
#include <string_view>
#include <vector>

#include "network/request_context.h"
#include "protocol/operation_result.h"
#include "protocol/value_conversion.h"
#include "store/logic_center.h"

// An inviter add on a connection: answered now, or, while the inviter index waits for a
// database read, later; the connection's later requests wait unread behind it meanwhile, as
// they may read what it records. Without a connection that can wait, answered in the call.
operation_result add_inviter(logic_center& store, int member, int inviter,
                             request_context* context);

template <typename Params>
operation_result run_follow(logic_center* store, std::string_view op, const Params& params) {
  const unsigned long user = params.user();
  if (op == "add" || op == "del") {
    std::vector<unsigned long> friends;
    if (params.friends(friends)) {
      if (op == "add") {
        store->add_follow(user, friends);
      } else {
        store->del_follow(user, friends);
      }
      operation_result queued;
      queued.queued_work = true;
      return queued;
    }
    return operation_result();
  }
  if (op == "fetch") {
    return ids_under("follows", store->fetch_follow(user));
  }
  throw std::logic_error("cannot find op:" + printable(op));
}

template <typename Params>
operation_result run_inviter(logic_center* store, std::string_view op, const Params& params,
                             request_context* context) {
  const int member = params.inviter_member();
  if (op == "add") {
    const int inviter = params.inviter();
    return add_inviter(*store, member, inviter, context);
  }
  if (op == "list") {
    return ids_under("inviters", store->fetch_inviter(member));
  }
  if (op == "invitees") {
    return ids_under("invitees", store->fetch_invitees(member));
  }
  throw std::logic_error("act=inviter cannot find op:" + printable(op));
}

template <typename Params>
operation_result run_special(logic_center* store, std::string_view op, const Params& params) {
  if (op == "add" || op == "del") {
    const unsigned long user = params.user();
    std::vector<special> items;
    params.specials(user, items);
    if (op == "add") {
      store->add_special(user, items);
    } else {
      store->del_special(user, items);
    }
    operation_result queued;
    queued.queued_work = true;
    return queued;
  }
  if (op == "fetch_pub") {
    const unsigned long cursor = params.cursor();
    const unsigned long count = params.count();
    const logic_center::fetch_type direction = params.direction();
    return ids_under("specials", store->fetch_pub_specials(cursor, count, direction));
  }
  if (op == "fetch_pri" || op == "fetch_self") {
    const unsigned long user = params.user();
    const unsigned long cursor = params.cursor();
    const unsigned long count = params.count();
    const logic_center::fetch_type direction = params.direction();
    if (op == "fetch_pri") {
      return ids_under("specials", store->fetch_pri_specials(user, cursor, count, direction));
    }
    return ids_under("specials", store->fetch_self_specials(user, cursor, count, direction));
  }
  throw std::logic_error("cannot find op:" + printable(op));
}

template <typename Params>
operation_result run_operation(logic_center* store, std::string_view act, std::string_view op,
                               const Params& params, request_context* context) {
  if (store == nullptr) {
    throw std::logic_error("no store to run the request on");
  }
  if (act == "follow") {
    return run_follow(store, op, params);
  }
  if (act == "inviter") {
    return run_inviter(store, op, params, context);
  }
  if (act == "special") {
    return run_special(store, op, params);
  }
  return operation_result();  // an unknown action is not an error
}

#endif  // NORVEL_OPERATION_TABLE_H_
