// The one in-memory store (singleton<logic_center>): members, follows, feeds, public list,
// inviters, and the mutation pipeline (apply/mutation_pipeline.h) whose workers apply its
// queued changes. The tables, their locks and the appliers live in logic_center.cpp (queries),
// feed_appliers.cpp (the appliers), store_load.cpp and store_restore.cpp (bulk fills).
// Threads: queries, the inviter operations and the enqueue calls run on the event-loop thread
// (the enqueue calls also on protocol/parse_offload's helper, for changes in big bodies);
// the do_* appliers run on the five workers. The initial load (db/initial_load.h reads the
// tables, load_rows here fills the lists) runs before the workers start, on the main thread and
// threads of its own (one fills `users` while the main thread fills the feeds), all joined
// before it returns; it builds the lists in bulk under the same locks and gives the same store
// as the appliers would, row by row.
// Locks: users_lock guards users, pri_lock guards pri_specials, pub_lock guards pub_specials.
// No path holds two of them at once, so there is no lock order. Clang's -Wthread-safety checks
// every access against the GUARDED_BY and REQUIRES annotations below.
// Ordering: the mutations of one member go to one worker's queue (chosen by member id), so they
// are applied in the order they were queued and never two at once. A change that reaches more
// than fan_out_turn feeds is applied in turns, and the worker applies other members' changes
// between them (mutation_pipeline.h): a big account delays nobody by its whole fan-out.
// Layout: every list holds special ids (or member ids) alone, in a compact sorted id_list: no
// query returns an entry's owner or reader type, and matching and ordering look at the id
// alone. Members are found through open-addressing member_tables. The lists' blocks come from
// one list_arena per kind of list (follow lists, own lists, feeds, the public list).
// Caps: with a feed cap or a public cap set, a private feed or the public list keeps only its
// newest ids; own lists and follow lists are never capped. No cap: unbounded.
// Ownership: the store owns every container; queries hand out copies.
#ifndef NORVEL_LOGIC_CENTER_H_
#define NORVEL_LOGIC_CENTER_H_

#include <cstddef>
#include <functional>
#include <utility>
#include <vector>

#include "apply/mutation_pipeline.h"
#include "apply/work_backlog.h"
#include "metrics/metrics.h"
#include "metrics/store_figures.h"
#include "store/entry_counter.h"
#include "store/id_list.h"
#include "store/inviter_manager.h"
#include "store/list_arena.h"
#include "store/load_plan.h"
#include "store/member_table.h"
#include "store/shard_layout.h"
#include "store/special.h"
#include "store/userinfo.h"
#include "support/annotated_mutex.h"

class logic_center {
 public:
  enum fetch_type { fetch_above = 0, fetch_below = 1 };
  static constexpr size_t worker_count = 5;

  // What a queued mutation does.
  enum class mutation_kind { add_follow, del_follow, add_special, del_special };

  // One queued mutation: `ids` is filled for the follow kinds, `items` for the special kinds.
  struct inner_type {
    mutation_kind kind = mutation_kind::add_follow;
    unsigned long user = 0;
    std::vector<unsigned long> ids;
    std::vector<special> items;
    size_t cost = 0;                   // what it counts in the work backlog (work_backlog.h)
    std::function<void()> on_applied;  // called by the worker once applied; may be empty
    // How far a change applied in turns has come (feed_appliers.cpp): whether its first turn
    // ran, the feeds it has reached, and the ids each feed gains or loses.
    bool begun = false;
    size_t reached = 0;
    std::vector<unsigned long> fanned;
  };

  // Optional bounds on list lengths; 0 is unbounded.
  struct list_caps {
    size_t feed_cap = 0;
    size_t public_cap = 0;
  };

  logic_center();
  ~logic_center();  // stops the queues and joins the workers; queued messages are dropped
  logic_center(const logic_center&) = delete;
  logic_center& operator=(const logic_center&) = delete;

  // Runs `load` (the daemon's is db/initial_load.h's start_store: it sets the caps, rebuilds
  // the inviter index it is handed and loads the database), then starts the workers. Main
  // thread, once.
  void start(const std::function<void(inviter_manager& index)>& load);
  // Sets the caps; before the load and the workers.
  void set_caps(const list_caps& bounds);
  // Which part of the site this store keeps (shard_layout.h); the whole by default. Before the
  // load and the workers.
  void set_layout(const shard_layout& kept) { layout = kept; }
  const shard_layout& kept_layout() const { return layout; }
  // Where the store counts what its workers applied and the inviter reloads it started (the
  // metrics page's registry); nowhere until it is called. Before start(); main thread.
  void count_into(metrics::registry& counters);

  // Enqueueing: copy the arguments into a message for the member's worker; always true.
  bool add_follow(unsigned long user, const std::vector<unsigned long>& ids);
  bool del_follow(unsigned long user, const std::vector<unsigned long>& ids);
  bool add_special(unsigned long user, const std::vector<special>& items);
  bool del_special(unsigned long user, const std::vector<special>& items);

