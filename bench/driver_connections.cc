// SPDX-License-Identifier: BSD-2-Clause
// driver_connections.cc - the driver's connections: daemons it starts on
// pairs of pipes, or connections to a server (TCP on 127.0.0.1, or a Unix
// socket), a request written on one, and what happens when one ends.
//
// A daemon is started the way the mail server's spawn starts one: a bare
// environment, umask 077, its standard input and output on the connection.
// A daemon that exits mid-run is reaped within a bound (and killed by its
// PID past it), its CPU counted, and a new one takes its place; a server that
// closes a connection is reconnected.
#include "driver_run.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "workload.h"

namespace driver_run {

bool run_state::spawn(connection &c)
{
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0)
        return fail("pipe failed");
    if (pipe2(out, O_CLOEXEC) != 0) {
        close(in[0]);
        close(in[1]);
        return fail("pipe failed");
    }
    pid_t pid = fork();
    if (pid < 0) {
        close(in[0]); close(in[1]); close(out[0]); close(out[1]);
        return fail("fork failed");
    }
    if (pid == 0) {
        // The mail server's spawn: a bare environment, umask 077, stdin and
        // stdout on the connection, stderr out of the way.
        signal(SIGPIPE, SIG_DFL);
        dup2(in[0], 0);
        dup2(out[1], 1);
        int null_fd = open("/dev/null", O_WRONLY);
        if (null_fd >= 0)
            dup2(null_fd, 2);
        umask(077);
        const std::vector<const char *> &command =
            &c == &probe && !load.probe_argv.empty() ? probe_argv_text : argv_text;
        execve(command[0], const_cast<char *const *>(command.data()),
               const_cast<char *const *>(env_text.data()));
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    fcntl(out[0], F_SETFL, O_NONBLOCK);
    c.pid = pid;
    c.in_fd = in[1];
    c.out_fd = out[0];
    c.len = 0;
    c.busy = false;
    c.cpu_base = 0;
    return true;
}

// connect_server - a connection to the target's server, on its Unix socket
// or on 127.0.0.1:port. The connect is bounded: a server whose backlog is
// full and that never accepts fails the run instead of hanging it.
bool run_state::connect_server(connection &c)
{
    bool local = !target.unix_path.empty();
    int fd = socket(local ? AF_UNIX : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return fail("socket failed");
    struct timeval bound = {answer_timeout_ms / 1000, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
    int connected;
    std::string where;
    if (local) {
        struct sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (target.unix_path.size() >= sizeof address.sun_path) {
            close(fd);
            return fail("socket path too long: " + target.unix_path);
        }
        memcpy(address.sun_path, target.unix_path.c_str(), target.unix_path.size() + 1);
        connected = connect(fd, reinterpret_cast<struct sockaddr *>(&address), sizeof address);
        where = target.unix_path;
    } else {
        struct sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(target.port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected = connect(fd, reinterpret_cast<struct sockaddr *>(&address), sizeof address);
        where = "127.0.0.1:" + std::to_string(target.port);
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    if (connected != 0) {
        int error = errno;
        close(fd);
        return fail("connect to " + where + " failed: " + strerror(error));
    }
    fcntl(fd, F_SETFL, O_NONBLOCK);
    c.pid = -1;
    c.in_fd = c.out_fd = fd;
    c.len = 0;
    c.busy = false;
    return true;
}

bool run_state::send_request(connection &c, bool probe_request)
{
    bench_triplet t;
    uint64_t n = counter++;
    if (stream.fresh && !probe_request)
        make_triplet(stream.space, stream.first + n, &t, stream.clients);
    else
        make_triplet(stream.space, mix64(seed + n) % std::max<uint64_t>(stream.known, 1), &t,
                     stream.clients);
    if (stream.from_user)
        reverse_triplet(&t);
    if (stream.suspicious)
        make_suspicious(&t);
    char request[4096];
    size_t length = format_request(request, sizeof request, t, n,
                                   stream.from_user ? "user" : "");
    c.sent_at = now_ns();
    c.busy = true;
    size_t done = 0;
    while (done < length) {
        // The request is far smaller than a pipe's or a socket's buffer and
        // nothing else is in flight, so this never waits for long.
        ssize_t w = write(c.in_fd, request + done, length - done);
        if (w < 0 && errno == EAGAIN) {
            struct pollfd p = {c.in_fd, POLLOUT, 0};
            poll(&p, 1, 1000);
            continue;
        }
        if (w <= 0)
            return false;  // the reader is gone; the read side will show it
        done += static_cast<size_t>(w);
    }
    return true;
}

int run_state::reap(pid_t pid, int timeout_ms, struct rusage *usage)
{
    int status = 0;
    uint64_t until = now_ns() + static_cast<uint64_t>(timeout_ms) * 1000000;
    for (;;) {
        pid_t r = wait4(pid, &status, WNOHANG, usage);
        if (r == pid)
            break;
        if (r < 0)
            return -1000;
        if (now_ns() >= until) {
            kill(pid, SIGKILL);  // only ever a daemon this driver started
            wait4(pid, &status, 0, usage);
            return -1001;
        }
        usleep(2000);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

// connection_lost - the daemon exited, or the server closed the connection:
// count it, account the daemon's CPU, open a replacement.
bool run_state::connection_lost(connection &c, uint64_t t)
{
    if (c.busy) {
        // An answer line written just before an exit still counts as an
        // answer (a failed put writes its answer, then the daemon ends);
        // nothing at all is an unanswered request.
        if (c.len > 0 && memchr(c.buf, '\n', c.len))
            answer_arrived(c, t);
        else if (c.measured)
            result.unanswered++;
        c.busy = false;
    }
    if (c.pid > 0) {
        close(c.in_fd);
        close(c.out_fd);
        struct rusage usage{};
        int status = reap(c.pid, target.exit_timeout_ms, &usage);
        if (measuring) {
            uint64_t used = rusage_ns(usage);
            cpu_total += used > c.cpu_base ? used - c.cpu_base : 0;
            result.max_rss_kb = std::max(result.max_rss_kb, usage.ru_maxrss);
        }
        result.exits++;
        result.exit_statuses[status]++;
    } else {
        close(c.in_fd);
        result.exits++;
        result.exit_statuses[0]++;
    }
    c.pid = -1;
    c.in_fd = c.out_fd = -1;
    return open_connection(c);
}

void run_state::stop_daemon(connection &c, bool signal_stop)
{
    if (c.pid <= 0) {
        if (c.in_fd >= 0)
            close(c.in_fd);
        c.in_fd = c.out_fd = -1;
        return;
    }
    if (signal_stop)
        kill(c.pid, SIGTERM);  // a daemon this driver started, by its PID
    close(c.in_fd);
    c.in_fd = -1;
}

// stop_all - the measured phase is over: end every daemon (with SIGTERM if
// the run failed or the target asks for it, otherwise by end of input, so
// that each runs its exit), and reap them with the same bound; a daemon
// whose exit is not the expected one counts as a final failure.
void run_state::stop_all(bool ok)
{
    for (auto &c : conns)
        stop_daemon(c, !ok || target.stop_with_signal);
    if (probe.pid > 0) {
        // The probe never answered or never exited in time.
        if (probe.in_fd >= 0)
            close(probe.in_fd);
        kill(probe.pid, SIGTERM);
        result.probe_status = reap(probe.pid, 10000, nullptr);
        probe.pid = -1;
    }
    if (probe.out_fd >= 0)
        close(probe.out_fd);
    for (auto &c : conns) {
        if (c.pid <= 0)
            continue;
        struct rusage usage{};
        int status = reap(c.pid, target.exit_timeout_ms, &usage);
        int expected = target.stop_with_signal || !ok ? 1 : 0;
        if (status != expected)
            result.final_failures++;
        result.max_rss_kb = std::max(result.max_rss_kb, usage.ru_maxrss);
        close(c.out_fd);
        c.pid = -1;
    }
}

}  // namespace driver_run
