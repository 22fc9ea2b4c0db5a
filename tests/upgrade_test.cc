// SPDX-License-Identifier: BSD-2-Clause
// upgrade_test.cc - the conversion of a v0 environment, through the daemon.
//
// Every fixture is a v0 database "triplets.db" written through the library;
// the daemon converts it on its first use of the database, inside a request
// or a dump, with its wall clock frozen so that answers and times are known.
#include <db.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "fixture_db.h"
#include "frozen_clock.h"
#include "run_daemon.h"

namespace {

constexpr time_t now = 1700000000;  // Tue Nov 14 22:13:20 2023 UTC
const std::string warning = "Upgrading from database format v0";
const std::string reject_3480 =
    "action=DEFER_IF_PERMIT Greylisted by murvane 0.4.0, try again in 3480 seconds.  "
    "See https://www.murvane.org/greylisting/ for more information.\n\n";

std::string v0_key(const std::string &address, const std::string &sender,
                   const std::string &recipient)
{
    return address + std::string(1, '\0') + sender + std::string(1, '\0') + recipient;
}

std::vector<std::string> containing(const std::vector<std::string> &lines,
                                    const std::string &text)
{
    std::vector<std::string> out;
    for (const auto &line : lines)
        if (line.find(text) != std::string::npos)
            out.push_back(line);
    return out;
}

class Upgrade : public ::testing::Test {
protected:
    static void SetUpTestSuite() { setenv("TZ", "UTC", 1); }
    void SetUp() override
    {
        ASSERT_FALSE(faketime_library().empty())
            << "libfaketime is missing: scripts/test.sh installs it";
    }

    // run - one run at `now`; standard error is checked by the caller.
    daemon_result run(std::vector<std::string> args, const std::string &input = "")
    {
        daemon_run r;
        r.args = {"-h", home.path};
        r.args.insert(r.args.end(), args.begin(), args.end());
        r.input = input;
        r.env = frozen_clock(now);
        daemon_result result = run_daemon(r);
        EXPECT_FALSE(result.timed_out);
        return result;
    }
    bool exists(const std::string &file) const
    {
        return std::filesystem::exists(home.file(file));
    }

