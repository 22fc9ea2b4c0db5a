// SPDX-License-Identifier: BSD-2-Clause
// expiry_test.cc - the expiry pass at the stop, through the built daemon.
//
// Fixtures are real environments with back-dated records; the daemon's wall
// clock is frozen at `now` so that "exactly at the limit" means exactly that.
// The daemon opens its database through one RCPT request (or a dump), so the
// pass runs at the end of input; what it deleted is read back afterwards.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <ostream>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "fixture_db.h"
#include "frozen_clock.h"
#include "record_lock.h"
#include "run_daemon.h"

#include "common/settings.h"
#include "greylist/decision.h"
#include "greylist/expiry.h"
#include "storage/environment.h"

namespace {

constexpr time_t now = 1700000000;
const char sender[] = "alice@example.com";
const char recipient[] = "bob@example.org";

// The request that makes the daemon open its database; its own triplet is
// new at `now`, so the pass always keeps it.
const std::string opener_key = ipv4_key("198.51.100.1", "opener@example.com",
                                        "postmaster@example.org");
std::string opener_request()
{
    return rcpt_request("198.51.100.1", "opener@example.com", "postmaster@example.org");
}

daemon_run frozen_run(const std::string &home, std::vector<std::string> args,
                      const std::string &input)
{
    daemon_run run;
    run.args = {"-h", home};
    run.args.insert(run.args.end(), args.begin(), args.end());
    run.input = input;
    run.env = frozen_clock(now);
    return run;
}

// run_frozen - one run of the daemon at `now`. None of these runs writes to
// standard error; a sanitizer's report would.
daemon_result run_frozen(const std::string &home, std::vector<std::string> args,
                         const std::string &input)
{
    daemon_result result = run_daemon(frozen_run(home, std::move(args), input));
    EXPECT_FALSE(result.timed_out);
    EXPECT_EQ("", result.err);
    return result;
}

// stop_with_record_locked - a daemon at `now` answers the opener request,
// which is committed; then the test takes the lock on `key` that the expiry
// pass will need, and only then lets the daemon stop. The lock is let go
// once the daemon has ended.
void stop_with_record_locked(const std::string &home, std::vector<std::string> args,
                             const std::string &key, daemon_result *result)
{
    daemon_process daemon = start_daemon(frozen_run(home, std::move(args), ""));
    ASSERT_TRUE(write_input(daemon, opener_request()));
    ASSERT_TRUE(read_output_until(daemon, "\n\n"));
    record_lock lock(home, "triplets-1.db", key);
    ASSERT_EQ(0, lock.error()) << db_strerror(lock.error());
    close_input(daemon);
    *result = finish_daemon(daemon);
    lock.release();
}

std::set<std::string> keys_of(const record_list &records)
{
    std::set<std::string> keys;
    for (const auto &[key, value] : records)
        keys.insert(key);
    return keys;
}

// has_position - expiry-sweep.db holds the sweep's position over the
// triplets (beside it, the sweep's totals stay after a finished sweep).
bool has_position(const std::string &home)
{
    for (const auto &[key, value] : read_records(home, "expiry-sweep.db"))
        if (key == "position")
            return true;
    return false;
}

std::vector<std::string> starting_with(const std::vector<std::string> &lines,
                                       const std::string &prefix)
{
    std::vector<std::string> out;
    for (const auto &line : lines)
        if (line.rfind(prefix, 0) == 0)
            out.push_back(line);
    return out;
}

class Expiry : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(faketime_library().empty())
            << "libfaketime is missing: scripts/test.sh installs it";
    }
    temp_dir home;
};

// --- the idle rule at the stop -------------------------------------------

struct limits_case {
    const char *name;
    std::vector<std::string> args;
    time_t bloc;  // bloc_max_idle in force
    time_t pass;  // pass_max_idle in force
};

void PrintTo(const limits_case &c, std::ostream *out) { *out << c.name; }

const limits_case limits_cases[] = {
    {"defaults", {}, 18000, 3110400},
    {"short_limits", {"-b", "60", "-p", "120"}, 60, 120},
};

class ExpiryTable
    : public Expiry,
      public ::testing::WithParamInterface<std::tuple<limits_case, bool>> {};

