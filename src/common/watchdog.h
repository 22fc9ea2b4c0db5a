// SPDX-License-Identifier: BSD-2-Clause
// watchdog.h - a bound on the time the daemon may spend inside one request.
//
// Every thread has its own bound: arming, disarming and the rest act on the
// calling thread's, and the first bound to pass ends the process.
//
// A daemon can wait inside the library forever: a lock held by a daemon that
// was killed is never released, and the library has no timeout for that
// wait. The watchdog is a second thread that sleeps until the armed request's
// deadline. When the request is still unfinished then, it logs one line at
// LOG_ERR and ends the process at once with status 1, without an answer and
// without cleanup: the mail server sees the policy connection close, and asks
// again through a new daemon, which opens the environment afresh (running
// recovery after the dead ones). Nothing is committed for the request.
//
// The thread runs with every signal blocked, so the stop signals stay with the
// main flow, and it only reads the clock, waits and exits; it logs only when
// the main flow is not inside syslog itself (a stuck main flow holding
// syslog's lock would otherwise keep the watchdog from ever ending it).
// Arming and disarming cost a clock read and an uncontended mutex; the thread
// is woken only when it was idle, not on every request.
#ifndef MURVANE_COMMON_WATCHDOG_H
#define MURVANE_COMMON_WATCHDOG_H

// Seconds a request may take, from its arming to its answer. Well below the
// mail server's own wait for a policy answer (100 s in Postfix), far above
// any honest wait: a lock held by a busy daemon, a slow disk's flush, a wait
// behind an expiry pass.
constexpr int request_time_limit = 30;

// start_watchdog - start the watchdog thread with a bound of `seconds` (the
// daemon passes request_time_limit; tests in process pass shorter ones).
// Returns 0, or the error number of a failed thread start, after which
// requests are simply not bounded.
int start_watchdog(int seconds);

// What an armed bound covers; it names the step in the watchdog's line.
enum class bounded_step { request, stop, sweep };

// watchdog_arm - a request (or the stop sequence) begins: its deadline is the
// bound from now.
void watchdog_arm(bounded_step step = bounded_step::request);

// watchdog_disarm - the request has been answered.
void watchdog_disarm();

// watchdog_label - what the calling thread's request is, named in the line
// when its bound passes (the resident server names the connection's request;
// the spawned daemon, alone with its one request, names none). Copied.
void watchdog_label(const char *label);

// watchdog_leave - the calling thread ends: its bound is forgotten. Every
// thread but the main flow calls it before it returns, once it armed one.
void watchdog_leave();

// watchdog_pause - stop the clock for a step of a request that may honestly
// take long (the v0 conversion); watchdog_resume gives the request a whole
// bound again from now. Both do nothing when no request is armed.
void watchdog_pause();
void watchdog_resume();

// watchdog_progress - the armed step has just finished a bounded piece of a
// long walk (a batch of the expiry pass): its whole bound starts again from
// now, so a pass over any size of database is ended only when one of its
// pieces is stuck. Does nothing when nothing is armed.
void watchdog_progress();

#endif
