#include "stream_model.h"

#include <algorithm>
#include <chrono>
#include <vector>

#include "change_requests.h"
#include "protocol/parser.h"
#include "stream/jetstream.h"

namespace {

constexpr std::size_t page_size = 1000;  // each list's newest ids compared

}  // namespace

std::string every_answer(const replica_node& node, unsigned long members) {
  std::string out;
  for (unsigned long user = 0; user <= members; ++user) {
    out += node.ask(requests::fetch_follow(user));
    out += node.ask(requests::fetch_self(user, page_size));
    out += node.ask(requests::fetch_pri(user, page_size));
  }
  out += node.ask(requests::fetch_pub(page_size));
  return out;
}

std::string every_answer(const store_model& model, unsigned long members) {
  auto ids_text = [](const char* key, std::vector<unsigned long> ids) {
    for (unsigned long& id : ids) {
      id &= 0xffffffffUL;
    }
    return requests::ids_reply(key, ids);
  };
  // The newest page_size, as the node's fetches ask.
  auto descending = [](const std::set<unsigned long>& ids) {
    std::vector<unsigned long> page(ids.rbegin(), ids.rend());
    page.resize(std::min(page.size(), page_size));
    return page;
  };
  std::string out;
  for (unsigned long user = 0; user <= members; ++user) {
    const auto member = model.users.find(user);
    const auto feed = model.feeds.find(user);
    const std::set<unsigned long> none;
    const std::set<unsigned long>& follows =
        member == model.users.end() ? none : member->second.follows;
    out += ids_text("follows", std::vector<unsigned long>(follows.begin(), follows.end()));
    out +=
        ids_text("specials", descending(member == model.users.end() ? none : member->second.own));
    out += ids_text("specials", descending(feed == model.feeds.end() ? none : feed->second));
  }
  out += ids_text("specials", descending(model.pub));
  return out;
}

store_model model_of_stream(const jetstream_cluster& servers, std::set<std::string>* bodies) {
  stream_settings settings;
  settings.servers = servers.urls();
  settings.node = "model";
  jetstream stream(settings);
  const std::uint64_t last = stream.state().last_seq;
  store_model model(logic_center::list_caps{});
  ordered_reader reader(stream, 1);
  stream_message message;
  std::uint64_t seen = 0;
  while (seen < last && reader.next(message, std::chrono::seconds(5))) {
    seen = message.seq;
    if (bodies != nullptr) {
      bodies->insert(message.body);
    }
    // Read as every node reads it: the protocol's own change extraction.
    change_request change;
    try {
      if (!parser(message.body).read_change(change)) {
        continue;
      }
    } catch (const std::exception&) {
      continue;  // not a change: every node skips it too
    }
    using kind = change_request::kind;
    if (change.what == kind::add_follow || change.what == kind::del_follow) {
      model.follow(change.user, change.ids, change.what == kind::add_follow);
    } else if (change.what == kind::add_special || change.what == kind::del_special) {
      model.specials(change.user, change.items, change.what == kind::add_special);
    }
  }
  EXPECT_EQ(seen, last);
  return model;
}
