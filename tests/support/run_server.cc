// SPDX-License-Identifier: BSD-2-Clause
// run_server.cc - the harness around murvane --listen.
#include "run_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

long long now_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

int left_ms(long long deadline)
{
    long long left = deadline - now_ms();
    return left < 0 ? 0 : static_cast<int>(left);
}

std::atomic<int> notify_count{0};

// notify_address - a unix datagram address of the abstract namespace, unique
// to this program and call: nothing to remove afterwards. Its length counts
// the name's bytes only, as the server's sendto must too.
socklen_t notify_address(struct sockaddr_un *address, std::string *name)
{
    *name = "@murvane-test-notify-" + std::to_string(getpid()) + "-" +
            std::to_string(notify_count++);
    memset(address, 0, sizeof *address);
    address->sun_family = AF_UNIX;
    memcpy(address->sun_path + 1, name->data() + 1, name->size() - 1);
    return static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + name->size());
}

// Read the datagrams waiting on the notify socket into `notices`.
void drain_notices(server_process &server)
{
    char buf[4096];
    for (;;) {
        ssize_t n = recv(server.notify_fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n < 0)
            return;
        // One datagram may carry several assignments, one a line.
        std::string datagram(buf, n);
        size_t at = 0;
        while (at < datagram.size()) {
            size_t end = datagram.find('\n', at);
            if (end == std::string::npos)
                end = datagram.size();
            if (end > at)
                server.notices.push_back(datagram.substr(at, end - at));
            at = end + 1;
        }
    }
}

bool has_notice(const server_process &server, const std::string &text)
{
    for (const auto &n : server.notices)
        if (n == text)
            return true;
    return false;
}

// parse_address - ADDRESS as a socket address; false when it is neither form.
bool parse_address(const std::string &address, struct sockaddr_storage *out, socklen_t *length)
{
    memset(out, 0, sizeof *out);
    if (address.rfind("unix:", 0) == 0) {
        std::string path = address.substr(5);
        auto *un = reinterpret_cast<struct sockaddr_un *>(out);
        if (path.empty() || path.size() >= sizeof un->sun_path)
            return false;
        un->sun_family = AF_UNIX;
        memcpy(un->sun_path, path.data(), path.size());
        *length = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + path.size() + 1);
        return true;
    }
    if (address.rfind("inet:", 0) != 0)
        return false;
    std::string rest = address.substr(5);
    size_t colon = rest.rfind(':');
    if (colon == std::string::npos)
        return false;
    std::string host = rest.substr(0, colon);
    int port = atoi(rest.substr(colon + 1).c_str());
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        auto *in6 = reinterpret_cast<struct sockaddr_in6 *>(out);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(static_cast<uint16_t>(port));
        *length = sizeof *in6;
        return inet_pton(AF_INET6, host.substr(1, host.size() - 2).c_str(), &in6->sin6_addr) == 1;
    }
    auto *in = reinterpret_cast<struct sockaddr_in *>(out);
    in->sin_family = AF_INET;
    in->sin_port = htons(static_cast<uint16_t>(port));
    *length = sizeof *in;
    return inet_pton(AF_INET, host.c_str(), &in->sin_addr) == 1;
}

}  // namespace

server_process start_server(const server_run &run)
{
    server_process server;
    daemon_run spawn;
    spawn.args = {"--listen", run.address};
    spawn.args.insert(spawn.args.end(), run.args.begin(), run.args.end());
    spawn.env = run.env;
    spawn.preload_first = run.preload_first;
    spawn.listen_fd = run.listen_fd;
    if (run.notify) {
        struct sockaddr_un address;
        std::string name;
        socklen_t length = notify_address(&address, &name);
        if (!run.notify_path.empty() && run.notify_path.size() < sizeof address.sun_path) {
            name = run.notify_path;
            memset(address.sun_path, 0, sizeof address.sun_path);
            memcpy(address.sun_path, name.data(), name.size());
            length = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + name.size() + 1);
        }
        server.notify_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (server.notify_fd < 0 ||
            bind(server.notify_fd, reinterpret_cast<struct sockaddr *>(&address), length) != 0) {
            perror("notify socket");
            abort();
        }
        spawn.env.push_back("NOTIFY_SOCKET=" + name);
    }
    server.daemon = start_daemon(spawn);
    // A server reads no standard input: it sees its end, as under systemd.
    close_input(server.daemon);
    return server;
}

bool wait_notice(server_process &server, const std::string &text, int timeout_ms)
{
    long long deadline = now_ms() + timeout_ms;
    for (;;) {
        if (server.notify_fd >= 0)
            drain_notices(server);
        if (has_notice(server, text))
            return true;
        if (server.daemon.err_fd < 0 || left_ms(deadline) == 0)
            return false;
        struct pollfd fds[2] = {{server.notify_fd, POLLIN, 0},
                                {server.daemon.err_fd, POLLIN, 0}};
        if (poll(fds, 2, left_ms(deadline)) < 0 && errno != EINTR)
            return false;
        if (fds[1].revents) {
            // Standard error is read as it comes; its end is the server's.
            char buf[4096];
            ssize_t n = read(server.daemon.err_fd, buf, sizeof buf);
            if (n > 0)
                server.daemon.err.append(buf, n);
            else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                if (server.notify_fd >= 0)
                    drain_notices(server);
                return has_notice(server, text);
            }
        }
    }
}

