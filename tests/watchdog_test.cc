// SPDX-License-Identifier: BSD-2-Clause
// watchdog_test.cc - a daemon stuck behind a killed daemon's lock ends after
// its request bound, and the next daemon serves on the recovered environment.
//
// A child process plays the killed daemon: it joins the environment, takes the
// write lock of the page that holds a triplet, waits until the daemons queue
// for that lock, and is then killed with SIGKILL. The library never releases
// a dead holder's lock, so the daemons would wait in a futex forever; the
// watchdog must end each of them once request_time_limit seconds have passed,
// with its one LOG_ERR line, status 1 and no answer. One of them gets a stop
// signal while it is stuck: its notice is still logged, before the
// watchdog's line. A third runs under the frozen clock of the tests that
// preload libfaketime: its bound must fire neither early nor never, and its
// watchdog must sleep through the wait, not spin (each daemon's processor
// time is checked). This test waits out the daemon's real bound (30 s): it
// is the binary's own constant, which no input and no environment can change.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <string>
#include <vector>

#include "common/watchdog.h"
#include "fixture_db.h"
#include "frozen_clock.h"
#include "record_lock.h"
#include "run_daemon.h"

namespace {

const std::string client = "192.0.2.77";
const std::string sender = "alice@example.org";
const std::string recipient = "bob@example.net";

const std::string fired = "request not finished after " +
                          std::to_string(request_time_limit) +
                          " seconds, exiting without an answer";

// read_byte - one byte from the pipe, or 0 when none came in time.
char read_byte(int fd, int timeout_ms)
{
    struct pollfd p = {fd, POLLIN, 0};
    char c = 0;
    if (poll(&p, 1, timeout_ms) == 1 && read(fd, &c, 1) == 1)
        return c;
    return 0;
}

long long now_ms()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

// hold_lock_until_waited_for - the child: lock the triplet's page, report
// 'l' (or 'e' when the lock failed), report 'w' once `waiters` more lock
// requests have had to wait, then sleep until it is killed. It reports 'd'
// when the lock statistics fail: its environment was declared dead, so some
// opener ran recovery and the daemons may no longer queue behind it.
// Bounded: it gives up after a minute and a half.
[[noreturn]] void hold_lock_until_waited_for(const std::string &home, int out, int waiters)
{
    record_lock lock(home, "triplets-1.db", ipv4_key(client, sender, recipient));
    char c = lock.error() == 0 ? 'l' : 'e';
    if (write(out, &c, 1) != 1 || c == 'e')
        _exit(1);
    unsigned long long before = lock.waiting_lockers();
    for (long long end = now_ms() + 90000; now_ms() < end;) {
        bool dead = lock.stat_error() != 0;
        if (dead || lock.waiting_lockers() >= before + waiters) {
            c = dead ? 'd' : 'w';
            if (write(out, &c, 1) != 1)
                _exit(1);
            for (;;)
                pause();
        }
        struct timespec step = {0, 10 * 1000 * 1000};
        nanosleep(&step, nullptr);
    }
    _exit(1);
}

// where - what a daemon is doing, for a failure message: its current system
// call as /proc shows it (gone once it has ended), and what it has written.
std::string where(const daemon_process &d)
{
    std::ifstream syscall("/proc/" + std::to_string(d.pid) + "/syscall");
    std::string call;
    std::getline(syscall, call);
    std::string log;
    for (const auto &line : read_log_file(d.log_path))
        log += " | " + line;
    return "\n  pid " + std::to_string(d.pid) + ": " +
           (call.empty() ? "gone" : call.substr(0, 20)) + ", output '" + d.out + "', log" + log;
}

// The stuck daemons: how each is run, and what it logs.
struct stuck_daemon {
    const char *name;
    bool frozen_clock;   // under libfaketime, the wall clock stopped
    bool stop_signal;    // sent SIGTERM while it is stuck
    std::vector<std::string> log;
};

const stuck_daemon stuck_daemons[] = {
    {"plain", false, false, {"err\t" + fired}},
    {"stop signal while stuck", false, true, {"notice\tReceived signal 15", "err\t" + fired}},
    {"frozen clock", true, false, {"err\t" + fired}},
};
constexpr int stuck_count = sizeof stuck_daemons / sizeof stuck_daemons[0];

// A daemon waiting out its bound sleeps: its whole life's processor time is
// far below the bound (a start, an open, a request). A watchdog that spins
// in its wait would spend most of the bound on the processor.
constexpr long long sleeping_cpu_ms = request_time_limit * 1000 / 10;

// wait_for_ends - wait, on their output pipes, until every daemon has closed
// its standard output (it ends), keeping what they write. Returns for each
// the milliseconds from `since` to its end as the test saw it, or -1 when it
// was still there after timeout_ms.
std::vector<long long> wait_for_ends(std::vector<daemon_process> &daemons, long long since,
                                     int timeout_ms)
{
    std::vector<long long> ends(daemons.size(), -1);
    long long deadline = now_ms() + timeout_ms;
    for (;;) {
        std::vector<struct pollfd> fds;
        for (size_t d = 0; d < daemons.size(); d++)
            fds.push_back({ends[d] < 0 ? daemons[d].out_fd : -1, POLLIN, 0});
        long long wait = deadline - now_ms();
        if (std::count(ends.begin(), ends.end(), -1) == 0 || wait <= 0)
            return ends;
        poll(fds.data(), fds.size(), static_cast<int>(wait));
        for (size_t d = 0; d < daemons.size(); d++) {
            if (fds[d].revents == 0)
                continue;
            char buffer[512];
            ssize_t n = read(daemons[d].out_fd, buffer, sizeof buffer);  // non-blocking
            if (n > 0)
                daemons[d].out.append(buffer, n);
            else if (n == 0 || (errno != EAGAIN && errno != EINTR))
                ends[d] = now_ms() - since;
        }
    }
}

TEST(Watchdog, EndsDaemonsStuckBehindAKilledHolder)
{
    ASSERT_FALSE(faketime_library().empty())
        << "libfaketime is missing: scripts/test.sh installs it";
    temp_dir home;
    std::string request = rcpt_request(client, sender, recipient);
    daemon_result first = run_daemon({"-h", home.path}, request);
    ASSERT_EQ(0, first.status) << first.out;

    int report[2];
    ASSERT_EQ(0, pipe2(report, O_CLOEXEC));  // the daemons get none of it
    pid_t holder = fork();
    ASSERT_LE(0, holder);
    if (holder == 0) {
        close(report[0]);
        hold_lock_until_waited_for(home.path, report[1], stuck_count);
    }
    close(report[1]);
    ASSERT_EQ('l', read_byte(report[0], 30000)) << "the page could not be locked";

    long long started = now_ms();
    std::vector<daemon_process> stuck;
    for (const auto &d : stuck_daemons) {
        daemon_run run;
        run.args = {"-h", home.path};
        if (d.frozen_clock)
            run.env = frozen_clock(time(nullptr));
        stuck.push_back(start_daemon(run));
        write_input(stuck.back(), request);
    }
    char waited = read_byte(report[0], 30000);
    std::string states;
    for (const auto &d : stuck)
        states += where(d);
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    close(report[0]);
    ASSERT_EQ('w', waited) << "the daemons never all queued for the locked page ("
                           << (waited == 'd' ? "its environment was declared dead"
                                             : "no report in 30 s")
                           << "):" << states;

    // The stop signal's notice must come before the watchdog's line: the
    // test waits until the handler has run (SA_RESETHAND took it away), not
    // on the hope that a loaded machine delivers it within the bound.
    for (int d = 0; d < stuck_count; d++) {
        if (stuck_daemons[d].stop_signal) {
            ASSERT_TRUE(signal_caught(stuck[d].pid, SIGTERM));
            ASSERT_EQ(0, kill(stuck[d].pid, SIGTERM));
            ASSERT_TRUE(wait_until([&] { return !signal_caught(stuck[d].pid, SIGTERM); },
                                   request_time_limit * 1000))
                << "the stop signal was not handled" << where(stuck[d]);
        }
    }
    std::vector<long long> lived = wait_for_ends(stuck, started,
                                                 (request_time_limit + 90) * 1000);
    std::vector<daemon_result> ended;
    for (auto &d : stuck)
        ended.push_back(finish_daemon(d, 10000));

    for (int d = 0; d < stuck_count; d++) {
        SCOPED_TRACE(stuck_daemons[d].name);
        const daemon_result &r = ended[d];
        ASSERT_FALSE(r.timed_out) << "still stuck; its log: " << r.log.size() << " lines";
        EXPECT_EQ(0, r.signal);
        EXPECT_EQ(1, r.status);
        EXPECT_EQ("", r.out) << "no answer, not even a part of one";
        EXPECT_EQ("", r.err);
        EXPECT_EQ(stuck_daemons[d].log, r.log_messages());
        EXPECT_LT(r.cpu_ms, sleeping_cpu_ms) << "its watchdog spun in its wait";
        // Not before the bound: the wait was an honest one until then.
        EXPECT_GE(lived[d], request_time_limit * 1000LL);
    }

    // The next daemon runs recovery and decides the triplet; the stuck
    // requests left nothing behind.
    daemon_result next = run_daemon({"-h", home.path}, request);
    EXPECT_EQ(0, next.status);
    EXPECT_EQ(0u, next.out.rfind("action=DEFER_IF_PERMIT ", 0)) << next.out;
    EXPECT_EQ(std::vector<std::string>{}, next.messages("err"));
    record_list records = read_records(home.path);
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ(2u, decode_record(records[0].second).block_count);
}

}  // namespace
