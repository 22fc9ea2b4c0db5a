// SPDX-License-Identifier: BSD-2-Clause
// watchdog_test.cc - the request bound in process, with a bound of one second.
//
// Each case runs in a child process (a death test): it starts the watchdog,
// plays a run of requests, and exits 0 if the watchdog let it live. The child
// logs into a capture file, read afterwards. A daemon stuck inside the library
// behind a killed daemon's lock is driven through the binary, with the
// daemon's own bound, in tests/watchdog_test.cc.
#include "common/watchdog.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "common/log.h"
#include "common/stop.h"
#include "run_daemon.h"

namespace {

constexpr int bound = 1;

// idle - let `bounds` times the bound pass on the monotonic clock.
void idle(double bounds)
{
    struct timespec start, now;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        clock_gettime(CLOCK_MONOTONIC, &now);
        double passed = static_cast<double>(now.tv_sec - start.tv_sec) +
                        static_cast<double>(now.tv_nsec - start.tv_nsec) / 1e9;
        if (passed >= bounds * bound)
            return;
        struct timespec step = {0, 20 * 1000 * 1000};
        nanosleep(&step, nullptr);
    }
}

const std::string fired =
    "err\trequest not finished after 1 seconds, exiting without an answer";

struct watchdog_case {
    const char *name;
    void (*requests)();              // the main flow after the watchdog started
    int status;                      // 1: ended by the watchdog, 0: outlived it
    std::vector<std::string> log;    // the capture's lines
};

void PrintTo(const watchdog_case &c, std::ostream *os) { *os << c.name; }

const watchdog_case cases[] = {
    {"stuck_request", [] { watchdog_arm(); idle(3); }, 1, {fired}},
    {"stuck_stop",
     [] { watchdog_arm(bounded_step::stop); idle(3); },
     1, {"err\tstop not finished after 1 seconds, exiting at once"}},
    {"answered_request", [] { watchdog_arm(); watchdog_disarm(); idle(3); }, 0, {}},
    // Requests one after another for three bounds: the thread sleeps until
    // an older request's deadline and must find the newer one there.
    {"stream_of_answered_requests",
     [] {
         for (int i = 0; i < 3 * 20; i++) {
             watchdog_arm();
             idle(0.05);
             watchdog_disarm();
         }
     },
     0, {}},
    {"idle_between_requests",
     [] {
         watchdog_arm();
         watchdog_disarm();
         idle(2);
         watchdog_arm();
         idle(3);
     },
     1, {fired}},
    // The v0 conversion inside a request: no bound while it runs.
    {"paused_for_a_long_step",
     [] {
         watchdog_arm();
         watchdog_pause();
         idle(3);
         watchdog_resume();
         watchdog_disarm();
         idle(2);
     },
     0, {}},
    {"stuck_after_the_long_step",
     [] {
         watchdog_arm();
         watchdog_pause();
         watchdog_resume();
         idle(3);
     },
     1, {fired}},
    // A long walk in the stop sequence (the expiry pass) that makes progress
    // more often than the bound lives past it; one whose progress stops ends.
    {"stop_making_progress",
     [] {
         watchdog_arm(bounded_step::stop);
         for (int i = 0; i < 3 * 4; i++) {
             idle(0.25);
             watchdog_progress();
         }
         watchdog_disarm();
     },
     0, {}},
    {"stop_whose_progress_stalls",
     [] {
         watchdog_arm(bounded_step::stop);
         watchdog_progress();
         idle(3);
     },
     1, {"err\tstop not finished after 1 seconds, exiting at once"}},
    {"progress_outside_a_step", [] { watchdog_progress(); idle(3); }, 0, {}},
    // Outside a request a pause and a resume arm nothing (the dump).
    {"pause_outside_a_request", [] { watchdog_pause(); watchdog_resume(); idle(3); }, 0, {}},
    // A stop signal handled while the request is stuck: its notice is still
    // written, before the watchdog's line.
    {"stop_signal_while_stuck",
     [] {
         struct sigaction action {};
         action.sa_handler = handle_stop_signal;
         sigemptyset(&action.sa_mask);
         action.sa_flags = SA_RESETHAND;
         sigaction(SIGTERM, &action, nullptr);
         watchdog_arm();
         raise(SIGTERM);
         idle(3);
     },
     1, {"notice\tReceived signal 15", fired}},
    // The resident server: a bound per thread. One connection stuck among
    // others that answer ends the process, naming its request.
    {"one_thread_stuck_among_answering_ones",
     [] {
         std::thread stuck([] {
             watchdog_label("client_address=192.0.2.1, sender=a@b.test, recipient=c@d.test");
             watchdog_arm();
             idle(3);
         });
         for (int i = 0; i < 3 * 20; i++) {
             watchdog_arm();
             idle(0.05);
             watchdog_disarm();
         }
         stuck.join();
     },
     1,
     {fired + ": client_address=192.0.2.1, sender=a@b.test, recipient=c@d.test"}},
    // Threads that answer in turn, each well within the bound, for three
    // bounds: none is ended, and a thread that leaves takes its bound along.
    {"threads_answering_in_turn",
     [] {
         std::vector<std::thread> threads;
         for (int t = 0; t < 4; t++)
             threads.emplace_back([] {
                 for (int i = 0; i < 3 * 20; i++) {
                     watchdog_arm();
                     idle(0.05);
                     watchdog_disarm();
                 }
                 watchdog_arm();
                 watchdog_leave();
             });
         for (std::thread &t : threads)
             t.join();
         idle(2);
     },
     0, {}},
    {"stuck_sweep",
     [] {
         std::thread sweep([] {
             watchdog_arm(bounded_step::sweep);
             idle(3);
         });
         sweep.join();
     },
     1, {"err\texpiry pass not finished after 1 seconds, exiting at once"}},
};

class Watchdog : public ::testing::TestWithParam<watchdog_case> {};

TEST_P(Watchdog, EndsOnlyARequestThatOutlivesItsBound)
{
    const watchdog_case &c = GetParam();
    temp_dir dir;
    std::string log_path = dir.file("syslog");
    setenv("MURVANE_SYSLOG_FILE", log_path.c_str(), 1);
    EXPECT_EXIT(
        {
            log_pending_hook = log_signal_notices;
            if (start_watchdog(bound) != 0)
                _exit(3);
            c.requests();
            _exit(0);
        },
        ::testing::ExitedWithCode(c.status), "");
    unsetenv("MURVANE_SYSLOG_FILE");
    EXPECT_EQ(c.log, read_log_file(log_path));
}

INSTANTIATE_TEST_SUITE_P(Runs, Watchdog, ::testing::ValuesIn(cases),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
