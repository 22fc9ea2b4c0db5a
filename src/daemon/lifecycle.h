// SPDX-License-Identifier: BSD-2-Clause
// lifecycle.h - start-up, the policy loop and the stops.
//
// The daemon installs the stop-signal handler of common/stop.h, serves or
// dumps, and ends through one stop sequence: the expiry pass when it may run,
// then the release of the key buffer, storage and the request buffer.
#ifndef MURVANE_DAEMON_LIFECYCLE_H
#define MURVANE_DAEMON_LIFECYCLE_H

#include "common/stop.h"

extern const char *program_name;            // base name of argv[0]

// check_db_version - abort unless the running library matches db.h in its
// major and minor version.
void check_db_version();

// answer_request - screen the current request (policy/request.h) and write
// its answer line to the thread's answer stream, without the empty line that
// ends the answer. Returns the decision's result: non-zero means the request
// failed, and the daemon (or the server's connection) must end.
int answer_request();

// daemon_main - the whole daemon; main() returns its result.
int daemon_main(int argc, char **argv);

#endif