  // Queues a mutation for its member's worker as the calls above do, taking the arrays; the worker
  // calls `on_applied` once it is applied (also when the applier failed). Any thread: the stream
  // consumer queues the stream's changes through it.
  void queue_tracked(mutation_kind kind, unsigned long user, std::vector<unsigned long> ids,
                     std::vector<special> items, std::function<void()> on_applied);
  // Records an inviter change from the stream in place, the same on every node: no database
  // read; a member far beyond the index goes to a small side table. Event-loop thread (or the
  // thread that owns the store before the loop runs).
  bool add_inviter_in_place(int member, int inviter);

  // Paged queries: at most `count` ids beyond `special_id` in direction `type`. Copies out.
  std::vector<unsigned long> fetch_self_specials(unsigned long user, unsigned long special_id,
                                                 unsigned long count, fetch_type type) const;
  std::vector<unsigned long> fetch_pri_specials(unsigned long user, unsigned long special_id,
                                                unsigned long count, fetch_type type) const;
  std::vector<unsigned long> fetch_pub_specials(unsigned long special_id, unsigned long count,
                                                fetch_type type) const;
  std::vector<unsigned long> fetch_follow(unsigned long user) const;

  // How much the store holds, for metrics and benchmarks: members with a record, private feeds,
  // and the entries of each kind of list (the metrics page's own type: one definition).
  using store_sizes = ::store_sizes;
  // From the running counts (entry_counter.h): constant time, no lock, any thread. Exact while
  // no change is being applied.
  store_sizes sizes() const;
  // Bytes each structure holds, from the structures' own running figures (no walk over the
  // members): the two member tables' slots, the arenas of each kind of list, the inviter index.
  // Takes each lock shared in turn, briefly; any thread.
  using store_bytes = ::store_bytes;
  store_bytes bytes() const;
  // The same counted by walking every list under the shared locks: linear in members. Tests
  // check the running counts against it.
  store_sizes walk_sizes() const;
  // Messages waiting in worker `index`'s queue; any thread.
  size_t queued(size_t index) const { return mutations.queued(index); }
  // The queued work, which bounds what sessions may queue; any thread.
  const work_backlog& backlog() const { return mutations.backlog(); }

  // The worker (and queue) that applies every mutation of `user`.
  static size_t queue_index(unsigned long user) { return user % worker_count; }

  // The inviter index; event-loop thread only. add_inviter answers inside the call (see
  // inviter_manager::add); the form with `later` may wait for a database read instead
  // (answering false), and `later` then gets the outcome on the event loop.
  bool add_inviter(int member, int inviter);
  bool add_inviter(int member, int inviter, inviter_manager::add_outcome& outcome,
                   const inviter_manager::add_done& later);
  std::vector<int> fetch_inviter(int member);
  std::vector<int> fetch_invitees(int member);

  // Appliers: run by the workers for queued messages. Each normalises its argument in place.
  // Tests and benchmarks call them directly to apply a mutation synchronously.
  void do_add_follows(unsigned long user, std::vector<unsigned long>& ids);
  void do_del_follows(unsigned long user, std::vector<unsigned long>& ids);
  void do_add_special(unsigned long user, std::vector<special>& items);
  void do_del_special(unsigned long user, std::vector<special>& items);

  // The rows a load read, into the store: joined and filled table by table when the store holds
  // nothing yet, through the appliers otherwise; consumes them. Main thread, before the workers
  // start; store_load.cpp.
  void load_rows(load_plan::special_rows&& specials, load_plan::link_ends&& links);

  // ---- the whole store as values, for snapshots (store_restore.cpp) ----
  // Every member record (an empty one too) with its follow list and own list, every private feed
  // (an empty one too) and the public list, each list as ascending ids. Members and feeds come in
  // no particular order. Each export takes its lock shared for the whole walk; any thread.
  using member_visitor =
      std::function<void(unsigned long member, const std::vector<unsigned long>& follows,
                         const std::vector<unsigned long>& own)>;
  using feed_visitor =
      std::function<void(unsigned long member, const std::vector<unsigned long>& feed)>;
  void for_each_member(const member_visitor& visit) const;
  void for_each_feed(const feed_visitor& visit) const;
  std::vector<unsigned long> public_ids() const;
  size_t member_count() const;
  size_t feed_count() const;

  // One member's lists handed to a restore; `follows` and `own` ascending without repeats.
  struct restored_member {
    unsigned long id = 0;
    std::vector<unsigned long> follows;
    std::vector<unsigned long> own;
  };
  struct restored_feed {
    unsigned long id = 0;
    std::vector<unsigned long> ids;
  };
  // Before the workers start: each restore replaces its table (the member records, the private
  // feeds, the public list) with what next(out) hands out until it answers false, sized for
  // `count` entries. The lists are stored as given (no cap applies); a member or feed given
  // twice keeps the union. What `next` throws leaves by exception with the table emptied.
  // Each holds its own lock throughout, so restore_members and restore_feeds may run on two
  // threads at once.
  void restore_members(size_t count, const std::function<bool(restored_member&)>& next);
  void restore_feeds(size_t count, const std::function<bool(restored_feed&)>& next);
  void restore_public(const std::vector<unsigned long>& ids);
  // The inviter index as values, and its restore into a store not yet serving; main thread.
  inviter_manager::image save_inviters() const { return inviters.save_image(); }
  bool restore_inviters(inviter_manager::image&& index) {
    return inviters.restore_image(std::move(index));
  }

