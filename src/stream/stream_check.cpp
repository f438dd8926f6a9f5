#include "stream/stream_check.h"

#include <ostream>

#include "stream/jetstream.h"

int check_stream(const stream_settings& settings, std::ostream& out, std::ostream& err) {
  try {
    jetstream stream(settings);
    stream_state state;
    if (!stream.find_state(state)) {
      state = stream_state();
    }
    out << "stream " << settings.name << " last sequence " << state.last_seq << std::endl;
    return 0;
  } catch (const stream_error& e) {
    err << "norvel: " << e.what() << std::endl;
    return 1;
  }
}
