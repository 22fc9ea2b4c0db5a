// SPDX-License-Identifier: BSD-2-Clause
/*
 * syslog_datagram.c - syslog as a local syslog daemon receives it, for the
 * bench: each message goes out as one datagram on a Unix socket, formatted
 * the way the C library formats it for /dev/log ("<PRI>Mmm dd hh:mm:ss
 * ident[pid]: message"), to the socket named by MURVANE_SYSLOG_SOCKET, where
 * the bench's receiver reads and drops it. The socket is connected once, at
 * the first message, as the C library does.
 *
 * Preloaded (LD_PRELOAD) into the daemon; replaces openlog, closelog,
 * syslog, vsyslog and their fortified _chk forms.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

static int log_fd = -1;
static const char *log_ident = "murvane";
static int log_facility = LOG_USER;

static void connect_log(void)
{
    const char *path = getenv("MURVANE_SYSLOG_SOCKET");
    if (path == NULL || strlen(path) >= sizeof(((struct sockaddr_un *)0)->sun_path))
        return;
    struct sockaddr_un address;
    memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    strcpy(address.sun_path, path);
    log_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (log_fd >= 0 && connect(log_fd, (struct sockaddr *)&address, sizeof address) != 0) {
        close(log_fd);
        log_fd = -1;
    }
}

void openlog(const char *ident, int option, int facility)
{
    (void)option;
    if (ident != NULL)
        log_ident = ident;
    log_facility = facility;
}

void closelog(void)
{
    if (log_fd >= 0)
        close(log_fd);
    log_fd = -1;
}

void vsyslog(int priority, const char *format, va_list ap)
{
    int saved = errno;
    char buffer[8192];
    time_t now = time(NULL);
    struct tm tm;
    localtime_r(&now, &tm);
    int n = snprintf(buffer, sizeof buffer, "<%d>", LOG_PRI(priority) | log_facility);
    n += (int)strftime(buffer + n, sizeof buffer - (size_t)n, "%h %e %T ", &tm);
    n += snprintf(buffer + n, sizeof buffer - (size_t)n, "%s[%d]: ", log_ident, (int)getpid());
    errno = saved;
    int m = vsnprintf(buffer + n, sizeof buffer - (size_t)n, format, ap);
    if (m < 0)
        return;
    size_t length = (size_t)n + (size_t)m;
    if (length >= sizeof buffer)
        length = sizeof buffer - 1;
    if (log_fd < 0)
        connect_log();
    if (log_fd >= 0 && send(log_fd, buffer, length, MSG_NOSIGNAL) < 0 && errno != EAGAIN)
        closelog();  // the receiver is gone: connect again at the next message
    errno = saved;
}

void syslog(int priority, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    vsyslog(priority, format, ap);
    va_end(ap);
}

void __vsyslog_chk(int priority, int flag, const char *format, va_list ap)
{
    (void)flag;
    vsyslog(priority, format, ap);
}

void __syslog_chk(int priority, int flag, const char *format, ...)
{
    va_list ap;
    (void)flag;
    va_start(ap, format);
    vsyslog(priority, format, ap);
    va_end(ap);
}
