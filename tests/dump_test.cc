// SPDX-License-Identifier: BSD-2-Clause
// dump_test.cc - --dump-triplets through the built daemon.
//
// The listing is compared byte for byte: the daemon runs with TZ=UTC and its
// wall clock frozen, so every time field is known in advance.
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "fixture_db.h"
#include "frozen_clock.h"
#include "record_lock.h"
#include "run_daemon.h"

namespace {

constexpr time_t now = 1700000000;  // Tue Nov 14 22:13:20 2023 UTC

class Dump : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        // The daemon inherits the test's environment first, so a TZ of the
        // machine's would win over one added to the run.
        setenv("TZ", "UTC", 1);
    }
    void SetUp() override
    {
        ASSERT_FALSE(faketime_library().empty())
            << "libfaketime is missing: scripts/test.sh installs it";
    }

    daemon_result run_at(time_t when, std::vector<std::string> args,
                         const std::string &input = "")
    {
        daemon_run run;
        run.args = {"-h", home.path};
        run.args.insert(run.args.end(), args.begin(), args.end());
        run.input = input;
        run.env = frozen_clock(when);
        daemon_result result = run_daemon(run);
        EXPECT_FALSE(result.timed_out);
        // Only the dump's own failures go to standard error; a sanitizer's
        // report would too.
        EXPECT_EQ("", result.err);
        return result;
    }

    temp_dir home;
};

TEST_F(Dump, ListsEveryRecordInKeyOrder)
{
    // The daemon itself stores the IPv4 triplet, cut to 24 bits, with the
    // null sender; it has been deferred once and never passed.
    daemon_result first =
        run_at(now, {"-/", "24"}, rcpt_request("192.0.2.77", "", "postmaster@example.org"));
    ASSERT_EQ(0, first.status) << first.err;
    put_records(home.path, "triplets-1.db",
                {{text_key("mail.example.net", "a@example.com", "b@example.org"),
                  record_value(now - 7200, now - 60, 2, 5)},
                 {ipv6_key("2001:db8::1", "c@example.com", "d@example.org"),
                  record_value(now - 4000, now - 400, 1, 1)},
                 {ipv4_key("10.0.0.1", "e@example.com", "f@example.org"),
                  record_value(now - 100, now - 100, 1, 0)}});
    record_list before = read_records(home.path);

    daemon_result dump = run_at(now + 60, {"--dump-triplets"});
    EXPECT_EQ(0, dump.status);
    EXPECT_EQ("", dump.err);
    EXPECT_EQ(
        // Address texts first, then IPv4 in byte order, then IPv6.
        "mail.example.net\ta@example.com\tb@example.org\t"
        "Tue Nov 14 20:13:20 2023\tTue Nov 14 22:12:20 2023\t2\t5\n"
        "10.0.0.1\te@example.com\tf@example.org\t"
        "Tue Nov 14 22:11:40 2023\tTue Nov 14 22:11:40 2023\t1\t0\n"
        "192.0.2.0\t\tpostmaster@example.org\t"
        "Tue Nov 14 22:13:20 2023\tTue Nov 14 22:13:20 2023\t1\t0\n"
        "2001:db8::1\tc@example.com\td@example.org\t"
        "Tue Nov 14 21:06:40 2023\tTue Nov 14 22:06:40 2023\t1\t1\n",
        dump.out);
    // Listing changes nothing, and nothing here is idle.
    EXPECT_EQ(before, read_records(home.path));
}

TEST_F(Dump, EmptyDatabasePrintsNothing)
{
    daemon_result result = run_at(now, {"--dump-triplets"});
    EXPECT_EQ(0, result.status);
    EXPECT_EQ("", result.out);
    EXPECT_EQ("", result.err);
    EXPECT_TRUE(std::filesystem::exists(home.file("triplets-1.db")));
    EXPECT_TRUE(result.messages("err").empty()) << ::testing::PrintToString(result.log);
}

struct home_case {
    const char *name;
    const char *home;   // relative to the test's directory
    int code;           // what opening the environment fails with
};

class DumpUnopenable : public Dump, public ::testing::WithParamInterface<home_case> {};

// The failure goes to standard error; it is no reason for a failure status.
TEST_P(DumpUnopenable, ReportsOnStandardErrorWithStatusZero)
{
    const home_case &c = GetParam();
    std::ofstream(home.file("plain-file")) << "not a directory\n";
    daemon_run run;
    run.args = {"-h", home.file(c.home), "--dump-triplets"};
    daemon_result result = run_daemon(run);
    ASSERT_FALSE(result.timed_out);
    EXPECT_EQ(0, result.status);
    EXPECT_EQ("", result.out);
    EXPECT_EQ("DBD-" + std::to_string(c.code) + ": failed to open database\n", result.err);
    std::vector<std::string> errors = {std::string("dbenv->open: ") + strerror(c.code)};
    EXPECT_EQ(errors, result.messages("err"));
    EXPECT_FALSE(std::filesystem::exists(home.file(c.home) + "/triplets-1.db"));
}

