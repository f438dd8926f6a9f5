// Differential fuzzing of request parsing: every input is a request body, answered once through
// the parser as the daemon runs it (the strict fast path when the body has the exact shape
// clients send) and once through the general JSON path alone. The two must agree on everything
// a client or an operator can see:
// - the reply text, or the error that ends the connection (and its message);
// - the changes queued for the store's workers (kind, member, ids, items, in order);
// - the event-log entries written while answering.
// The store holds a few members, follows and specials, so fetches answer real pages; its workers
// are not started, so the queued changes stay in their queues until compared. The inviter index
// is empty: an inviter added reloads it from a database that is not there, on both paths alike.
// Threads: the fuzzer's one thread.
#include <stdlib.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz_store.h"
#include "protocol/parser.h"
#include "store/logic_center.h"
#include "store_image.h"
#include "support/log.h"
#include "temp_dir.h"

namespace {

constexpr size_t log_restart_bytes = 16 * 1024 * 1024;

std::string log_path;
size_t log_seen = 0;

// The log entries written since the last call. The file starts over now and then, so a long run
// does not fill the disk (the log appends, so it simply writes at the new end). It starts over
// only after the new entries are read: emptied before, it would lose them and tell the two
// paths apart when they agree.
std::string new_log_entries() {
  std::ifstream in(log_path, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(log_seen));
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  log_seen += text.size();
  if (log_seen > log_restart_bytes) {
    std::ofstream(log_path, std::ios::binary | std::ios::trunc);
    log_seen = 0;
  }
  return text;
}

struct outcome {
  std::string reply;  // or "error: " and the message of what ends the connection
  std::string queued;
  std::string logged;
};

outcome answer(const std::string& body, parse_path path) {
  outcome result;
  try {
    result.reply = parser(body, *singleton<logic_center>::instance(), path).request();
  } catch (const std::exception& e) {
    result.reply = std::string("error: ") + e.what();
  }
  result.queued = logic_center_inspector::drain(*singleton<logic_center>::instance());
  result.logged = new_log_entries();
  return result;
}

void fail(const char* what, const std::string& body, const std::string& fast,
          const std::string& json) {
  std::fprintf(stderr,
               "request_diff_fuzz: the paths differ in %s\nbody: %s\nfast path: %s\n"
               "JSON path: %s\n",
               what, body.c_str(), fast.c_str(), json.c_str());
  std::abort();
}

void seed_store(logic_center& store) {
  for (unsigned long member = 1; member <= 8; ++member) {
    std::vector<special> items;
    for (unsigned long n = 0; n < 30; ++n) {
      items.emplace_back(member * 1000 + n, member, static_cast<unsigned char>(n % 3));
      // Ids near and beyond 2^31 and 2^32 tell a cursor's widening apart.
      items.emplace_back((1UL << 31) + member * 100 + n, member, 0);
      items.emplace_back((1UL << 32) + member * 100 + n, member, 0);
    }
    store.do_add_special(member, items);
    std::vector<unsigned long> follows = {member % 8 + 1, (member + 3) % 8 + 1};
    store.do_add_follows(member, follows);
  }
}

void start() {
  static bool started = false;
  if (started) {
    return;
  }
  started = true;
  static const temp_dir scratch("norvel-request-diff-");  // removed at exit
  // No stamps: the two paths run microseconds apart.
  gLogger = new logger::Logfile(scratch.path().c_str(), "diff", false);
  log_path = gLogger->current_path();
  fuzz_store::configure_without_database();
  logic_center_inspector::reload_inviters_every_time(*singleton<logic_center>::instance());
  seed_store(*singleton<logic_center>::instance());
  new_log_entries();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  start();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  start();  // replays may not call the initialiser
  const std::string body(reinterpret_cast<const char*>(data), size);
  const outcome fast = answer(body, parse_path::any);
  const outcome json = answer(body, parse_path::json_only);
  if (fast.reply != json.reply) {
    fail("the reply", body, fast.reply, json.reply);
  }
  if (fast.queued != json.queued) {
    fail("the queued changes", body, fast.queued, json.queued);
  }
  if (fast.logged != json.logged) {
    fail("the log entries", body, fast.logged, json.logged);
  }
  return 0;
}
