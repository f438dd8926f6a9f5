#include "protocol/parser.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <utility>

#include "metrics/metrics.h"
#include "protocol/change_request.h"
#include "protocol/operation_table.h"
#include "protocol/request_params.h"
#include "support/log.h"

parser::parser(const std::string& body, logic_center& on, parse_path path) : parser(body, path) {
  store = &on;
}

parser::parser(const std::string& body, parse_path path) {
  if (path == parse_path::any && parse_fast_request(body.data(), body.size(), fast)) {
    is_fast = true;
    return;
  }
  Json::Reader reader;
  bool parsed = false;
  try {
    // Parsed in place: the std::string overload would first copy the whole body.
    parsed = reader.parse(body.data(), body.data() + body.size(), document, false);
  } catch (const std::exception&) {
    // The reader gives up on documents nested too deeply by throwing; that is unparsable too.
    parsed = false;
  }
  if (!parsed) {
    throw std::logic_error("cannot parse body to json");
  }
}

std::string parser::request() {
  std::string reply;
  request(reply);
  return reply;
}

void parser::request(std::string& reply, request_context& on) {
  context = &on;
  request(reply);
  context = nullptr;
}

void parser::request(std::string& reply) {
  if (is_fast) {
    answer(fast.act, fast.op, reply);
    return;
  }
  // Read outside the handling below on purpose: a document that is not an object (or null), or
  // an act/op that is not text, is not a request at all and ends the connection.
  const Json::Value& root = document;
  const std::string act = root["act"].asString();
  const std::string op = root["op"].asString();
  answer(act, op, reply);
}

void parser::answer(std::string_view act, std::string_view op, std::string& reply) {
  metrics::request_result outcome = metrics::result_ok;
  const std::size_t start = reply.size();
  try {
    const operation_result result = run(act, op);
    queued = result.queued_work;
    if (result.deferred) {
      return;  // answered, counted and logged when the reply is given
    }
    result.render_reply(reply);
  } catch (const std::exception& e) {
    log_event(log_debug, "exception:%s what=%s", "request", e.what());
    reply.resize(start);
    reply += reply_text::failed;
    outcome = metrics::result_failed;
  }
  if (metrics::enabled()) {
    metrics::count_request(metrics::classify(act, op), outcome);
  }
}

bool parser::names_change() const {
  if (is_fast) {
    return names_a_change(fast.act, fast.op);
  }
  const std::string act = document["act"].asString();
  const std::string op = document["op"].asString();
  return names_a_change(act, op);
}

bool parser::names_queued_change() const {
  auto is_queued = [](std::string_view act, std::string_view op) {
    return (act == "follow" || act == "special") && (op == "add" || op == "del");
  };
  if (is_fast) {
    return is_queued(fast.act, fast.op);
  }
  return is_queued(document["act"].asString(), document["op"].asString());
}

bool parser::names_owned_read(unsigned long& member) const {
  auto is_owned = [](std::string_view act, std::string_view op) {
    return (act == "special" && op == "fetch_pri") || (act == "follow" && op == "fetch");
  };
  try {
    if (is_fast) {
      member = fast_params(fast).user();
      return is_owned(fast.act, fast.op);
    }
    if (!document.isObject()) {
      return false;
    }
    const Json::Value& act = document["act"];
    const Json::Value& op = document["op"];
    if (!act.isString() || !op.isString() || !is_owned(act.asString(), op.asString())) {
      return false;
    }
    member = json_params(document).user();
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

bool parser::names_cluster_map() const {
  if (is_fast) {
    return fast.act == "cluster" && fast.op == "map";
  }
  if (!document.isObject()) {
    return false;
  }
  const Json::Value& act = document["act"];
  const Json::Value& op = document["op"];
  return act.isString() && op.isString() && act.asString() == "cluster" && op.asString() == "map";
}

bool parser::read_change(change_request& out) {
  out = change_request();
  if (is_fast) {
    return read_change_of(fast.act, fast.op, fast_params(fast), out);
  }
  const Json::Value& root = document;
  const std::string act = root["act"].asString();
  const std::string op = root["op"].asString();
  return read_change_of(act, op, json_params(root), out);
}

Json::Value parser::dispatch(const std::string& act, const std::string& op) {
  return run(act, op).to_json();
}

operation_result parser::run(std::string_view act, std::string_view op) {
  if (is_fast) {
    return run_operation(store, act, op, fast_params(fast), context);
  }
  const Json::Value& root = document;
  return run_operation(store, act, op, json_params(root), context);
}