const home_case home_cases[] = {
    {"missing_directory", "no-such-dir", ENOENT},
    {"plain_file", "plain-file", ENOTDIR},
};

INSTANTIATE_TEST_SUITE_P(Homes, DumpUnopenable, ::testing::ValuesIn(home_cases),
                         [](const auto &info) { return std::string(info.param.name); });

// Damaged records are listed without reading beyond their key or value (the
// sanitizer build of the daemon would stop at such a read).
TEST_F(Dump, DamagedRecordsAreListedWithinTheirSize)
{
    const std::string record = record_value(now, now, 1, 0);
    put_records(home.path, "triplets-1.db",
                {{"", record},
                 {ipv4_key("192.0.2.10", "a@example.com", "b@example.org"),
                  std::string(10, '\x11')},
                 {ipv4_key("192.0.2.40", "a@example.com", "b@example.org"),
                  record + "\1\2\3\4\5\6\7\10"},
                 {std::string("\x01\xc0\x00\x02\x05", 5) + "sender-without-nul", record},
                 {std::string("\x01\xc0\x00", 3), record}});
    daemon_result result = run_at(now, {"--dump-triplets"});
    EXPECT_EQ(0, result.status);
    EXPECT_EQ("", result.err);
    const std::string times = "Tue Nov 14 22:13:20 2023\tTue Nov 14 22:13:20 2023\t1\t0\n";
    EXPECT_EQ("-\t\t\t" + times + "-\t\t\t" + times +
                  "192.0.2.5\tsender-without-nul\t\t" + times +
                  "192.0.2.10\ta@example.com\tb@example.org\t-\t-\t-\t-\n"
                  "192.0.2.40\ta@example.com\tb@example.org\t-\t-\t-\t-\n",
              result.out);
}

// With no stop signal, the stop sequence after a listing runs the expiry
// pass: the idle triplets are listed, then deleted.
TEST_F(Dump, IdleTripletsAreListedThenExpired)
{
    const std::string idle = ipv4_key("192.0.2.1", "a@example.com", "b@example.org");
    const std::string fresh = ipv4_key("192.0.2.2", "a@example.com", "b@example.org");
    put_records(home.path, "triplets-1.db",
                {{idle, record_value(now - 18001, now - 18001, 1, 0)},
                 {fresh, record_value(now - 18000, now - 18000, 1, 0)}});
    daemon_result result = run_at(now, {"--dump-triplets", "-v"});
    EXPECT_EQ(0, result.status);
    EXPECT_EQ("192.0.2.1\ta@example.com\tb@example.org\t"
              "Tue Nov 14 17:13:19 2023\tTue Nov 14 17:13:19 2023\t1\t0\n"
              "192.0.2.2\ta@example.com\tb@example.org\t"
              "Tue Nov 14 17:13:20 2023\tTue Nov 14 17:13:20 2023\t1\t0\n",
              result.out);
    EXPECT_TRUE(result.logged("info", "Expiring 192.0.2.1 block after 18001 seconds idle"));
    EXPECT_TRUE(result.logged("notice", "Expired 1 triplets"));
    record_list left = read_records(home.path);
    ASSERT_EQ(1u, left.size());
    EXPECT_EQ(fresh, left[0].first);
}

// --- a stop signal during the listing ---------------------------------------

