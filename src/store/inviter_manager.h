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
// repeating such requests cannot keep the database reading the whole table. A member whose row
// is not there stays known as missing until the next reload: adding it again reads nothing.
// After a failed reload or read the database is left alone for a while (the interval, doubled
// per failure in a row, 60 s at most), and every wait for it is bounded.
// Database reads never run on the index's thread: add() hands them to the source (a thread of
// its own in the daemon) and answers the add when the read is back, applying what it read then.
// While a read is under way, every other add beyond the index waits for it, in order, and is
// answered after it as if it came then: one read answers every add for the same member.
// Threads: no lock; only the main thread touches it (start-up, then requests and read answers
// on the event loop), except that the start-up's load records the member rows on a thread of
// its own, joined before the load returns, and that a reload read aside builds a fresh index of
// its own on the source's thread, which the event loop then adopts.
// Ownership: owns its containers, its source and the adds waiting for a read; results are copies.
#ifndef NORVEL_INVITER_MANAGER_H_
#define NORVEL_INVITER_MANAGER_H_

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unordered_set>
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
  // Where the reloads that adds beyond the index start are counted (the metrics page's
  // counter); null, the default: nowhere. Before the first add.
  void count_reloads_into(std::atomic<std::uint64_t>* counter) { reload_counter = counter; }
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
  // How an add went: a failed one fails its request.
  struct add_outcome {
    bool failed = false;  // the database connection failed (now, or while it is left alone)
    std::string why;      // then: the failure's text
  };
  using add_done = std::function<void(const add_outcome& outcome)>;
  // Records that `inviter` invited `member`. For a member beyond the table the database is asked
  // instead (the member's row is expected to be stored by then): the whole index is reloaded,
  // or, within the interval after the last reload, the member's row is read and applied and the
  // table grown to what a reload would size it to; a member known as missing reads nothing.
  // Answers true with `outcome` set when the add is answered now (a negative member is answered
  // and changes nothing); false when it waits for a read (its own, or one under way), and then
  // `later` gets the outcome on this thread, once that read is back, never inside this call.
  // Event-loop thread.
  bool add(int member, int inviter, add_outcome& outcome, const add_done& later);
  // The same answered inside the call, for a source that reads on the caller's thread (tests,
  // tools): false for a negative member; a failed connection leaves by exception
  // (std::logic_error), also while the database is left alone after one. With a source that
  // reads on a thread of its own it throws std::logic_error instead of waiting.
  bool add(int member, int inviter);
  // Whether a read for the index is under way (adds beyond it then wait).
  bool reading() const { return read_under_way; }
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
  // id `highest` (`read`: false when it could not be read); accept_loaded_row picks each member row
  // the index takes (any thread, while nothing else changes the index), and record_loaded_rows
  // records them all at once, once. A failed read leaves the rows recorded so far in place.
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
  // What a read for the index brought back (defined in the .cpp): a fresh index built aside, or
  // one member's row; filled on the source's thread, used on this one.
  struct read_result;
  // The reads themselves, run where the source reads: they touch only `from` and `out`.
  static void read_whole_table(inviter_source& from, read_result& out);
  static void read_member_row(inviter_source& from, read_result& out);
  // reinit() answering whether the whole table was read; a failed connection throws.
  bool reload();
  // Whether a member beyond the index reloads it now, or has its row read alone.
  bool reload_due(std::chrono::steady_clock::time_point now) const;
  // add() for a member beyond the table: answers true with `outcome` when nothing is read.
  bool add_beyond_table(int member, add_outcome& outcome, const add_done& later);
  // Hands a reload (`whole`) or a read of `member`'s row to the source; true with `outcome`
  // when the source answered inside the call.
  bool start_read(bool whole, int member, add_outcome& outcome, const add_done& later);
  // On this thread, once a read is back: applies it as a reload, or a row read between
  // reloads, would, and answers the add it was for and then the adds that waited.
  void finish_read(read_result& result);
  void finish_reload(read_result& result);
  void finish_row_read(read_result& result);
  void answer_read(const add_outcome& outcome);
  void answer_waiting();
  // A member beyond the index whose row is not stored: not read again until the next reload.
  void remember_missing(int member);
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
  size_t invitee_heap_bytes = 0;      // the invitee lists' arrays
  std::atomic<size_t> held_bytes{0};  // what bytes() answers
  std::map<int, int> far_inviters;    // member -> inviter, members past twice the loaded highest id

  // Reloads and row reads (event-loop thread, like the rest).
  reload_pacing reloads;
  std::atomic<std::uint64_t>* reload_counter = nullptr;  // see count_reloads_into
  std::chrono::steady_clock::time_point last_reload{};   // when the last one ended
  std::chrono::steady_clock::duration last_reload_took{};
  std::chrono::steady_clock::time_point database_rest_until{};
  unsigned int failures_in_a_row = 0;
  bool last_failure_threw = false;
  std::unordered_set<int> known_missing;  // found missing since the last reload; bounded
  std::unique_ptr<inviter_source> source;

  // The read under way and the adds it holds back (event-loop thread).
  struct waiting_add {
    int member;
    int inviter;
    add_done later;
  };
  bool read_under_way = false;
  add_done read_answers;            // the add the read under way is for
  std::deque<waiting_add> waiting;  // adds beyond the index that came meanwhile, in order
  bool answering_inline = false;    // inside start_read(): a read back at once answers there
  add_outcome inline_outcome;
};

namespace helper {
// The bucket count for n members: the first of the 28 classic primes not below n, or the last
// one, 4294967291, for anything above it.
unsigned long next_prime(unsigned long n);
}  // namespace helper

#endif  // NORVEL_INVITER_MANAGER_H_
