// SPDX-License-Identifier: BSD-2-Clause
// run_server.h - the built murvane binary as a resident server (--listen).
//
// The server is started through run_daemon's start_daemon (the syslog capture
// preloaded, extra environment, a socket handed over at fd 3 for socket
// activation) with NOTIFY_SOCKET naming a datagram socket of the test's own,
// on which its "READY=1" and "STOPPING=1" arrive. Clients connect to the
// --listen address (unix:PATH or inet:HOST:PORT) and speak the policy
// protocol. Every wait is bounded: a wait that runs out says so, and a
// server that outlives its stop is killed by finish_daemon.
#ifndef MURVANE_TESTS_RUN_SERVER_H
#define MURVANE_TESTS_RUN_SERVER_H

#include <sys/types.h>

#include <string>
#include <vector>

#include "run_daemon.h"

struct server_run {
    std::string address;              // the --listen value
    std::vector<std::string> args;    // more arguments (-h HOME, options)
    std::vector<std::string> env;     // extra NAME=value entries
    std::string preload_first;        // as daemon_run::preload_first
    int listen_fd = -1;               // a listening socket handed over at fd 3
    bool notify = true;               // set NOTIFY_SOCKET
    std::string notify_path;          // its path; empty: a name in the
                                      // abstract namespace ("@...")
};

struct server_process {
    daemon_process daemon;
    int notify_fd = -1;                 // the test's end of NOTIFY_SOCKET
    std::vector<std::string> notices;   // datagrams received, in order
};

// start_server - start `murvane --listen ADDRESS ARGS...`; no wait.
server_process start_server(const server_run &run);

// wait_notice - wait until a datagram `text` ("READY=1") has come; false when
// the server ended (closed its standard error) or the time ran out first.
bool wait_notice(server_process &server, const std::string &text, int timeout_ms = 30000);
inline bool wait_ready(server_process &server, int timeout_ms = 30000)
{
    return wait_notice(server, "READY=1", timeout_ms);
}

// stop_server - send `signal_number` (unless 0) and wait for the end, at most
// timeout_ms; the status, the signal and the log lines as finish_daemon has
// them. Notices that came meanwhile are added to server.notices.
daemon_result stop_server(server_process &server, int signal_number = 15,
                          int timeout_ms = 30000);

// server_log - the capture lines the server has written so far.
std::vector<std::string> server_log(const server_process &server);
// server_logged - a line of the log holds `text`.
bool server_logged(const server_process &server, const std::string &text);
// wait_for_server_log - wait until a line of the log holds `text`.
bool wait_for_server_log(const server_process &server, const std::string &text,
                         int timeout_ms = 30000);

// connect_to - a connected stream socket (close-on-exec) to ADDRESS
// ("unix:PATH", "inet:HOST:PORT" with HOST an IPv4 literal or [IPv6]), or -1.
// A full listen queue is waited out, for at most timeout_ms.
int connect_to(const std::string &address, int timeout_ms = 10000);

// send_bytes - write all of `bytes`; false when the peer is gone or the time
// ran out. Never raises SIGPIPE.
bool send_bytes(int fd, const std::string &bytes, int timeout_ms = 30000);

// One answer as it was read.
struct answer_read {
    std::string text;        // the answer up to and with its empty line, or the
                             // bytes that came before the end or the time limit
    bool complete = false;   // text ends with the answer's empty line
    bool closed = false;     // the peer closed (or reset) before an answer ended
    bool timed_out = false;
};

// read_answer - read until an answer's empty line is in `pending` (bytes read
// beyond it stay there for the next answer).
answer_read read_answer(int fd, std::string &pending, int timeout_ms = 30000);

// ask - send one request and read its answer; the connection must hold no
// unread bytes.
answer_read ask(int fd, const std::string &request, int timeout_ms = 30000);

// wait_for_close - wait until the peer closes the connection; false when the
// time ran out first. What it sent meanwhile goes to `received`.
bool wait_for_close(int fd, int timeout_ms, std::string *received = nullptr);

// free_inet_port - a TCP port of 127.0.0.1 that was free a moment ago.
int free_inet_port();

// raise_open_files - the soft RLIMIT_NOFILE of the test program raised to at
// least `wanted` (at most the hard limit); the limit now in force.
long raise_open_files(long wanted);

#endif