// Each record sits just inside or just past its limit. A passed record is
// measured from access_time alone, however old create_time is; one that
// never passed from create_time alone, however recent access_time is.
TEST_P(ExpiryTable, DeletesExactlyTheRecordsPastTheirLimit)
{
    const auto &[limits, verbose] = GetParam();
    const time_t b = limits.bloc, p = limits.pass;
    struct row {
        std::string key;
        std::string value;
        bool deleted;
        std::string verbose_line;  // when deleted
    };
    const std::vector<row> rows = {
        {text_key("mail.example.net", sender, recipient),
         record_value(now - b - 1, now - b - 1, 1, 0), true,
         "Expiring mail.example.net block after " + std::to_string(b + 1) +
             " seconds idle"},
        {ipv4_key("192.0.2.1", sender, recipient), record_value(now - b, now - 10, 3, 0),
         false, ""},
        {ipv4_key("192.0.2.2", sender, recipient), record_value(now - b - 1, now - 1, 4, 0),
         true, "Expiring 192.0.2.2 block after " + std::to_string(b + 1) + " seconds idle"},
        {ipv4_key("192.0.2.3", sender, recipient),
         record_value(now - p - 100, now - p - 1, 2, 1), true,
         "Expiring 192.0.2.3 pass after " + std::to_string(p + 1) + " seconds idle"},
        {ipv6_key("2001:db8::1", sender, recipient),
         record_value(now - 5000000, now - p, 2, 7), false, ""},
        {ipv6_key("2001:db8::2", sender, recipient), record_value(now - 10, now - 10, 1, 0),
         false, ""},
    };
    record_list fixture;
    for (const auto &r : rows)
        fixture.emplace_back(r.key, r.value);
    put_records(home.path, "triplets-1.db", fixture);

    std::vector<std::string> args = limits.args;
    if (verbose)
        args.push_back("-v");
    daemon_result result = run_frozen(home.path, args, opener_request());
    ASSERT_FALSE(result.timed_out);
    EXPECT_EQ(0, result.status) << result.err;

    std::map<std::string, std::string> expected;
    std::vector<std::string> expiring;
    for (const auto &r : rows) {
        if (!r.deleted)
            expected[r.key] = r.value;
        else if (verbose)
            expiring.push_back(r.verbose_line);
    }
    record_list left = read_records(home.path);
    std::map<std::string, std::string> kept;
    for (const auto &[key, value] : left)
        if (key != opener_key)
            kept[key] = value;
    EXPECT_EQ(expected, kept) << "kept records differ, or a kept one was rewritten";
    EXPECT_EQ(1u, keys_of(left).count(opener_key));

    // The verbose lines come in key order: address texts, IPv4, then IPv6.
    EXPECT_EQ(expiring, starting_with(result.messages("info"), "Expiring "));
    EXPECT_TRUE(result.logged("notice", "Expired 3 triplets"));
    if (!verbose) {
        // Without -v the pass logs its count and nothing else.
        std::vector<std::string> all = {"notice\tExpired 3 triplets"};
        EXPECT_EQ(all, result.log_messages());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Limits, ExpiryTable,
    ::testing::Combine(::testing::ValuesIn(limits_cases), ::testing::Bool()),
    [](const auto &info) {
        return std::string(std::get<0>(info.param).name) +
               (std::get<1>(info.param) ? "_verbose" : "_quiet");
    });

// --- the count message ----------------------------------------------------

struct count_case {
    const char *name;
    record_list records;
    std::vector<std::string> notices;  // what the pass logs at LOG_NOTICE
};

class ExpiryCount : public Expiry, public ::testing::WithParamInterface<count_case> {};

// The dump opens the database without adding a record, so an empty database
// stays empty up to the pass.
TEST_P(ExpiryCount, LogsTheCountOnlyWhenSomethingWasDeleted)
{
    const count_case &c = GetParam();
    if (!c.records.empty())
        put_records(home.path, "triplets-1.db", c.records);
    daemon_result result =
        run_frozen(home.path, {"--dump-triplets"}, "");
    ASSERT_FALSE(result.timed_out);
    EXPECT_EQ(0, result.status);
    EXPECT_EQ("", result.err);
    EXPECT_EQ(c.notices, result.messages("notice"));
}

const count_case count_cases[] = {
    {"empty_database", {}, {}},
    {"nothing_idle",
     {{ipv4_key("192.0.2.1", sender, recipient), record_value(now - 18000, now, 1, 0)},
      {ipv4_key("192.0.2.2", sender, recipient), record_value(now - 4000000, now - 3110400, 1, 4)}},
     {}},
    {"one_idle",
     {{ipv4_key("192.0.2.1", sender, recipient), record_value(now - 18001, now, 1, 0)},
      {ipv4_key("192.0.2.2", sender, recipient), record_value(now - 9, now - 9, 1, 0)}},
     {"Expired 1 triplets"}},
};

INSTANTIATE_TEST_SUITE_P(Databases, ExpiryCount, ::testing::ValuesIn(count_cases),
                         [](const auto &info) { return std::string(info.param.name); });

// --- when no pass runs ----------------------------------------------------

const record_list one_idle_record = {
    {ipv4_key("192.0.2.9", sender, recipient), record_value(now - 99999, now - 99999, 1, 0)}};

TEST_F(Expiry, NoPassWhenTheDatabaseWasNeverOpened)
{
    put_records(home.path, "triplets-1.db", one_idle_record);
    daemon_result result = run_frozen(home.path, {"-v"}, "");
    EXPECT_EQ(0, result.status);
    EXPECT_EQ("", result.out);
    EXPECT_EQ(one_idle_record, read_records(home.path));
    EXPECT_TRUE(starting_with(result.messages("notice"), "Expired").empty());
    EXPECT_TRUE(starting_with(result.messages("info"), "Expiring").empty());
}

TEST_F(Expiry, NoPassAfterAStopSignal)
{
    put_records(home.path, "triplets-1.db", one_idle_record);
    daemon_process daemon = start_daemon(frozen_run(home.path, {"-v"}, ""));
    ASSERT_TRUE(write_input(daemon, opener_request()));
    ASSERT_TRUE(read_output_until(daemon, "\n\n"));
    ASSERT_TRUE(wait_until_reading(daemon));
    ASSERT_EQ(0, kill(daemon.pid, SIGTERM));
    daemon_result result = finish_daemon(daemon);
    EXPECT_EQ("", result.err);
    ASSERT_FALSE(result.timed_out);
    EXPECT_EQ(1, result.status);
    EXPECT_TRUE(result.logged("notice", "Received signal 15"));
    EXPECT_TRUE(starting_with(result.messages("notice"), "Expired").empty());
    EXPECT_TRUE(starting_with(result.messages("info"), "Expiring").empty());
    record_list left = read_records(home.path);
    EXPECT_EQ(2u, left.size());
    EXPECT_EQ(1u, keys_of(left).count(one_idle_record[0].first));
}

// --- giving way to other processes -----------------------------------------

// Another process holds a write lock on a record while the daemon stops: the
// pass never waits for it; it rolls back and deletes nothing.
TEST_F(Expiry, GivesWayToALockHeldByAnotherProcess)
{
    record_list idle;
    for (int i = 1; i <= 5; i++)
        idle.emplace_back(ipv4_key("192.0.2." + std::to_string(i), sender, recipient),
                          record_value(now - 99999, now - 99999, 1, 0));
    put_records(home.path, "triplets-1.db", idle);

    daemon_result result;
    ASSERT_NO_FATAL_FAILURE(stop_with_record_locked(home.path, {"-v"}, idle[2].first, &result));
    EXPECT_EQ("", result.err);

    ASSERT_FALSE(result.timed_out);
    EXPECT_EQ(0, result.status);
    EXPECT_TRUE(result.logged("notice", "Aborting concurrent expiry due to deadlock"))
        << ::testing::PrintToString(result.log);
    EXPECT_TRUE(starting_with(result.messages("notice"), "Expired").empty());
    record_list left = read_records(home.path);
    for (const auto &record : idle)
        EXPECT_EQ(1u, keys_of(left).count(record.first)) << hex(record.first);
}

// --- a stop signal during the walk -----------------------------------------

// The daemon's log is a FIFO with a one-page buffer that the test reads. Once
// the test stops reading, the daemon can log only a page more of "Expiring"
// lines before its next write blocks, so the walk cannot finish before the
// signal arrives, however the machine schedules the two processes.
class fifo_log {
public:
    explicit fifo_log(const std::string &path) : path_(path)
    {
        if (mkfifo(path.c_str(), 0600) != 0)
            return;
        read_fd_ = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        // A writer of the test's own keeps the FIFO from reporting hang-ups
        // between the daemon's lines, so poll() really waits.
        keep_fd_ = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (read_fd_ >= 0)
            fcntl(read_fd_, F_SETPIPE_SZ, 4096);
    }
    ~fifo_log()
    {
        if (read_fd_ >= 0)
            close(read_fd_);
        if (keep_fd_ >= 0)
            close(keep_fd_);
        unlink(path_.c_str());
    }
    bool ok() const { return read_fd_ >= 0 && keep_fd_ >= 0; }

    // Read until the log holds a line containing `text`; false on timeout.
    bool read_until(const std::string &text, int timeout_ms)
    {
        struct timespec start;
        clock_gettime(CLOCK_MONOTONIC, &start);
        for (;;) {
            if (text_.find(text) != std::string::npos)
                return true;
            struct timespec t;
            clock_gettime(CLOCK_MONOTONIC, &t);
            long elapsed = (t.tv_sec - start.tv_sec) * 1000 +
                           (t.tv_nsec - start.tv_nsec) / 1000000;
            if (elapsed >= timeout_ms)
                return false;
            struct pollfd fd = {read_fd_, POLLIN, 0};
            if (poll(&fd, 1, static_cast<int>(timeout_ms - elapsed)) > 0) {
                char buf[4096];
                ssize_t n = read(read_fd_, buf, sizeof buf);
                if (n > 0)
                    text_.append(buf, n);
            }
        }
    }

    std::vector<std::string> lines() const
    {
        std::vector<std::string> out;
        size_t start = 0, end;
        while ((end = text_.find('\n', start)) != std::string::npos) {
            out.push_back(text_.substr(start, end - start));
            start = end + 1;
        }
        return out;
    }

private:
    std::string path_;
    std::string text_;
    int read_fd_ = -1;
    int keep_fd_ = -1;
};

// The idle records of the walk below, in key order: 10.0.0.1, 10.0.0.2, ...
std::string walk_address(int i)
{
    return "10.0." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1);
}