  // ---- for tests only ----
  // Starts the five workers without a database (start() calls it too).
  void start_workers();
  // Feeds a queued change reaches in one turn; before the workers start.
  void set_fan_out_turn(size_t feeds) { fan_out_turn = feeds == 0 ? 1 : feeds; }
  // Whether the store holds a record, or a private feed, for `user` (an empty one counts).
  // Any thread; each takes one shared lock.
  bool has_member(unsigned long user) const;
  bool has_feed(unsigned long user) const;

 private:
  // Tests compare whole stores through it.
  friend class logic_center_inspector;

  // Whether every table is empty (each lock taken shared in turn).
  bool holds_nothing() const;
  // The rows, joined, into a store that holds nothing yet; consumes them.
  void fill_empty_store(load_plan::special_rows&& specials, load_plan::link_ends&& links);
  // The rows through the appliers, for a store that already holds data.
  void apply_specials_one_by_one(const load_plan::special_rows& rows);
  void apply_links_one_by_one(const load_plan::link_ends& links);

  // Empty the table, giving every list's block back to its arena (restores).
  void drop_members_locked() REQUIRES(users_lock);
  void drop_feeds_locked() REQUIRES(pri_lock);

  // Runs a turn of the applier a queued message names; true once the message is done. On a
  // worker.
  bool apply(inner_type& message);
  // A turn of `message`: its first turn changes the member's own lists, later ones reach at most
  // fan_out_turn feeds each. True once it is done.
  bool apply_turn(inner_type& message);
  bool follows_turn(inner_type& message, bool adding);
  bool specials_turn(inner_type& message, bool adding);
  // Every turn of one change at once, for the do_* appliers; normalises the arguments in place.
  void apply_whole(mutation_kind kind, unsigned long user, std::vector<unsigned long>& ids,
                   std::vector<special>& items);
  // The owner's list and the public list gain or lose `ids` (ascending; `items` name the reader
  // types).
  void change_own_and_public(unsigned long user, const std::vector<special>& items,
                             const std::vector<unsigned long>& ids, bool adding);
  void enqueue(mutation_kind kind, unsigned long user, const std::vector<unsigned long>& ids,
               const std::vector<special>& items);
  // Feed helpers; the caller holds pri_lock exclusively. `ids` is ascending without repeats.
  // Merging creates a missing feed (and applies the feed cap); removing never creates one.
  void merge_into_feed_locked(unsigned long member, const std::vector<unsigned long>& ids)
      REQUIRES(pri_lock);
  void remove_from_feed_locked(unsigned long member, const std::vector<unsigned long>& ids)
      REQUIRES(pri_lock);

  // One member's follow list (member ids) and own specials (special ids).
  struct member_lists {
    id_list follows;
    id_list own;
  };
  // The member's record, made (and counted) if it has none; the caller holds users_lock
  // exclusively. The same for a private feed under pri_lock.
  member_lists& record_of_locked(unsigned long member) REQUIRES(users_lock);
  id_list& feed_of_locked(unsigned long member) REQUIRES(pri_lock);

  // Each arena holds the blocks of the lists beside it and is guarded by the same lock; the
  // arenas are declared first so that they outlive the lists.
  list_arena feed_arena GUARDED_BY(pri_lock);
  list_arena pub_arena GUARDED_BY(pub_lock);
  list_arena follow_arena GUARDED_BY(users_lock);
  list_arena own_arena GUARDED_BY(users_lock);
  member_table<id_list> pri_specials GUARDED_BY(pri_lock);
  id_list pub_specials GUARDED_BY(pub_lock);
  member_table<member_lists> users GUARDED_BY(users_lock);
  mutable annotated::shared_mutex users_lock;
  mutable annotated::shared_mutex pri_lock;
  mutable annotated::shared_mutex pub_lock;
  // The running counts behind sizes(); each changes under the lock named.
  entry_counter member_tally;      // users_lock
  entry_counter follow_tally;      // users_lock
  entry_counter own_tally;         // users_lock
  entry_counter feed_tally;        // pri_lock: private feeds
  entry_counter feed_entry_tally;  // pri_lock
  entry_counter public_tally;      // pub_lock
  list_caps caps;                  // set before the workers start, read only after
  shard_layout layout;             // the same
  // Feeds one turn of a queued change reaches: about 2 ms of merges, what another member's
  // change on the same worker may wait. Set before the workers start, read only after.
  size_t fan_out_turn = 4096;
  inviter_manager inviters;  // main thread only, no lock
  // Last, so that its workers stop before the tables they change go.
  mutation_pipeline<inner_type, worker_count> mutations;
};

#endif  // NORVEL_LOGIC_CENTER_H_
