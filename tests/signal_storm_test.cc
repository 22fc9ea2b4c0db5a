// SPDX-License-Identifier: BSD-2-Clause
// signal_storm_test.cc - a stop signal at a random moment, a few hundred times.
//
// Short-lived daemons with debug logging on (so that a good share of their
// time is spent inside syslog) get a few RCPT requests and then one of the
// eight stop signals at a random moment: while they open or create the
// environment, read, decide, commit, log, write the answer or wait for more.
// They run in a handful of lanes at once; each lane has an environment of its
// own, which its daemons use one after the other. Every daemon must
//   - stop within a bounded time, with status 1 and not by the signal;
//   - log "Received signal N" for the signal it was sent, exactly once;
//   - have written whole responses only (a response is written in full or
//     not started), each a legal answer;
//   - log no error but the interrupted read of a daemon stopped while waiting.
// Afterwards each lane's environment opens cleanly, the verifier finds its
// database sound, and every triplet's count lies between the answers that
// were written and the requests that were sent for it.
//
// A second test raises the signal inside the daemon's very last call, after
// its last notices were written: there the signal must either be handled and
// logged, or not be handled at all (the exit status tells which).
//
// The handler is installed before the daemon logs the library version (with
// debug logging on); the signal is sent only once that line is in the log, so
// every signal meets the handler. MURVANE_SIGNAL_STORM_DAEMONS (240) and
// MURVANE_SIGNAL_STORM_LANES (4) set the sizes; MURVANE_SIGNAL_STORM_SEED
// repeats a run.
#include <db.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "fixture_db.h"
#include "run_daemon.h"

namespace {

long env_number(const char *name, long fallback, long low, long high)
{
    const char *text = getenv(name);
    if (text == nullptr || *text == '\0')
        return fallback;
    return std::clamp(strtol(text, nullptr, 10), low, high);
}

long long now_us()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000LL + ts.tv_nsec / 1000;
}

void pause_us(long long us)
{
    struct timespec pause = {static_cast<time_t>(us / 1000000),
                             static_cast<long>(us % 1000000) * 1000};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
}

const int stop_signals[] = {SIGHUP, SIGINT, SIGQUIT, SIGILL, SIGABRT, SIGSEGV, SIGALRM, SIGTERM};
constexpr int pool = 6;  // triplets per lane
std::string client_of(int t) { return "198.51.100." + std::to_string(1 + t); }
const std::string sender = "storm@example.org";
const std::string recipient = "postmaster@example.net";
// Both forms of the library version line: same patch level or another.
const std::string version_message = "ompiled with ";
const std::string interrupted_read =
    "read_policy_request failed (-1): " + std::string(strerror(EINTR));

// wait_for_end - wait until the daemon closes its standard output (it has
// exited), reading what it writes; false when the time runs out first.
bool wait_for_end(daemon_process &d, long long timeout_us)
{
    long long deadline = now_us() + timeout_us;
    for (;;) {
        long long left = deadline - now_us();
        if (left <= 0)
            return false;
        struct pollfd fd = {d.out_fd, POLLIN, 0};
        if (poll(&fd, 1, static_cast<int>(std::min(left / 1000 + 1, 1000LL))) <= 0)
            continue;
        char buffer[4096];
        ssize_t n = read(d.out_fd, buffer, sizeof buffer);
        if (n > 0)
            d.out.append(buffer, n);
        else if (n == 0)
            return true;
    }
}

// What one daemon of a lane was sent and did.
struct storm_run {
    int signal_number;
    long long delay_us;
    std::vector<int> triplets;  // the requests sent, in order
    daemon_result result;
    std::string hang;           // where it was stuck, if it did not stop
};

struct lane_result {
    std::vector<storm_run> runs;
    std::string home;
};