struct stop_case {
    const char *name;
    int stop_after;  // the signal comes once this record's line was logged
};

void PrintTo(const stop_case &c, std::ostream *out) { *out << c.name; }

class ExpiryStop : public Expiry, public ::testing::WithParamInterface<stop_case> {};

// The walk is committed in batches of at most 1,000 records: a signal in the
// first batch, and one in a later batch, after earlier ones were committed.
// Either way the current batch's deletions so far are committed with it.
TEST_P(ExpiryStop, StopSignalEndsTheWalkAndCommitsTheDeletionsSoFar)
{
    const stop_case &c = GetParam();
    constexpr int total = 3000;
    put_generated(home.path, "triplets-1.db", total, [](size_t i) {
        return std::make_pair(ipv4_key(walk_address(static_cast<int>(i)), sender, recipient),
                              record_value(now - 99999, now - 99999, 1, 0));
    });

    fifo_log log(home.file("log.fifo"));
    ASSERT_TRUE(log.ok());
    daemon_run run = frozen_run(home.path, {"-v"}, opener_request());
    // Ahead of the harness's own entry, so the daemon logs into the FIFO.
    run.env.push_back("MURVANE_SYSLOG_FILE=" + home.file("log.fifo"));
    daemon_process daemon = start_daemon(run);
    ASSERT_TRUE(write_input(daemon, run.input));
    close_input(daemon);
    ASSERT_TRUE(log.read_until("\tExpiring " + walk_address(c.stop_after) + " ", 60000));
    ASSERT_EQ(0, kill(daemon.pid, SIGTERM));
    ASSERT_TRUE(log.read_until("closelog", 60000));
    daemon_result result = finish_daemon(daemon);
    EXPECT_EQ("", result.err);
    ASSERT_FALSE(result.timed_out);
    EXPECT_EQ(1, result.status);

    std::vector<std::string> lines = log.lines();
    std::vector<std::string> counts = starting_with(lines, "notice\tExpired ");
    ASSERT_EQ(1u, counts.size()) << ::testing::PrintToString(lines);
    unsigned deleted = 0;
    ASSERT_EQ(1, sscanf(counts[0].c_str(), "notice\tExpired %u triplets", &deleted));
    EXPECT_GT(deleted, static_cast<unsigned>(c.stop_after));
    EXPECT_LT(deleted, static_cast<unsigned>(total));
    EXPECT_EQ(1u, starting_with(lines, "notice\tReceived signal 15").size());

    // The walk goes in key order and deletes every idle record it meets, so
    // the committed deletions are exactly the first `deleted` records.
    record_list left = read_records(home.path);
    std::set<std::string> left_keys = keys_of(left);
    EXPECT_EQ(total - deleted + 1, left.size());
    for (int i = 0; i < total; i++)
        ASSERT_EQ(static_cast<unsigned>(i) >= deleted,
                  left_keys.count(ipv4_key(walk_address(i), sender, recipient)) == 1)
            << "record " << i << " of " << total << ", " << deleted << " deleted";

    // One "Expiring" line per deletion, save the one write that the signal
    // may have interrupted: the walk went on for the current record only.
    size_t expiring = starting_with(lines, "info\tExpiring ").size();
    EXPECT_TRUE(expiring == deleted || expiring + 1 == deleted)
        << expiring << " lines for " << deleted << " deletions";
}

