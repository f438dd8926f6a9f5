#include "store/userinfo.h"

#include <functional>

#include "store/sorted_list.h"

const std::vector<unsigned long> empty_user;

void userinfo::add_follows(std::vector<unsigned long>& ids) {
  sorted_list::merge_union(follow_list, ids, std::less<unsigned long>());
}

void userinfo::del_follows(std::vector<unsigned long>& ids) {
  sorted_list::merge_difference(follow_list, ids, std::less<unsigned long>());
}

void userinfo::add_special(std::vector<special>& items) {
  sorted_list::merge_union(own_specials, items, sorted_list::greater_id());
}

void userinfo::del_special(std::vector<special>& items) {
  sorted_list::merge_difference(own_specials, items, sorted_list::greater_id());
}
