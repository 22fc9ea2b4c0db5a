// SPDX-License-Identifier: BSD-2-Clause
// auto_whitelist_test.cc - auto-whitelisting of proven clients, driven
// through the binary on a frozen fake clock.
//
// Each run freezes the daemon's clock at a second the test chose, so that a
// triplet deferred at T passes at T + 61 with -g 60, and "idle past -p" is
// exactly one second past it. Client records are read back from
// clients-1.db, or written back-dated before a run.
#include <signal.h>
#include <sys/stat.h>

#include <db.h>

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "fixture_db.h"
#include "frozen_clock.h"
#include "run_daemon.h"

#include "storage/stored_client.h"

namespace {

// 2026-01-01 00:00:00 UTC.
constexpr time_t T = 1767225600;
constexpr time_t delay = 60;
constexpr time_t pass_idle = 100000;

const std::string client = "192.0.2.1";
const std::string sender = "alice@example.org";
const std::string dunno = "action=DUNNO";

std::string recipient(int i) { return "user" + std::to_string(i) + "@example.net"; }

// client_key_of - the client record's key of an IPv4 client.
client_data_t decode_client(const std::string &value)
{
    client_data_t record{};
    EXPECT_EQ(sizeof record, value.size());
    if (value.size() == sizeof record)
        memcpy(&record, value.data(), sizeof record);
    return record;
}

std::string show(const client_data_t &c)
{
    return "first T+" + std::to_string(c.first_seen - T) + ", last T+" +
           std::to_string(c.last_seen - T) + ", proven " + std::to_string(c.proven_count) +
           ", listed " + std::to_string(c.listed_count);
}

// Requests of one run: the client and the recipient index of each.
struct request {
    std::string address;
    int to;
};

// The first word pair of each answer ("action=DUNNO", "action=DEFER_IF_PERMIT",
// "action=PREPEND"), one per request.
std::vector<std::string> run_at(time_t now, const std::string &home,
                                const std::vector<request> &requests,
                                std::vector<std::string> extra = {"--auto-whitelist", "2"})
{
    daemon_run run;
    run.args = {"-h", home, "-g", std::to_string(delay), "-p", std::to_string(pass_idle)};
    run.args.insert(run.args.end(), extra.begin(), extra.end());
    for (const request &r : requests)
        run.input += rcpt_request(r.address, sender, recipient(r.to));
    run.env = frozen_clock(now);
    daemon_result result = run_daemon(run);
    EXPECT_FALSE(result.timed_out);
    EXPECT_EQ(0, result.status) << result.err;
    EXPECT_EQ("", result.err);
    std::vector<std::string> answers;
    size_t at = 0, end;
    while ((end = result.out.find("\n\n", at)) != std::string::npos) {
        std::string line = result.out.substr(at, end - at);
        answers.push_back(line.substr(0, line.find(' ')));
        at = end + 2;
    }
    EXPECT_EQ(requests.size(), answers.size()) << result.out;
    return answers;
}

const std::string defer = "action=DEFER_IF_PERMIT";
const std::string prepend = "action=PREPEND";

std::map<std::string, std::string> records_of(const std::string &home, const char *file)
{
    std::map<std::string, std::string> map;
    for (const auto &[k, v] : read_records(home, file))
        map[k] = v;
    return map;
}

bool exists(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// The count of passes that proves a client, and the runs that prove it:
// N triplets deferred at T and retried at T + 61; the (N-1)th pass leaves a
// new triplet deferred, the Nth lets the next new one through at once.
class Promotion : public testing::TestWithParam<int> {};

TEST_P(Promotion, TheNthPassedTripletWhitelistsTheClientNotTheOneBefore)
{
    const int n = GetParam();
    temp_dir home;
    const std::vector<std::string> option = {"--auto-whitelist", std::to_string(n)};
    std::vector<request> first;
    for (int i = 1; i <= n; i++)
        first.push_back({client, i});
    EXPECT_EQ(std::vector<std::string>(n, defer), run_at(T, home.path, first, option));

    // Retries of triplets 1 .. n-1, a new triplet (100), the nth retry, a new
    // triplet (101), and the passed triplet 1 again.
    std::vector<request> second;
    std::vector<std::string> expected;
    for (int i = 1; i < n; i++) {
        second.push_back({client, i});
        expected.push_back(prepend);
    }
    second.push_back({client, 100});
    expected.push_back(defer);
    second.push_back({client, n});
    expected.push_back(prepend);
    second.push_back({client, 101});
    expected.push_back(dunno);
    second.push_back({client, 1});
    expected.push_back(dunno);
    EXPECT_EQ(expected, run_at(T + delay + 1, home.path, second, option));

    auto clients = records_of(home.path, clients_db_name);
    ASSERT_EQ(1u, clients.size());
    client_data_t c = decode_client(clients.at(ipv4_client_key(client)));
    EXPECT_EQ(show({T + delay + 1, T + delay + 1, static_cast<uint64_t>(n), 1}), show(c));

    // The whitelisted triplet is stored as passed, at once.
    auto triplets = records_of(home.path, "triplets-1.db");
    record_fields listed = decode_record(triplets.at(ipv4_key(client, sender, recipient(101))));
    EXPECT_EQ((record_fields{T + delay + 1, T + delay + 1, 0, 1}), listed);
    // The new triplet deferred before the promotion stays a deferred one.
    record_fields waiting = decode_record(triplets.at(ipv4_key(client, sender, recipient(100))));
    EXPECT_EQ((record_fields{T + delay + 1, T + delay + 1, 1, 0}), waiting);
}

INSTANTIATE_TEST_SUITE_P(Count, Promotion, testing::Values(1, 2, 5));

TEST(AutoWhitelist, OnlyDistinctTripletsGivenTheGreylistedActionCount)
{
    temp_dir home;
    // Deferred twice, passed, then passed again: one proven triplet.
    EXPECT_EQ((std::vector<std::string>{defer, defer}),
              run_at(T, home.path, {{client, 1}, {client, 1}}));
    EXPECT_EQ((std::vector<std::string>{prepend, dunno, dunno, defer}),
              run_at(T + delay + 1, home.path,
                     {{client, 1}, {client, 1}, {client, 1}, {client, 2}}));
    client_data_t c = decode_client(records_of(home.path, clients_db_name).at(ipv4_client_key(client)));
    EXPECT_EQ(show({T + delay + 1, T + delay + 1, 1, 0}), show(c));
}

TEST(AutoWhitelist, ClientsAreTheNetworkPrefix)
{
    temp_dir home;
    const std::vector<std::string> option = {"--auto-whitelist", "1", "-/", "24"};
    EXPECT_EQ((std::vector<std::string>{defer}), run_at(T, home.path, {{"192.0.2.1", 1}}, option));
    // Proven from .1; .77 is in the same /24, 192.0.3.1 is not.
    EXPECT_EQ((std::vector<std::string>{prepend, dunno, defer}),
              run_at(T + delay + 1, home.path,
                     {{"192.0.2.1", 1}, {"192.0.2.77", 2}, {"192.0.3.1", 3}}, option));
}

// A proven client's record, last seen `idle` seconds before the run: a new
// triplet passes at once up to -p, and is deferred one second past it.
struct idle_case {
    const char *name;
    time_t idle;
    uint64_t proven;
    std::string answer;
};

std::ostream &operator<<(std::ostream &os, const idle_case &c) { return os << c.name; }

class Idleness : public testing::TestWithParam<idle_case> {};

TEST_P(Idleness, EndsTheWhitelistingOnlyPastThePassIdleLimit)
{
    const idle_case &c = GetParam();
    temp_dir home;
    const time_t now = T + 10 * pass_idle;
    put_records(home.path, clients_db_name,
                {{ipv4_client_key(client), client_value(T, now - c.idle, c.proven, 0)}});
    EXPECT_EQ((std::vector<std::string>{c.answer}), run_at(now, home.path, {{client, 1}}));
}

const idle_case idle_cases[] = {
    {"Fresh", 0, 2, dunno},
    {"AtTheLimit", pass_idle, 2, dunno},
    {"OneSecondPast", pass_idle + 1, 2, defer},
    {"NotYetProven", 0, 1, defer},
};

INSTANTIATE_TEST_SUITE_P(Table, Idleness, testing::ValuesIn(idle_cases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(AutoWhitelist, AnIdleClientStartsCountingAgain)
{
    temp_dir home;
    const time_t now = T + 10 * pass_idle;
    put_records(home.path, clients_db_name,
                {{ipv4_client_key(client), client_value(T, now - pass_idle - 1, 9, 4)}});
    put_records(home.path, "triplets-1.db",
                {{ipv4_key(client, sender, recipient(1)), record_value(now - delay - 1, now - delay - 1, 1, 0)}});
    EXPECT_EQ((std::vector<std::string>{prepend, defer}),
              run_at(now, home.path, {{client, 1}, {client, 2}}));
    client_data_t c = decode_client(records_of(home.path, clients_db_name).at(ipv4_client_key(client)));
    EXPECT_EQ(show({now, now, 1, 0}), show(c));
}

// A later pass of a passed triplet keeps its client current, to within an
// hour (-p / 8 is more here): only the triplet's first pass in an hour reads
// the client, and the client is written only when it was last seen before
// that hour. `now` is 2,800 seconds into its hour.
struct refresh_case {
    const char *name;
    time_t previous;   // the triplet's previous pass, seconds before now
    time_t last_seen;  // the client's, seconds before now
    bool renewed;      // last seen is now after the request
};

std::ostream &operator<<(std::ostream &os, const refresh_case &c) { return os << c.name; }

class Refresh : public testing::TestWithParam<refresh_case> {};

TEST_P(Refresh, LaterPassesKeepTheClientCurrentOnceAnHour)
{
    const refresh_case &c = GetParam();
    temp_dir home;
    const time_t now = T + 10 * pass_idle;
    ASSERT_EQ(2800, now % 3600);
    put_records(home.path, clients_db_name,
                {{ipv4_client_key(client), client_value(T, now - c.last_seen, 2, 0)}});
    put_records(home.path, "triplets-1.db",
                {{ipv4_key(client, sender, recipient(1)), record_value(T, now - c.previous, 0, 3)}});
    EXPECT_EQ((std::vector<std::string>{dunno}), run_at(now, home.path, {{client, 1}}));
    client_data_t stored =
        decode_client(records_of(home.path, clients_db_name).at(ipv4_client_key(client)));
    EXPECT_EQ(show({T, c.renewed ? now : now - c.last_seen, 2, 0}), show(stored));
}

const refresh_case refresh_cases[] = {
    {"FirstPassOfTheHourRenews", 7200, pass_idle, true},
    {"LastSeenBeforeTheHourRenews", 7200, 2801, true},
    {"LastSeenInTheHourIsKept", 7200, 2800, false},
    {"LaterPassInTheSameHourReadsNothing", 2800, pass_idle, false},
    {"PreviousPassJustBeforeTheHourRenews", 2801, pass_idle, true},
};

INSTANTIATE_TEST_SUITE_P(Table, Refresh, testing::ValuesIn(refresh_cases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(AutoWhitelist, ARenewedClientStaysWhitelistedForAnotherPassIdleTime)
{
    temp_dir home;
    const time_t now = T + 10 * pass_idle;
    put_records(home.path, clients_db_name,
                {{ipv4_client_key(client), client_value(T, now - pass_idle, 2, 0)}});
    put_records(home.path, "triplets-1.db",
                {{ipv4_key(client, sender, recipient(1)), record_value(T, now - 7200, 0, 3)}});
    EXPECT_EQ((std::vector<std::string>{dunno}), run_at(now, home.path, {{client, 1}}));
    EXPECT_EQ((std::vector<std::string>{dunno}),
              run_at(now + pass_idle, home.path, {{client, 2}}));
}

TEST(AutoWhitelist, ADamagedClientRecordCountsAsNone)
{
    temp_dir home;
    put_records(home.path, clients_db_name, {{ipv4_client_key(client), "short"}});
    EXPECT_EQ((std::vector<std::string>{defer}), run_at(T, home.path, {{client, 1}}));
    EXPECT_EQ((std::vector<std::string>{prepend}),
              run_at(T + delay + 1, home.path, {{client, 1}}));
    client_data_t c = decode_client(records_of(home.path, clients_db_name).at(ipv4_client_key(client)));
    EXPECT_EQ(show({T + delay + 1, T + delay + 1, 1, 0}), show(c));
}

// A triplet let through at once has passed before its delay ran out; its
// later messages within the delay were deferred as a new triplet's.
TEST(AutoWhitelist, ATripletLetThroughAtOnceIsNotDeferredAfterwards)
{
    temp_dir home;
    const std::vector<std::string> option = {"--auto-whitelist", "1"};
    EXPECT_EQ((std::vector<std::string>{defer}), run_at(T, home.path, {{client, 1}}, option));
    EXPECT_EQ((std::vector<std::string>{prepend, dunno, dunno}),
              run_at(T + delay + 1, home.path, {{client, 1}, {client, 2}, {client, 2}}, option));
    EXPECT_EQ((std::vector<std::string>{dunno}),
              run_at(T + delay + 10, home.path, {{client, 2}}, option));
    record_fields passed =
        decode_record(records_of(home.path, "triplets-1.db").at(ipv4_key(client, sender, recipient(2))));
    EXPECT_EQ((record_fields{T + delay + 1, T + delay + 10, 0, 3}), passed);
}

TEST(AutoWhitelist, OffByDefaultCreatesNoClientDatabase)
{
    for (const auto &extra : std::vector<std::vector<std::string>>{{}, {"--auto-whitelist", "0"}}) {
        temp_dir home;
        EXPECT_EQ((std::vector<std::string>{defer}), run_at(T, home.path, {{client, 1}}, extra));
        EXPECT_EQ((std::vector<std::string>{prepend, defer}),
                  run_at(T + delay + 1, home.path, {{client, 1}, {client, 2}}, extra));
        EXPECT_FALSE(exists(home.file(clients_db_name)));
    }
}

// Kills at varied points of a stream of requests: every client record must
// still count exactly the client's stored triplets (with -g 0 each new
// triplet passes at once, proven or whitelisted), and every answer the test
// read must be among them, whatever the kill interrupted.
TEST(AutoWhitelist, KillsLeaveTheTwoDatabasesConsistent)
{
    temp_dir home;
    constexpr int requests = 300;  // answers stay within one pipe's buffer
    constexpr int kills = 12;
    const std::vector<std::string> clients = {"192.0.2.1", "192.0.2.2", "198.51.100.7"};
    int next = 0;
    size_t answered_total = 0;
    for (int k = 0; k < kills; k++) {
        daemon_run run;
        run.args = {"-h", home.path, "-g", "0", "--auto-whitelist", "3"};
        for (int i = 0; i < requests; i++, next++)
            run.input += rcpt_request(clients[next % clients.size()], sender, recipient(next));
        daemon_process daemon = start_daemon(run);
        ASSERT_TRUE(write_input(daemon, run.input));
        // Kill after a varying number of answers, while the daemon works on
        // the requests after them.
        const size_t answers = 5 + static_cast<size_t>(k) * 19;
        size_t from = 0, seen = 0;
        for (; seen < answers; seen++) {
            ASSERT_TRUE(read_output_until(daemon, "\n\n", 30000, from)) << "answer " << seen << ": " << daemon.out.substr(from) << daemon.err;
            from = daemon.out.find("\n\n", from) + 2;
        }
        ASSERT_EQ(0, kill(daemon.pid, SIGKILL));
        daemon_result killed = finish_daemon(daemon);
        ASSERT_EQ(SIGKILL, killed.signal) << killed.err;
        answered_total += seen;

        // Reading the databases runs recovery, as the next daemon would.
        auto triplets = read_records(home.path);
        auto stored_clients = read_records(home.path, clients_db_name);
        std::map<std::string, uint64_t> per_client;
        for (const auto &[key, value] : triplets) {
            EXPECT_EQ(1u, decode_record(value).pass_count);
            per_client[key.substr(0, client_key_length(key.data(), key.size()))]++;
        }
        EXPECT_LE(answered_total, triplets.size());
        uint64_t counted = 0;
        for (const auto &[key, value] : stored_clients) {
            client_data_t c = decode_client(value);
            EXPECT_EQ(per_client[key], c.proven_count + c.listed_count) << "kill " << k;
            counted += c.proven_count + c.listed_count;
        }
        EXPECT_EQ(triplets.size(), counted) << "kill " << k;
    }
}

}  // namespace

namespace {

daemon_result dump_clients(const std::string &home)
{
    daemon_run run;
    run.args = {"-h", home, "--dump-clients"};
    run.env = {"TZ=UTC"};
    daemon_result result = run_daemon(run);
    EXPECT_FALSE(result.timed_out);
    EXPECT_EQ(0, result.status);
    return result;
}

TEST(DumpClients, ListsEachClientWithItsTimesAndCounts)
{
    temp_dir home;
    std::string v6 = ipv6_key("2001:db8::5", sender, recipient(0));
    // With --spf a client may be a domain, shown as the triplet listing shows it.
    std::string domain = domain_key("pool.example", sender, recipient(0));
    put_records(home.path, clients_db_name,
                {{ipv4_client_key("192.0.2.9"), client_value(T, T + 60, 3, 2)},
                 {domain.substr(0, client_key_length(domain.data(), domain.size())),
                  client_value(T, T + 120, 5, 9)},
                 {v6.substr(0, client_key_length(v6.data(), v6.size())),
                  client_value(T + 3600, T + 7200, 1, 0)},
                 {ipv4_client_key("192.0.2.10"), "damaged"},
                 // A triplet key where a client key belongs: not a client.
                 {ipv4_key("192.0.2.11", sender, recipient(1)), client_value(T, T, 1, 0)}});
    daemon_result result = dump_clients(home.path);
    EXPECT_EQ("", result.err);
    EXPECT_EQ("192.0.2.9\tThu Jan  1 00:00:00 2026\tThu Jan  1 00:01:00 2026\t3\t2\n"
              "192.0.2.10\t-\t-\t-\t-\n"
              "-\tThu Jan  1 00:00:00 2026\tThu Jan  1 00:00:00 2026\t1\t0\n"
              "2001:db8::5\tThu Jan  1 01:00:00 2026\tThu Jan  1 02:00:00 2026\t1\t0\n"
              "spf:pool.example\tThu Jan  1 00:00:00 2026\tThu Jan  1 00:02:00 2026\t5\t9\n",
              result.out);
}

TEST(DumpClients, AHomeWithoutClientsListsNothingAndCreatesNone)
{
    temp_dir home;
    run_at(T, home.path, {{client, 1}}, {});
    daemon_result result = dump_clients(home.path);
    EXPECT_EQ("", result.out);
    EXPECT_EQ("", result.err);
    EXPECT_FALSE(exists(home.file(clients_db_name)));
}

}  // namespace

namespace {

// The stop's expiry pass deletes the clients idle past -p and keeps the
// others; the daemon's clock is frozen, so the limit is exact.
TEST(ClientExpiry, TheStopDeletesClientsIdlePastThePassIdleLimit)
{
    temp_dir home;
    const time_t now = T + 10 * pass_idle;
    put_records(home.path, clients_db_name,
                {{ipv4_client_key("192.0.2.20"), client_value(T, now - pass_idle - 1, 5, 1)},
                 {ipv4_client_key("192.0.2.21"), client_value(T, now - pass_idle, 1, 0)},
                 {ipv4_client_key("192.0.2.22"), client_value(T, now, 2, 7)},
                 {ipv4_client_key("192.0.2.23"), client_value(T, T, 0, 0)}});
    EXPECT_EQ((std::vector<std::string>{defer}),
              run_at(now, home.path, {{"198.51.100.1", 1}}));
    auto clients = records_of(home.path, clients_db_name);
    EXPECT_EQ(2u, clients.size());
    EXPECT_TRUE(clients.count(ipv4_client_key("192.0.2.21")));
    EXPECT_TRUE(clients.count(ipv4_client_key("192.0.2.22")));
}

}  // namespace

namespace {

// A clients-1.db that cannot be opened fails the request as a triplet
// database that cannot be opened does: a warning answer, the failure exit,
// nothing stored.
TEST(AutoWhitelist, AnUnopenableClientDatabaseFailsTheRequest)
{
    temp_dir home;
    ASSERT_EQ(0, mkdir(home.file(clients_db_name).c_str(), 0700));
    daemon_run run;
    run.args = {"-h", home.path, "--auto-whitelist", "2"};
    run.input = rcpt_request(client, sender, recipient(1));
    daemon_result result = run_daemon(run);
    EXPECT_FALSE(result.timed_out);
    EXPECT_EQ(1, result.status);
    EXPECT_EQ("action=WARN get_clients_db failed\n", result.out);
    EXPECT_TRUE(read_records(home.path).empty());
}

}  // namespace

namespace {

// A refused call on clients-1.db undoes the whole try, which runs again from
// its start: the client counts the triplet once, however many tries. With
// -g 0 a new triplet passes at once; its client's get is the request's
// second get, its client's put the first put. Refused on every try, the
// request fails and nothing is stored.
struct client_refusal {
    const char *name;
    std::string fail_calls;
    int status;
    const char *answer_start;
    bool stored;
};

std::ostream &operator<<(std::ostream &os, const client_refusal &c) { return os << c.name; }

class ClientRefusal : public testing::TestWithParam<client_refusal> {};

TEST_P(ClientRefusal, IsTriedAgainWithTheTriplet)
{
    const client_refusal &c = GetParam();
    temp_dir home;
    daemon_run run;
    run.args = {"-h", home.path, "-g", "0", "--auto-whitelist", "2"};
    run.input = rcpt_request(client, sender, recipient(1));
    run.env = {"LD_PRELOAD=" + std::string(REFUSE_DB_CALLS_LIBRARY),
               "MURVANE_FAIL_CALLS=" + c.fail_calls};
    daemon_result r = run_daemon(run);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(c.status, r.status);
    EXPECT_EQ(0u, r.out.rfind(c.answer_start, 0)) << r.out;

    auto triplets = read_records(home.path);
    auto clients = read_records(home.path, clients_db_name);
    if (!c.stored) {
        EXPECT_TRUE(triplets.empty());
        EXPECT_TRUE(clients.empty());
        return;
    }
    ASSERT_EQ(1u, triplets.size());
    EXPECT_EQ(1u, decode_record(triplets[0].second).pass_count);
    ASSERT_EQ(1u, clients.size());
    EXPECT_EQ(1u, decode_client(clients[0].second).proven_count);
}

const std::string deadlock = std::to_string(DB_LOCK_DEADLOCK);

const client_refusal client_refusals[] = {
    {"GetRefusedOnce", "get:2:" + deadlock, 0, "action=PREPEND", true},
    {"PutRefusedOnce", "put:1:" + deadlock, 0, "action=PREPEND", true},
    {"GetRefusedOnEveryTry", "get:2:" + deadlock + ",get:4:" + deadlock + ",get:6:" + deadlock,
     1, "action=WARN clients get failed", false},
};

INSTANTIATE_TEST_SUITE_P(Tries, ClientRefusal, testing::ValuesIn(client_refusals),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
