// Gives a test process a machine of its own for what the daemon shares with the rest of the host:
// port 5000, /tmp/norvel.out and /var/log/norvel. A daemon a test starts, and every client it
// connects, then meets no other daemon (a demo, a production instance, another test running in
// parallel) and writes into no other daemon's files.
//
// How: private network and mount namespaces. The network has only its own loopback, brought up.
// /var/log is a fresh, empty tmpfs; so is /tmp, into which the source and build directories are
// mounted back when they live under /tmp (the daemon binary and the test data must stay where
// the build says they are). Mounts are made private first, so nothing propagates back to the host.
// The project's database server stays where clients look for it: 127.0.0.1:3306 of the private
// network is carried to the server's Unix socket ($NORVEL_DB_SOCKET, else the one
// scripts/start_test_db.sh makes) by a thread of this process, so the tests and the daemons they
// start keep their settings, and a daemon without settings fails as it would on the host.
//
// Threads: call from main before any thread starts (a mount namespace cannot be left by one
// thread of several); it starts the forwarding thread. Root, or CAP_SYS_ADMIN, is needed; without
// it the process stays on the host and says so on standard error.
#ifndef NORVEL_PRIVATE_HOST_H_
#define NORVEL_PRIVATE_HOST_H_

#include <string>
#include <vector>

// Moves the calling process into its private host. `keep`: directories that must stay visible
// under /tmp (the source and build directories). Answers true when isolated, false (after one
// warning line on standard error) when the namespaces could not be made.
bool enter_private_host(const std::vector<std::string>& keep);

// True once enter_private_host has succeeded in this process.
bool in_private_host();

#endif  // NORVEL_PRIVATE_HOST_H_
