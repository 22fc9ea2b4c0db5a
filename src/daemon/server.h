// SPDX-License-Identifier: BSD-2-Clause
// server.h - the resident server: one process for all policy connections.
//
// With --listen the daemon serves every connection of the mail server (each
// smtpd keeps one open for minutes) instead of the one on its standard
// input. Each connection has a thread of its own, which reads, decides and
// answers its requests exactly as the spawned daemon does on its standard
// input and output: the request buffer, the key, the record, the failure
// point and the DNS worker are the thread's own, and each request runs in
// its own transaction on the one environment, opened once with DB_THREAD.
//
// A connection ends where a spawned daemon would end its process (end of
// input, a failed read, a failed decision, with the same log lines), after
// idle_limit seconds without input, or at a request over its bound; the
// server goes on. A slice of the shared expiry sweep runs every
// sweep_interval seconds in a thread of its own.
//
// The server stops on a stop signal: it stops accepting, lets each
// connection finish the request it has (a request not complete is never
// started, an answer never half-written), closes them, checkpoints and
// closes the environment, and exits 0. A request that outlives its bound
// (common/watchdog.h) ends the server with status 1 after naming it, as does
// a failure of the environment itself: a lock held by a killed process
// cannot be freed from inside, and the supervisor's restart runs recovery.
#ifndef MURVANE_DAEMON_SERVER_H
#define MURVANE_DAEMON_SERVER_H

#include <cstddef>

// The largest request a connection may send: far above any request of the
// mail server, whose lines are limited, and a bound on what one client can
// make the server hold.
constexpr size_t server_request_bound = 1024 * 1024;

// run_server - serve settings.listen until a stop; the process's status.
int run_server();

#endif
