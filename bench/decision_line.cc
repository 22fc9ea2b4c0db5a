// SPDX-License-Identifier: BSD-2-Clause
// decision_line.cc - the CPU one decision line costs, in the daemon's own
// process and code, without the disk flush that dominates a request.
//
//   bench_decision_line [--lines N] [--socket PATH]
//
// The program reads one request through the daemon's reader (from a pipe),
// builds its key, and times N calls of log_decision() three ways: with the
// option off (the test of the flag alone), formatting the line with the
// message handed to a syslog that drops it (no socket named), and with each
// line sent as a datagram to a receiver process on a Unix socket, as a local
// syslog daemon gets it. syslog is bench/syslog_datagram.c, linked in. It
// prints one line of name=value figures: nanoseconds of process CPU per call
// (the receiver's CPU is not counted).
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "common/settings.h"
#include "greylist/decision_log.h"
#include "greylist/triplet_key.h"
#include "policy/request.h"

namespace {

double cpu_ns()
{
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e9 + static_cast<double>(t.tv_nsec);
}

double per_call(long lines)
{
    double t0 = cpu_ns();
    for (long i = 0; i < lines; i++)
        log_decision(outcome::defer_new, &dbkey, 3480);
    return (cpu_ns() - t0) / static_cast<double>(lines);
}

// receiver - a child that reads datagrams on `path` until its pipe closes.
pid_t receiver(const std::string &path, int *pipe_out)
{
    int fds[2];
    if (pipe(fds) != 0)
        return -1;
    unlink(path.c_str());
    int sock = socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    if (sock < 0 || bind(sock, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
        return -1;
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[1]);
        char buffer[9000];
        for (;;) {
            pollfd p[2] = {{sock, POLLIN, 0}, {fds[0], POLLIN, 0}};
            if (poll(p, 2, 1000) < 0)
                continue;
            if (p[0].revents & POLLIN) {
                if (recv(sock, buffer, sizeof buffer, MSG_DONTWAIT) < 0)
                    continue;
                continue;
            }
            if (p[1].revents & (POLLIN | POLLHUP))
                _exit(0);
        }
    }
    close(sock);
    close(fds[0]);
    *pipe_out = fds[1];
    return pid;
}

}  // namespace

int main(int argc, char **argv)
{
    long lines = 200000;
    std::string socket_path = "/tmp/bench-decision-line.sock";
    for (int i = 1; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--lines") == 0)
            lines = atol(argv[i + 1]);
        else if (strcmp(argv[i], "--socket") == 0)
            socket_path = argv[i + 1];
    }
    const char request[] =
        "request=smtpd_access_policy\nprotocol_state=RCPT\nprotocol_name=ESMTP\n"
        "client_address=192.0.2.77\nclient_name=mail.example.net\n"
        "helo_name=mail.example.net\nsender=alice.sender@example.net\n"
        "recipient=bob.recipient@example.org\nqueue_id=\ninstance=1a2b.3c4d.0\n\n";
    int in[2];
    if (pipe(in) != 0 || write(in[1], request, sizeof request - 1) < 0)
        return 1;
    close(in[1]);
    if (read_policy_request(in[0]) == nullptr)
        return 1;
    build_triplet_key(policy_attribute("client_address"), policy_attribute("sender"),
                      policy_attribute("recipient"));

    settings.log_decisions = 0;
    double off = per_call(lines);
    settings.log_decisions = 1;
    unsetenv("MURVANE_SYSLOG_SOCKET");
    double formatted = per_call(lines);
    int pipe_fd = -1;
    pid_t child = receiver(socket_path, &pipe_fd);
    if (child < 0)
        return 1;
    setenv("MURVANE_SYSLOG_SOCKET", socket_path.c_str(), 1);
    double sent = per_call(lines);
    close(pipe_fd);
    waitpid(child, nullptr, 0);
    unlink(socket_path.c_str());
    printf("lines=%ld off_ns=%.0f formatted_ns=%.0f datagram_ns=%.0f\n", lines, off,
           formatted, sent);
    return 0;
}
