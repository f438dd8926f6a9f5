#include "apply/work_backlog.h"

work_backlog& mutation_backlog() {
  static work_backlog backlog;
  return backlog;
}
