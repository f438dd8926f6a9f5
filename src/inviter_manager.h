// The inviter index: who invited whom, as an array indexed by member id (the inviter of each
// member) and a hash map from inviter id to the members it invited, in recorded order.
// Filled from the member table by reinit(), updated in place by add().
// Threads: no lock; only the main thread touches it (start-up, then requests on the event loop).
// Ownership: owns both containers; results are copies.
#ifndef NORVEL_INVITER_MANAGER_H_
#define NORVEL_INVITER_MANAGER_H_

#include <cstdint>
#include <unordered_map>
#include <vector>

namespace mysql {
class connection;
}

class inviter_manager {
 public:
  // Rebuilds the whole index from the database; a connection failure leaves by exception.
  void reinit();
  // The chain of inviters above `member`, nearest first, without `member` itself.
  std::vector<int> list(int member) const;
  // Records that `inviter` invited `member`; false for a negative member.
  bool add(int member, int inviter);
  // The members recorded as invited by `inviter`, in recorded order.
  std::vector<int> invitees(int inviter) const;

 private:
  std::vector<int> inviter_table;                          // member id -> its inviter, 0 = none
  std::unordered_map<int, std::vector<int>> invitee_map;  // inviter id -> invitees
  int max_user_id = 0;
};

namespace helper {
// The highest member id in the member table, or 0.
int max_user(mysql::connection& conn);
// The bucket count for n members: the first of the 28 classic primes not below n.
unsigned long next_prime(unsigned long n);
}  // namespace helper

#endif  // NORVEL_INVITER_MANAGER_H_
