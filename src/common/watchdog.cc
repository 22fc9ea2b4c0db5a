// SPDX-License-Identifier: BSD-2-Clause
// watchdog.cc - the request bound's thread.
//
// One mutex guards the state; the thread waits on a condition variable timed
// against CLOCK_MONOTONIC, so a clock set back or forward neither fires the
// bound early nor stretches it. Deadlines only move forward (each is "now
// plus the bound"), so a thread that sleeps until an older deadline needs no
// wake-up when a request is armed: it wakes at the older one, finds the newer
// one and sleeps again. It is signalled only when it waits with no deadline.
#include "common/watchdog.h"

#include <pthread.h>
#include <unistd.h>

#include <csignal>
#include <ctime>

#include "common/log.h"

namespace {

pthread_mutex_t state_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t state_changed;
bool started;             // the thread runs
int bound_seconds;        // the bound given to start_watchdog
bool armed;               // a request is under way and its clock runs
bounded_step armed_step;  // what the armed bound covers
bool paused;              // a request is under way and its clock is stopped
bool idle_wait;           // the thread waits without a deadline
struct timespec deadline; // CLOCK_MONOTONIC time at which an armed request ends

// expire - the bound has passed: one line, when syslog is free, and the end.
[[noreturn]] void expire()
{
    // A main flow stuck inside syslog holds its lock; logging here would wait
    // for it forever. The line is given up rather than the exit.
    if (syslog_entered.load() == 0) {
        if (armed_step == bounded_step::request)
            log_msg(LOG_ERR, "request not finished after %d seconds, exiting without an "
                    "answer", bound_seconds);
        else
            log_msg(LOG_ERR, "stop not finished after %d seconds, exiting at once",
                    bound_seconds);
    }
    _exit(1);
}

void *watch(void *)
{
    pthread_mutex_lock(&state_lock);
    for (;;) {
        if (!armed) {
            idle_wait = true;
            pthread_cond_wait(&state_changed, &state_lock);
            idle_wait = false;
            continue;
        }
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (now.tv_sec > deadline.tv_sec ||
            (now.tv_sec == deadline.tv_sec && now.tv_nsec >= deadline.tv_nsec))
            expire();
        pthread_cond_timedwait(&state_changed, &state_lock, &deadline);
    }
}

// arm_locked - set the deadline from now; the caller holds state_lock.
void arm_locked()
{
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += bound_seconds;
    armed = true;
    if (idle_wait)
        pthread_cond_signal(&state_changed);
}

}  // namespace

int start_watchdog(int seconds)
{
    pthread_condattr_t attributes;
    int ret;
    if (started)
        return 0;
    bound_seconds = seconds;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&state_changed, &attributes);
    pthread_condattr_destroy(&attributes);

    // The thread inherits the creator's signal mask: with everything blocked
    // there, every signal sent to the process reaches the main flow, whose
    // blocked read must end at a stop signal.
    sigset_t all, saved;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &saved);
    pthread_t thread;
    ret = pthread_create(&thread, nullptr, watch, nullptr);
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    if (ret != 0) {
        pthread_cond_destroy(&state_changed);
        return ret;
    }
    pthread_detach(thread);
    started = true;
    return 0;
}

void watchdog_arm(bounded_step step)
{
    if (!started)
        return;
    pthread_mutex_lock(&state_lock);
    armed_step = step;
    paused = false;
    arm_locked();
    pthread_mutex_unlock(&state_lock);
}

void watchdog_disarm()
{
    if (!started)
        return;
    pthread_mutex_lock(&state_lock);
    armed = false;
    paused = false;
    pthread_mutex_unlock(&state_lock);
}

void watchdog_pause()
{
    if (!started)
        return;
    pthread_mutex_lock(&state_lock);
    if (armed) {
        armed = false;
        paused = true;
    }
    pthread_mutex_unlock(&state_lock);
}

void watchdog_resume()
{
    if (!started)
        return;
    pthread_mutex_lock(&state_lock);
    if (paused) {
        paused = false;
        arm_locked();
    }
    pthread_mutex_unlock(&state_lock);
}

void watchdog_progress()
{
    if (!started)
        return;
    pthread_mutex_lock(&state_lock);
    if (armed)
        arm_locked();
    pthread_mutex_unlock(&state_lock);
}