std::vector<std::string> split_lines(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

// The test write-locks the page of the last record, so the listing stops
// there until the lock goes. SIGINT arrives while it waits; once the handler
// has run, the lock is released: the record being read is listed, no other,
// and no expiry pass follows.
TEST_F(Dump, InterruptEndsTheListingAfterTheCurrentLine)
{
    constexpr int total = 400;
    record_list records;
    for (int i = 0; i < total; i++)
        records.emplace_back(ipv4_key("10.0." + std::to_string(i / 200) + "." +
                                          std::to_string(i % 200 + 1),
                                      "sender-" + std::to_string(1000 + i) + "@example.com",
                                      "rcpt@example.org"),
                             record_value(now - 99999, now - 99999, 1, 0));
    put_records(home.path, "triplets-1.db", records);

    // The listing of the whole database, for comparison.
    daemon_run run;
    run.args = {"-h", home.path, "--dump-triplets"};
    run.env = frozen_clock(now);
    std::vector<std::string> all;
    {
        // Dumping with -b and -p as large as they go keeps the pass from
        // deleting anything in this run.
        daemon_run full = run;
        full.args.insert(full.args.end(), {"-b", "99999999", "-p", "99999999"});
        daemon_result result = run_daemon(full);
        ASSERT_EQ(0, result.status);
        ASSERT_EQ("", result.err);
        all = split_lines(result.out);
        ASSERT_EQ(static_cast<size_t>(total), all.size());
    }

    record_lock lock(home.path, "triplets-1.db", records.back().first);
    ASSERT_EQ(0, lock.error()) << db_strerror(lock.error());
    unsigned long long waits = lock.waiting_lockers();
    daemon_process daemon = start_daemon(run);
    ASSERT_TRUE(wait_until([&] { return lock.waiting_lockers() > waits; }, 30000))
        << "the listing never reached the locked page";
    ASSERT_TRUE(signal_caught(daemon.pid, SIGINT));
    ASSERT_EQ(0, kill(daemon.pid, SIGINT));
    ASSERT_TRUE(wait_until([&] { return !signal_caught(daemon.pid, SIGINT); }, 30000));
    lock.release();
    daemon_result result = finish_daemon(daemon);

    ASSERT_FALSE(result.timed_out);
    EXPECT_EQ(1, result.status);
    EXPECT_EQ("", result.err);
    std::vector<std::string> listed = split_lines(result.out);
    ASSERT_FALSE(listed.empty());
    EXPECT_LT(listed.size(), all.size());
    EXPECT_EQ(std::vector<std::string>(all.begin(), all.begin() + listed.size()), listed);
    EXPECT_EQ('\n', result.out.back());
    EXPECT_TRUE(result.logged("notice", "Received signal 2"));
    EXPECT_EQ(records, read_records(home.path)) << "no expiry pass after a signal";
}

// --- a listing nobody reads -------------------------------------------------

// bytes_waiting - what a pipe holds, not yet read.
int bytes_waiting(int fd)
{
    int n = 0;
    return ioctl(fd, FIONREAD, &n) == 0 ? n : -1;
}

// `murvane --dump-triplets | less`, left paused: the listing blocks writing
// into a full pipe. It held the read lock of the page its cursor stood on
// meanwhile, so a daemon deciding a triplet of that page waited until its
// watchdog ended it, without an answer. The first record's line alone fills
// the pipe (its recipient is longer than the pipe's buffer), so the listing
// blocks with the first page being listed; the daemon then asks for that
// record. Every record is listed once all the same.
TEST_F(Dump, ListingBlockedOnItsOutputHoldsNoDaemonBack)
{
    constexpr size_t total = 3000;
    const std::string client = "10.0.0.1";
    const std::string sender = "sender@example.com";
    const std::string first_recipient(100 * 1024, 'a');  // before "rcpt-"
    put_generated(home.path, "triplets-1.db", total, [&](size_t i) {
        std::string recipient = i == 0 ? first_recipient
                                       : "rcpt-" + std::to_string(10000 + i) + "@example.org";
        return std::make_pair(ipv4_key(client, sender, recipient),
                              record_value(now - 3600, now - 60, 1, 1));
    });
    record_list records = read_records(home.path);
    ASSERT_EQ(total, records.size());
    ASSERT_TRUE(ipv4_key(client, sender, first_recipient) == records.front().first);

    daemon_run run;
    run.args = {"-h", home.path, "--dump-triplets"};
    run.env = frozen_clock(now);
    std::vector<std::string> all;
    {
        daemon_result result = run_daemon(run);
        ASSERT_EQ(0, result.status);
        ASSERT_EQ("", result.err);
        all = split_lines(result.out);
        ASSERT_EQ(total, all.size());
    }

    daemon_process dump = start_daemon(run);
    int capacity = fcntl(dump.out_fd, F_GETPIPE_SZ);
    ASSERT_GT(capacity, 0);
    ASSERT_LT(static_cast<size_t>(capacity), first_recipient.size());
    ASSERT_TRUE(wait_until([&] { return bytes_waiting(dump.out_fd) >= capacity; }, 30000))
        << "the listing never filled its pipe";

    // Far below the 30 s after which a waiting daemon's watchdog ends it,
    // far above a daemon's start on a busy machine.
    daemon_run request;
    request.args = {"-h", home.path};
    request.input = rcpt_request(client, sender, first_recipient);
    request.env = frozen_clock(now);
    request.timeout_ms = 10000;
    daemon_result answer = run_daemon(request);
    EXPECT_FALSE(answer.timed_out) << "the daemon waited for the blocked listing";
    EXPECT_EQ(0, answer.status);
    EXPECT_EQ("action=DUNNO\n\n", answer.out);
    EXPECT_EQ("", answer.err);

    daemon_result result = finish_daemon(dump);
    ASSERT_FALSE(result.timed_out);
    EXPECT_EQ(0, result.status);
    EXPECT_EQ("", result.err);
    // Compared line by line: a 100 KiB line in a failure report helps nobody.
    std::vector<std::string> listed = split_lines(result.out);
    ASSERT_EQ(all.size(), listed.size());
    for (size_t i = 0; i < all.size(); i++)
        ASSERT_EQ(all[i], listed[i]) << "line " << i;
}

}  // namespace
