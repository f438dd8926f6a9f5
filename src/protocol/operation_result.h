// What an operation answers and how it is written: the reply texts every path shares, the
// result of one operation (nothing, or a list of ids under one key of "data") and its reply,
// written straight into the reply text on the hot path or as a JSON value for dispatch().
// Threads: none of its own; a result belongs to the request that made it.
#ifndef NORVEL_OPERATION_RESULT_H_
#define NORVEL_OPERATION_RESULT_H_

#include <string>
#include <vector>

#include <json/json.h>

// The whole texts of the fixed replies, line feed included.
namespace reply_text {
inline constexpr char dispatched_prefix[] = "{\"code\":200,\"data\":";
inline constexpr char failed[] = "{\"code\":0}\n";
inline constexpr char no_data[] = "{\"code\":200,\"data\":null}\n";
}  // namespace reply_text

// What an operation answers: nothing (the reply's "data" is null) or a list of ids held under
// one key of the "data" object. Ids are written as their low 32 bits.
struct operation_result {
  const char* key = nullptr;  // null: no data; else a static name such as "specials"
  std::vector<unsigned long> ids;
  bool queued_work = false;  // the operation queued a change for the store's workers
  bool deferred = false;     // its reply is given later (request_context::defer_reply)

  // The reply's "data" as a JSON value.
  Json::Value to_json() const;
  // Appends the whole reply text of a dispatched operation: exactly what Json::FastWriter writes
  // for {"code":200,"data":to_json()}, line feed included.
  void render_reply(std::string& out) const;
};

// A result holding `ids` under `key`.
operation_result ids_under(const char* key, std::vector<unsigned long> ids);
// Inviter ids are signed; the reply writes their bits as an unsigned 32-bit number.
operation_result ids_under(const char* key, const std::vector<int>& ids);

#endif  // NORVEL_OPERATION_RESULT_H_