    temp_dir home;
};

TEST_F(Upgrade, EmptyV0DatabaseIsReplacedByAnEmptyOne)
{
    put_records(home.path, "triplets.db", {});
    daemon_result result = run({"--dump-triplets"});
    EXPECT_EQ(0, result.status);
    EXPECT_EQ("", result.out);
    EXPECT_EQ("", result.err);
    std::vector<std::string> log = {"warning\t" + warning};
    EXPECT_EQ(log, result.log_messages());
    EXPECT_FALSE(exists("triplets.db"));
    EXPECT_TRUE(exists("triplets-1.db"));
    EXPECT_TRUE(read_records(home.path).empty());
}

TEST_F(Upgrade, NoV0DatabaseMeansNoConversion)
{
    daemon_result result = run({}, rcpt_request("192.0.2.1", "a@example.com", "b@example.org"));
    EXPECT_EQ(0, result.status);
    EXPECT_EQ(reject_3480, result.out);
    EXPECT_EQ("", result.err);
    EXPECT_EQ(std::vector<std::string>{}, result.log_messages());
    EXPECT_TRUE(exists("triplets-1.db"));
    EXPECT_FALSE(exists("triplets.db"));
}

TEST_F(Upgrade, DumpConvertsFirstAndThenLists)
{
    const std::string v = record_value(now - 600, now - 60, 2, 1);
    put_records(home.path, "triplets.db",
                {{v0_key("192.0.2.77", "a@example.com", "b@example.org"), v},
                 {v0_key("192.0.2", "a@example.com", "b@example.org"), v},
                 {v0_key("10.1", "", "b@example.org"), v},
                 {v0_key("2001:db8::1", "a@example.com", "b@example.org"), v},
                 {v0_key("localhost", "a@example.com", "b@example.org"), v},
                 {v0_key("", "a@example.com", "b@example.org"), v}});
    daemon_result result = run({"--dump-triplets"});
    EXPECT_EQ(0, result.status);
    EXPECT_EQ("", result.err);
    const std::string tail = "\tTue Nov 14 22:03:20 2023\tTue Nov 14 22:12:20 2023\t2\t1\n";
    EXPECT_EQ("\ta@example.com\tb@example.org" + tail +
                  "localhost\ta@example.com\tb@example.org" + tail +
                  "10.1.0.0\t\tb@example.org" + tail +
                  "192.0.2.0\ta@example.com\tb@example.org" + tail +
                  "192.0.2.77\ta@example.com\tb@example.org" + tail +
                  "2001:db8::1\ta@example.com\tb@example.org" + tail,
              result.out);
    EXPECT_TRUE(result.logged("warning", warning));
    EXPECT_FALSE(exists("triplets.db"));
    EXPECT_EQ(6u, read_records(home.path).size());
}

// --- inside the first request -----------------------------------------------

struct prefix_case {
    const char *name;
    std::vector<std::string> args;
    std::string new_key;          // the first request's triplet as stored
    std::string second_answer;    // for the client that v0 knew
};

class UpgradeInRequest : public Upgrade, public ::testing::WithParamInterface<prefix_case> {};

// The conversion runs inside the first request's get_db and leaves that
// request's key alone: the request is decided on its own triplet. A v0 record
// is found again only when the prefixes keep the whole address, since v0
// addresses are converted uncut.
TEST_P(UpgradeInRequest, FirstRequestIsDecidedOnItsOwnTriplet)
{
    const prefix_case &c = GetParam();
    const std::string waited = record_value(now - 7200, now - 7200, 3, 0);
    record_list v0 = {
        {v0_key("192.0.2.77", "known@example.com", "rcpt@example.org"), waited},
        {v0_key("2001:db8::5", std::string(300, 'x') + "@example.com", "rcpt@example.org"),
         waited},
        {v0_key("localhost", "other@example.com", "rcpt@example.org"), waited},
    };
    put_records(home.path, "triplets.db", v0);

    daemon_result result =
        run(c.args, rcpt_request("192.0.2.99", "new@example.com", "rcpt@example.org") +
                        rcpt_request("192.0.2.77", "known@example.com", "rcpt@example.org"));
    EXPECT_EQ(0, result.status);
    EXPECT_EQ("", result.err);
    EXPECT_EQ(reject_3480 + c.second_answer, result.out);
    EXPECT_EQ(1u, containing(result.log_messages(), warning).size());
    EXPECT_FALSE(exists("triplets.db"));

    record_list records = read_records(home.path);
    bool found_new = false;
    for (const auto &[key, value] : records) {
        if (key == c.new_key) {
            found_new = true;
            EXPECT_EQ((record_fields{now, now, 1, 0}), decode_record(value));
        }
    }
    EXPECT_TRUE(found_new) << "the first request's triplet was not stored";
    // The converted records, the first request's and (when the prefix cuts
    // the address) the second request's own new one.
    EXPECT_EQ(c.args.empty() ? 4u : 5u, records.size());
}

const prefix_case prefix_cases[] = {
    {"whole_address",
     {},
     ipv4_key("192.0.2.99", "new@example.com", "rcpt@example.org"),
     "action=PREPEND X-Murvane: Greylisted by murvane 0.4.0 for 7200 seconds.  "
     "See https://www.murvane.org/greylisting/ for more information.\n\n"},
    {"prefix_24",
     {"-/", "24"},
     ipv4_key("192.0.2.0", "new@example.com", "rcpt@example.org"),
     reject_3480},
};

INSTANTIATE_TEST_SUITE_P(Prefixes, UpgradeInRequest, ::testing::ValuesIn(prefix_cases),
                         [](const auto &info) { return std::string(info.param.name); });

// --- a conversion that fails ------------------------------------------------

struct failure_case {
    const char *name;
    record_list v0;
    int code;                          // the conversion's result
    std::vector<std::string> errors;   // logged at LOG_ERR before "upgrade_from_v0"
};

class UpgradeFailure : public Upgrade, public ::testing::WithParamInterface<failure_case> {};

// Nothing is converted and nothing is left behind; every start meets the v0
// database again, and fails again the same way. A request takes the failure
// exit; a dump reports on standard error.
TEST_P(UpgradeFailure, LeavesTheV0DatabaseForTheNextStart)
{
    const failure_case &c = GetParam();
    put_records(home.path, "triplets.db", c.v0);
    std::vector<std::string> errors = c.errors;
    errors.push_back(std::string("upgrade_from_v0: ") + db_strerror(c.code));

    for (int attempt = 1; attempt <= 2; attempt++) {
        SCOPED_TRACE("attempt " + std::to_string(attempt));
        daemon_result result =
            run({}, rcpt_request("192.0.2.1", "a@example.com", "b@example.org") +
                        rcpt_request("192.0.2.2", "a@example.com", "b@example.org"));
        EXPECT_EQ(1, result.status);
        // No empty line after the failed answer, and no second answer.
        EXPECT_EQ("action=WARN get_db failed\n", result.out);
        EXPECT_EQ("", result.err);
        std::vector<std::string> expected = errors;
        expected.push_back("error: cleaning up");
        expected.push_back("error: exiting after cleanup");
        EXPECT_EQ(expected, result.messages("err"));
        EXPECT_TRUE(result.logged("warning", warning));
        EXPECT_EQ(c.v0, read_records(home.path, "triplets.db"));
        EXPECT_FALSE(exists("triplets-1.db"));
    }

    daemon_result dump = run({"--dump-triplets"});
    EXPECT_EQ(0, dump.status);
    EXPECT_EQ("", dump.out);
    EXPECT_EQ("DBD-" + std::to_string(c.code) + ": failed to open database\n", dump.err);
    EXPECT_EQ(errors, dump.messages("err"));
    EXPECT_EQ(c.v0, read_records(home.path, "triplets.db"));
    EXPECT_FALSE(exists("triplets-1.db"));
}

const std::string a_record = record_value(now - 60, now - 60, 1, 0);
const failure_case failure_cases[] = {
    {"host_name",
     {{v0_key("192.0.2.1", "a@example.com", "b@example.org"), a_record},
      {v0_key("mail.example.com", "a@example.com", "b@example.org"), a_record}},
     EINVAL,
     {}},
    {"mapped_ipv6",
     {{v0_key("::ffff:192.0.2.1", "a@example.com", "b@example.org"), a_record}},
     EINVAL,
     {}},
    {"key_without_sender_nul", {{std::string("192.0.2.1\0a@example.com", 23), a_record}},
     EINVAL, {}},
    // The library hands an empty key out without any data.
    {"empty_key", {{"", a_record}}, EINVAL, {}},
    {"same_converted_key",
     {{v0_key("192.0.2", "a@example.com", "b@example.org"), a_record},
      {v0_key("192.0.2.0", "a@example.com", "b@example.org"), a_record}},
     DB_KEYEXIST,
     {std::string("upgrade_from_v0 db1->put: ") + db_strerror(DB_KEYEXIST)}},
};

INSTANTIATE_TEST_SUITE_P(Databases, UpgradeFailure, ::testing::ValuesIn(failure_cases),
                         [](const auto &info) { return std::string(info.param.name); });

// A triplets.db that the library cannot open is not converted: the failed
// open has no message of the conversion's own, only get_db's
// "upgrade_from_v0" line, and the file is left exactly as it was.
TEST_F(Upgrade, UnreadableV0FileIsLeftAsItIs)
{
    const std::string garbage(8192, 'x');
    std::ofstream(home.file("triplets.db"), std::ios::binary) << garbage;
    daemon_result result = run({"--dump-triplets"});
    EXPECT_EQ(0, result.status);
    EXPECT_EQ("", result.out);
    int code = 0;
    ASSERT_EQ(1, sscanf(result.err.c_str(), "DBD-%d: failed to open database\n", &code))
        << result.err;
    EXPECT_NE(0, code);
    EXPECT_NE(ENOENT, code);
    EXPECT_EQ("DBD-" + std::to_string(code) + ": failed to open database\n", result.err);
    // The library's own diagnostics come first; the daemon's line is last.
    std::vector<std::string> errors = result.messages("err");
    ASSERT_FALSE(errors.empty());
    EXPECT_EQ(std::string("upgrade_from_v0: ") + db_strerror(code), errors.back());
    EXPECT_TRUE(containing(result.log_messages(), warning).empty());
    EXPECT_TRUE(containing(errors, "upgrade_from_v0 ").empty());

    std::ifstream in(home.file("triplets.db"), std::ios::binary);
    std::string kept((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(garbage, kept);
    EXPECT_FALSE(exists("triplets-1.db"));
}

// --- values that are not 32-byte records -----------------------------------

// v0 values are carried over as they are. The dump, the expiry pass and the
// decision then meet values of 10 and 40 bytes: none of them reads or writes
// beyond the value (the sanitizer build of the daemon checks the reads).
TEST_F(Upgrade, ValuesOfOtherLengthsAreCarriedOverAndHandledWithinTheirSize)
{
    const std::string short_value(10, '\x21');
    const std::string long_value = record_value(now - 99999, now - 99999, 1, 0) + "\1\2\3\4\5\6\7\10";
    put_records(home.path, "triplets.db",
                {{v0_key("192.0.2.10", "a@example.com", "b@example.org"), short_value},
                 {v0_key("192.0.2.40", "a@example.com", "b@example.org"), long_value}});
    const std::string short_key = ipv4_key("192.0.2.10", "a@example.com", "b@example.org");
    const std::string long_key = ipv4_key("192.0.2.40", "a@example.com", "b@example.org");

    // The dump converts and lists; its expiry pass fails on the long value
    // and rolls back.
    daemon_result dump = run({"--dump-triplets"});
    EXPECT_EQ(0, dump.status);
    EXPECT_EQ("", dump.err);
    EXPECT_EQ("192.0.2.10\ta@example.com\tb@example.org\t-\t-\t-\t-\n"
              "192.0.2.40\ta@example.com\tb@example.org\t-\t-\t-\t-\n",
              dump.out);
    EXPECT_TRUE(dump.logged("notice", std::string("NOTICE (this is not an error): "
                                                  "dbcp->c_get failed: ") +
                                          db_strerror(DB_BUFFER_SMALL)));
    record_list expected = {{short_key, short_value}, {long_key, long_value}};
    EXPECT_EQ(expected, read_records(home.path));

    // A short value starts its triplet afresh as a whole 32-byte record.
    daemon_result first = run({}, rcpt_request("192.0.2.10", "a@example.com", "b@example.org"));
    EXPECT_EQ(0, first.status);
    EXPECT_EQ("", first.err);
    EXPECT_EQ(reject_3480, first.out);
    EXPECT_TRUE(first.logged("warning", "stored value of 10 bytes for triplet 192.0.2.10 is "
                                        "no triplet record, starting afresh"));
    // A long one does not fit the record buffer: the read fails.
    daemon_result second = run({}, rcpt_request("192.0.2.40", "a@example.com", "b@example.org"));
    EXPECT_EQ(1, second.status);
    EXPECT_EQ("", second.err);
    EXPECT_EQ("action=WARN get failed\n", second.out);
    EXPECT_TRUE(second.logged("err", std::string("get failed: ") + db_strerror(DB_BUFFER_SMALL)));

    expected = {{short_key, record_value(now, now, 1, 0)}, {long_key, long_value}};
    EXPECT_EQ(expected, read_records(home.path));
}

// --- large databases, interruptions, concurrent starts ----------------------

// Record i of a generated v0 database: client 10.x.y.z, a sender of its own,
// a value that no pass finds idle at `now`.
std::string generated_address(size_t i)
{
    return "10." + std::to_string(i >> 16) + "." + std::to_string((i >> 8) & 255) + "." +
           std::to_string(i & 255);
}
std::string generated_sender(size_t i) { return "s" + std::to_string(i) + "@example.com"; }
const std::string generated_recipient = "postmaster@example.org";
const std::string generated_value = record_value(now - 7200, now - 7200, 3, 0);

void put_generated_v0(const std::string &home, size_t count)
{
    put_generated(home, "triplets.db", count, [](size_t i) {
        return std::make_pair(v0_key(generated_address(i), generated_sender(i),
                                     generated_recipient),
                              generated_value);
    });
}

// The whole v0 database, converted, is in triplets-1.db and nothing else;
// the records in `asked` were then let through by a request at `now`, those
// in `maybe` perhaps (by a daemon killed around that moment). Nothing of the
// conversion's own is left in the home.
void expect_converted(const std::string &home, size_t count, const std::set<size_t> &asked,
                      const std::set<size_t> &maybe = {})
{
    const std::string passed = record_value(now - 7200, now, 3, 1);
    record_list expected;
    for (size_t i = 0; i < count; i++)
        expected.emplace_back(
            ipv4_key(generated_address(i), generated_sender(i), generated_recipient),
            asked.count(i) ? passed : generated_value);
    std::sort(expected.begin(), expected.end());
    record_list records = read_records(home);
    ASSERT_EQ(count, records.size());
    for (size_t i = 0; i < count; i++) {
        ASSERT_EQ(hex(expected[i].first), hex(records[i].first)) << "record " << i;
        bool maybe_passed = false;
        for (size_t m : maybe)
            maybe_passed |= records[i].first == ipv4_key(generated_address(m),
                                                         generated_sender(m),
                                                         generated_recipient);
        if (!(maybe_passed && records[i].second == passed)) {
            ASSERT_EQ(expected[i].second, records[i].second) << "record " << i;
        }
    }
    EXPECT_FALSE(std::filesystem::exists(home + "/triplets.db"));
    EXPECT_FALSE(std::filesystem::exists(home + "/triplets-1.db.converting"));
}

const std::string first_pass_7200 =
    "action=PREPEND X-Murvane: Greylisted by murvane 0.4.0 for 7200 seconds.  "
    "See https://www.murvane.org/greylisting/ for more information.\n\n";

std::string generated_request(size_t i)
{
    return rcpt_request(generated_address(i), generated_sender(i), generated_recipient);
}

// A v0 database far larger than one transaction could convert on the
// library's default lock table: in one transaction this ran out of lock
// entries, its abort could not log its undo and the environment panicked.
// The sanitizer build runs the same size; it only takes longer.
TEST_F(Upgrade, ConvertsAFewHundredThousandRecords)
{
    constexpr size_t count = 300000;
    put_generated_v0(home.path, count);
    daemon_result result = run({}, generated_request(123456));
    EXPECT_EQ(0, result.status);
    EXPECT_EQ("", result.err);
    EXPECT_EQ(first_pass_7200, result.out);
    std::vector<std::string> log = {"warning\t" + warning};
    EXPECT_EQ(log, result.log_messages());
    expect_converted(home.path, count, {123456});
}

// A conversion killed at a random moment leaves triplets.db as it was and
// at most its unfinished database; the next daemon runs recovery, removes
// that and converts every record. The moment is drawn as a size that the
// unfinished database must reach first, so most kills land mid-way.
TEST_F(Upgrade, KilledConversionIsCompletedByTheNextDaemon)
{
    constexpr size_t count = 40000;
    std::random_device seed;
    std::mt19937 draw(seed());
    for (int round = 1; round <= 3; round++) {
        temp_dir round_home;
        put_generated_v0(round_home.path, count);
        off_t v0_size = std::filesystem::file_size(round_home.file("triplets.db"));
        // The converted records take a little less room than the v0 ones.
        off_t kill_at = std::uniform_int_distribution<off_t>(1, v0_size * 3 / 4)(draw);
        SCOPED_TRACE("round " + std::to_string(round) + ", kill at " +
                     std::to_string(kill_at) + " of " + std::to_string(v0_size) + " bytes");

        daemon_run first;
        first.args = {"-h", round_home.path};
        first.env = frozen_clock(now);
        first.keep_stdin_open = true;
        daemon_process converter = start_daemon(first);
        ASSERT_TRUE(write_input(converter, generated_request(7)));
        // Bounded: until the unfinished database has grown to kill_at bytes,
        // or the conversion is over (the daemon answered), a millisecond's
        // wait on its output at a time.
        const std::string building = round_home.file("triplets-1.db.converting");
        for (int i = 0; i < 60000; i++) {
            struct stat st;
            if ((stat(building.c_str(), &st) == 0 && st.st_size >= kill_at) ||
                read_output_until(converter, "\n\n", 1))
                break;
        }
        bool mid_way = std::filesystem::exists(building);
        ASSERT_EQ(0, kill(converter.pid, SIGKILL));
        daemon_result killed = finish_daemon(converter);
        EXPECT_EQ(SIGKILL, killed.signal);
        if (mid_way) {
            EXPECT_TRUE(std::filesystem::exists(round_home.file("triplets.db")));
            EXPECT_FALSE(std::filesystem::exists(round_home.file("triplets-1.db")));
        }

        daemon_run next;
        next.args = {"-h", round_home.path};
        next.env = frozen_clock(now);
        next.input = generated_request(count - 1);
        daemon_result result = run_daemon(next);
        ASSERT_FALSE(result.timed_out);
        EXPECT_EQ(0, result.status);
        EXPECT_EQ("", result.err);
        EXPECT_EQ(first_pass_7200, result.out);
        EXPECT_TRUE(result.messages("err").empty()) << ::testing::PrintToString(result.log);
        // The killed daemon's request may have been committed or not.
        expect_converted(round_home.path, count, {count - 1}, {7});
    }
}

// An unfinished database that an earlier attempt left behind is removed, and
// none of its records reaches triplets-1.db.
TEST_F(Upgrade, LeftoverOfAnEarlierAttemptIsRemoved)
{
    put_generated_v0(home.path, 100);
    put_records(home.path, "triplets-1.db.converting",
                {{ipv4_key("192.0.2.250", "stale@example.com", "rcpt@example.org"),
                  generated_value}});
    daemon_result result = run({"--dump-triplets"});
    EXPECT_EQ(0, result.status);
    EXPECT_EQ("", result.err);
    std::vector<std::string> log = {
        "warning\tRemoved the unfinished conversion of an earlier attempt",
        "warning\t" + warning};
    EXPECT_EQ(log, result.log_messages());
    EXPECT_EQ(std::string::npos, result.out.find("stale@example.com"));
    expect_converted(home.path, 100, {});
}

// Two daemons start at once on a v0 home. One converts; the other either
// finds the conversion done or meets the converter's lock and fails its
// request as for any storage failure. Never are the records converted twice
// or lost, and the daemons after them serve as usual.
TEST_F(Upgrade, TwoDaemonsStartingTogetherConvertOnce)
{
    constexpr size_t count = 20000;
    for (int round = 1; round <= 3; round++) {
        SCOPED_TRACE("round " + std::to_string(round));
        temp_dir round_home;
        put_generated_v0(round_home.path, count);
        std::vector<daemon_process> daemons;
        for (size_t d = 0; d < 2; d++) {
            daemon_run r;
            r.args = {"-h", round_home.path};
            r.env = frozen_clock(now);
            daemons.push_back(start_daemon(r));
        }
        for (size_t d = 0; d < 2; d++) {
            write_input(daemons[d], generated_request(d));
            close_input(daemons[d]);
        }
        int conversions = 0, served = 0;
        std::set<size_t> asked;  // the records of the daemons that served
        for (size_t d = 0; d < 2; d++) {
            daemon_result result = finish_daemon(daemons[d]);
            ASSERT_FALSE(result.timed_out);
            EXPECT_EQ("", result.err);
            conversions += result.logged("warning", warning);
            if (result.status == 0) {
                served++;
                asked.insert(d);
                EXPECT_EQ(first_pass_7200, result.out);
                EXPECT_TRUE(result.messages("err").empty())
                    << ::testing::PrintToString(result.log);
            } else {
                EXPECT_EQ(1, result.status);
                EXPECT_EQ("action=WARN get_db failed\n", result.out);
                std::vector<std::string> errors = {
                    std::string("upgrade_from_v0 flock: ") + strerror(EWOULDBLOCK),
                    std::string("upgrade_from_v0: ") + strerror(EWOULDBLOCK),
                    "error: cleaning up", "error: exiting after cleanup"};
                EXPECT_EQ(errors, result.messages("err"));
            }
        }
        EXPECT_EQ(1, conversions);
        EXPECT_GE(served, 1);
        expect_converted(round_home.path, count, asked);

        daemon_run later;
        later.args = {"-h", round_home.path};
        later.env = frozen_clock(now);
        later.input = generated_request(count - 1);
        daemon_result result = run_daemon(later);
        EXPECT_EQ(0, result.status);
        EXPECT_EQ(first_pass_7200, result.out);
        EXPECT_EQ(std::vector<std::string>{}, result.log_messages());
    }
}

// While another process converts (here the test, holding the converter's
// lock on the home), a daemon neither converts nor creates an empty
// triplets-1.db: with a v0 database it cannot have the lock, and without one
// the converter's last transaction may yet be undone. It fails its request
// as for any storage failure, and serves once the lock is free.
struct held_case {
    const char *name;
    bool v0;  // whether triplets.db is there
};

class UpgradeWhileHeld : public Upgrade, public ::testing::WithParamInterface<held_case> {};

TEST_P(UpgradeWhileHeld, DaemonFailsItsRequestAndCreatesNothing)
{
    const held_case &c = GetParam();
    if (c.v0)
        put_generated_v0(home.path, 100);
    int lock_fd = open(home.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(lock_fd, 0);
    ASSERT_EQ(0, flock(lock_fd, LOCK_EX | LOCK_NB));
    daemon_result held = run({}, generated_request(1));
    EXPECT_EQ(1, held.status);
    EXPECT_EQ("", held.err);
    EXPECT_EQ("action=WARN get_db failed\n", held.out);
    std::vector<std::string> errors = {
        std::string("upgrade_from_v0 flock: ") + strerror(EWOULDBLOCK),
        std::string("upgrade_from_v0: ") + strerror(EWOULDBLOCK), "error: cleaning up",
        "error: exiting after cleanup"};
    EXPECT_EQ(errors, held.messages("err"));
    EXPECT_FALSE(held.logged("warning", warning));
    EXPECT_FALSE(exists("triplets-1.db"));
    EXPECT_EQ(c.v0, exists("triplets.db"));
    close(lock_fd);

    daemon_result freed = run({}, generated_request(1));
    EXPECT_EQ(0, freed.status);
    EXPECT_EQ("", freed.err);
    EXPECT_EQ(c.v0 ? first_pass_7200 : reject_3480, freed.out);
    EXPECT_EQ(c.v0, freed.logged("warning", warning));
    if (c.v0)
        expect_converted(home.path, 100, {1});
    else
        EXPECT_EQ(1u, read_records(home.path).size());
}

const held_case held_cases[] = {{"v0_database", true}, {"no_v0_database", false}};

INSTANTIATE_TEST_SUITE_P(Homes, UpgradeWhileHeld, ::testing::ValuesIn(held_cases),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
