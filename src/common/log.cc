// SPDX-License-Identifier: BSD-2-Clause
// log.cc - syslog output and the fatal stops.
#include "common/log.h"

#include <csignal>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

void (*log_pending_hook)() = nullptr;
std::atomic<int> syslog_entered{0};

void log_msg(int level, const char *format, ...)
{
    syslog_entered++;
    if (log_pending_hook)
        log_pending_hook();
    va_list ap;
    va_start(ap, format);
    vsyslog(level, format, ap);
    va_end(ap);
    syslog_entered--;
}

void fatal_abort()
{
    // raise() returns once the stop handler has run; the notice it recorded
    // is written by the main flow here, where logging is safe. Then abort()
    // finds the default action restored and ends the process.
    raise(SIGABRT);
    if (log_pending_hook)
        log_pending_hook();
    abort();
}

void log_fatal(const char *message)
{
    log_msg(LOG_ERR, "fatal: %s", message);
    fatal_abort();
}

void fatal_assert_failed(const char *expression, const char *file, unsigned line,
                         const char *function)
{
    // glibc's own layout of the report, under the name it uses too.
    fprintf(stderr, "%s: %s:%u: %s: Assertion `%s' failed.\n",
            program_invocation_short_name, file, line, function, expression);
    fflush(stderr);
    fatal_abort();
}
