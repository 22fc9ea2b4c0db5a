// SPDX-License-Identifier: BSD-2-Clause
/*
 * syslog_capture.c - syslog without a syslog daemon, for the tests.
 *
 * Replaces openlog, closelog, syslog, vsyslog and their fortified _chk forms.
 * Each message is appended to the file named by MURVANE_SYSLOG_FILE as one
 * line "level<TAB>message"; openlog appends "openlog<TAB>ident<TAB>options
 * <TAB>facility" and closelog "closelog". Every line goes out in one write()
 * on an O_APPEND descriptor, so several processes can share one file. Newlines
 * inside a message are written as "\n" so that one message stays one line.
 *
 * Preloaded (LD_PRELOAD) into the daemon, or linked into a test program,
 * where its definitions take the place of the C library's.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>
#include <unistd.h>

static const char *level_name(int priority)
{
    static const char *const names[] = {"emerg", "alert", "crit", "err",
                                        "warning", "notice", "info", "debug"};
    return names[LOG_PRI(priority)];
}

static void append_line(const char *line, size_t length)
{
    const char *path = getenv("MURVANE_SYSLOG_FILE");
    if (path == NULL || *path == '\0')
        return;
    int saved = errno;
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0) {
        ssize_t written = write(fd, line, length);
        (void)written;
        close(fd);
    }
    errno = saved;
}

void openlog(const char *ident, int option, int facility)
{
    char line[1024];
    int n = snprintf(line, sizeof line, "openlog\t%s\t%d\t%d\n",
                     ident ? ident : "(null)", option, facility);
    if (n > 0)
        append_line(line, (size_t)n < sizeof line ? (size_t)n : sizeof line - 1);
}

void closelog(void)
{
    append_line("closelog\n", 9);
}

void vsyslog(int priority, const char *format, va_list ap)
{
    char *message = NULL;
    if (vasprintf(&message, format, ap) < 0)
        return;
    size_t length = strlen(message);
    const char *level = level_name(priority);
    char *line = malloc(strlen(level) + 2 * length + 3);
    if (line != NULL) {
        char *out = line + sprintf(line, "%s\t", level);
        for (size_t i = 0; i < length; i++) {
            if (message[i] == '\n') {
                *out++ = '\\';
                *out++ = 'n';
            } else {
                *out++ = message[i];
            }
        }
        *out++ = '\n';
        append_line(line, (size_t)(out - line));
        free(line);
    }
    free(message);
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
