// SPDX-License-Identifier: BSD-2-Clause
// stats_test.cc - murvane --stats on seeded homes, and the expiry sweep's
// totals it reports, through the built daemon on a frozen clock.
//
// Seeded homes hold records of every state written with the library; the
// report must equal the counts known from the seed, line for line, and
// Debian's parser of the exposition format (python3-prometheus-client) must
// read it. The totals are checked after a whole sweep and after a daemon
// killed in the middle of a batch.
#include <signal.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "fixture_db.h"
#include "frozen_clock.h"
#include "run_daemon.h"

#include "common/settings.h"
#include "storage/sweep_totals.h"

namespace {

constexpr time_t now = 1700000000;
const char sender[] = "alice@example.com";
const char recipient[] = "bob@example.org";

std::string stored_position(const std::string &key)
{
    uint32_t version = 1, size = static_cast<uint32_t>(key.size());
    std::string value = "MSWP";
    value.append(reinterpret_cast<const char *>(&version), 4);
    value.append(reinterpret_cast<const char *>(&size), 4);
    return value + key;
}

std::string stored_totals(uint64_t blocked, uint64_t passed, uint64_t clients,
                          int64_t finished, uint64_t sweeps)
{
    sweep_totals totals{{'M', 'S', 'W', 'T'}, 1, blocked, passed, clients, finished, sweeps};
    return std::string(reinterpret_cast<const char *>(&totals), sizeof totals);
}

daemon_result run_at(time_t at, const std::string &home, std::vector<std::string> args,
                     const std::string &input = "")
{
    daemon_run run;
    run.args = {"-h", home};
    run.args.insert(run.args.end(), args.begin(), args.end());
    run.input = input;
    run.env = frozen_clock(at);
    daemon_result result = run_daemon(run);
    EXPECT_FALSE(result.timed_out);
    return result;
}

daemon_result stats_at(time_t at, const std::string &home, std::vector<std::string> args = {})
{
    args.insert(args.begin(), "--stats");
    daemon_result result = run_at(at, home, args);
    EXPECT_EQ(0, result.status) << result.err;
    EXPECT_EQ("", result.err);
    return result;
}

// samples - "name{labels} value" lines of a report, by everything before the value.
std::map<std::string, std::string> samples(const std::string &report)
{
    std::map<std::string, std::string> out;
    std::istringstream in(report);
    std::string line;
    while (std::getline(in, line))
        if (!line.empty() && line[0] != '#')
            out[line.substr(0, line.rfind(' '))] = line.substr(line.rfind(' ') + 1);
    return out;
}

uint64_t file_size(const std::string &path)
{
    struct stat st;
    EXPECT_EQ(0, stat(path.c_str(), &st)) << path;
    return static_cast<uint64_t>(st.st_size);
}

// parsed_by_prometheus_client - Debian's parser reads the report; each
// family has its HELP text and a gauge or counter TYPE. The parser's
// samples, one "name labels value" line each, or the failure's text.
std::string parsed_by_prometheus_client(const temp_dir &dir, const std::string &report)
{
    std::string path = dir.file("report.prom");
    std::ofstream(path) << report;
    std::string command =
        "/usr/bin/python3 -c '\n"
        "import sys\n"
        "from prometheus_client.parser import text_string_to_metric_families\n"
        "for f in text_string_to_metric_families(open(sys.argv[1]).read()):\n"
        "    assert f.documentation, f.name\n"
        "    assert f.type in (\"gauge\", \"counter\"), (f.name, f.type)\n"
        "    for s in f.samples:\n"
        "        print(s.name, sorted(s.labels.items()), s.value)\n"
        "' " + path + " 2>&1";
    FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return "popen failed";
    std::string out;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        out.append(buffer, n);
    int status = pclose(pipe);
    return status == 0 ? out : "parser failed (" + std::to_string(status) + "): " + out;
}

class Stats : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(faketime_library().empty())
            << "libfaketime is missing: scripts/test.sh installs it";
    }
    temp_dir home;
};

