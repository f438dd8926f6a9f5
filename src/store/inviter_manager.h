// The inviter index: who invited whom, as an array indexed by member id (the inviter of each
// member) and, for each inviter, the members it invited in recorded order.
// Filled from the member table by reinit(), updated in place by add(). The table is read through
// an inviter_source (the database's reloader in the daemon); the index itself knows no SQL and
// holds no connection.
// Layout: the array covers the ids the index admits in place (twice the highest member id, so
// that members registered after a load are recorded without a reload) but holds entries only up
// to the highest id recorded so far; the rest read as 0 and are added as they are recorded. The
// invitees of a load sit in one block grouped by inviter (an offset per inviter id up to the
// highest member id); invitations recorded after it go to a small table of invitee_lists, read
// after the loaded ones.
// A reload is built aside and swapped in only once it has read the whole table, so a database
// failure during a reload leaves the index as it was.
// A member beyond the index reloads it at most once per interval (counted from the end of the
// last reload, and at least nine times as long as that reload took); in between, that member's row
// alone is read and applied as a reload would apply it, so the answers are the same but a client
// repeating such requests cannot keep the event loop reading the whole table. After a failed
// reload or read the database is left alone for a while (the interval, doubled per failure in a
// row, 60 s at most), and every wait for it is bounded, so a hung server stalls the loop briefly
// and rarely rather than for good.
// Threads: no lock; only the main thread touches it (start-up, then requests on the event loop),
// except that the start-up's load records the member rows on a thread of its own, joined
// before the load returns.
// Ownership: owns its containers and its source; results are copies.
#ifndef NORVEL_INVITER_MANAGER_H_
#define NORVEL_INVITER_MANAGER_H_

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "store/invitee_list.h"
#include "store/inviter_source.h"
#include "store/mapped_allocator.h"
#include "store/member_table.h"
#include "store/table_rows.h"

class inviter_manager {
 public:
  struct reload_pacing {
    std::chrono::milliseconds interval{1000};  // 0: every member beyond the index reloads it
  };

  void set_pacing(const reload_pacing& pacing) { reloads = pacing; }
  // Where reloads and row reads go; without one they fail as an unreachable database does.
  void set_source(std::unique_ptr<inviter_source> from) { source = std::move(from); }

  // Rebuilds the whole index from the source. A connection failure leaves by exception
  // (std::logic_error), an allocation failure likewise; a failed query is logged. In every
  // failure the index keeps its previous content.
  void reinit();
  // The chain of inviters above `member`, nearest first, without `member` itself. The walk ends
  // at an id without an inviter, at an id outside the table (which is still listed) or before
  // an id already listed (mutual inviters).
  std::vector<int> list(int member) const;
  // Records that `inviter` invited `member`; false for a negative member. For a member beyond the
  // table the database is asked instead (the member's row is expected to be stored by then): the
  // whole index is reloaded, or, within the interval after the last reload, the member's row is
  // read and applied and the table grown to what a reload would size it to. A failed connection
  // leaves by exception (std::logic_error), also while the database is left alone after one.
  bool add(int member, int inviter);
  // Records that `inviter` invited `member` without asking the database, so that every node
  // holding the same index records the same: in place inside the table; a member beyond it goes
  // to a small side table rather than growing the table (one hostile id must not make every node
  // allocate gigabytes). False for a negative member. For changes that come from the stream.
  bool add_in_place(int member, int inviter);
  // The members recorded as invited by `inviter`, in recorded order; empty for a negative id
  // or an id with none. Never changes the index.
  std::vector<int> invitees(int inviter) const;

  // A load in steps, for the start-up, which reads the member rows once for this index and
  // for the follow links. prepare_load empties the index and sizes it for the highest member
  // id `highest` (`read`: false when it could not be read); accept_loaded_row picks each member row the index takes (any thread, while
  // nothing else changes the index), and record_loaded_rows records them all at once, once.
  // A failed read leaves the rows recorded so far in place.
  enum class load_start { failed, empty_table, ready };
  struct invitation {
    int member;
    int inviter;
  };
  load_start prepare_load(bool read, int highest);
  // False for a row the index skips: ids that do not fit it (negative, or beyond a signed
  // 32-bit int) or an inviter above the highest member id; otherwise the row as an invitation.
  bool accept_loaded_row(const table_rows::member_row& row, invitation& out) const;
  // `rows` are accepted rows in the order read (ascending member ids), recorded into an index
  // that prepare_load has just emptied.
  void record_loaded_rows(const std::vector<invitation>& rows);
  // One row read after a load, recorded as a load would record it (skipped likewise).
  void record_loaded_row(const table_rows::member_row& row);

