// SPDX-License-Identifier: BSD-2-Clause
// stop.h - the process's stop state: what the stop-signal handler records.
//
// The stop-signal handler only records: it sets stop_reason and exit_status
// and marks its signal as pending. The notice "Received signal N" is written
// by the main flow, in front of the next message it logs and at every test of
// stop_requested(), because syslog and malloc are not safe to enter from a
// handler that may interrupt them. Every handled signal is logged once. The
// request reader, the walks over the database and the policy loop test it
// between their steps.
#ifndef MURVANE_COMMON_STOP_H
#define MURVANE_COMMON_STOP_H

#include <csignal>

extern const char *volatile stop_reason;    // null until a stop signal came
extern volatile sig_atomic_t exit_status;   // status of an orderly stop

// The eight signals that ask for an orderly stop, in the order installed.
extern const int stop_signals[8];

// stop_signal_set - the eight stop signals as a set, for blocking them.
void stop_signal_set(sigset_t *set);

// handle_stop_signal - record a stop request; nothing else.
void handle_stop_signal(int signal_number);

// request_stop - the process itself asks for the orderly stop, as a stop
// signal does but without a notice: `reason` says why.
void request_stop(const char *reason);

// log_signal_notices - write the notices of handled signals not yet logged.
void log_signal_notices();

// stop_requested - non-zero once a stop signal came (its notice is logged).
bool stop_requested();

#endif