// A home with records of every state; the report is known line for line.
TEST_F(Stats, SeededHomeGivesTheKnownCounts)
{
    const time_t idle = default_pass_max_idle;
    record_list triplets = {
        {text_key("mail.example.net", sender, recipient), record_value(now - 9, now - 9, 1, 0)},
        {ipv4_key("192.0.2.1", sender, recipient), record_value(now - 99, now - 9, 2, 0)},
        {ipv4_key("192.0.2.2", sender, recipient), record_value(now - 99, now - 9, 1, 0)},
        {ipv4_key("192.0.2.3", sender, recipient), "short"},  // damaged: of no state
        {ipv4_key("192.0.2.4", sender, recipient), record_value(now - 99999, now - 99999, 1, 0)},
        {ipv6_key("2001:db8::1", sender, recipient), record_value(now - 9999, now - 9, 1, 4)},
        {ipv6_key("2001:db8::2", sender, recipient), record_value(now - 9999, now - 99, 1, 1)},
        {domain_key("example.com", sender, recipient), record_value(now - 9, now - 9, 1, 0)},
        {domain_key("example.net", sender, recipient), record_value(now - 9999, now - 9, 1, 2)},
        {domain_key("example.org", sender, recipient), record_value(now - 9999, now - 9, 1, 1)},
    };
    put_records(home.path, "triplets-1.db", triplets);
    put_records(home.path, "clients-1.db",
                {{ipv4_client_key("192.0.2.1"), client_value(now - 999, now - 60, 2, 0)},
                 {ipv4_client_key("192.0.2.2"), client_value(now - idle - 9, now - idle - 1, 5, 1)},
                 {ipv4_client_key("192.0.2.3"), client_value(now - 999, now - 60, 1, 0)},
                 {ipv4_client_key("192.0.2.4"), client_value(now - 999, now - idle, 7, 0)}});
    // Reply pairs: two current, one idle, one damaged (of no state).
    put_records(home.path, "replies-1.db",
                {{std::string("bob@example.net\0alice@example.org", 33),
                  reply_value(now - 999, now - 60, 3)},
                 {std::string("carol@example.net\0alice@example.org", 35),
                  reply_value(now - 999, now - idle, 0)},
                 {std::string("dave@example.net\0alice@example.org", 34),
                  reply_value(now - idle - 99, now - idle - 1, 1)},
                 {std::string("erin@example.net\0alice@example.org", 34), "short"}});
    // The sweep stands on the fourth of ten keys.
    put_records(home.path, "expiry-sweep.db",
                {{"position", stored_position(triplets[3].first)},
                 {"totals", stored_totals(17, 4, 2, now - 3600, 3)}});

    daemon_result result = stats_at(now, home.path, {"--auto-whitelist", "2"});
    const std::string expected =
        "# HELP murvane_triplets Triplets stored, by state: waiting for their first pass, or passed.\n"
        "# TYPE murvane_triplets gauge\n"
        "murvane_triplets{state=\"waiting\"} 5\n"
        "murvane_triplets{state=\"passed\"} 4\n"
        "# HELP murvane_domain_triplets Triplets keyed on the domain whose SPF record authorised the client.\n"
        "# TYPE murvane_domain_triplets gauge\n"
        "murvane_domain_triplets 3\n"
        "# HELP murvane_clients Clients recorded by auto-whitelisting, by state: whitelisted now, or counting.\n"
        "# TYPE murvane_clients gauge\n"
        "murvane_clients{state=\"whitelisted\"} 2\n"
        "murvane_clients{state=\"counting\"} 2\n"
        "# HELP murvane_reply_pairs Address pairs learned from authenticated users' mail, by state: current (replies pass at once), or idle past the pass idle limit.\n"
        "# TYPE murvane_reply_pairs gauge\n"
        "murvane_reply_pairs{state=\"current\"} 2\n"
        "murvane_reply_pairs{state=\"idle\"} 1\n"
        "# HELP murvane_reply_pair_replies Replies let through at once, summed over the pairs kept now.\n"
        "# TYPE murvane_reply_pair_replies gauge\n"
        "murvane_reply_pair_replies 4\n"
        "# HELP murvane_database_file_bytes Size of each database file of the home.\n"
        "# TYPE murvane_database_file_bytes gauge\n"
        "murvane_database_file_bytes{file=\"clients-1.db\"} " +
        std::to_string(file_size(home.file("clients-1.db"))) + "\n"
        "murvane_database_file_bytes{file=\"expiry-sweep.db\"} " +
        std::to_string(file_size(home.file("expiry-sweep.db"))) + "\n"
        "murvane_database_file_bytes{file=\"replies-1.db\"} " +
        std::to_string(file_size(home.file("replies-1.db"))) + "\n"
        "murvane_database_file_bytes{file=\"triplets-1.db\"} " +
        std::to_string(file_size(home.file("triplets-1.db"))) + "\n"
        "# HELP murvane_sweep_progress_ratio Share of the triplets' keys the current expiry sweep has walked.\n"
        "# TYPE murvane_sweep_progress_ratio gauge\n"
        "murvane_sweep_progress_ratio 0.400000\n"
        "# HELP murvane_sweep_last_finished_timestamp_seconds When an expiry sweep last reached the last triplet, in seconds since the epoch; 0: never.\n"
        "# TYPE murvane_sweep_last_finished_timestamp_seconds gauge\n"
        "murvane_sweep_last_finished_timestamp_seconds " + std::to_string(now - 3600) + "\n"
        "# HELP murvane_sweeps_finished_total Expiry sweeps that reached the last triplet.\n"
        "# TYPE murvane_sweeps_finished_total counter\n"
        "murvane_sweeps_finished_total 3\n"
        "# HELP murvane_expired_triplets_total Triplets the expiry sweep deleted, by state: never passed (attempts never retried), or passed.\n"
        "# TYPE murvane_expired_triplets_total counter\n"
        "murvane_expired_triplets_total{state=\"never_passed\"} 17\n"
        "murvane_expired_triplets_total{state=\"passed\"} 4\n"
        "# HELP murvane_expired_clients_total Clients the expiry sweep deleted after they stayed idle.\n"
        "# TYPE murvane_expired_clients_total counter\n"
        "murvane_expired_clients_total 2\n";
    EXPECT_EQ(expected, result.out);

    std::string parsed = parsed_by_prometheus_client(home, result.out);
    EXPECT_NE(std::string::npos,
              parsed.find("murvane_triplets [('state', 'waiting')] 5.0\n")) << parsed;
    EXPECT_NE(std::string::npos,
              parsed.find("murvane_expired_triplets_total [('state', 'passed')] 4.0\n"))
        << parsed;
    EXPECT_EQ(18, std::count(parsed.begin(), parsed.end(), '\n')) << parsed;

    // --stats changed nothing: the idle record is still there, no sweep ran.
    EXPECT_EQ(triplets.size(), read_records(home.path).size());
}

