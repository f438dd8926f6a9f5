// The store's rules written the plain way (std::set lists), for tests that compare the store, or
// several stores, against what those rules give: follow and special changes applied in order,
// with the optional caps. Also the comparison of a whole store image with it.
// Threads: one. Ownership: plain values.
#ifndef NORVEL_STORE_MODEL_H_
#define NORVEL_STORE_MODEL_H_

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <vector>

#include "store/logic_center.h"
#include "store_image.h"

// The rules, written the plain way.
class store_model {
 public:
  using ids = std::vector<unsigned long>;

  explicit store_model(logic_center::list_caps bounds) : caps(bounds) {}

  void follow(unsigned long user, const ids& followed, bool adding) {
    auto& record = users[user];
    for (unsigned long id : followed) {
      if (adding) {
        record.follows.insert(id);
      } else {
        record.follows.erase(id);
      }
    }
    if (record.own.empty()) {
      return;
    }
    for (unsigned long follower : std::set<unsigned long>(followed.begin(), followed.end())) {
      if (adding) {
        merge_feed(follower, record.own);
      } else if (feeds.count(follower) != 0) {
        for (unsigned long id : record.own) {
          feeds[follower].erase(id);
        }
      }
    }
  }

  // `items` hold no id twice with different reader types.
  void specials(unsigned long user, const std::vector<special>& items, bool adding) {
    if (items.empty()) {
      return;
    }
    std::set<unsigned long> all_ids, public_ids;
    for (const special& item : items) {
      all_ids.insert(item.special_id);
      if (item.reader_type == 0) {
        public_ids.insert(item.special_id);
      }
    }
    auto& record = users[user];
    for (unsigned long id : all_ids) {
      if (adding) {
        record.own.insert(id);
      } else {
        record.own.erase(id);
      }
    }
    for (unsigned long id : public_ids) {
      if (adding) {
        pub.insert(id);
      } else {
        pub.erase(id);
      }
    }
    cut(pub, caps.public_cap);
    std::set<unsigned long> recipients = record.follows;
    recipients.insert(user);
    for (unsigned long recipient : recipients) {
      if (adding) {
        merge_feed(recipient, all_ids);
      } else if (feeds.count(recipient) != 0) {
        for (unsigned long id : all_ids) {
          feeds[recipient].erase(id);
        }
      }
    }
  }

  static ids page(const std::set<unsigned long>& list, unsigned long cursor, unsigned long count,
                  bool below) {
    ids out;
    if (below) {
      for (auto at = list.lower_bound(cursor); at != list.begin() && out.size() < count;) {
        out.push_back(*--at);
      }
    } else {
      for (auto at = list.upper_bound(cursor); at != list.end() && out.size() < count; ++at) {
        out.push_back(*at);
      }
    }
    return out;
  }

  struct member {
    std::set<unsigned long> follows;
    std::set<unsigned long> own;
  };
  std::map<unsigned long, member> users;
  std::map<unsigned long, std::set<unsigned long>> feeds;
  std::set<unsigned long> pub;

 private:
  void merge_feed(unsigned long recipient, const std::set<unsigned long>& added) {
    auto& feed = feeds[recipient];
    feed.insert(added.begin(), added.end());
    cut(feed, caps.feed_cap);
  }
  static void cut(std::set<unsigned long>& list, size_t cap) {
    while (cap != 0 && list.size() > cap) {
      list.erase(list.begin());
    }
  }

  logic_center::list_caps caps;
};

// Every member record, follow list, own list and feed of `image` equals the model's.
inline void expect_store_equals_model(const logic_center_inspector::image& image,
                                      const store_model& model) {
  using ids = store_model::ids;
  for (const auto& [id, member] : model.users) {
    ASSERT_EQ(image.follows.count(id), 1u) << "member " << id;
    EXPECT_EQ(image.follows.at(id), ids(member.follows.begin(), member.follows.end()));
    EXPECT_EQ(image.own.at(id), ids(member.own.begin(), member.own.end()));
  }
  EXPECT_EQ(image.own.size(), model.users.size()) << "the same members have records";
  EXPECT_EQ(image.feeds.size(), model.feeds.size()) << "the same members have feeds";
  for (const auto& [id, feed] : model.feeds) {
    ASSERT_EQ(image.feeds.count(id), 1u) << "feed " << id;
    EXPECT_EQ(image.feeds.at(id), ids(feed.begin(), feed.end()));
  }
  EXPECT_EQ(image.pub, ids(model.pub.begin(), model.pub.end()));
}

#endif  // NORVEL_STORE_MODEL_H_