const stop_case stop_cases[] = {
    {"first_batch", 0},
    {"later_batch", 1500},
};

INSTANTIATE_TEST_SUITE_P(Moments, ExpiryStop, ::testing::ValuesIn(stop_cases),
                         [](const auto &info) { return std::string(info.param.name); });

// --- databases larger than one transaction could lock ------------------------

// Keys of about 800 bytes (a sender and a recipient as long as mail lets
// them be), three or four to a 4 KiB leaf page: 40,000 records fill over
// 10,000 leaf pages, several times what one transaction can lock on the
// library's default lock table (about 4,500 locks). A pass in one
// transaction ran out of lock entries there, deleted nothing and left the
// environment unusable for the daemons after it.
constexpr size_t large_total = 40000;

std::string large_key(size_t i)
{
    std::string address = "10." + std::to_string(i >> 16) + "." +
                          std::to_string((i >> 8) & 255) + "." + std::to_string(i & 255);
    std::string tail = std::to_string(i) + std::string(380, 'x');
    return ipv4_key(address, "sender-" + tail + "@example.com",
                    "recipient-" + tail + "@example.org");
}

// Three records of four are idle; every fourth was seen a minute ago.
bool large_idle(size_t i) { return i % 4 != 0; }

TEST_F(Expiry, OnePassDeletesEveryIdleRecordOfALargeDatabase)
{
    put_generated(home.path, "triplets-1.db", large_total, [](size_t i) {
        return std::make_pair(large_key(i), large_idle(i)
                                                ? record_value(now - 99999, now - 99999, 1, 0)
                                                : record_value(now - 60, now - 60, 1, 0));
    });
    daemon_result result = run_frozen(home.path, {}, opener_request());
    ASSERT_FALSE(result.timed_out);
    EXPECT_EQ(0, result.status);
    std::vector<std::string> notices = {"Expired 30000 triplets"};
    EXPECT_EQ(notices, result.messages("notice")) << ::testing::PrintToString(result.log);
    EXPECT_TRUE(result.messages("err").empty()) << ::testing::PrintToString(result.log);

    std::set<std::string> expected = {opener_key};
    for (size_t i = 0; i < large_total; i += 4)
        expected.insert(large_key(i));
    EXPECT_TRUE(expected == keys_of(read_records(home.path)))
        << "the records left are not exactly the fresh ones";

    // Later daemons open the environment and decide as usual: a kept record
    // is found (created a minute ago), a new triplet is created.
    const std::string &key = large_key(0);
    std::string sender_part = key.substr(5, key.find('\0', 5) - 5);
    std::string recipient_part = key.substr(key.find('\0', 5) + 1);
    daemon_result later = run_frozen(
        home.path, {},
        rcpt_request("10.0.0.0", sender_part, recipient_part) +
            rcpt_request("192.0.2.200", "new@example.com", "rcpt@example.org"));
    ASSERT_FALSE(later.timed_out);
    EXPECT_EQ(0, later.status);
    EXPECT_EQ("action=DEFER_IF_PERMIT Greylisted by murvane 0.4.0, try again in 3420 "
              "seconds.  See https://www.murvane.org/greylisting/ for more information.\n\n"
              "action=DEFER_IF_PERMIT Greylisted by murvane 0.4.0, try again in 3480 "
              "seconds.  See https://www.murvane.org/greylisting/ for more information.\n\n",
              later.out);
    EXPECT_EQ(std::vector<std::string>{}, later.log_messages());
}