void run_lane(const std::string &home, int daemons, unsigned seed, lane_result *out)
{
    std::mt19937 random(seed);
    for (int i = 0; i < daemons; i++) {
        storm_run run;
        run.signal_number = stop_signals[random() % 8];
        int count = 1 + static_cast<int>(random() % 4);
        for (int r = 0; r < count; r++)
            run.triplets.push_back(static_cast<int>(random() % pool));
        // Mostly within the first few milliseconds (opening the environment,
        // the first decision), sometimes later (more requests, the wait).
        run.delay_us = static_cast<long long>(random() % (random() % 3 ? 4000 : 40000));

        daemon_run launch;
        launch.args = {"-d", "-h", home, "-r", "defer %d", "-G", "pass %d"};
        daemon_process d = start_daemon(launch);
        bool ready = wait_for_log(d, version_message, 30000);
        std::string input;
        for (int t : run.triplets)
            input += rcpt_request(client_of(t), sender, recipient);
        if (ready) {
            write_input(d, input);
            pause_us(run.delay_us);
            kill(d.pid, run.signal_number);
            if (!wait_for_end(d, 30000000LL)) {
                std::ifstream syscall("/proc/" + std::to_string(d.pid) + "/syscall");
                std::ifstream wchan("/proc/" + std::to_string(d.pid) + "/wchan");
                std::string number, channel;
                syscall >> number;
                wchan >> channel;
                run.hang = "system call " + number + ", " + channel;
            }
        } else {
            run.hang = "never logged the library version";
        }
        run.result = finish_daemon(d, 1000);
        out->runs.push_back(std::move(run));
    }
}

TEST(SignalStorm, EveryDaemonStopsOnceLoggedWithWholeAnswers)
{
    int daemons = static_cast<int>(env_number("MURVANE_SIGNAL_STORM_DAEMONS", 240, 1, 100000));
    int lanes = static_cast<int>(env_number("MURVANE_SIGNAL_STORM_LANES", 4, 1, 64));
    unsigned seed = static_cast<unsigned>(env_number(
        "MURVANE_SIGNAL_STORM_SEED", static_cast<long>(time(nullptr) % 1000000), 0, 1L << 30));
    SCOPED_TRACE("seed " + std::to_string(seed) + " (MURVANE_SIGNAL_STORM_SEED to repeat)");

    std::vector<std::unique_ptr<temp_dir>> homes;
    std::vector<lane_result> results(lanes);
    std::vector<std::thread> threads;
    for (int l = 0; l < lanes; l++) {
        homes.push_back(std::make_unique<temp_dir>());
        int share = daemons / lanes + (l < daemons % lanes ? 1 : 0);
        threads.emplace_back(run_lane, homes[l]->path, share, seed + l, &results[l]);
    }
    for (auto &t : threads)
        t.join();

    std::map<int, int> by_signal;
    int answered_in_full = 0, stopped_waiting = 0;
    for (int l = 0; l < lanes; l++) {
        std::vector<long> written(pool, 0), sent(pool, 0);
        for (const auto &run : results[l].runs) {
            const daemon_result &r = run.result;
            std::string which = "lane " + std::to_string(l) + ", signal " +
                                std::to_string(run.signal_number) + " after " +
                                std::to_string(run.delay_us) + " us, " +
                                std::to_string(run.triplets.size()) + " requests";
            by_signal[run.signal_number]++;
            EXPECT_EQ("", run.hang) << which;
            EXPECT_FALSE(r.timed_out) << which;
            EXPECT_EQ(0, r.signal) << which;
            EXPECT_EQ(1, r.status) << which;
            EXPECT_EQ("", r.err) << which;

            std::string notice = "Received signal " + std::to_string(run.signal_number);
            auto notices = r.messages("notice");
            EXPECT_EQ(1, std::count(notices.begin(), notices.end(), notice))
                << which << ": notices logged\n" << testing::PrintToString(notices);
            for (const auto &line : r.log_messages()) {
                if (line.find("Received signal") != std::string::npos) {
                    EXPECT_EQ("notice\t" + notice, line) << which;
                }
            }
            auto errors = r.messages("err");
            for (const auto &e : errors)
                EXPECT_EQ(interrupted_read, e) << which;
            stopped_waiting += !errors.empty();

            // Whole responses only, each a legal answer, at most one per request.
            size_t at = 0, answers = 0;
            for (size_t end; (end = r.out.find("\n\n", at)) != std::string::npos; at = end + 2) {
                std::string line = r.out.substr(at, end - at);
                EXPECT_TRUE(line.rfind("action=defer ", 0) == 0 || line == "action=DUNNO" ||
                            line.rfind("action=pass ", 0) == 0)
                    << which << ": answer '" << line << "'";
                if (answers < run.triplets.size())
                    written[run.triplets[answers]]++;
                answers++;
            }
            EXPECT_EQ(r.out.size(), at) << which << ": a response cut short: '"
                                        << r.out.substr(at) << "'";
            EXPECT_LE(answers, run.triplets.size()) << which;
            answered_in_full += answers == run.triplets.size();
            for (int t : run.triplets)
                sent[t]++;
        }

        // The lane's environment after a few dozen stops at random moments.
        const std::string &home = homes[l]->path;
        daemon_result dump = run_daemon({"-h", home, "--dump-triplets"});
        EXPECT_EQ(0, dump.status) << "lane " << l;
        EXPECT_EQ("", dump.err) << "lane " << l;
        DB *verifier;
        ASSERT_EQ(0, db_create(&verifier, nullptr, 0));
        EXPECT_EQ(0, verifier->verify(verifier, (home + "/triplets-1.db").c_str(), nullptr,
                                      nullptr, 0))
            << "lane " << l;
        std::map<std::string, int> keys;
        for (int t = 0; t < pool; t++)
            keys[ipv4_key(client_of(t), sender, recipient)] = t;
        std::vector<long> stored(pool, 0);
        for (const auto &[key, value] : read_records(home)) {
            ASSERT_TRUE(keys.count(key)) << "lane " << l << ": stranger key " << hex(key);
            record_fields v = decode_record(value);
            EXPECT_LE(v.create_time, v.access_time);
            stored[keys[key]] = static_cast<long>(v.block_count + v.pass_count);
        }
        for (int t = 0; t < pool; t++) {
            EXPECT_GE(stored[t], written[t]) << "lane " << l << ", triplet " << t;
            EXPECT_LE(stored[t], sent[t]) << "lane " << l << ", triplet " << t;
        }
    }
    printf("signal storm (seed %u): %d daemons in %d lanes; %d answered every request, "
           "%d were stopped while waiting for input\n",
           seed, daemons, lanes, answered_in_full, stopped_waiting);
    for (const auto &[signal_number, n] : by_signal)
        printf("  signal %d: %d daemons\n", signal_number, n);
}

