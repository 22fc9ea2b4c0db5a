// SPDX-License-Identifier: BSD-2-Clause
// signals_test.cc - the stop signals, the signals the daemon leaves alone,
// and the fatal stops after the handlers are installed (the library version
// check among them), through the built daemon.
//
// A daemon is signalled only once /proc shows it waiting for input, and is
// held still with SIGSTOP where several signals must meet it at once.
#include <db.h>
#include <signal.h>
#include <sys/types.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "fixture_db.h"
#include "run_daemon.h"

namespace {

const std::string interrupted_read =
    "read_policy_request failed (-1): " + std::string(strerror(EINTR));

long count_of(const std::vector<std::string> &lines, const std::string &line)
{
    return std::count(lines.begin(), lines.end(), line);
}

long position_of(const std::vector<std::string> &lines, const std::string &line)
{
    auto it = std::find(lines.begin(), lines.end(), line);
    return it == lines.end() ? -1 : it - lines.begin();
}

std::string received(int signal_number)
{
    return "notice\tReceived signal " + std::to_string(signal_number);
}

// A daemon on its own home, started with stdin kept open.
daemon_process start_waiting(const temp_dir &home, std::vector<std::string> extra = {})
{
    daemon_run run;
    run.args = {"-h", home.path};
    run.args.insert(run.args.end(), extra.begin(), extra.end());
    run.keep_stdin_open = true;
    return start_daemon(run);
}

// SIGTERM while the daemon waits for its next request: the wait ends, the
// interrupted read is logged after the signal's notice, no answer is written
// and the orderly stop runs without an expiry pass, so a triplet idle far
// beyond its lifetime survives.
TEST(StopSignal, SigtermWhileWaitingForInput)
{
    temp_dir home;
    time_t long_ago = time(nullptr) - 10 * 18000;
    const std::string stale = ipv4_key("203.0.113.5", "old@example.org", "rcpt@example.net");
    put_records(home.path, "triplets-1.db", {{stale, record_value(long_ago, long_ago, 1, 0)}});

    daemon_process daemon = start_waiting(home, {"-v", "-r", "greylisted %d"});
    ASSERT_TRUE(write_input(daemon, rcpt_request("192.0.2.1", "a@example.org", "b@example.net")));
    ASSERT_TRUE(read_output_until(daemon, "action=greylisted 3480\n\n"));
    ASSERT_TRUE(wait_until_reading(daemon));
    ASSERT_EQ(0, kill(daemon.pid, SIGTERM));
    daemon_result r = finish_daemon(daemon);

    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(0, r.signal);
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("action=greylisted 3480\n\n", r.out);
    auto messages = r.log_messages();
    EXPECT_EQ(1, count_of(messages, received(SIGTERM)));
    EXPECT_EQ(1, count_of(messages, "err\t" + interrupted_read));
    EXPECT_LT(position_of(messages, received(SIGTERM)),
              position_of(messages, "err\t" + interrupted_read));
    EXPECT_EQ("notice\tdaemon stopped", messages.back());
    EXPECT_EQ("closelog", r.log.back());

    EXPECT_FALSE(r.logged("notice", "Expired 1 triplets"));
    bool stale_left = false;
    for (const auto &[key, value] : read_records(home.path))
        stale_left = stale_left || key == stale;
    EXPECT_TRUE(stale_left) << "an expiry pass ran after the stop signal";
}

// Each of the eight stop signals ends a wait for input the same way.
class EachStopSignal : public testing::TestWithParam<int> {};

TEST_P(EachStopSignal, EndsWaitWithOrderlyStop)
{
    const int s = GetParam();
    temp_dir home;
    daemon_process daemon = start_waiting(home);
    ASSERT_TRUE(wait_until_reading(daemon));
    ASSERT_EQ(0, kill(daemon.pid, s));
    daemon_result r = finish_daemon(daemon);

    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(0, r.signal) << strsignal(r.signal);
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("", r.out);
    EXPECT_EQ((std::vector<std::string>{received(s), "err\t" + interrupted_read}),
              r.log_messages());
    EXPECT_EQ("closelog", r.log.back());
    EXPECT_TRUE(std::filesystem::is_empty(home.path));
}

INSTANTIATE_TEST_SUITE_P(Table, EachStopSignal,
                         testing::Values(SIGHUP, SIGINT, SIGQUIT, SIGILL, SIGABRT, SIGSEGV,
                                         SIGALRM, SIGTERM),
                         [](const auto &info) { return std::string(sigabbrev_np(info.param)); });

// Two different stop signals that meet the daemon at once are both handled,
// and each leaves its notice once.
TEST(StopSignal, TwoSignalsAtOnceEachLoggedOnce)
{
    temp_dir home;
    daemon_process daemon = start_waiting(home);
    ASSERT_TRUE(wait_until_reading(daemon));
    ASSERT_EQ(0, kill(daemon.pid, SIGSTOP));
    ASSERT_EQ(0, kill(daemon.pid, SIGTERM));
    ASSERT_EQ(0, kill(daemon.pid, SIGHUP));
    ASSERT_EQ(0, kill(daemon.pid, SIGCONT));
    daemon_result r = finish_daemon(daemon);

    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(0, r.signal) << strsignal(r.signal);
    EXPECT_EQ(1, r.status);
    auto messages = r.log_messages();
    EXPECT_EQ(1, count_of(messages, received(SIGHUP)));
    EXPECT_EQ(1, count_of(messages, received(SIGTERM)));
    EXPECT_EQ(1, count_of(messages, "err\t" + interrupted_read));
    EXPECT_EQ(3u, messages.size());
}

// A stop signal that comes together with more input: at most the first of
// the waiting requests is answered, in full, and nothing after it is read.
TEST(StopSignal, StopWithRequestsPendingAnswersAtMostOne)
{
    temp_dir home;
    daemon_process daemon = start_waiting(home);
    ASSERT_TRUE(wait_until_reading(daemon));
    ASSERT_EQ(0, kill(daemon.pid, SIGSTOP));
    const std::string request = "protocol_name=ESMTP\nprotocol_state=DATA\n\n";
    ASSERT_TRUE(write_input(daemon, request + request + request));
    ASSERT_EQ(0, kill(daemon.pid, SIGTERM));
    ASSERT_EQ(0, kill(daemon.pid, SIGCONT));
    daemon_result r = finish_daemon(daemon);

    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(1, r.status);
    auto messages = r.log_messages();
    EXPECT_EQ(1, count_of(messages, received(SIGTERM)));
    if (r.out.empty()) {
        // The signal ended the wait before the input was read.
        EXPECT_EQ(1, count_of(messages, "err\t" + interrupted_read));
    } else {
        EXPECT_EQ("action=DUNNO\n\n", r.out);
        EXPECT_EQ(0, count_of(messages, "err\t" + interrupted_read));
    }
}

// Signals outside the eight keep their default action: the process ends by
// the signal itself, without the stop sequence or a notice.
class OtherSignal : public testing::TestWithParam<int> {};

TEST_P(OtherSignal, KeepsDefaultAction)
{
    const int s = GetParam();
    temp_dir home;
    daemon_process daemon = start_waiting(home, {"-v"});
    ASSERT_TRUE(wait_until_reading(daemon));
    ASSERT_EQ(0, kill(daemon.pid, s));
    daemon_result r = finish_daemon(daemon);

    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(s, r.signal) << "status " << r.status;
    EXPECT_EQ((std::vector<std::string>{"notice\tPolicy daemon"}), r.log_messages());
}

INSTANTIATE_TEST_SUITE_P(Table, OtherSignal, testing::Values(SIGUSR1, SIGUSR2, SIGPIPE),
                         [](const auto &info) { return std::string(sigabbrev_np(info.param)); });

// The library version check, against a stand-in for db_version() that
// reports the release that MURVANE_FAKE_DB_VERSION names.

std::string built()
{
    return std::to_string(DB_VERSION_MAJOR) + "." + std::to_string(DB_VERSION_MINOR) + "." +
           std::to_string(DB_VERSION_PATCH);
}

std::string running_text(const std::string &release)
{
    return "Berkeley DB " + release + ": (fake release) (" + release + ")";
}

std::string mismatch(const std::string &release)
{
    return "err\tThis daemon was compiled with " DB_VERSION_STRING " (" + built() +
           ") definitions but it is using " + running_text(release) +
           ".  This will not work!  Check that the version of the developpement files "
           "for Berkeley DB match the version that used.";
}

std::string same_version()
{
    return "debug\tThis daemon was compiled with " DB_VERSION_STRING " (" + built() +
           ") definitions.";
}

std::string other_patch(const std::string &release,
                        const std::string &text = "")
{
    return "info\tCompiled with " DB_VERSION_STRING " (" + built() +
           ") definitions.  Running with " +
           (text.empty() ? running_text(release) : text + " (" + release + ")") + ".";
}

std::string release(int major, int minor, int patch)
{
    return std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(patch);
}

struct version_case {
    std::string name;
    std::string release;               // what the stand-in reports
    std::vector<std::string> args;
    bool aborts;
    std::vector<std::string> log;      // debug lines other than the check's left out
};

std::ostream &operator<<(std::ostream &os, const version_case &c) { return os << c.name; }

std::vector<version_case> version_cases()
{
    const int M = DB_VERSION_MAJOR, m = DB_VERSION_MINOR, p = DB_VERSION_PATCH;
    const std::string major = release(M + 1, m, p), minor = release(M, m + 1, p),
                      older_minor = release(M, m > 0 ? m - 1 : m + 2, p),
                      same = release(M, m, p), patch = release(M, m, p + 1),
                      older_patch = release(M, m, p > 0 ? p - 1 : p + 2);
    const std::string notice6 = received(SIGABRT);
    return {
        {"MajorDiffers", major, {}, true, {mismatch(major), notice6}},
        {"MinorDiffers", minor, {}, true, {mismatch(minor), notice6}},
        {"OlderMinorWithDebug", older_minor, {"-d"}, true, {mismatch(older_minor), notice6}},
        {"MinorDiffersVerbose", minor, {"-v"}, true,
         {"notice\tPolicy daemon", mismatch(minor), notice6}},
        {"SameQuiet", same, {}, false, {}},
        {"SameWithDebug", same, {"-d"}, false, {same_version()}},
        {"SameVerboseOnly", same, {"-v"}, false,
         {"notice\tPolicy daemon", "notice\tdaemon stopped"}},
        {"OtherPatchQuiet", patch, {}, false, {}},
        {"OtherPatchVerbose", patch, {"-v"}, false,
         {"notice\tPolicy daemon", other_patch(patch), "notice\tdaemon stopped"}},
        {"OtherPatchDebug", patch, {"-d"}, false, {other_patch(patch)}},
        {"OlderPatchVerbose", older_patch, {"--verbose"}, false,
         {"notice\tPolicy daemon", other_patch(older_patch), "notice\tdaemon stopped"}},
    };
}

class VersionCheck : public testing::TestWithParam<version_case> {};

TEST_P(VersionCheck, ComparesRunningLibraryWithHeaders)
{
    const version_case &c = GetParam();
    temp_dir home;
    daemon_run run;
    run.args = {"-h", home.path};
    run.args.insert(run.args.end(), c.args.begin(), c.args.end());
    run.env = {std::string("LD_PRELOAD=") + FAKE_DB_VERSION_LIBRARY,
               "MURVANE_FAKE_DB_VERSION=" + c.release};
    // A request that would open storage, had the daemon got as far.
    run.input = rcpt_request("192.0.2.1", "a@example.org", "b@example.net");
    daemon_result r = run_daemon(run);
    ASSERT_FALSE(r.timed_out);

    std::vector<std::string> log;
    for (const auto &line : r.log_messages())
        if (line.rfind("debug\t", 0) != 0 || line.find("Berkeley DB") != std::string::npos)
            log.push_back(line);
    if (c.aborts) {
        EXPECT_EQ(SIGABRT, r.signal);
        EXPECT_EQ("", r.out);
        EXPECT_TRUE(std::filesystem::is_empty(home.path)) << "storage was touched";
        EXPECT_NE("closelog", r.log.back());
    } else {
        EXPECT_EQ(0, r.signal);
        EXPECT_EQ(0, r.status);
        EXPECT_EQ(0u, r.out.rfind("action=DEFER_IF_PERMIT ", 0)) << r.out;
    }
    EXPECT_EQ(c.log, log);
}

INSTANTIATE_TEST_SUITE_P(Table, VersionCheck, testing::ValuesIn(version_cases()),
                         [](const auto &info) { return info.param.name; });

// The library the daemon really runs with passes the check.
TEST(VersionCheck, RealLibraryPasses)
{
    int major, minor, patch;
    const char *text = db_version(&major, &minor, &patch);
    ASSERT_EQ(DB_VERSION_MAJOR, major);
    ASSERT_EQ(DB_VERSION_MINOR, minor);
    daemon_result r = run_daemon({"-d"});
    EXPECT_EQ(0, r.status);
    const std::string expected =
        patch == DB_VERSION_PATCH ? same_version() : other_patch(release(major, minor, patch), text);
    EXPECT_EQ(1, count_of(r.log_messages(), expected));
}

}  // namespace