// Another process holds a write lock on a record in the middle of the walk:
// the batches before it stay committed, the batch that meets the lock is
// rolled back, and the pass ends there, leaving the rest untouched.
TEST_F(Expiry, LockInTheMiddleKeepsTheBatchesBeforeIt)
{
    constexpr int total = 5000;
    constexpr int locked = 3000;
    put_generated(home.path, "triplets-1.db", total, [](size_t i) {
        return std::make_pair(ipv4_key(walk_address(static_cast<int>(i)), sender, recipient),
                              record_value(now - 99999, now - 99999, 1, 0));
    });

    daemon_result result;
    ASSERT_NO_FATAL_FAILURE(stop_with_record_locked(
        home.path, {}, ipv4_key(walk_address(locked), sender, recipient), &result));
    EXPECT_EQ("", result.err);
    ASSERT_FALSE(result.timed_out);
    EXPECT_EQ(0, result.status);

    // The notice, then (after the library's own complaint about the cursor
    // of the refused locker) the count of the batches committed before.
    std::vector<std::string> notices = result.messages("notice");
    ASSERT_GE(notices.size(), 2u) << ::testing::PrintToString(result.log);
    EXPECT_EQ("Aborting concurrent expiry due to deadlock", notices.front());
    unsigned deleted = 0;
    ASSERT_EQ(1, sscanf(notices.back().c_str(), "Expired %u triplets", &deleted))
        << notices.back();
    // At least the first batch lies wholly before the locked page.
    EXPECT_GE(deleted, 1u);
    EXPECT_LT(deleted, static_cast<unsigned>(locked));

    std::set<std::string> left = keys_of(read_records(home.path));
    EXPECT_EQ(total - deleted + 1, left.size());
    for (int i = 0; i < total; i++)
        ASSERT_EQ(static_cast<unsigned>(i) >= deleted,
                  left.count(ipv4_key(walk_address(i), sender, recipient)) == 1)
            << "record " << i << ", " << deleted << " deleted";
}

// --- the sweep that the stops share ----------------------------------------

// The i-th record of a sweep fixture: addresses in the order of i, so the
// walk meets them in that order (and before the opener's 198.51.100.1).
std::string sweep_key(size_t i)
{
    return ipv4_key("10." + std::to_string(i >> 16) + "." + std::to_string((i >> 8) & 255) +
                        "." + std::to_string(i & 255),
                    sender, recipient);
}

// expired_count - the count of the one "Expired N triplets" line, 0 without
// one.
unsigned expired_count(const daemon_result &result)
{
    unsigned count = 0;
    for (const auto &notice : starting_with(result.messages("notice"), "Expired "))
        EXPECT_EQ(1, sscanf(notice.c_str(), "Expired %u triplets", &count)) << notice;
    EXPECT_GE(1u, starting_with(result.messages("notice"), "Expired ").size());
    return count;
}

// A database two and a half slices long, every fourth record fresh: each
// stop deletes the idle records of the next slice and nothing else, and the
// third one, meeting the end of the database, finishes the sweep.
TEST_F(Expiry, SweepTakesOneStopPerSlice)
{
    const size_t total = expiry_slice * 5 / 2;
    auto fresh = [](size_t i) { return i % 4 == 0; };
    put_generated(home.path, "triplets-1.db", total, [&](size_t i) {
        return std::make_pair(sweep_key(i), fresh(i)
                                                ? record_value(now - 60, now - 60, 1, 0)
                                                : record_value(now - 99999, now - 99999, 1, 0));
    });
    const size_t ends[] = {expiry_slice, 2 * expiry_slice, total};
    size_t begin = 0;
    for (size_t stop = 0; stop < 3; stop++) {
        daemon_result result = run_frozen(home.path, {}, opener_request());
        ASSERT_EQ(0, result.status) << ::testing::PrintToString(result.log);
        EXPECT_EQ(std::vector<std::string>{"Expired " +
                                           std::to_string((ends[stop] - begin) * 3 / 4) +
                                           " triplets"},
                  result.messages("notice"))
            << "stop " << stop + 1;
        std::set<std::string> left = keys_of(read_records(home.path));
        EXPECT_EQ(1u, left.count(opener_key));
        size_t mismatches = 0;
        for (size_t i = 0; i < total; i++)
            if ((left.count(sweep_key(i)) == 1) != (i >= ends[stop] || fresh(i)))
                mismatches++;
        EXPECT_EQ(0u, mismatches) << "stop " << stop + 1 << " left the wrong records";
        EXPECT_EQ(stop < 2, has_position(home.path)) << "stop " << stop + 1;
        begin = ends[stop];
    }
}

// Fixtures of the two tests below: even records idle at `now`, odd ones
// created at `now` - 10, idle only at `later`. A stop at `later` that starts
// at the first key deletes them all; one that resumes deletes only those
// after its start.
constexpr int resume_total = 5000;
constexpr time_t later = now + 20000;

void put_even_odd(const std::string &home)
{
    put_generated(home, "triplets-1.db", resume_total, [](size_t i) {
        return std::make_pair(sweep_key(i), i % 2 == 0
                                                ? record_value(now - 99999, now - 99999, 1, 0)
                                                : record_value(now - 10, now - 10, 1, 0));
    });
}