// A home the daemons used without auto-whitelisting: no clients family, and
// the statistics create no clients-1.db; an empty sweep reports zeros.
TEST_F(Stats, FreshHomeReportsZerosAndCreatesNothing)
{
    daemon_result result = stats_at(now, home.path);
    std::map<std::string, std::string> s = samples(result.out);
    EXPECT_EQ("0", s["murvane_triplets{state=\"waiting\"}"]);
    EXPECT_EQ("0", s["murvane_expired_triplets_total{state=\"never_passed\"}"]);
    EXPECT_EQ("0", s["murvane_sweep_last_finished_timestamp_seconds"]);
    EXPECT_EQ(0u, s.count("murvane_clients{state=\"counting\"}"));
    EXPECT_EQ(0u, s.count("murvane_reply_pairs{state=\"current\"}"));
    struct stat st;
    EXPECT_NE(0, stat(home.file("clients-1.db").c_str(), &st));
    EXPECT_NE(0, stat(home.file("replies-1.db").c_str(), &st));
    EXPECT_NE(0, stat(home.file("expiry-sweep.db").c_str(), &st));
    std::string parsed = parsed_by_prometheus_client(home, result.out);
    EXPECT_EQ(std::string::npos, parsed.find("failed")) << parsed;
}

// A home that cannot be opened: the reason on standard error, status 1, and
// nothing on standard output, so a timer's "> file.tmp && mv" keeps the
// previous report.
TEST_F(Stats, FailureLeavesStandardOutputEmpty)
{
    daemon_result result = run_at(now, home.file("missing"), {"--stats"});
    EXPECT_EQ(1, result.status);
    EXPECT_EQ("", result.out);
    EXPECT_NE("", result.err);
}

