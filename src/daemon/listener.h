// SPDX-License-Identifier: BSD-2-Clause
// listener.h - the resident server's listening sockets and its supervisor.
//
// An address is given in the mail server's own notation: inet:HOST:PORT
// (an IPv6 host in brackets) or unix:PATH. A supervisor that opened the
// sockets itself hands them over (LISTEN_PID and LISTEN_FDS, descriptors
// from 3 on), and may ask to hear when the server is ready (NOTIFY_SOCKET).
// Nothing here ends the process: each function reports its failure, logged,
// and the server decides.
#ifndef MURVANE_DAEMON_LISTENER_H
#define MURVANE_DAEMON_LISTENER_H

#include <cstddef>

// The most sockets the server listens on: those a supervisor hands over,
// or the addresses one inet name resolves to.
constexpr int max_listeners = 16;

struct listen_address {
    bool is_unix;     // unix:PATH, else inet:HOST:PORT
    char host[256];   // inet: the host, without brackets
    char port[32];    // inet: the port
    char path[108];   // unix: the path (sun_path's size)
};

// parse_listen_address - read `text` into *address. False (nothing logged)
// when it is in neither form, or a part is empty or too long.
bool parse_listen_address(const char *text, listen_address *address);

// handed_over_sockets - the descriptors a supervisor handed to this process
// (LISTEN_PID is ours), at most max_listeners, in fds; the variables are
// removed so that no child takes them for its own. Returns their count, 0
// when none were handed over.
int handed_over_sockets(int fds[max_listeners]);

// open_listeners - bind and listen on `address`: every address an inet name
// resolves to, or a unix socket with `mode` and, when `group` is not null,
// that group (a name or a number). A stale unix socket is replaced; one that
// a live server answers on is left alone and refused. Returns the count of
// sockets put in fds, or 0 after logging why none could be made.
int open_listeners(const listen_address &address, unsigned mode, const char *group,
                   int fds[max_listeners]);

// notify_supervisor - send `state` ("READY=1", "STOPPING=1") to the
// supervisor's NOTIFY_SOCKET when there is one.
void notify_supervisor(const char *state);

#endif