// committed_prefix - the even records a stop at `now` deleted: they must be
// the first ones, as the walk goes in key order.
size_t committed_prefix(const std::string &home)
{
    std::set<std::string> left = keys_of(read_records(home));
    size_t gone = 0;
    while (gone * 2 < resume_total && left.count(sweep_key(gone * 2)) == 0)
        gone++;
    for (int i = 0; i < resume_total; i++)
        EXPECT_EQ(i % 2 == 1 || static_cast<size_t>(i) >= 2 * gone,
                  left.count(sweep_key(i)) == 1)
            << "record " << i << " after " << gone << " deletions";
    return gone;
}

// run_at - a daemon at `when` that opens the database through a listing,
// adding no record of its own, and stops.
daemon_result run_at(const std::string &home, time_t when)
{
    daemon_run run = frozen_run(home, {"--dump-triplets"}, "");
    run.env = frozen_clock(when);
    daemon_result result = run_daemon(run);
    EXPECT_FALSE(result.timed_out);
    EXPECT_EQ("", result.err);
    return result;
}

// expect_resumed - a stop at `later` after a first one that deleted the
// first `gone` even records: it went on where that one ended (on record
// 2 * gone - 2, or - 1 when the batch ended on an odd one), deleting every
// record after it and none before. A third stop starts at the first key
// again and deletes the rest.
void expect_resumed(const std::string &home, size_t gone)
{
    ASSERT_LT(0u, gone);
    daemon_result second = run_at(home, later);
    ASSERT_EQ(0, second.status);
    std::set<std::string> left = keys_of(read_records(home));
    for (size_t i = 0; i < resume_total; i++) {
        if (i + 1 == 2 * gone)
            continue;  // the last record walked, or the first after it
        ASSERT_EQ(i % 2 == 1 && i < 2 * gone, left.count(sweep_key(i)) == 1)
            << "record " << i << ", the first stop deleted " << gone;
    }
    daemon_result third = run_at(home, later);
    EXPECT_EQ(0, third.status);
    left = keys_of(read_records(home));
    for (size_t i = 0; i < resume_total; i++)
        ASSERT_EQ(0u, left.count(sweep_key(i))) << "record " << i << " after the wrap";
}

TEST_F(Expiry, StopAfterOneThatGaveWayResumesWhereItEnded)
{
    put_even_odd(home.path);
    daemon_result result;
    ASSERT_NO_FATAL_FAILURE(
        stop_with_record_locked(home.path, {}, sweep_key(3000), &result));
    ASSERT_EQ(0, result.status);
    EXPECT_TRUE(result.logged("notice", "Aborting concurrent expiry due to deadlock"));
    size_t gone = committed_prefix(home.path);
    EXPECT_EQ(gone, expired_count(result));
    EXPECT_GT(1500u, gone);
    ASSERT_NO_FATAL_FAILURE(expect_resumed(home.path, gone));
}

// A daemon killed in the middle of its slice: the batches it committed
// stand with their position, the one under way is undone by the recovery
// of the next daemon, and the next stop goes on from the last committed
// batch. The FIFO log (see ExpiryStop) holds the daemon in its walk.
TEST_F(Expiry, StopAfterADaemonKilledMidSliceGoesOnFromItsLastBatch)
{
    put_even_odd(home.path);
    fifo_log log(home.file("log.fifo"));
    ASSERT_TRUE(log.ok());
    daemon_run run = frozen_run(home.path, {"-v"}, "");
    run.env.push_back("MURVANE_SYSLOG_FILE=" + home.file("log.fifo"));
    daemon_process daemon = start_daemon(run);
    ASSERT_TRUE(write_input(daemon, opener_request()));
    close_input(daemon);
    ASSERT_TRUE(log.read_until("\tExpiring 10.0.11.184 ", 60000));  // record 3000
    ASSERT_EQ(0, kill(daemon.pid, SIGKILL));
    daemon_result killed = finish_daemon(daemon);
    ASSERT_EQ(SIGKILL, killed.signal);
    size_t gone = committed_prefix(home.path);
    EXPECT_GT(2500u, gone) << "the daemon finished its walk before the kill";
    EXPECT_FALSE(read_records(home.path, "expiry-sweep.db").empty());
    ASSERT_NO_FATAL_FAILURE(expect_resumed(home.path, gone));
}

// Two daemons stopping together over a database of several slices: either
// one sweeps while the other makes no pass, or they sweep one slice after
// the other; never do they walk the same records or get in each other's way.
TEST_F(Expiry, DaemonsStoppingTogetherNeverWalkTheSameSlice)
{
    const size_t total = expiry_slice * 5 / 2;
    put_generated(home.path, "triplets-1.db", total, [](size_t i) {
        return std::make_pair(sweep_key(i), record_value(now - 99999, now - 99999, 1, 0));
    });
    daemon_process daemons[2];
    for (auto &daemon : daemons) {
        daemon = start_daemon(frozen_run(home.path, {}, ""));
        ASSERT_TRUE(write_input(daemon, opener_request()));
        ASSERT_TRUE(read_output_until(daemon, "\n\n"));
    }
    for (auto &daemon : daemons)
        close_input(daemon);
    unsigned deleted = 0, passes = 0;
    for (auto &daemon : daemons) {
        daemon_result result = finish_daemon(daemon);
        ASSERT_FALSE(result.timed_out);
        EXPECT_EQ(0, result.status);
        EXPECT_FALSE(result.logged("notice", "Aborting concurrent expiry due to deadlock"));
        unsigned count = expired_count(result);
        if (count > 0) {
            EXPECT_EQ(expiry_slice, count);
            passes++;
        }
        deleted += count;
    }
    EXPECT_LE(1u, passes);
    std::set<std::string> left = keys_of(read_records(home.path));
    EXPECT_EQ(total - deleted + 1, left.size());
    for (size_t i = 0; i < total; i++)
        ASSERT_EQ(i >= deleted, left.count(sweep_key(i)) == 1) << "record " << i;
}

