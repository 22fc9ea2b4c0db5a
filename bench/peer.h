// SPDX-License-Identifier: BSD-2-Clause
// peer.h - the comparison peer: postgrey, another greylisting daemon from
// Debian's packages, run as a black box on 127.0.0.1 for section 1.
#ifndef MURVANE_BENCH_PEER_H
#define MURVANE_BENCH_PEER_H

#include <sys/types.h>

#include <string>
#include <vector>

#include "driver.h"

struct peer_process {
    pid_t pid = -1;  // -1: not running (it failed to start, or was stopped)
    int port = 0;
    std::string version;
    std::string home;  // its private directory, removed when it stops
};

// start_peer - the peer on 127.0.0.1, in the foreground (so its PID is the
// one forked here), its log in dir, with a fresh database directory in a
// private directory of its own under the system's temporary directory, the same delay, one
// address per client as the daemon's default, and nothing that would let it
// skip the triplet lookup (no whitelists, no client auto-whitelisting).
peer_process start_peer(const std::string &dir);
// stop_peer - end the peer this suite started, by its PID, and remove its
// private directory
void stop_peer(peer_process &p);
// peer_target - the driver's target: its port, and its process for CPU and memory
target_spec peer_target(const peer_process &p);

// running_peers - processes of the peer that run on this machine and that
// this suite did not start (the distribution's service, say). They are left
// alone; the report says that they shared the machine.
std::vector<pid_t> running_peers();

#endif
