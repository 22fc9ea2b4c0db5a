// SPDX-License-Identifier: BSD-2-Clause
/*
 * late_signal.c - a stop signal at the daemon's very last step, for the tests.
 *
 * Preloaded ahead of the syslog capture, this closelog() raises the signal
 * named by MURVANE_LATE_SIGNAL (a number) and then hands over to the next
 * closelog(). closelog() is the last call the daemon makes before it returns
 * its exit status, after it has written its last notices: a signal that the
 * handler takes there would change the status and never be logged.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <signal.h>
#include <stdlib.h>
#include <syslog.h>

void closelog(void)
{
    const char *number = getenv("MURVANE_LATE_SIGNAL");
    if (number != NULL && *number != '\0')
        raise(atoi(number));
    void (*next)(void);
    /* The POSIX way to turn dlsym's object pointer into a function pointer. */
    *(void **)(&next) = dlsym(RTLD_NEXT, "closelog");
    if (next != NULL)
        next();
}