// run_with_late_signal - run the daemon on `input` with late_signal.c
// preloaded ahead of the syslog capture, so that its closelog() raises
// `signal_number` first (behind the capture, the capture's closelog would be
// the one called).
daemon_result run_with_late_signal(const std::vector<std::string> &args,
                                   const std::string &input, int signal_number)
{
    daemon_run run;
    run.args = args;
    run.input = input;
    run.preload_first = LATE_SIGNAL_LIBRARY;
    run.env = {"MURVANE_LATE_SIGNAL=" + std::to_string(signal_number)};
    return run_daemon(run);
}

// A signal the handler took after the last notices were written changed the
// exit status to 1 and was never logged. Handled and logged, or not handled
// at all: whichever, the status and the log must agree.
TEST(LateStopSignal, SignalInTheLastCallIsLoggedOrNotHandled)
{
    struct late_case {
        const char *name;
        std::vector<std::string> args;  // after -h <home>
        std::string input;
    };
    const late_case cases[] = {
        {"end of input", {}, ""},
        {"after an answer", {}, "protocol_name=SMTP\n\n"},
        {"after a decision", {}, rcpt_request("192.0.2.1", "a@example.org", "b@example.net")},
        {"after a dump", {"--dump-triplets"}, ""},
    };
    for (const auto &c : cases) {
        for (int signal_number : {SIGTERM, SIGHUP}) {
            temp_dir home;
            std::vector<std::string> args = {"-h", home.path};
            args.insert(args.end(), c.args.begin(), c.args.end());
            daemon_result r = run_with_late_signal(args, c.input, signal_number);
            std::string notice = "notice\tReceived signal " + std::to_string(signal_number);
            long notices = std::count(r.log.begin(), r.log.end(), notice);
            SCOPED_TRACE(std::string(c.name) + ", signal " + std::to_string(signal_number));
            EXPECT_FALSE(r.timed_out);
            EXPECT_EQ(0, r.signal);
            EXPECT_TRUE((r.status == 1 && notices == 1) || (r.status == 0 && notices == 0))
                << "status " << r.status << " with " << notices << " notices";
            EXPECT_EQ(r.log.empty() ? "" : r.log.back(), "closelog");
        }
    }
}

}  // namespace
