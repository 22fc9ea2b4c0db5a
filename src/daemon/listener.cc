// SPDX-License-Identifier: BSD-2-Clause
// listener.cc - listening sockets, handed-over sockets, the readiness note.
#include "daemon/listener.h"

#include <fcntl.h>
#include <grp.h>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/log.h"

namespace {

// copy_part - [begin, end) into out as a C string; false when it is empty or
// does not fit.
bool copy_part(const char *begin, const char *end, char *out, size_t room)
{
    size_t n = static_cast<size_t>(end - begin);
    if (n == 0 || n >= room)
        return false;
    memcpy(out, begin, n);
    out[n] = '\0';
    return true;
}

// listen_on - a socket bound to one resolved address, listening; -1 after
// logging why not.
int listen_on(const char *label, int family, const struct sockaddr *where, socklen_t size)
{
    int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        log_msg(LOG_ERR, "cannot listen on %s: socket: %s", label, strerror(errno));
        return -1;
    }
    int on = 1;
    if (family != AF_UNIX)
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (family == AF_INET6)
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    if (bind(fd, where, size) != 0 || listen(fd, SOMAXCONN) != 0) {
        log_msg(LOG_ERR, "cannot listen on %s: %s", label, strerror(errno));
        close(fd);
        return -1;
    }
    return fd;
}

// group_id - the group named by a name or a number; false when there is none.
bool group_id(const char *group, gid_t *gid)
{
    char *end;
    errno = 0;
    unsigned long number = strtoul(group, &end, 10);
    if (*group != '\0' && *end == '\0' && errno == 0) {
        *gid = static_cast<gid_t>(number);
        return true;
    }
    struct group entry, *found = nullptr;
    char buffer[4096];
    if (getgrnam_r(group, &entry, buffer, sizeof buffer, &found) != 0 || found == nullptr)
        return false;
    *gid = found->gr_gid;
    return true;
}

// open_unix - the unix socket at address.path, with its mode and group.
int open_unix(const listen_address &address, unsigned mode, const char *group)
{
    char label[sizeof address.path + 8];
    snprintf(label, sizeof label, "unix:%s", address.path);
    gid_t gid = 0;
    if (group != nullptr && !group_id(group, &gid)) {
        log_msg(LOG_ERR, "cannot listen on %s: no group %s", label, group);
        return -1;
    }
    struct sockaddr_un where {};
    where.sun_family = AF_UNIX;
    memcpy(where.sun_path, address.path, strlen(address.path));
    struct stat existing;
    if (lstat(address.path, &existing) == 0) {
        if (!S_ISSOCK(existing.st_mode)) {
            log_msg(LOG_ERR, "cannot listen on %s: the path exists and is no socket", label);
            return -1;
        }
        // A socket that a live server answers on stays its own; one left by
        // a server that ended without removing it is replaced.
        int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        bool live = probe >= 0 &&
                    connect(probe, reinterpret_cast<struct sockaddr *>(&where), sizeof where) == 0;
        if (probe >= 0)
            close(probe);
        if (live) {
            log_msg(LOG_ERR, "cannot listen on %s: another server listens there", label);
            return -1;
        }
        unlink(address.path);
    }
    int fd = listen_on(label, AF_UNIX, reinterpret_cast<struct sockaddr *>(&where), sizeof where);
    if (fd < 0)
        return -1;
    // The mode and group are set on the path, after bind() made it under
    // the process's umask.
    if (chmod(address.path, mode) != 0 ||
        (group != nullptr && chown(address.path, static_cast<uid_t>(-1), gid) != 0)) {
        log_msg(LOG_ERR, "cannot listen on %s: setting its mode or group: %s", label,
                strerror(errno));
        close(fd);
        unlink(address.path);
        return -1;
    }
    return fd;
}

