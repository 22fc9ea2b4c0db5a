// SPDX-License-Identifier: BSD-2-Clause
// stop.cc - the stop state of the process and its signal handler.
//
// The handler only records: a flag per signal, stop_reason and exit_status.
// The main flow writes the notices, where syslog and malloc are safe to enter.
#include "common/stop.h"

#include <syslog.h>

#include "common/log.h"

const char *volatile stop_reason = nullptr;
volatile sig_atomic_t exit_status = 0;

const int stop_signals[8] = {SIGHUP, SIGINT, SIGQUIT, SIGILL,
                             SIGABRT, SIGSEGV, SIGALRM, SIGTERM};

namespace {

// One flag per signal number, set by the handler, cleared by the main flow
// once the notice is logged. SA_RESETHAND lets the handler run at most once
// per signal, so a set flag is never set again behind the main flow's back.
volatile sig_atomic_t signal_pending[NSIG];
volatile sig_atomic_t any_signal_pending;

}  // namespace

void stop_signal_set(sigset_t *set)
{
    sigemptyset(set);
    for (int s : stop_signals)
        sigaddset(set, s);
}

void handle_stop_signal(int signal_number)
{
    // Atomic stores: in the resident server other threads read the flags
    // while the handler runs in the main thread.
    if (signal_number > 0 && signal_number < NSIG)
        __atomic_store_n(&signal_pending[signal_number], 1, __ATOMIC_RELEASE);
    __atomic_store_n(&any_signal_pending, 1, __ATOMIC_RELEASE);
    __atomic_store_n(&stop_reason, static_cast<const char *>("signal received"), __ATOMIC_RELEASE);
    exit_status = 1;
}

void request_stop(const char *reason)
{
    __atomic_store_n(&stop_reason, reason, __ATOMIC_RELEASE);
}

void log_signal_notices()
{
    // The flags are taken by exchange: in the resident server several
    // threads log, and each notice must still be written once.
    if (__atomic_exchange_n(&any_signal_pending, 0, __ATOMIC_ACQ_REL) == 0)
        return;
    for (int s = 1; s < NSIG; s++) {
        if (__atomic_exchange_n(&signal_pending[s], 0, __ATOMIC_ACQ_REL) != 0) {
            syslog_entered++;
            syslog(LOG_NOTICE, "Received signal %d", s);
            syslog_entered--;
        }
    }
}

bool stop_requested()
{
    log_signal_notices();
    return __atomic_load_n(&stop_reason, __ATOMIC_ACQUIRE) != nullptr;
}
