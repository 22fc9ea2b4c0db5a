// SPDX-License-Identifier: BSD-2-Clause
// policy_loop_test.cc - the main loop through the built daemon: screening of
// requests, the framing of answers, input that comes together, in pieces or
// cut short, the verbose notices, syslog set-up, the failure exit and the
// expiry pass of the orderly stop.
#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "common/settings.h"
#include "fixture_db.h"
#include "run_daemon.h"

namespace {

using namespace std::string_literals;

const std::string dunno = "action=DUNNO\n\n";
// With the reject action "greylisted %d second%p" a new triplet's answer.
const std::string greylisted = "action=greylisted 3480 seconds\n\n";

bool home_is_empty(const temp_dir &home)
{
    return std::filesystem::is_empty(home.path);
}

std::vector<std::string> ignoring_lines(const daemon_result &r)
{
    std::vector<std::string> lines;
    for (const auto &m : r.messages("debug"))
        if (m.rfind("Ignoring protocol ", 0) == 0)
            lines.push_back(m);
    return lines;
}

daemon_result serve(const temp_dir &home, const std::string &input,
                    std::vector<std::string> extra = {})
{
    daemon_run run;
    run.args = {"-h", home.path, "-r", "greylisted %d second%p"};
    run.args.insert(run.args.end(), extra.begin(), extra.end());
    run.input = input;
    return run_daemon(run);
}

// Screening

struct screen_case {
    const char *name;
    std::string request;
    bool greylisted;          // goes on to the decision
    const char *ignoring;     // the debug line of an ignored request
};

std::ostream &operator<<(std::ostream &os, const screen_case &c) { return os << c.name; }

class Screening : public testing::TestWithParam<screen_case> {};

TEST_P(Screening, DecidesWhichRequestsAreGreylisted)
{
    const screen_case &c = GetParam();
    temp_dir home;
    daemon_result r = serve(home, c.request, {"-d"});
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(c.greylisted ? greylisted : dunno, r.out);
    EXPECT_EQ("", r.err);
    if (c.greylisted)
        EXPECT_EQ(std::vector<std::string>{}, ignoring_lines(r));
    else
        EXPECT_EQ(std::vector<std::string>{c.ignoring}, ignoring_lines(r));
    // Only a request that is greylisted opens storage.
    EXPECT_EQ(!c.greylisted, home_is_empty(home));
    EXPECT_EQ(std::vector<std::string>{}, r.messages("err"));
}

const screen_case screen_cases[] = {
    {"Esmtp", rcpt_request("192.0.2.1", "a@example.org", "b@example.net", "ESMTP"), true,
     nullptr},
    {"Smtp", rcpt_request("192.0.2.1", "a@example.org", "b@example.net", "SMTP"), true,
     nullptr},
    {"NullSender", rcpt_request("192.0.2.1", "", "b@example.net"), true, nullptr},
    {"EmptyClientAddress", rcpt_request("", "a@example.org", "b@example.net"), true, nullptr},
    {"AttributesInAnyOrder",
     "recipient=b@example.net\nsender=a@example.org\nclient_address=192.0.2.1\n"
     "protocol_state=RCPT\nprotocol_name=SMTP\n\n",
     true, nullptr},
    {"LowerCaseProtocol", rcpt_request("192.0.2.1", "a@example.org", "b@example.net", "smtp"),
     false, "Ignoring protocol smtp state RCPT"},
    {"ProtocolWithTrailingBlank",
     rcpt_request("192.0.2.1", "a@example.org", "b@example.net", "ESMTP "), false,
     "Ignoring protocol ESMTP  state RCPT"},
    {"ProtocolWithCarriageReturn",
     rcpt_request("192.0.2.1", "a@example.org", "b@example.net", "ESMTP\r"), false,
     "Ignoring protocol ESMTP\r state RCPT"},
    {"OtherProtocol", rcpt_request("192.0.2.1", "a@example.org", "b@example.net", "QMQP"),
     false, "Ignoring protocol QMQP state RCPT"},
    {"DataState",
     "protocol_name=ESMTP\nprotocol_state=DATA\nclient_address=192.0.2.1\n"
     "sender=a@example.org\nrecipient=b@example.net\n\n",
     false, "Ignoring protocol ESMTP state DATA"},
    {"LowerCaseState",
     "protocol_name=ESMTP\nprotocol_state=rcpt\nclient_address=192.0.2.1\n"
     "sender=a@example.org\nrecipient=b@example.net\n\n",
     false, "Ignoring protocol ESMTP state rcpt"},
    {"NoProtocolName",
     "protocol_state=RCPT\nclient_address=192.0.2.1\nsender=a@example.org\n"
     "recipient=b@example.net\n\n",
     false, "Ignoring protocol (not defined) state (not defined)"},
    {"NoProtocolState",
     "protocol_name=ESMTP\nclient_address=192.0.2.1\nsender=a@example.org\n"
     "recipient=b@example.net\n\n",
     false, "Ignoring protocol ESMTP state (not defined)"},
    {"NoClientAddress",
     "protocol_name=ESMTP\nprotocol_state=RCPT\nsender=a@example.org\n"
     "recipient=b@example.net\n\n",
     false, "Ignoring protocol ESMTP state RCPT"},
    {"NoSender",
     "protocol_name=ESMTP\nprotocol_state=RCPT\nclient_address=192.0.2.1\n"
     "recipient=b@example.net\n\n",
     false, "Ignoring protocol ESMTP state RCPT"},
    {"NoRecipient",
     "protocol_name=ESMTP\nprotocol_state=RCPT\nclient_address=192.0.2.1\n"
     "sender=a@example.org\n\n",
     false, "Ignoring protocol ESMTP state RCPT"},
    {"FirstProtocolLineDecides",
     "protocol_name=QMQP\nprotocol_state=RCPT\nprotocol_name=ESMTP\n"
     "client_address=192.0.2.1\nsender=a@example.org\nrecipient=b@example.net\n\n",
     false, "Ignoring protocol QMQP state RCPT"},
    {"CapitalisedName",
     "Protocol_name=ESMTP\nprotocol_state=RCPT\nclient_address=192.0.2.1\n"
     "sender=a@example.org\nrecipient=b@example.net\n\n",
     false, "Ignoring protocol (not defined) state (not defined)"},
    {"EmptyFirstLineHidesAttributes",
     "\n" + rcpt_request("192.0.2.1", "a@example.org", "b@example.net"), false,
     "Ignoring protocol (not defined) state (not defined)"},
    {"NulInsideProtocol",
     "protocol_name=ES\0MTP\nprotocol_state=RCPT\nclient_address=192.0.2.1\n"
     "sender=a@example.org\nrecipient=b@example.net\n\n"s,
     false, "Ignoring protocol ES state RCPT"},
    {"RequestWithoutLines", "\n\n", false,
     "Ignoring protocol (not defined) state (not defined)"},
};

INSTANTIATE_TEST_SUITE_P(Table, Screening, testing::ValuesIn(screen_cases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(Screening, IgnoredRequestIsNotLoggedWithoutDebug)
{
    temp_dir home;
    daemon_result r = serve(home, "protocol_name=SMTP\nprotocol_state=DATA\n\n");
    EXPECT_EQ(dunno, r.out);
    EXPECT_EQ(std::vector<std::string>{}, r.log_messages());
}

// The first request of a new triplet gets the default reject action with the
// greylist delay and the plural filled in.
TEST(Answers, NewTripletGetsDefaultRejectAction)
{
    temp_dir home;
    daemon_result r = run_daemon(
        {"-h", home.path}, rcpt_request("192.0.2.1", "a@example.org", "b@example.net"));
    const std::string reject = default_reject_action;
    const std::string head = "DEFER_IF_PERMIT Greylisted by murvane 0.4.0, try again in ";
    const std::string see = " second%p.  See ";
    ASSERT_EQ(0u, reject.rfind(head + "%d" + see, 0)) << reject;
    EXPECT_EQ("action=" + head + "3480 seconds.  See " +
                  reject.substr(head.size() + 2 + see.size()) + "\n\n",
              r.out);
    EXPECT_EQ(0, r.status);
}

// Framing of answers

struct framing_case {
    const char *name;
    std::string input;
    std::string out;
};

std::ostream &operator<<(std::ostream &os, const framing_case &c) { return os << c.name; }

class Framing : public testing::TestWithParam<framing_case> {};

TEST_P(Framing, OneAnswerPerCompleteRequest)
{
    const framing_case &c = GetParam();
    temp_dir home;
    daemon_result r = serve(home, c.input);
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(c.out, r.out);
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("", r.err);
    EXPECT_EQ(std::vector<std::string>{}, r.messages("err"));
}

const std::string rcpt_a = rcpt_request("192.0.2.1", "a@example.org", "b@example.net");
const std::string rcpt_b = rcpt_request("198.51.100.2", "c@example.org", "d@example.net");
const std::string data_request = "protocol_name=ESMTP\nprotocol_state=DATA\n\n";

const framing_case framing_cases[] = {
    {"SingleIgnoredRequest", data_request, dunno},
    {"SingleGreylistedRequest", rcpt_a, greylisted},
    {"PipelinedInOneWrite", data_request + rcpt_a + data_request + rcpt_b,
     dunno + greylisted + dunno + greylisted},
    {"EmptyInput", "", ""},
    {"CutInFirstLine", "protocol_na", ""},
    {"CutAfterALine", "protocol_name=ESMTP\nprotocol_state=RCPT\n", ""},
    {"CutRcptRequest", rcpt_a.substr(0, rcpt_a.size() - 1), ""},
    {"CompleteThenCut", data_request + rcpt_a.substr(0, 40), dunno},
    {"CompleteThenSingleNewline", data_request + "\n", dunno},
    {"EmptyRequestsInARow", "\n\n\n\n", dunno + dunno},
};

INSTANTIATE_TEST_SUITE_P(Table, Framing, testing::ValuesIn(framing_cases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(Framing, TruncatedRcptRequestNeverOpensStorage)
{
    temp_dir home;
    daemon_result r = serve(home, rcpt_a.substr(0, rcpt_a.size() - 1));
    EXPECT_EQ("", r.out);
    EXPECT_EQ(0, r.status);
    EXPECT_TRUE(home_is_empty(home));
}

TEST(Framing, EmptyInputWritesNothingAndOpensNothing)
{
    temp_dir home;
    daemon_result r = serve(home, "", {"-v"});
    EXPECT_EQ("", r.out);
    EXPECT_EQ("", r.err);
    EXPECT_EQ(0, r.status);
    EXPECT_TRUE(home_is_empty(home));
    EXPECT_EQ((std::vector<std::string>{"notice\tPolicy daemon", "notice\tdaemon stopped"}),
              r.log_messages());
}

// A request fed one byte at a time: every byte is a read of its own, since
// the next one is written only once the daemon waits again, and no answer
// may come before the empty line.
TEST(Framing, ByteByByteInput)
{
    temp_dir home;
    daemon_run run;
    run.args = {"-h", home.path, "-r", "greylisted %d second%p"};
    run.keep_stdin_open = true;
    daemon_process daemon = start_daemon(run);

    const std::string input = data_request + rcpt_a;
    size_t answered = 0;   // complete requests so far
    std::string expected;
    for (size_t i = 0; i < input.size(); i++) {
        ASSERT_TRUE(write_input(daemon, input.substr(i, 1))) << "at byte " << i;
        bool request_done = input.compare(0, i + 1, data_request) == 0 || i + 1 == input.size();
        if (request_done) {
            expected += answered++ == 0 ? dunno : greylisted;
            ASSERT_TRUE(read_output_until(daemon, expected)) << "at byte " << i;
        }
        ASSERT_TRUE(wait_until_reading(daemon)) << "at byte " << i;
        // Waiting for input again: an answer written would be in the pipe.
        char extra[256];
        ssize_t n = read(daemon.out_fd, extra, sizeof extra);
        if (n > 0)
            daemon.out.append(extra, n);
        ASSERT_EQ(expected, daemon.out) << "after byte " << i;
    }
    close_input(daemon);
    daemon_result r = finish_daemon(daemon);
    EXPECT_EQ(dunno + greylisted, r.out);
    EXPECT_EQ(0, r.status);
}

// A request larger than the first buffer is read in as many reads as it
// takes, the buffer doubling each time it is full.
TEST(Framing, LongRequestGrowsTheBuffer)
{
    temp_dir home;
    std::string padding(6000, 'x');
    std::string request = "ccert_subject=" + padding + "\n" + rcpt_a;
    daemon_result r = serve(home, request + data_request, {"-d"});
    EXPECT_EQ(greylisted + dunno, r.out);
    std::vector<std::string> allocations;
    for (const auto &m : r.messages("debug"))
        if (m.rfind("allocate ", 0) == 0)
            allocations.push_back(m);
    EXPECT_EQ((std::vector<std::string>{
                  "allocate 1024 bytes for request buffer",
                  "allocate 2048 bytes for request buffer",
                  "allocate 4096 bytes for request buffer",
                  "allocate 8192 bytes for request buffer",
              }),
              allocations);
}

// Start, stop and syslog

struct notice_case {
    const char *name;
    std::vector<std::string> args;
    bool notices;
};

std::ostream &operator<<(std::ostream &os, const notice_case &c) { return os << c.name; }

class Lifecycle : public testing::TestWithParam<notice_case> {};

TEST_P(Lifecycle, OpensSyslogAndLogsVerboseStartAndStop)
{
    const notice_case &c = GetParam();
    temp_dir home;
    daemon_result r = serve(home, data_request + rcpt_a, c.args);
    EXPECT_EQ(dunno + greylisted, r.out);
    EXPECT_EQ(0, r.status);
    ASSERT_GE(r.log.size(), 2u);
    EXPECT_EQ("openlog\tmurvane\t" + std::to_string(LOG_PID) + "\t" + std::to_string(LOG_MAIL),
              r.log.front());
    EXPECT_EQ("closelog", r.log.back());
    std::vector<std::string> notices = r.messages("notice");
    if (c.notices)
        EXPECT_EQ((std::vector<std::string>{"Policy daemon", "daemon stopped"}), notices);
    else
        EXPECT_EQ(std::vector<std::string>{}, notices);
    if (c.notices) {
        // The start notice comes first, the stop notice last.
        auto messages = r.log_messages();
        EXPECT_EQ("notice\tPolicy daemon", messages.front());
        EXPECT_EQ("notice\tdaemon stopped", messages.back());
    }
}

const notice_case notice_cases[] = {
    {"Quiet", {}, false},
    {"Verbose", {"-v"}, true},
    {"VerboseTwice", {"-v", "--verbose"}, true},
    {"VerboseAndDebug", {"-d", "-v"}, true},
    {"DebugIsNotVerbose", {"-d"}, false},
};

INSTANTIATE_TEST_SUITE_P(Table, Lifecycle, testing::ValuesIn(notice_cases),
                         [](const auto &info) { return std::string(info.param.name); });

// A request that fails in storage takes the failure exit: its answer line
// without the empty line, no further request served, status 1, and neither
// the stop notice nor closelog.
TEST(Lifecycle, FailureExitAfterStorageFails)
{
    temp_dir dir;
    const std::string home = dir.file("not-a-directory");
    int fd = open(home.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(fd, 0);
    close(fd);

    daemon_run run;
    run.args = {"-h", home, "-v"};
    run.input = data_request + rcpt_a + data_request;
    daemon_result r = run_daemon(run);
    EXPECT_EQ(1, r.status);
    ASSERT_EQ(0u, r.out.rfind(dunno + "action=WARN ", 0)) << r.out;
    EXPECT_EQ(1, std::count(r.out.begin() + dunno.size(), r.out.end(), '\n')) << r.out;
    EXPECT_EQ('\n', r.out.back());
    auto messages = r.log_messages();
    ASSERT_GE(messages.size(), 2u);
    EXPECT_EQ("err\terror: cleaning up", messages[messages.size() - 2]);
    EXPECT_EQ("err\terror: exiting after cleanup", messages.back());
    EXPECT_FALSE(r.logged("notice", "daemon stopped"));
    EXPECT_NE("closelog", r.log.back());
}

// The orderly stop runs an expiry pass only when the database was opened:
// a back-dated triplet, idle far beyond the block lifetime, shows whether a
// pass ran.
struct expiry_case {
    const char *name;
    std::string input;
    bool expired;
};

std::ostream &operator<<(std::ostream &os, const expiry_case &c) { return os << c.name; }

class StopSequence : public testing::TestWithParam<expiry_case> {};

TEST_P(StopSequence, ExpiresOnlyWhenDatabaseWasOpened)
{
    const expiry_case &c = GetParam();
    temp_dir home;
    time_t long_ago = time(nullptr) - 10 * 18000;
    const std::string stale = ipv4_key("203.0.113.5", "old@example.org", "rcpt@example.net");
    put_records(home.path, "triplets-1.db", {{stale, record_value(long_ago, long_ago, 1, 0)}});

    daemon_result r = serve(home, c.input);
    EXPECT_EQ(0, r.status);
    bool stale_left = false;
    for (const auto &[key, value] : read_records(home.path))
        stale_left = stale_left || key == stale;
    EXPECT_EQ(!c.expired, stale_left);
    EXPECT_EQ(c.expired, r.logged("notice", "Expired 1 triplets"));
}

const expiry_case expiry_cases[] = {
    {"AfterGreylistedRequest", rcpt_a, true},
    {"NotAfterIgnoredRequestsOnly", data_request + data_request, false},
    {"NotAfterEmptyInput", "", false},
};

INSTANTIATE_TEST_SUITE_P(Table, StopSequence, testing::ValuesIn(expiry_cases),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