// What a stop makes of the stored position: garbage is warned of once and
// the sweep starts again at the first key; a key that is gone resumes at
// the next one; a key past the last one wraps to the first.
struct position_case {
    const char *name;
    std::string stored;          // the value of the position record
    std::set<int> deleted;       // of records 1 to 5 (192.0.2.1 ... .5)
    bool warned;
};

void PrintTo(const position_case &c, std::ostream *out) { *out << c.name; }

std::string position_key(int i) { return ipv4_key("192.0.2." + std::to_string(i), sender, recipient); }

// stored_position - a well-formed value: "MSWP", version, key size, key.
std::string stored_position(const std::string &key, uint32_t version = 1,
                            uint32_t size_shown = 0xffffffff)
{
    uint32_t size = size_shown == 0xffffffff ? static_cast<uint32_t>(key.size()) : size_shown;
    std::string value = "MSWP";
    value.append(reinterpret_cast<const char *>(&version), 4);
    value.append(reinterpret_cast<const char *>(&size), 4);
    return value + key;
}

class ExpiryPosition : public Expiry, public ::testing::WithParamInterface<position_case> {};

TEST_P(ExpiryPosition, StopStartsWhereThePositionSays)
{
    const position_case &c = GetParam();
    record_list records;
    for (int i = 1; i <= 5; i++)
        records.emplace_back(position_key(i), record_value(now - 99999, now - 99999, 1, 0));
    put_records(home.path, "triplets-1.db", records);
    put_records(home.path, "expiry-sweep.db", {{"position", c.stored}});

    daemon_result result = run_frozen(home.path, {"--dump-triplets"}, "");
    ASSERT_EQ(0, result.status);
    std::vector<std::string> expected;
    if (c.warned)
        expected.push_back("warning\tdamaged record in expiry-sweep.db removed: the expiry "
                           "sweep starts again at the first key");
    expected.push_back("notice\tExpired " + std::to_string(c.deleted.size()) + " triplets");
    EXPECT_EQ(expected, result.log_messages());
    std::set<std::string> left = keys_of(read_records(home.path));
    for (int i = 1; i <= 5; i++)
        EXPECT_EQ(c.deleted.count(i) == 0, left.count(position_key(i)) == 1) << "record " << i;
    // The pass met the end of the database: the sweep is finished.
    EXPECT_FALSE(has_position(home.path));
}

const position_case position_cases[] = {
    {"too_short", "MSWP\x01", {1, 2, 3, 4, 5}, true},
    {"other_magic", "XSWP" + stored_position(position_key(3)).substr(4), {1, 2, 3, 4, 5}, true},
    {"other_version", stored_position(position_key(3), 2), {1, 2, 3, 4, 5}, true},
    {"size_past_the_value", stored_position(position_key(3), 1, 500), {1, 2, 3, 4, 5}, true},
    {"at_a_record", stored_position(position_key(3)), {4, 5}, false},
    {"at_a_key_that_is_gone",
     stored_position(ipv4_key("192.0.2.3", "zz@example.com", recipient)), {4, 5}, false},
    {"past_the_last_key", stored_position(std::string("\x03", 1)), {1, 2, 3, 4, 5}, false},
};

INSTANTIATE_TEST_SUITE_P(Stored, ExpiryPosition, ::testing::ValuesIn(position_cases),
                         [](const auto &info) { return std::string(info.param.name); });

// --- failures during the pass ---------------------------------------------

// A value longer than a record fails the read with DB_BUFFER_SMALL; the pass
// logs it in the notice form and rolls back, deleting nothing. A value shorter
// than a record is not judged at all.
TEST_F(Expiry, FailedReadIsANoticeAndRollsThePassBack)
{
    const std::string long_key = ipv4_key("192.0.2.40", sender, recipient);
    const std::string short_key = ipv4_key("192.0.2.10", sender, recipient);
    const std::string idle_key = ipv4_key("192.0.2.1", sender, recipient);
    put_records(home.path, "triplets-1.db",
                {{idle_key, record_value(now - 99999, now - 99999, 1, 0)},
                 {short_key, std::string(10, '\0')},
                 {long_key, record_value(now - 99999, now - 99999, 1, 0) + "12345678"}});
    daemon_result result = run_frozen(home.path, {"--dump-triplets"}, "");
    ASSERT_FALSE(result.timed_out);
    EXPECT_EQ(0, result.status);
    EXPECT_TRUE(result.logged("notice", std::string("NOTICE (this is not an error): "
                                                    "dbcp->c_get failed: ") +
                                            db_strerror(DB_BUFFER_SMALL)))
        << ::testing::PrintToString(result.log);
    EXPECT_TRUE(result.messages("err").empty()) << ::testing::PrintToString(result.log);
    std::set<std::string> left = keys_of(read_records(home.path));
    EXPECT_EQ((std::set<std::string>{idle_key, short_key, long_key}), left);
}

