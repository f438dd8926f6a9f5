// `norvel-cli top`: a live view of one norvel node or many, read from their metrics endpoints
// (the daemons' --metrics addresses) every second: requests per second by operation, p50 and p99
// latency, connections, held sessions, queued work, memory by structure, the stream's lag and
// applied sequence, a shard's reads sent on to other shards, the snapshot's age. Full screen on a
// terminal (q quits); with --once or
// --interval N, or when not on a terminal, one line per node and refresh. A node whose endpoint
// is down, slow or answers something else is shown as unreachable, the others as usual.
// Threads: the caller's, and one short-lived thread per node and refresh for its scrape.
#ifndef NORVEL_TOP_H_
#define NORVEL_TOP_H_

// Runs the view with the arguments after "top" (argv[first] onwards); answers the exit status:
// 0, 1 when --once could not read every node, 2 for a wrong command line.
int run_top(int argc, char** argv, int first);

#endif  // NORVEL_TOP_H_