// --- the sweep's totals ----------------------------------------------------

// Records i of the sweep fixtures: every third one passed, all idle at now.
std::string sweep_key(size_t i)
{
    char address[32];
    snprintf(address, sizeof address, "10.%zu.%zu.%zu", i >> 16 & 255, i >> 8 & 255, i & 255);
    return ipv4_key(address, sender, recipient);
}

bool passed_record(size_t i) { return i % 3 == 0; }

void put_idle(const std::string &home, size_t count)
{
    put_generated(home, "triplets-1.db", count, [](size_t i) {
        if (passed_record(i))
            return std::make_pair(sweep_key(i), record_value(now - 9999999, now - 9999999, 1, 2));
        return std::make_pair(sweep_key(i), record_value(now - 99999, now - 99999, 1, 0));
    });
}

std::string opener()
{
    return rcpt_request("198.51.100.1", "opener@example.com", "postmaster@example.org");
}

// What is left of the idle records, counted by kind.
void left_of(const std::string &home, size_t count, size_t *blocked, size_t *passed)
{
    std::set<std::string> keys;
    for (const auto &[key, value] : read_records(home))
        keys.insert(key);
    *blocked = *passed = 0;
    for (size_t i = 0; i < count; i++)
        if (keys.count(sweep_key(i)))
            ++*(passed_record(i) ? passed : blocked);
}

TEST_F(Stats, SweepTotalsEqualTheIdleRecordsDeleted)
{
    const size_t count = 1500;
    put_idle(home.path, count);
    put_records(home.path, "clients-1.db",
                {{ipv4_client_key("192.0.2.7"), client_value(now - 9999999, now - 9999999, 3, 0)},
                 {ipv4_client_key("192.0.2.8"), client_value(now - 9999999, now - 9999999, 1, 0)},
                 {ipv4_client_key("192.0.2.9"), client_value(now - 99, now - 99, 1, 0)}});
    daemon_result swept = run_at(now, home.path, {"--auto-whitelist", "2"}, opener());
    ASSERT_EQ(0, swept.status) << swept.err;
    size_t blocked, passed;
    left_of(home.path, count, &blocked, &passed);
    ASSERT_EQ(0u, blocked + passed) << "the sweep left idle records";

    std::map<std::string, std::string> s = samples(stats_at(now, home.path).out);
    EXPECT_EQ("1000", s["murvane_expired_triplets_total{state=\"never_passed\"}"]);
    EXPECT_EQ("500", s["murvane_expired_triplets_total{state=\"passed\"}"]);
    EXPECT_EQ("2", s["murvane_expired_clients_total"]);
    EXPECT_EQ("1", s["murvane_sweeps_finished_total"]);
    EXPECT_EQ(std::to_string(now), s["murvane_sweep_last_finished_timestamp_seconds"]);
    EXPECT_EQ("1", s["murvane_triplets{state=\"waiting\"}"]);  // the opener's

    // A later sweep with nothing to delete keeps the totals and counts itself.
    ASSERT_EQ(0, run_at(now + 60, home.path, {}, opener()).status);
    s = samples(stats_at(now + 60, home.path).out);
    EXPECT_EQ("1000", s["murvane_expired_triplets_total{state=\"never_passed\"}"]);
    EXPECT_EQ("500", s["murvane_expired_triplets_total{state=\"passed\"}"]);
    EXPECT_EQ("2", s["murvane_sweeps_finished_total"]);
    EXPECT_EQ(std::to_string(now + 60), s["murvane_sweep_last_finished_timestamp_seconds"]);
}

