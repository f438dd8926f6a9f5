#include "store/special.h"

#include "support/log.h"

bool greater_special(const special& a, const special& b) {
  return a.special_id > b.special_id;
}
bool less_special(const special& a, const special& b) {
  return a.special_id < b.special_id;
}
bool equal_special(const special& a, const special& b) {
  return a.special_id == b.special_id;
}

namespace debug_helper {

void print_specials(const std::vector<special>& items) {
  if (gLogger == nullptr) {
    return;
  }
  log_event(log_debug, "print_specials length=%zu", items.size());
  for (const special& item : items) {
    log_event(log_debug, "spid=%lu,type=%d,userid=%lu", item.special_id,
              static_cast<int>(item.reader_type), item.member_id);
  }
}

}  // namespace debug_helper
