// SPDX-License-Identifier: BSD-2-Clause
// sweep_test.cc - the shared expiry sweep in process, with slices of a few hundred
// records: where each pass starts and ends, the wrap to the first key, and
// a pass whose position or lock file cannot be had. The daemon's own slice,
// kills and daemons stopping together are driven through the binary in
// tests/expiry_test.cc.
#include "greylist/expiry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "common/settings.h"
#include "fixture_db.h"
#include "greylist/decision.h"
#include "run_daemon.h"
#include "storage/environment.h"
#include "storage/stored_client.h"
#include "storage/sweep_position.h"
#include "storage/sweep_totals.h"

namespace {

const time_t long_ago = time(nullptr) - 10000000;
const std::string idle_value = record_value(long_ago, long_ago, 1, 0);

// key - the i-th record of a walk: addresses in the order of i.
std::string key(size_t i, const std::string &first_octet = "10")
{
    return ipv4_key(first_octet + "." + std::to_string(i >> 16) + "." +
                        std::to_string((i >> 8) & 255) + "." + std::to_string(i & 255),
                    "alice@example.com", "bob@example.org");
}

void put_idle(const std::string &home, size_t count, const std::string &first_octet = "10")
{
    put_generated(home, "triplets-1.db", count, [&](size_t i) {
        return std::make_pair(key(i, first_octet), idle_value);
    });
}

// position_in - expiry-sweep.db holds the sweep's position over the triplets.
bool position_in(const std::string &home)
{
    for (const auto &[k, v] : read_records(home, sweep_db_name))
        if (k == triplets_position)
            return true;
    return false;
}

// totals_in - the sweep's totals record, zero when there is none.
sweep_totals totals_in(const std::string &home)
{
    sweep_totals totals{};
    for (const auto &[k, v] : read_records(home, sweep_db_name))
        if (k == totals_record && v.size() == sizeof totals)
            memcpy(&totals, v.data(), sizeof totals);
    return totals;
}

std::set<std::string> keys_in(const std::string &home)
{
    std::set<std::string> keys;
    for (const auto &[k, v] : read_records(home))
        keys.insert(k);
    return keys;
}

class Sweep : public ::testing::Test {
protected:
    void SetUp() override
    {
        saved = settings;
        settings.db_home = home.path.c_str();
        log_path = home.file("syslog");
        setenv("MURVANE_SYSLOG_FILE", log_path.c_str(), 1);
        dbdata = DBT{};
        dbdata.data = &triplet_data;
        dbdata.size = dbdata.ulen = sizeof triplet_data;
        dbdata.flags = DB_DBT_USERMEM;
    }
    void TearDown() override
    {
        cleanup();
        settings = saved;
        in_expiry = 0;
        unsetenv("MURVANE_SYSLOG_FILE");
    }

    // pass - one stop's pass with `slice`, the environment closed after it
    // as the daemon closes it, so that the fixture helpers can read it.
    void pass(unsigned long slice)
    {
        DB *handle;
        ASSERT_EQ(0, get_db(&handle));
        ASSERT_EQ(1, expiry_enabled);
        run_sweep(slice);
        EXPECT_EQ(0, in_expiry);
        cleanup();
    }
    std::vector<std::string> log() const { return read_log_file(log_path); }

