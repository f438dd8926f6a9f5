#include "apply/mutation_pipeline.h"

#include <exception>

#include "metrics/metrics.h"
#include "support/log.h"

namespace pipeline_detail {

bool apply_logged(std::size_t index, bool first_turn, bool (*apply)(void* context), void* context,
                  metrics::padded_counter* applied) noexcept {
  log_batch batch;  // the turn's entries are written together once it is applied
  if (first_turn) {
    log_event(log_debug, "worker");
  }
  try {
    if (!apply(context)) {
      return false;
    }
    if (applied != nullptr) {
      applied[index].add();
    }
  } catch (const std::exception&) {
    log_event(log_debug, "logic_center::worker exception");
  } catch (...) {
    // Nothing else is thrown by the appliers; a stray exception must not end the daemon.
    log_event(log_debug, "logic_center::worker exception");
  }
  return true;
}

void log_worker_start() noexcept {
  log_event(log_debug, "logic_center::worker start");
}

void log_worker_quit() noexcept {
  log_event(log_debug, "logic_center::worker quit");
}

}  // namespace pipeline_detail