// open_inet - every address HOST:PORT resolves to.
int open_inet(const listen_address &address, int fds[max_listeners])
{
    char label[sizeof address.host + sizeof address.port + 8];
    snprintf(label, sizeof label, "inet:%s:%s", address.host, address.port);
    struct addrinfo hints {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    struct addrinfo *found = nullptr;
    int ret = getaddrinfo(address.host, address.port, &hints, &found);
    if (ret != 0) {
        log_msg(LOG_ERR, "cannot listen on %s: %s", label, gai_strerror(ret));
        return 0;
    }
    int count = 0;
    for (struct addrinfo *a = found; a != nullptr && count < max_listeners; a = a->ai_next) {
        int fd = listen_on(label, a->ai_family, a->ai_addr, a->ai_addrlen);
        if (fd < 0) {
            while (count > 0)
                close(fds[--count]);
            break;
        }
        fds[count++] = fd;
    }
    freeaddrinfo(found);
    return count;
}

}  // namespace

bool parse_listen_address(const char *text, listen_address *address)
{
    *address = listen_address{};
    if (strncmp(text, "unix:", 5) == 0) {
        address->is_unix = true;
        const char *path = text + 5;
        return copy_part(path, path + strlen(path), address->path, sizeof address->path);
    }
    if (strncmp(text, "inet:", 5) != 0)
        return false;
    const char *host = text + 5;
    const char *host_end;
    const char *colon;
    if (*host == '[') {
        host++;
        host_end = strchr(host, ']');
        if (host_end == nullptr || host_end[1] != ':')
            return false;
        colon = host_end + 1;
    } else {
        colon = strrchr(host, ':');
        if (colon == nullptr || memchr(host, ':', static_cast<size_t>(colon - host)) != nullptr)
            return false;  // a bare IPv6 address needs its brackets
        host_end = colon;
    }
    const char *port = colon + 1;
    if (!copy_part(host, host_end, address->host, sizeof address->host) ||
        !copy_part(port, port + strlen(port), address->port, sizeof address->port))
        return false;
    for (const char *p = address->port; *p != '\0'; p++)
        if (*p < '0' || *p > '9')
            return false;
    return true;
}

int handed_over_sockets(int fds[max_listeners])
{
    const char *pid = getenv("LISTEN_PID");
    const char *count = getenv("LISTEN_FDS");
    if (pid == nullptr || count == nullptr)
        return 0;
    char *end;
    unsigned long owner = strtoul(pid, &end, 10);
    if (*end != '\0' || owner != static_cast<unsigned long>(getpid()))
        return 0;
    unsigned long n = strtoul(count, &end, 10);
    if (*end != '\0')
        return 0;
    unsetenv("LISTEN_PID");
    unsetenv("LISTEN_FDS");
    unsetenv("LISTEN_FDNAMES");
    int handed = 0;
    for (unsigned long i = 0; i < n && handed < max_listeners; i++) {
        int fd = 3 + static_cast<int>(i);
        fcntl(fd, F_SETFD, FD_CLOEXEC);
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        fds[handed++] = fd;
    }
    return handed;
}

int open_listeners(const listen_address &address, unsigned mode, const char *group,
                   int fds[max_listeners])
{
    if (address.is_unix) {
        int fd = open_unix(address, mode, group);
        if (fd < 0)
            return 0;
        fds[0] = fd;
        return 1;
    }
    return open_inet(address, fds);
}

void notify_supervisor(const char *state)
{
    const char *name = getenv("NOTIFY_SOCKET");
    if (name == nullptr || (name[0] != '/' && name[0] != '@'))
        return;
    struct sockaddr_un where {};
    where.sun_family = AF_UNIX;
    size_t length = strlen(name);
    if (length >= sizeof where.sun_path)
        return;
    memcpy(where.sun_path, name, length);
    if (name[0] == '@')
        where.sun_path[0] = '\0';  // the abstract namespace
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return;
    socklen_t size = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + length);
    if (sendto(fd, state, strlen(state), MSG_NOSIGNAL,
               reinterpret_cast<struct sockaddr *>(&where), size) < 0)
        log_msg(LOG_WARNING, "cannot tell the supervisor %s: %s", state, strerror(errno));
    close(fd);
}
