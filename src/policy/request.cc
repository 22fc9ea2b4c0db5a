// SPDX-License-Identifier: BSD-2-Clause
// request.cc - reading policy requests from the mail server.
//
// End of input and read failures both end the run; a failed read is logged
// here. A stop signal interrupts a wait for input: the wait runs with the stop
// signals blocked until ppoll() releases them, so a signal that comes after
// the last test of stop_reason still ends the wait at once.
#include "policy/request.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "common/log.h"
#include "common/settings.h"
#include "common/stop.h"
#include "common/xrealloc.h"

thread_local char *request_buf = nullptr;
thread_local size_t request_len = 0;
thread_local size_t request_cap = 0;

char *find_request_end(char *begin, char *end)
{
    char *p = begin;
    while (p < end) {
        char *newline = static_cast<char *>(memchr(p, '\n', end - p));
        if (newline == nullptr || newline + 1 == end)
            return nullptr;
        if (newline[1] == '\n')
            return newline + 2;
        p = newline + 1;
    }
    return nullptr;
}

namespace {

thread_local input_wait connection_wait;  // null: wait_for_input
thread_local size_t request_bound;        // 0: no bound

// The reply on a stop: a complete request that has not been answered yet, or
// null. Never a partial one, never the request just discarded.
char *request_on_stop()
{
    return find_request_end(request_buf, request_buf + request_len) ? request_buf
                                                                      : nullptr;
}

// wait_for_input - block until fd is readable or a stop signal comes.
// Returns 1 when input (or its end) is there, 0 when a stop was already
// requested, -1 with errno set (EINTR for a stop signal) otherwise.
int wait_for_input(int fd)
{
    sigset_t stops, previous;
    stop_signal_set(&stops);
    sigprocmask(SIG_BLOCK, &stops, &previous);
    if (stop_reason != nullptr) {
        sigprocmask(SIG_SETMASK, &previous, nullptr);
        return 0;
    }
    struct pollfd input = {fd, POLLIN, 0};
    int ready = ppoll(&input, 1, nullptr, &previous);
    int saved = errno;
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    errno = saved;
    return ready < 0 ? -1 : 1;
}

}  // namespace

void set_connection_reading(input_wait wait, size_t bound)
{
    connection_wait = wait;
    request_bound = bound;
}

char *read_policy_request(int input_fd)
{
    char *end = find_request_end(request_buf, request_buf + request_len);
    if (end != nullptr) {
        request_len -= end - request_buf;
        memmove(request_buf, end, request_len);
    } else {
        request_len = 0;
    }
    if (stop_requested())
        return request_on_stop();

    for (;;) {
        if (find_request_end(request_buf, request_buf + request_len))
            return request_buf;
        if (request_len == request_cap) {
            if (request_bound != 0 && request_cap >= request_bound) {
                log_msg(LOG_WARNING, "request larger than %zu bytes, closing the connection",
                        request_bound);
                return nullptr;
            }
            request_cap = request_cap ? 2 * request_cap : 1024;
            if (request_bound != 0 && request_cap > request_bound)
                request_cap = request_bound;
            if (settings.debug)
                log_msg(LOG_DEBUG, "allocate %zu bytes for request buffer",
                        request_cap);
            request_buf = static_cast<char *>(xrealloc(request_buf, request_cap));
        }
        int n;
        int ready = connection_wait != nullptr ? connection_wait(input_fd)
                                               : wait_for_input(input_fd);
        if (ready == 0)
            return request_on_stop();
        if (ready == -2)
            return nullptr;
        if (ready < 0)
            n = -1;
        else
            n = static_cast<int>(read(input_fd, request_buf + request_len,
                                      request_cap - request_len));
        if (n == 0)
            return nullptr;
        if (n < 0) {
            log_msg(LOG_ERR, "read_policy_request failed (%d): %s", n,
                    strerror(errno));
            return nullptr;
        }
        request_len += n;
        if (stop_requested())
            return request_on_stop();
    }
}

char *policy_attribute(const char *attribute)
{
    size_t length = strlen(attribute);
    char *line = request_buf;
    char *end = request_buf + request_len;
    while (line < end && *line != '\n') {
        // Compare byte by byte and never past the held input: a line shorter
        // than the name ends in a newline, which no name holds.
        size_t i = 0;
        while (i < length && line + i < end && line[i] == attribute[i])
            i++;
        if (i == length && line + length < end && line[length] == '=')
            return line + length + 1;
        char *newline = static_cast<char *>(memchr(line + i, '\n', end - (line + i)));
        if (newline == nullptr)
            return nullptr;
        line = newline + 1;
    }
    return nullptr;
}

bool attribute_text(const char *value, char *out, size_t room)
{
    size_t n = 0;
    while (value[n] != '\n') {
        if (value[n] == '\0' || n + 1 >= room)
            return false;
        out[n] = value[n];
        n++;
    }
    if (room == 0)
        return false;
    out[n] = '\0';
    return true;
}

size_t ip_address_bytes(const char *text, unsigned char out[16])
{
    if (inet_pton(AF_INET, text, out) > 0)
        return 4;
    struct in6_addr v6;
    if (inet_pton(AF_INET6, text, &v6) <= 0)
        return 0;
    if (IN6_IS_ADDR_V4MAPPED(&v6)) {
        memcpy(out, v6.s6_addr + 12, 4);
        return 4;
    }
    memcpy(out, v6.s6_addr, 16);
    return 16;
}

void free_request_buffer()
{
    free(request_buf);
    request_buf = nullptr;
    request_len = request_cap = 0;
}