    temp_dir home;
    std::string log_path;
    settings_t saved;
};

struct slice_case {
    const char *name;
    size_t total;                  // idle records, keys in order
    unsigned long slice;
    std::vector<size_t> per_pass;  // records each pass deletes
    bool position_left;            // a position is stored after the last pass
};

void PrintTo(const slice_case &c, std::ostream *out) { *out << c.name; }

class SweepSlices : public Sweep, public ::testing::WithParamInterface<slice_case> {};

// Every record is idle, so what a pass deleted is what it walked. Each pass
// starts where the one before ended and walks one slice; the pass that meets
// the end of the database finishes the sweep, and the next starts at the
// first key, as records put back in front of all others show.
TEST_P(SweepSlices, EachPassWalksTheNextSlice)
{
    const slice_case &c = GetParam();
    put_idle(home.path, c.total);
    size_t gone = 0;
    for (size_t p = 0; p < c.per_pass.size(); p++) {
        ASSERT_NO_FATAL_FAILURE(pass(c.slice));
        gone += c.per_pass[p];
        std::set<std::string> expected;
        for (size_t i = gone; i < c.total; i++)
            expected.insert(key(i));
        ASSERT_TRUE(expected == keys_in(home.path))
            << "pass " << p + 1 << " did not leave exactly records " << gone << " on";
    }
    EXPECT_EQ(c.position_left, position_in(home.path));

    // Records in front of every key the sweep has seen.
    put_idle(home.path, 3, "9");
    ASSERT_NO_FATAL_FAILURE(pass(c.slice));
    EXPECT_TRUE(keys_in(home.path).empty()) << "the pass after the sweep did not wrap";
    EXPECT_FALSE(position_in(home.path));
    EXPECT_TRUE(log().size() == c.per_pass.size() + 1) << ::testing::PrintToString(log());
    // Every record deleted is counted once, as never passed; the sweep was
    // finished by the pass that met the last key, and by the pass after it.
    sweep_totals totals = totals_in(home.path);
    EXPECT_EQ(c.total + 3, totals.expired_blocked);
    EXPECT_EQ(0u, totals.expired_passed);
    EXPECT_EQ(c.position_left ? 1u : 2u, totals.sweeps_finished);
}

// Reply pairs expire in the same pass as the triplets, but the sweep's
// totals count triplets and clients alone: neither a pair's expiry nor the
// end of the pairs' walk is a triplet's or a finished sweep's.
TEST_F(Sweep, ExpiredReplyPairsAreNoTripletsInTheTotals)
{
    settings.replies = 1;
    put_idle(home.path, 2);
    put_generated(home.path, "replies-1.db", 5, [](size_t i) {
        return std::make_pair("outside" + std::to_string(i) + "@example.org" +
                                  std::string(1, '\0') + "user@example.com",
                              reply_value(long_ago, long_ago, 1));
    });
    ASSERT_NO_FATAL_FAILURE(pass(0));
    EXPECT_TRUE(keys_in(home.path).empty());
    EXPECT_TRUE(read_records(home.path, "replies-1.db").empty());
    sweep_totals totals = totals_in(home.path);
    EXPECT_EQ(2u, totals.expired_blocked);
    EXPECT_EQ(0u, totals.expired_passed);
    EXPECT_EQ(1u, totals.sweeps_finished);
}

const slice_case slice_cases[] = {
    {"several_slices", 350, 100, {100, 100, 100, 50}, false},
    {"ends_on_the_last_key", 200, 100, {100, 100}, true},
    {"smaller_than_a_slice", 60, 100, {60}, false},
};

INSTANTIATE_TEST_SUITE_P(Databases, SweepSlices, ::testing::ValuesIn(slice_cases),
                         [](const auto &info) { return std::string(info.param.name); });

// Without its position file a bounded pass would walk the same first slice
// at every stop and never reach the rest: it walks the whole database.
TEST_F(Sweep, PassWithoutItsPositionWalksTheWholeDatabase)
{
    put_idle(home.path, 350);
    std::filesystem::create_directories(home.file(sweep_db_name));
    ASSERT_NO_FATAL_FAILURE(pass(100));
    EXPECT_TRUE(keys_in(home.path).empty());
    std::vector<std::string> lines = log();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(0u, lines.front().rfind("notice\tNOTICE (this is not an error): db->open "
                                      "expiry-sweep.db: ", 0))
        << ::testing::PrintToString(lines);
    EXPECT_EQ("notice\tExpired 350 triplets", lines.back());
}

// The sweeper's lock: while another daemon holds it, a stop makes no pass;
// when the file cannot be opened, the pass runs without it.
TEST_F(Sweep, HeldLockSkipsThePass)
{
    put_idle(home.path, 50);
    int other = open(home.file(sweep_lock_name).c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_LE(0, other);
    ASSERT_EQ(0, flock(other, LOCK_EX | LOCK_NB));
    ASSERT_NO_FATAL_FAILURE(pass(100));
    EXPECT_EQ(50u, keys_in(home.path).size());
    EXPECT_TRUE(log().empty()) << ::testing::PrintToString(log());
    close(other);
    ASSERT_NO_FATAL_FAILURE(pass(100));
    EXPECT_TRUE(keys_in(home.path).empty());
    EXPECT_EQ(std::vector<std::string>{"notice\tExpired 50 triplets"}, log());
}

TEST_F(Sweep, UnopenableLockFileIsWarnedOfAndThePassRuns)
{
    put_idle(home.path, 150);
    std::filesystem::create_directories(home.file(sweep_lock_name));
    ASSERT_NO_FATAL_FAILURE(pass(100));
    EXPECT_EQ(50u, keys_in(home.path).size());
    std::vector<std::string> expected = {
        "warning\tcannot open " + home.path + "/expiry-sweep.lock, sweeping without it: " +
            strerror(EISDIR),
        "notice\tExpired 100 triplets"};
    EXPECT_EQ(expected, log());
}

// With auto-whitelisting on, each stop walks a slice of the clients after
// its slice of triplets, from a position of its own: the two walks neither
// share a position nor stop each other. Fresh clients stay.
TEST_F(Sweep, ClientsAreSweptInSlicesOfTheirOwn)
{
    const time_t now = time(nullptr);
    put_idle(home.path, 150);
    put_generated(home.path, clients_db_name, 250, [&](size_t i) {
        std::string triplet = key(i, "20");
        client_data_t record{long_ago, i % 50 == 0 ? now : long_ago, 2, 0};
        return std::make_pair(triplet.substr(0, client_key_length(triplet.data(), triplet.size())),
                              std::string(reinterpret_cast<const char *>(&record), sizeof record));
    });
    settings.auto_whitelist = 2;
    // Clients 0, 50, 100, 150 and 200 are fresh: two in each full slice.
    const std::vector<size_t> clients_left = {152, 54, 5, 5};
    const std::vector<size_t> triplets_left = {50, 0, 0, 0};
    for (size_t p = 0; p < clients_left.size(); p++) {
        ASSERT_NO_FATAL_FAILURE(pass(100));
        EXPECT_EQ(triplets_left[p], keys_in(home.path).size()) << "pass " << p + 1;
        EXPECT_EQ(clients_left[p], read_records(home.path, clients_db_name).size())
            << "pass " << p + 1;
    }
    std::vector<std::string> lines = log();
    EXPECT_EQ((std::vector<std::string>{"notice\tExpired 100 triplets",
                                        "notice\tExpired 98 clients",
                                        "notice\tExpired 50 triplets",
                                        "notice\tExpired 98 clients",
                                        "notice\tExpired 49 clients"}),
              lines);
}

// With the option off, a clients-1.db left from an earlier run is not walked.
TEST_F(Sweep, ClientsAreLeftAloneWithTheOptionOff)
{
    std::string triplet = key(1, "20");
    client_data_t record{long_ago, long_ago, 2, 0};
    put_records(home.path, clients_db_name,
                {{triplet.substr(0, client_key_length(triplet.data(), triplet.size())),
                  std::string(reinterpret_cast<const char *>(&record), sizeof record)}});
    put_idle(home.path, 5);
    ASSERT_NO_FATAL_FAILURE(pass(100));
    EXPECT_TRUE(keys_in(home.path).empty());
    EXPECT_EQ(1u, read_records(home.path, clients_db_name).size());
}

}  // namespace