daemon_result stop_server(server_process &server, int signal_number, int timeout_ms)
{
    if (signal_number != 0 && server.daemon.pid > 0)
        kill(server.daemon.pid, signal_number);
    daemon_result result = finish_daemon(server.daemon, timeout_ms);
    if (server.notify_fd >= 0) {
        drain_notices(server);
        close(server.notify_fd);
        server.notify_fd = -1;
    }
    return result;
}

std::vector<std::string> server_log(const server_process &server)
{
    return read_log_file(server.daemon.log_path);
}

bool server_logged(const server_process &server, const std::string &text)
{
    for (const auto &line : server_log(server))
        if (line.find(text) != std::string::npos)
            return true;
    return false;
}

bool wait_for_server_log(const server_process &server, const std::string &text, int timeout_ms)
{
    return wait_for_log(server.daemon, text, timeout_ms);
}

int connect_to(const std::string &address, int timeout_ms)
{
    struct sockaddr_storage target;
    socklen_t length;
    if (!parse_address(address, &target, &length))
        return -1;
    long long deadline = now_ms() + timeout_ms;
    for (;;) {
        int fd = socket(target.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0)
            return -1;
        int ret = connect(fd, reinterpret_cast<struct sockaddr *>(&target), length);
        if (ret != 0 && errno == EINPROGRESS) {
            struct pollfd p = {fd, POLLOUT, 0};
            int error = ETIMEDOUT;
            socklen_t size = sizeof error;
            if (poll(&p, 1, left_ms(deadline)) == 1)
                getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size);
            ret = error == 0 ? 0 : -1;
            errno = error;
        }
        if (ret == 0) {
            fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
            return fd;
        }
        int saved = errno;
        close(fd);
        // A unix socket's full listen queue answers EAGAIN at once: wait for
        // the server to accept, a few milliseconds at a time.
        if (saved != EAGAIN || left_ms(deadline) == 0)
            return -1;
        struct timespec pause = {0, 2 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
}

bool send_bytes(int fd, const std::string &bytes, int timeout_ms)
{
    long long deadline = now_ms() + timeout_ms;
    size_t done = 0;
    while (done < bytes.size()) {
        struct pollfd p = {fd, POLLOUT, 0};
        int ready = poll(&p, 1, left_ms(deadline));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return false;
        ssize_t n = send(fd, bytes.data() + done, bytes.size() - done,
                         MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0)
            done += n;
        else if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
    }
    return true;
}

answer_read read_answer(int fd, std::string &pending, int timeout_ms)
{
    answer_read answer;
    long long deadline = now_ms() + timeout_ms;
    for (;;) {
        size_t end = pending.find("\n\n");
        if (end != std::string::npos) {
            answer.text = pending.substr(0, end + 2);
            pending.erase(0, end + 2);
            answer.complete = true;
            return answer;
        }
        struct pollfd p = {fd, POLLIN, 0};
        int ready = poll(&p, 1, left_ms(deadline));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0) {
            answer.timed_out = true;
            break;
        }
        char buf[65536];
        ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) {
            pending.append(buf, n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        answer.closed = true;  // its end, or a reset
        break;
    }
    answer.text = pending;
    pending.clear();
    return answer;
}

answer_read ask(int fd, const std::string &request, int timeout_ms)
{
    std::string pending;
    if (!send_bytes(fd, request, timeout_ms)) {
        answer_read failed;
        failed.closed = true;
        return failed;
    }
    return read_answer(fd, pending, timeout_ms);
}

bool wait_for_close(int fd, int timeout_ms, std::string *received)
{
    long long deadline = now_ms() + timeout_ms;
    for (;;) {
        struct pollfd p = {fd, POLLIN, 0};
        int ready = poll(&p, 1, left_ms(deadline));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return false;
        char buf[65536];
        ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) {
            if (received)
                received->append(buf, n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        return true;
    }
}

int free_inet_port()
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = -1;
    if (fd >= 0 && bind(fd, reinterpret_cast<struct sockaddr *>(&address), length) == 0 &&
        getsockname(fd, reinterpret_cast<struct sockaddr *>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    if (fd >= 0)
        close(fd);
    return port;
}

long raise_open_files(long wanted)
{
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return -1;
    if (limit.rlim_cur != RLIM_INFINITY && static_cast<long>(limit.rlim_cur) < wanted) {
        rlim_t target = static_cast<rlim_t>(wanted);
        if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < target)
            target = limit.rlim_max;
        limit.rlim_cur = target;
        setrlimit(RLIMIT_NOFILE, &limit);
        getrlimit(RLIMIT_NOFILE, &limit);
    }
    return limit.rlim_cur == RLIM_INFINITY ? wanted : static_cast<long>(limit.rlim_cur);
}
