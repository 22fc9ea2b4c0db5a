// SPDX-License-Identifier: BSD-2-Clause
// log.h - the daemon's one road to syslog, and its fatal stops.
//
// Every message of the daemon goes through log_msg(), so that the notices of
// stop signals, which the signal handler only records, are written out by the
// main flow in front of whatever it logs next (see common/stop.h). The
// fatal stops log once and end the process with SIGABRT, without cleanup.
#ifndef MURVANE_COMMON_LOG_H
#define MURVANE_COMMON_LOG_H

#include <syslog.h>

#include <atomic>

// log_msg - log one message through syslog at the given level, after any
// stop-signal notice that is still pending.
void log_msg(int level, const char *format, ...)
    __attribute__((format(printf, 2, 3)));

// log_fatal - log "fatal: <message>" at LOG_ERR and abort.
[[noreturn]] void log_fatal(const char *message);

// fatal_abort - end the process with SIGABRT. The stop-signal handler, when it
// is installed, sees the SIGABRT first; its notice is logged here before the
// default action ends the process, since the main flow never runs again.
[[noreturn]] void fatal_abort();

// fatal_assert_failed - the assertion report of fatal_assert(), in the
// platform's own words, followed by fatal_abort().
[[noreturn]] void fatal_assert_failed(const char *expression, const char *file,
                                      unsigned line, const char *function);

// fatal_assert - assert() that ends through fatal_abort(), so that a broken
// invariant leaves the stop handler's notice in the log as well.
#define fatal_assert(expression)                                              \
    ((expression) ? (void)0                                                   \
                  : fatal_assert_failed(#expression, __FILE__, __LINE__,      \
                                        __func__))

// Above 0 while the main flow is inside syslog (log_msg and the stop-signal
// notices count themselves in). The watchdog thread reads it: syslog takes a
// lock, and a main flow stuck inside syslog would hold it forever.
extern std::atomic<int> syslog_entered;

// Hook through which the stop handler's pending notices are written out; the
// lifecycle module installs it. Null means there is nothing to write.
extern void (*log_pending_hook)();

#endif
