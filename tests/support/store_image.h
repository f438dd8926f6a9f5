// A whole store read out as plain containers, for tests that compare two stores (a bulk load
// against row-by-row appliers, a capped store against a model): every follow list, own list,
// private feed and the public list, as ids. Reads under the store's locks; any thread.
// Also hands out the appliers' first lock, for tests that need the workers held back.
#ifndef NORVEL_STORE_IMAGE_H_
#define NORVEL_STORE_IMAGE_H_

#include <map>
#include <vector>

#include "store/logic_center.h"

class logic_center_inspector {
 public:
  struct image {
    std::map<unsigned long, std::vector<unsigned long>> follows;
    std::map<unsigned long, std::vector<unsigned long>> own;  // ascending
    std::map<unsigned long, std::vector<unsigned long>> feeds;  // ascending
    std::vector<unsigned long> pub;                             // ascending
  };

  // The lock every applier takes first: a test holding it keeps the workers from applying.
  static annotated::shared_mutex& users_lock(logic_center& store) { return store.users_lock; }

  static image of(const logic_center& store) {
    image out;
    {
      annotated::shared_lock lock(store.users_lock);
      store.users.for_each([&out](unsigned long id, const logic_center::member_lists& record) {
        out.follows[id] = record.follows.ids();
        out.own[id] = record.own.ids();
      });
    }
    {
      annotated::shared_lock lock(store.pri_lock);
      store.pri_specials.for_each(
          [&out](unsigned long id, const id_list& feed) { out.feeds[id] = feed.ids(); });
    }
    annotated::shared_lock lock(store.pub_lock);
    out.pub = store.pub_specials.ids();
    return out;
  }
};

#endif  // NORVEL_STORE_IMAGE_H_