// A totals record of another shape (damaged, or of a later version) reads
// as zero and is replaced by totals counted again, with one warning.
TEST_F(Stats, DamagedTotalsAreCountedAgainFromZero)
{
    put_idle(home.path, 30);
    put_records(home.path, "expiry-sweep.db", {{"totals", "MSWT-damaged"}});
    std::map<std::string, std::string> s = samples(stats_at(now, home.path).out);
    EXPECT_EQ("0", s["murvane_expired_triplets_total{state=\"never_passed\"}"]);

    daemon_result swept = run_at(now, home.path, {}, opener());
    ASSERT_EQ(0, swept.status) << swept.err;
    EXPECT_EQ(std::vector<std::string>{"damaged totals record in expiry-sweep.db: the "
                                       "sweep's totals are counted again from 0"},
              swept.messages("warning"));
    s = samples(stats_at(now, home.path).out);
    EXPECT_EQ("20", s["murvane_expired_triplets_total{state=\"never_passed\"}"]);
    EXPECT_EQ("10", s["murvane_expired_triplets_total{state=\"passed\"}"]);
    EXPECT_EQ("1", s["murvane_sweeps_finished_total"]);
}

// A daemon killed inside a batch, after its deletions and before its commit
// (at the batch's write of its position): the batch is undone with its
// counts, the totals always equal the records gone, and the next sweep
// finishes with every idle record counted exactly once.
TEST_F(Stats, SweepTotalsSurviveAKillInTheMiddleOfABatch)
{
    const size_t count = 4000;
    put_idle(home.path, count);
    daemon_run run;
    run.args = {"-h", home.path};
    run.input = opener();
    run.env = frozen_clock(now);
    run.preload_first = REFUSE_DB_CALLS_LIBRARY;
    // Puts: the opener's triplet, the first batch's position and totals, then
    // the second batch's position, where the daemon is killed.
    run.env.push_back("MURVANE_FAIL_CALLS=put:4:0");
    run.env.push_back("MURVANE_FAIL_RAISE=" + std::to_string(SIGKILL));
    daemon_result killed = run_daemon(run);
    ASSERT_FALSE(killed.timed_out);
    ASSERT_EQ(SIGKILL, killed.signal) << killed.err;

    // The next opener recovers the environment: the batch under way is gone.
    std::map<std::string, std::string> s = samples(stats_at(now, home.path).out);
    size_t blocked, passed;
    left_of(home.path, count, &blocked, &passed);
    size_t blocked_seeded = count - count / 3 - 1, passed_seeded = count / 3 + 1;
    ASSERT_LT(0u, blocked + passed) << "the daemon finished its sweep before the kill";
    ASSERT_GT(count, blocked + passed) << "no batch was committed before the kill";
    EXPECT_EQ(std::to_string(blocked_seeded - blocked),
              s["murvane_expired_triplets_total{state=\"never_passed\"}"]);
    EXPECT_EQ(std::to_string(passed_seeded - passed),
              s["murvane_expired_triplets_total{state=\"passed\"}"]);
    EXPECT_EQ("0", s["murvane_sweeps_finished_total"]);

    ASSERT_EQ(0, run_at(now, home.path, {}, opener()).status);
    left_of(home.path, count, &blocked, &passed);
    EXPECT_EQ(0u, blocked + passed);
    s = samples(stats_at(now, home.path).out);
    EXPECT_EQ(std::to_string(blocked_seeded),
              s["murvane_expired_triplets_total{state=\"never_passed\"}"]);
    EXPECT_EQ(std::to_string(passed_seeded),
              s["murvane_expired_triplets_total{state=\"passed\"}"]);
    EXPECT_EQ("1", s["murvane_sweeps_finished_total"]);
}

}  // namespace