  // The whole index as values, for snapshots: what save_image() hands out, restore_image() puts
  // back exactly (table size and highest id included), so every answer is as before. The
  // reload pacing and the database connection are not part of it. Main thread.
  struct image {
    int max_user_id = 0;
    uint64_t table_size = 0;  // entries of the member -> inviter table
    // The table's non-zero entries, (member, inviter), ascending by member.
    std::vector<std::pair<int, int>> links;
    // Each inviter with its invitees in recorded order (repeats kept), in no particular order:
    // inviter_keys[i] invited invitee_counts[i] members, taken in turn from invitees.
    std::vector<int> inviter_keys;
    std::vector<uint32_t> invitee_counts;
    std::vector<int> invitees;
    // The side table, (member, inviter), ascending by member.
    std::vector<std::pair<int, int>> far_links;
  };
  image save_image() const;
  // Replaces the index with `index`; false (and the index emptied) when it does not hold
  // together: a link outside the table, or counts that do not add up.
  bool restore_image(image&& index);

  int max_user() const { return max_user_id; }
  // Bytes the index holds (the array, the invitee table and the invitees' arrays), kept up to
  // date as it changes; any thread (relaxed).
  size_t bytes() const { return held_bytes.load(std::memory_order_relaxed); }
  // How many member ids the array admits in place.
  size_t table_size() const { return table_bound; }

 private:
  // Sets the table size for the highest member id `highest`: twice it, so members registered
  // after the load fit in place, but never beyond what a non-negative int can index.
  void size_table(int64_t highest);
  // The three containers of the index alone: emptied, or taken from a fresh load.
  void reset_index();
  void adopt_index(inviter_manager&& fresh);
  // reinit() answering whether the whole table was read.
  bool reload();
  // reload(), noting when it ended and how long it took.
  bool timed_reload();
  // Whether a member beyond the index reloads it now, or has its row read alone.
  bool reload_due(std::chrono::steady_clock::time_point now) const;
  // add() for a member beyond the table.
  void add_beyond_table(int member);
  // A reload from add(), counted and paced.
  void reload_now();
  // Between reloads: reads the highest member id and `member`'s row, and applies them as a reload
  // would.
  void apply_member_row(int member);
  // `member`'s inviter as recorded (0 beyond the entries held).
  int inviter_of(size_t member) const {
    return member < inviter_table.size() ? inviter_table[member] : 0;
  }
  // Records `member`'s inviter in the array, growing the entries held to cover it.
  void set_inviter(size_t member, int inviter);
  // Records one invitation after the load's in the invitee table, counting any bytes its list
  // gains.
  void add_invitee(int inviter, int member);
  // Sets held_bytes from the containers' sizes and the invitees' arrays counted so far.
  void recount_bytes();
  // Raises max_user_id (never lowers it) and grows the table to match.
  void grow_for(int highest);
  // A failed reload or read: the database is left alone for a while. `threw`: the connection
  // failed, which the calls in that while report again.
  void note_failure(bool threw);

  std::vector<int, mapped_allocator<int>> inviter_table;  // member id -> its inviter, 0 = none
  size_t table_bound = 0;  // member ids below it are recorded in place
  // The load's invitees by inviter: those of inviter i are
  // loaded_invitees[loaded_first[i], loaded_first[i + 1]), for i up to loaded_first.size() - 2.
  std::vector<uint32_t, mapped_allocator<uint32_t>> loaded_first;
  std::vector<int, mapped_allocator<int>> loaded_invitees;
  member_table<invitee_list> invitee_map;  // inviter id (sign-extended) -> invitees added since
  int max_user_id = 0;
  size_t invitee_heap_bytes = 0;          // the invitee lists' arrays
  std::atomic<size_t> held_bytes{0};      // what bytes() answers
  std::map<int, int> far_inviters;  // member -> inviter, members past twice the loaded highest id

  // Reloads and row reads (event-loop thread, like the rest).
  reload_pacing reloads;
  std::chrono::steady_clock::time_point last_reload{};  // when the last one ended
  std::chrono::steady_clock::duration last_reload_took{};
  std::chrono::steady_clock::time_point database_rest_until{};
  unsigned int failures_in_a_row = 0;
  bool last_failure_threw = false;
  std::unique_ptr<inviter_source> source;
};

namespace helper {
// The bucket count for n members: the first of the 28 classic primes not below n, or the last
// one, 4294967291, for anything above it.
unsigned long next_prime(unsigned long n);
}  // namespace helper

#endif  // NORVEL_INVITER_MANAGER_H_