TEST_F(Expiry, ShortValueIsLeftAloneByACompletePass)
{
    const std::string short_key = ipv4_key("192.0.2.10", sender, recipient);
    const std::string idle_key = ipv4_key("192.0.2.1", sender, recipient);
    put_records(home.path, "triplets-1.db",
                {{idle_key, record_value(now - 99999, now - 99999, 1, 0)},
                 {short_key, std::string(10, '\x7f')}});
    daemon_result result = run_frozen(home.path, {"--dump-triplets"}, "");
    EXPECT_EQ(0, result.status);
    EXPECT_TRUE(result.logged("notice", "Expired 1 triplets"));
    record_list left = read_records(home.path);
    ASSERT_EQ(1u, left.size());
    EXPECT_EQ(short_key, left[0].first);
    EXPECT_EQ(std::string(10, '\x7f'), left[0].second);
}

// Keys too short for the address their tag announces (a damaged database)
// are expired like any other, and the verbose line names no address for
// them: reading one would go past the key's end.
TEST_F(Expiry, VerboseLineDoesNotReadPastADamagedKey)
{
    const std::string idle = record_value(now - 99999, now - 99999, 1, 0);
    put_records(home.path, "triplets-1.db",
                {{"", idle},
                 {std::string(1, '\0') + "mail.example", idle},
                 {std::string("\x01\xc0\x00", 3), idle},
                 {ipv4_key("192.0.2.1", sender, recipient), idle},
                 {std::string("\x02\x20\x01\x0d\xb8", 5), idle}});
    daemon_result result = run_frozen(home.path, {"-v", "--dump-triplets"}, "");
    ASSERT_FALSE(result.timed_out);
    EXPECT_EQ(0, result.status) << result.err;
    std::vector<std::string> expected = {
        "Expiring - block after 99999 seconds idle",
        "Expiring - block after 99999 seconds idle",
        "Expiring - block after 99999 seconds idle",
        "Expiring 192.0.2.1 block after 99999 seconds idle",
        "Expiring - block after 99999 seconds idle",
    };
    EXPECT_EQ(expected, starting_with(result.messages("info"), "Expiring "));
    EXPECT_TRUE(result.logged("notice", "Expired 5 triplets"));
    EXPECT_TRUE(read_records(home.path).empty());
}

// --- in process: the notice form and in_expiry ------------------------------

class ExpiryInProcess : public ::testing::Test {
protected:
    void SetUp() override
    {
        log_path = home.file("syslog");
        setenv("MURVANE_SYSLOG_FILE", log_path.c_str(), 1);
        settings.db_home = home.path.c_str();
        dbdata = DBT{};
        dbdata.data = &triplet_data;
        dbdata.size = dbdata.ulen = sizeof triplet_data;
        dbdata.flags = DB_DBT_USERMEM;
    }
    void TearDown() override
    {
        cleanup();
        unsetenv("MURVANE_SYSLOG_FILE");
        in_expiry = 0;
    }
    std::vector<std::string> log() const { return read_log_file(log_path); }

    temp_dir home;
    std::string log_path;
};

TEST_F(ExpiryInProcess, ReportDbErrorIsANoticeWhileAPassRuns)
{
    const std::string text = db_strerror(DB_LOCK_NOTGRANTED);
    report_db_error("dbcp->c_del failed", DB_LOCK_NOTGRANTED);
    in_expiry = 1;
    report_db_error("dbcp->c_del failed", DB_LOCK_NOTGRANTED);
    report_db_error("commit failed in run_expiry", EIO);
    in_expiry = 0;
    report_db_error("commit failed in run_expiry", EIO);
    std::vector<std::string> expected = {
        "err\tdbcp->c_del failed: " + text,
        "notice\tNOTICE (this is not an error): dbcp->c_del failed: " + text,
        "notice\tNOTICE (this is not an error): commit failed in run_expiry: " +
            std::string(strerror(EIO)),
        "err\tcommit failed in run_expiry: " + std::string(strerror(EIO)),
    };
    EXPECT_EQ(expected, log());
}

// Whether the pass commits or rolls back, in_expiry is back at 0 afterwards:
// the failures of the next storage call are errors again.
struct pass_case {
    const char *name;
    record_list records;
    size_t left;
};

class ExpiryPassEnd : public ExpiryInProcess,
                      public ::testing::WithParamInterface<pass_case> {};

TEST_P(ExpiryPassEnd, LowersInExpiryOnTheWayOut)
{
    const pass_case &c = GetParam();
    put_records(home.path, "triplets-1.db", c.records);
    DB *handle;
    ASSERT_EQ(0, get_db(&handle));
    ASSERT_EQ(1, expiry_enabled);
    run_expiry();
    EXPECT_EQ(0, in_expiry);
    cleanup();
    EXPECT_EQ(c.left, read_records(home.path).size());
}

const time_t long_ago = time(nullptr) - 10000000;
const pass_case pass_cases[] = {
    {"committed",
     {{ipv4_key("192.0.2.1", sender, recipient), record_value(long_ago, long_ago, 1, 0)}},
     0},
    {"rolled_back",
     {{ipv4_key("192.0.2.1", sender, recipient), record_value(long_ago, long_ago, 1, 0)},
      {ipv4_key("192.0.2.2", sender, recipient), std::string(33, '\0')}},
     2},
};

INSTANTIATE_TEST_SUITE_P(Outcomes, ExpiryPassEnd, ::testing::ValuesIn(pass_cases),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
