// A whole store read out as plain containers, for tests that compare two stores (a bulk load
// against row-by-row appliers, a capped store against a model): every follow list, own list,
// private feed and the public list, as ids. Reads under the store's locks; any thread.
// Also hands out the appliers' first lock, for tests that need the workers held back, and, for
// the differential fuzzer, drains the queues as text and makes every inviter add reload.
#ifndef NORVEL_STORE_IMAGE_H_
#define NORVEL_STORE_IMAGE_H_

#include <chrono>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "store/logic_center.h"

class logic_center_inspector {
 public:
  struct image {
    std::map<unsigned long, std::vector<unsigned long>> follows;
    std::map<unsigned long, std::vector<unsigned long>> own;    // ascending
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

  // Makes every inviter add beyond the index reload it, as the store did before reloads were
  // paced: the two paths run moments apart, and a paced store would let only the first one reach
  // the database (and log what that did).
  static void reload_inviters_every_time(logic_center& store) {
    store.inviters.set_pacing({std::chrono::milliseconds(0)});
  }

  // Takes every queued message off the queues, described as text, queue by queue.
  static std::string drain(logic_center& store) {
    std::ostringstream out;
    for (size_t i = 0; i < logic_center::worker_count; ++i) {
      for (size_t left = store.queued(i); left > 0; --left) {
        logic_center::inner_type message;
        if (!store.mutations.queue(i).getq(message)) {
          break;
        }
        out << "queue " << i << ' ' << static_cast<int>(message.kind) << " user=" << message.user
            << " ids=";
        for (unsigned long id : message.ids) {
          out << id << ',';
        }
        out << " items=";
        for (const special& item : message.items) {
          out << item.special_id << '/' << item.member_id << '/' << int{item.reader_type} << ',';
        }
        out << '\n';
      }
    }
    return out.str();
  }
};

#endif  // NORVEL_STORE_IMAGE_H_
