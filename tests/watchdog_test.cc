// SPDX-License-Identifier: BSD-2-Clause
// watchdog_test.cc - a daemon stuck behind a killed daemon's lock ends after
// its request bound, and the next daemon serves on the recovered environment.
//
// A child process plays the killed daemon: it joins the environment, takes the
// write lock of the page that holds a triplet, waits until two daemons queue
// for that lock, and is then killed with SIGKILL. The library never releases
// a dead holder's lock, so the two daemons would wait in a futex forever; the
// watchdog must end each of them once request_time_limit seconds have passed,
// with its one LOG_ERR line, status 1 and no answer. One of them gets a stop
// signal while it is stuck: its notice is still logged, before the
// watchdog's line. This test waits out the daemon's real bound (30 s): it is
// the binary's own constant, which no input and no environment can change.
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "common/watchdog.h"
#include "fixture_db.h"
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

// hold_lock_until_waited_for - the child: lock the triplet's page, report
// 'l' (or 'e' when the lock failed), report 'w' once `waiters` more lock
// requests have had to wait, then sleep until it is killed. Bounded: it
// gives up after a minute.
[[noreturn]] void hold_lock_until_waited_for(const std::string &home, int out, int waiters)
{
    record_lock lock(home, "triplets-1.db", ipv4_key(client, sender, recipient));
    char c = lock.error() == 0 ? 'l' : 'e';
    if (write(out, &c, 1) != 1 || c == 'e')
        _exit(1);
    unsigned long long before = lock.waiting_lockers();
    for (int i = 0; i < 60 * 100; i++) {
        if (lock.waiting_lockers() >= before + waiters) {
            c = 'w';
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

TEST(Watchdog, EndsDaemonsStuckBehindAKilledHolder)
{
    temp_dir home;
    std::string request = rcpt_request(client, sender, recipient);
    daemon_result first = run_daemon({"-h", home.path}, request);
    ASSERT_EQ(0, first.status) << first.out;

    int report[2];
    ASSERT_EQ(0, pipe(report));
    pid_t holder = fork();
    ASSERT_LE(0, holder);
    if (holder == 0) {
        close(report[0]);
        hold_lock_until_waited_for(home.path, report[1], 2);
    }
    close(report[1]);
    ASSERT_EQ('l', read_byte(report[0], 30000)) << "the page could not be locked";

    struct timespec started;
    clock_gettime(CLOCK_MONOTONIC, &started);
    daemon_run run;
    run.args = {"-h", home.path};
    std::vector<daemon_process> stuck;
    for (int d = 0; d < 2; d++) {
        stuck.push_back(start_daemon(run));
        write_input(stuck.back(), request);
    }
    char waited = read_byte(report[0], 30000);
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    close(report[0]);
    ASSERT_EQ('w', waited) << "the daemons never queued for the locked page";

    ASSERT_TRUE(signal_caught(stuck[1].pid, SIGTERM));
    ASSERT_EQ(0, kill(stuck[1].pid, SIGTERM));
    std::vector<daemon_result> ended;
    for (auto &d : stuck)
        ended.push_back(finish_daemon(d, (request_time_limit + 90) * 1000));
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);

    const std::vector<std::vector<std::string>> expected_logs = {
        {"err\t" + fired},
        {"notice\tReceived signal 15", "err\t" + fired},
    };
    for (int d = 0; d < 2; d++) {
        SCOPED_TRACE("daemon " + std::to_string(d));
        const daemon_result &r = ended[d];
        ASSERT_FALSE(r.timed_out) << "still stuck; its log: " << r.log.size() << " lines";
        EXPECT_EQ(0, r.signal);
        EXPECT_EQ(1, r.status);
        EXPECT_EQ("", r.out) << "no answer, not even a part of one";
        EXPECT_EQ("", r.err);
        EXPECT_EQ(expected_logs[d], r.log_messages());
    }
    // Not before the bound: the wait was an honest one until then.
    EXPECT_GE(now.tv_sec - started.tv_sec, request_time_limit);

    // The next daemon runs recovery and decides the triplet; the two stuck
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
