#include "stream/stream_check.h"

#include <ostream>
#include <stdexcept>

#include "snapshot/snapshot_file.h"
#include "stream/jetstream.h"

namespace {

// Whether `dir` holds a snapshot file of `stream` (its content is checked only at the start).
bool has_snapshot(const std::string& dir, const std::string& stream) {
  try {
    return !snapshot::list_files(dir, stream).empty();
  } catch (const std::runtime_error&) {
    return false;  // no directory yet: the start makes it, empty
  }
}

}  // namespace

std::string no_snapshot_refusal(const stream_settings& settings, std::uint64_t messages) {
  return "stream " + settings.name + " holds " + std::to_string(messages) +
         " changes and there is no snapshot in " + settings.snapshot_dir +
         ": a database load would miss them. Copy a peer's snapshot into " + settings.snapshot_dir +
         ", or start once with --rebuild (database load, then the whole stream as retained)";
}

int check_stream(const stream_settings& settings, bool rebuild, std::ostream& out,
                 std::ostream& err) {
  try {
    jetstream stream(settings);
    stream_state state;
    if (!stream.find_state(state)) {
      state = stream_state();
    }
    out << "stream " << settings.name << " last sequence " << state.last_seq << std::endl;
    if (state.messages != 0 && !rebuild && !has_snapshot(settings.snapshot_dir, settings.name)) {
      err << "norvel: " << no_snapshot_refusal(settings, state.messages) << std::endl;
      return 1;
    }
    return 0;
  } catch (const stream_error& e) {
    err << "norvel: " << e.what() << std::endl;
    return 1;
  }
}
