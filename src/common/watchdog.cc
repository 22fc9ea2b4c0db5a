// SPDX-License-Identifier: BSD-2-Clause
// watchdog.cc - the request bound's thread.
//
// One mutex guards the state: a slot per thread that arms a bound. The
// spawned daemon has one, its main flow's. The thread waits on a condition variable timed
// against CLOCK_MONOTONIC, so a clock set back or forward neither fires the
// bound early nor stretches it. Deadlines only move forward (each is "now
// plus the bound"), so a thread that sleeps until an older deadline needs no
// wake-up when a request is armed: it wakes at the older one, finds the newer
// one and sleeps again. It is signalled only when it waits with no deadline.
#include "common/watchdog.h"

#include <pthread.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <ctime>

#include "common/log.h"

namespace {

// The bound of one thread: the daemon's main flow, or in the resident server
// each connection's thread, the sweep's and the stop's.
struct slot {
    bool armed;              // a step is under way and its clock runs
    bounded_step step;       // what the armed bound covers
    bool paused;             // a step is under way and its clock is stopped
    struct timespec deadline;  // CLOCK_MONOTONIC time at which the step ends
    char label[320];         // what the step is, for the line; may be empty
    bool linked;             // in the list below
    slot *next;
};

pthread_mutex_t state_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t state_changed;
bool started;             // the thread runs
int bound_seconds;        // the bound given to start_watchdog
bool idle_wait;           // the thread waits without a deadline
slot *slots;              // every thread's slot that was ever armed, until it leaves
thread_local slot own;    // the calling thread's

// expire - a bound has passed: one line, when syslog is free, and the end.
[[noreturn]] void expire(const slot &late)
{
    // A main flow stuck inside syslog holds its lock; logging here would wait
    // for it forever. The line is given up rather than the exit.
    if (syslog_entered.load() == 0) {
        const char *colon = late.label[0] != '\0' ? ": " : "";
        switch (late.step) {
        case bounded_step::request:
            log_msg(LOG_ERR, "request not finished after %d seconds, exiting without an "
                    "answer%s%s", bound_seconds, colon, late.label);
            break;
        case bounded_step::stop:
            log_msg(LOG_ERR, "stop not finished after %d seconds, exiting at once",
                    bound_seconds);
            break;
        case bounded_step::sweep:
            log_msg(LOG_ERR, "expiry pass not finished after %d seconds, exiting at once",
                    bound_seconds);
            break;
        }
    }
    _exit(1);
}

bool before(const struct timespec &a, const struct timespec &b)
{
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

// earliest - the armed slot whose deadline comes first, or nullptr.
slot *earliest()
{
    slot *first = nullptr;
    for (slot *s = slots; s != nullptr; s = s->next)
        if (s->armed && (first == nullptr || before(s->deadline, first->deadline)))
            first = s;
    return first;
}

void *watch(void *)
{
    pthread_mutex_lock(&state_lock);
    for (;;) {
        slot *first = earliest();
        if (first == nullptr) {
            idle_wait = true;
            pthread_cond_wait(&state_changed, &state_lock);
            idle_wait = false;
            continue;
        }
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (!before(now, first->deadline))
            expire(*first);
        struct timespec until = first->deadline;
        pthread_cond_timedwait(&state_changed, &state_lock, &until);
    }
}

// arm_locked - set the calling thread's deadline from now; the caller holds
// state_lock. Every deadline is "now plus the bound", so a new one is never
// earlier than one the thread already sleeps towards: it is woken only when
// it sleeps with none.
void arm_locked()
{
    if (!own.linked) {
        own.next = slots;
        slots = &own;
        own.linked = true;
    }
    clock_gettime(CLOCK_MONOTONIC, &own.deadline);
    own.deadline.tv_sec += bound_seconds;
    own.armed = true;
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
    own.step = step;
    own.paused = false;
    arm_locked();
    pthread_mutex_unlock(&state_lock);
}

void watchdog_label(const char *label)
{
    pthread_mutex_lock(&state_lock);
    snprintf(own.label, sizeof own.label, "%s", label != nullptr ? label : "");
    pthread_mutex_unlock(&state_lock);
}

void watchdog_disarm()
{
    if (!started)
        return;
    pthread_mutex_lock(&state_lock);
    own.armed = false;
    own.paused = false;
    pthread_mutex_unlock(&state_lock);
}

void watchdog_leave()
{
    pthread_mutex_lock(&state_lock);
    if (own.linked) {
        for (slot **s = &slots; *s != nullptr; s = &(*s)->next) {
            if (*s == &own) {
                *s = own.next;
                break;
            }
        }
        own.linked = false;
    }
    own.armed = false;
    own.paused = false;
    pthread_mutex_unlock(&state_lock);
}

void watchdog_pause()
{
    if (!started)
        return;
    pthread_mutex_lock(&state_lock);
    if (own.armed) {
        own.armed = false;
        own.paused = true;
    }
    pthread_mutex_unlock(&state_lock);
}

void watchdog_resume()
{
    if (!started)
        return;
    pthread_mutex_lock(&state_lock);
    if (own.paused) {
        own.paused = false;
        arm_locked();
    }
    pthread_mutex_unlock(&state_lock);
}

void watchdog_progress()
{
    if (!started)
        return;
    pthread_mutex_lock(&state_lock);
    if (own.armed)
        arm_locked();
    pthread_mutex_unlock(&state_lock);
}
