// What the replica tests compare: every answer a node gives for members 0..N as one text, the
// same text answered by a model, and the model of a stream (its messages applied in the
// stream's order, the order every node must apply them in). Equal texts mean equal answers.
//
// Threads: the test's thread. Ownership: plain values; the stream is read through a connection
// of its own, closed before the call returns.
#ifndef NORVEL_TESTS_STREAM_MODEL_H_
#define NORVEL_TESTS_STREAM_MODEL_H_

#include <set>
#include <string>

#include "jetstream_cluster.h"
#include "replica_node.h"
#include "store_model.h"

// Every follow list, and the newest 1000 ids of every own list and private feed of members
// 0..`members` and of the public list.
std::string every_answer(const replica_node& node, unsigned long members);
std::string every_answer(const store_model& model, unsigned long members);

// The stream's follow and special changes, in the stream's order, applied to a model (without
// caps). `bodies`, when given, gets every message's body.
store_model model_of_stream(const jetstream_cluster& servers,
                            std::set<std::string>* bodies = nullptr);

#endif  // NORVEL_TESTS_STREAM_MODEL_H_
