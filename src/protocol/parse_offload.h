// Request bodies above a size read on a thread of their own, so that a big body (a follow add
// naming a million members) does not stall every connection of the event loop while it is
// parsed: the request's reply is deferred, holding the connection's later requests unread; the
// body is parsed on the thread; a follow or special change then runs there too (it only queues
// work for the store's workers, which any thread may do), any other request back on the event
// loop; either way it is answered in its place on the connection, as it would have been on the
// loop (the same reply, counts, log lines and queued change, in the same order on the
// connection). A body that is not a request ends its connection as on the loop: the replies
// before it still go out. Smaller bodies, and requests no connection runs, are parsed where
// they come.
//
// Threads: takes() and offload() on the event loop; the parsing (and the changes) on the helper
// thread; the rest posted to the event loop. `lock` guards the bodies waiting and `stopping`.
// Ownership: owns the helper thread, started by the first offload (so after the daemon has
// detached: a thread does not cross a fork), and the bodies' copies (and the room of the last
// one, kept for the next); the destructor stops and joins the thread and drops the bodies not
// parsed yet (their connections end with the loop). An answer posted to the loop refers to its
// connection weakly (deferred_reply).
#ifndef NORVEL_PARSE_OFFLOAD_H_
#define NORVEL_PARSE_OFFLOAD_H_

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include <boost/asio/io_context.hpp>

#include "network/request_context.h"
#include "protocol/parser.h"
#include "store/logic_center.h"
#include "support/annotated_mutex.h"

// Bodies above this many bytes are parsed off the event loop: about a millisecond of parsing.
constexpr std::size_t offloaded_body_size = 256 * 1024;

class parse_offload {
 public:
  // Runs a parsed request, appending its reply to `reply`: on the helper thread for a follow or
  // special change, on the event loop otherwise. `body` is the request's text (the copy parsed).
  // May throw as parser::request() does (the connection then ends).
  using answer_fn =
      std::function<void(parser& request, const std::string& body, std::string& reply)>;
  // Called on the event loop for a body that is not a request, before its connection ends.
  using failed_fn = std::function<void()>;

  // `loop`: the event loop the answers go to. `threshold`: bodies above it are parsed here.
  parse_offload(boost::asio::io_context& loop, std::size_t threshold = offloaded_body_size);
  ~parse_offload();
  parse_offload(const parse_offload&) = delete;
  parse_offload& operator=(const parse_offload&) = delete;

  // Whether `body` is parsed off the loop: it is above the threshold and a connection runs it.
  bool takes(const std::string& body, const request_context& context) const;
  // Defers the reply of `body` (holding the connection's later requests), and parses a copy of
  // it as a request on `store`; then `answer` runs it and its reply is given, or, if the body is
  // not a request, `failed` runs on the loop and the connection ends. Event-loop thread.
  void offload(const std::string& body, logic_center& store, request_context& context,
               answer_fn answer, failed_fn failed);

 private:
  struct job {
    std::string body;
    logic_center* store = nullptr;
    deferred_reply later;
    answer_fn answer;
    failed_fn failed;
  };
  void run();
  // Parses `work` and posts what follows to the loop.
  void parse(job&& work);

  // The copy of a parsed body, its room kept for the next: copying a big body into room the
  // process has touched already costs the loop no page faults.
  void keep_room(std::string&& body);

  boost::asio::io_context& loop;
  const std::size_t threshold;
  annotated::mutex lock;
  std::condition_variable wake;
  std::deque<job> waiting GUARDED_BY(lock);
  std::string spare GUARDED_BY(lock);  // room for the next body's copy (at most max_body_size)
  bool stopping GUARDED_BY(lock) = false;
  std::thread helper;  // event-loop thread: started by the first offload
};

#endif  // NORVEL_PARSE_OFFLOAD_H_
