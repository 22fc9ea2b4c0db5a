// SPDX-License-Identifier: BSD-2-Clause
// server_compare_test.cc - the resident server answers what a spawn daemon
// answers, byte for byte, and leaves the same database behind.
//
// Each case makes a home, seeds it with back-dated records, and copies the
// directory: one copy is served by a spawn daemon (the requests on its
// standard input, in order), the other by `murvane --listen` (the same
// requests over one or more connections, each waiting for its answer before
// the next is sent). Both clocks are frozen at the same second, so every
// number in an answer is exact. The answers must be equal byte for byte, and
// so must the listings of both homes afterwards. The --spf case asks a DNS
// server of the test program's own (support/dns_world.h) and is skipped,
// saying why, where no namespace can be made; the other cases run either way.
#include <gtest/gtest.h>

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <latch>
#include <thread>
#include <string>
#include <vector>

#include "dns_world.h"
#include "fixture_db.h"
#include "frozen_clock.h"
#include "run_daemon.h"
#include "run_server.h"

namespace {

// 2026-01-01 00:00:00 UTC: the second both clocks stand still at.
constexpr time_t T = 1767225600;

const std::string alice = "alice@example.org";
const std::string bob = "bob@example.net";

::testing::Environment *const environment = ::testing::AddGlobalTestEnvironment(
    new dns_environment({"--txt-record=pool.test,v=spf1 ip4:192.0.2.2 ip4:192.0.2.3 -all",
                         "--host-record=5.2.0.192.bl.test,127.0.0.2"}));

std::string request(const std::string &client, const std::string &sender = alice,
                    const std::string &recipient = bob)
{
    return rcpt_request(client, sender, recipient);
}

// A request of a later stage of the session: never greylisted.
const std::string data_stage =
    "request=smtpd_access_policy\nprotocol_state=DATA\nprotocol_name=ESMTP\n"
    "client_address=192.0.2.10\nsender=alice@example.org\nrecipient=bob@example.net\n\n";

struct step {
    int connection;          // which of the server's connections sends it
    std::string request;
    std::string expected;    // what the spawn daemon's answer starts with
};

struct compare_case {
    const char *name;
    std::vector<std::string> options;
    record_list seed;        // triplets-1.db records written before the copy
    std::vector<step> steps;
    bool dns = false;        // needs the DNS world (--spf), or its namespace
    std::string host = "";   // inet:HOST:PORT in the namespace; empty: a unix socket
    std::vector<std::string> listings = {"--dump-triplets"};
};

void PrintTo(const compare_case &c, std::ostream *os) { *os << c.name; }

const std::string defer = "action=DEFER_IF_PERMIT Greylisted by murvane 0.4.0, try again in ";
const std::string first_pass = "action=PREPEND X-Murvane: Greylisted by murvane 0.4.0 for ";
const std::string dunno = "action=DUNNO\n\n";

// The records of the greylisting path: one deferred long enough ago to pass,
// one deferred ten minutes ago, one known for long.
record_list greylisting_seed(const std::string &prefix = "192.0.2.")
{
    return {
        {ipv4_key(prefix + "10", alice, bob), record_value(T - 4000, T - 4000, 1, 0)},
        {ipv4_key(prefix + "11", alice, bob), record_value(T - 600, T - 600, 1, 0)},
        {ipv4_key(prefix + "12", alice, bob), record_value(T - 90000, T - 3600, 2, 3)},
    };
}

// new, early retry, a retry ten minutes on, the pass, known, known, ignored.
std::vector<step> greylisting_steps(int connections, const std::string &wait_new,
                                    const std::string &wait_early, const std::string &passed,
                                    const std::string &defer_prefix = defer,
                                    const std::string &pass_prefix = first_pass)
{
    std::vector<step> steps = {
        {0, request("192.0.2.20"), defer_prefix + wait_new},
        {1, request("192.0.2.20"), defer_prefix + wait_new},
        {2, request("192.0.2.11"), defer_prefix + wait_early},
        {0, request("192.0.2.10"), pass_prefix + passed},
        {1, request("192.0.2.10"), dunno},
        {2, request("192.0.2.12"), dunno},
        {0, data_stage, dunno},
        {1, request("192.0.2.20", alice, "carol@example.net"), defer_prefix + wait_new},
    };
    for (auto &s : steps)
        s.connection %= connections;
    return steps;
}

std::vector<compare_case> compare_cases()
{
    std::vector<compare_case> cases;
    cases.push_back({"greylisting_path", {}, greylisting_seed(),
                     greylisting_steps(1, "3480 seconds", "2880 seconds", "4000 seconds")});
    cases.push_back({"interleaved_connections", {}, greylisting_seed(),
                     greylisting_steps(3, "3480 seconds", "2880 seconds", "4000 seconds")});
    cases.push_back({"templates_and_delay",
                     {"-g", "1200", "-r", "DEFER_IF_PERMIT wait %d second%p%s(%%)", "-G",
                      "PREPEND X-Waited: %d second%p"},
                     greylisting_seed(),
                     greylisting_steps(2, "1200 seconds (%)", "600 seconds (%)", "4000 seconds",
                                       "action=DEFER_IF_PERMIT wait ",
                                       "action=PREPEND X-Waited: ")});
    cases.push_back({"verbose_debug_decision_log", {"-v", "-d", "--log-decisions"},
                     greylisting_seed(),
                     greylisting_steps(2, "3480 seconds", "2880 seconds", "4000 seconds")});
    // Over TCP inside the test's own network namespace: an IPv6 literal,
    // and a name that may stand for both loopback addresses.
    for (const char *host : {"[::1]", "localhost"}) {
        compare_case c{host[0] == '[' ? "interleaved_over_ipv6" : "interleaved_over_a_name", {},
                       greylisting_seed(),
                       greylisting_steps(3, "3480 seconds", "2880 seconds", "4000 seconds")};
        c.dns = true;
        c.host = host;
        cases.push_back(c);
    }
    // --learn records as usual and answers DUNNO to all.
    {
        compare_case c{"learn", {"--learn", "--log-decisions"}, greylisting_seed(),
                       greylisting_steps(2, "", "", "")};
        for (auto &s : c.steps)
            s.expected = dunno;
        cases.push_back(c);
    }
    // With -/ 24 and -6 64, clients of one network share their triplets: the
    // seeds are written under the network's first address.
    {
        compare_case c{"network_prefixes", {"-/", "24", "-6", "64"}, {}, {}};
        c.seed = {
            {ipv4_key("198.51.100.0", alice, bob), record_value(T - 4000, T - 4000, 1, 0)},
            {ipv6_key("2001:db8:0:7::", alice, bob), record_value(T - 3600, T - 3600, 1, 0)},
        };
        c.steps = {
            {0, request("198.51.100.77"), first_pass + "4000 seconds"},
            {1, request("198.51.100.200"), dunno},
            {0, request("2001:db8:0:7::1"), first_pass + "3600 seconds"},
            {1, request("2001:db8:0:7:ffff::9"), dunno},
            {0, request("2001:db8:0:8::1"), defer + "3480 seconds"},
            {1, request("192.0.2.1"), defer + "3480 seconds"},
            {0, request("192.0.2.254"), defer + "3480 seconds"},
        };
        cases.push_back(c);
    }
    // With --auto-whitelist 1 a client's pass lets its new triplets through.
    {
        compare_case c{"auto_whitelist", {"--auto-whitelist", "1"}, greylisting_seed(), {}};
        c.steps = {
            {0, request("192.0.2.20"), defer + "3480 seconds"},
            {1, request("192.0.2.10"), first_pass + "4000 seconds"},
            {0, request("192.0.2.10", alice, "carol@example.net"), "action="},
            {1, request("192.0.2.10", "dave@example.com", "erin@example.net"), "action="},
            {0, request("192.0.2.20", alice, "carol@example.net"), defer + "3480 seconds"},
        };
        c.listings = {"--dump-triplets", "--dump-clients"};
        cases.push_back(c);
    }
    // With --selective only clients with a sign are greylisted: a listing
    // in a blocklist, an SPF failure, a bare HELO; the others pass at once.
    {
        auto named = [](const std::string &client, const std::string &sender,
                        const std::string &helo = "mail.example.org") {
            return "request=smtpd_access_policy\nprotocol_state=RCPT\nprotocol_name=ESMTP\n"
                   "client_address=" + client + "\nclient_name=mail.example.org\n"
                   "reverse_client_name=mail.example.org\nhelo_name=" + helo +
                   "\nsender=" + sender + "\nrecipient=bob@example.net\n\n";
        };
        compare_case c{"selective_signs", {"--selective", "--dnsbl", "bl.test", "--spf", "-v"},
                       {}, {}};
        c.steps = {
            {0, named("192.0.2.5", alice), defer + "3480 seconds"},
            {1, named("192.0.2.8", alice), dunno},
            {0, named("192.0.2.4", "alice@pool.test"), defer + "3480 seconds"},
            {1, named("192.0.2.2", "alice@pool.test"), dunno},
            {0, named("192.0.2.9", alice, "[192.0.2.9]"), defer + "3480 seconds"},
            {1, named("192.0.2.5", alice), defer + "3480 seconds"},
        };
        c.dns = true;
        cases.push_back(c);
    }
    // With --replies a user's own mail is answered at once and teaches the
    // pair; the reply from outside then passes at once, and is listed.
    {
        auto from_user = [](const std::string &sender, const std::string &recipient) {
            std::string r = request("192.0.2.40", sender, recipient);
            r.insert(r.size() - 1, "sasl_method=PLAIN\nsasl_username=carol\n");
            return r;
        };
        compare_case c{"replies", {"--replies"}, greylisting_seed(), {}};
        c.steps = {
            {0, from_user("carol@site.example", "dan@outside.example"), dunno},
            {1, request("192.0.2.41", "dan@outside.example", "carol@site.example"), "action="},
            {0, request("192.0.2.41", "erin@outside.example", "carol@site.example"),
             defer + "3480 seconds"},
            {1, request("192.0.2.10"), first_pass + "4000 seconds"},
            {0, from_user("carol@site.example", "erin@outside.example"), dunno},
            {1, request("192.0.2.41", "erin@outside.example", "carol@site.example"), "action="},
        };
        c.listings = {"--dump-triplets", "--dump-replies"};
        cases.push_back(c);
    }
    // With --spf the pool's addresses share the domain's key; a client the
    // record does not authorise keeps its own.
    {
        compare_case c{"spf", {"--spf"}, {}, {}};
        c.seed = {{domain_key("pool.test", "carol@pool.test", bob),
                   record_value(T - 4000, T - 4000, 1, 0)}};
        c.steps = {
            {0, request("192.0.2.2", "alice@pool.test"), defer + "3480 seconds"},
            {1, request("192.0.2.3", "alice@pool.test"), defer + "3480 seconds"},
            {0, request("192.0.2.3", "carol@pool.test"), first_pass + "4000 seconds"},
            {1, request("192.0.2.2", "carol@pool.test"), dunno},
            {0, request("192.0.2.7", "alice@pool.test"), defer + "3480 seconds"},
        };
        c.dns = true;
        cases.push_back(c);
    }
    return cases;
}

// copy_home - the files of a closed environment, without its regions: the
// copy's first opener makes its own.
void copy_home(const std::string &from, const std::string &to)
{
    for (const auto &entry : std::filesystem::directory_iterator(from)) {
        std::string name = entry.path().filename();
        if (entry.is_regular_file() && name.rfind("__db.", 0) != 0)
            std::filesystem::copy_file(entry.path(), to + "/" + name);
    }
}

// The answers of a stream, each with its empty line.
std::vector<std::string> split_answers(const std::string &out)
{
    std::vector<std::string> answers;
    size_t at = 0;
    for (size_t end; (end = out.find("\n\n", at)) != std::string::npos; at = end + 2)
        answers.push_back(out.substr(at, end + 2 - at));
    if (at < out.size())
        answers.push_back(out.substr(at));  // an unfinished one, shown as it is
    return answers;
}

daemon_result run_frozen(const std::vector<std::string> &args, const std::string &input = "")
{
    daemon_run run;
    run.args = args;
    run.input = input;
    run.env = frozen_clock(T);
    return run_daemon(run);
}

// The lines each request leaves in the log, whoever answered it: the
// decision lines of --log-decisions and the effective key of -d.
std::vector<std::string> request_lines(const std::vector<std::string> &log)
{
    std::vector<std::string> lines;
    for (const auto &line : log)
        if (line.rfind("info\tdecision=", 0) == 0 || line.rfind("info\tclient ", 0) == 0 ||
            line.rfind("debug\ttriplet effective IP: ", 0) == 0)
            lines.push_back(line);
    return lines;
}

// A thread that reads dnsmasq's query log while a test runs, and drops it:
// nothing here reads the log, and a full pipe would stop the DNS server in
// the middle of a write, and every SPF check after it.
class dns_log_reader {
public:
    dns_log_reader()
    {
        if (world.dnsmasq_log < 0)
            return;
        thread_ = std::thread([this] {
            while (!done_) {
                struct pollfd p = {world.dnsmasq_log, POLLIN, 0};
                if (poll(&p, 1, 50) <= 0)
                    continue;
                char buffer[65536];
                if (read(world.dnsmasq_log, buffer, sizeof buffer) <= 0)
                    return;
            }
        });
    }
    ~dns_log_reader()
    {
        done_ = true;
        if (thread_.joinable())
            thread_.join();
    }

private:
    std::atomic<bool> done_{false};
    std::thread thread_;
};

class ServerMatchesSpawn : public ::testing::TestWithParam<compare_case> {
protected:
    void SetUp() override
    {
        ASSERT_NE("", faketime_library()) << "libfaketime is missing: scripts/test.sh installs it";
        if (GetParam().dns && !world.ready)
            GTEST_SKIP() << "no DNS namespace for the --spf case: " << world.why_not;
    }
    dns_log_reader dns_log;
};

TEST_P(ServerMatchesSpawn, AnswersAndListings)
{
    const compare_case &c = GetParam();
    temp_dir spawn_home, server_home, sockets;
    if (!c.seed.empty())
        put_records(spawn_home.path, "triplets-1.db", c.seed);
    copy_home(spawn_home.path, server_home.path);

    std::vector<std::string> args = {"-h", spawn_home.path};
    args.insert(args.end(), c.options.begin(), c.options.end());
    std::string input;
    for (const auto &s : c.steps)
        input += s.request;
    daemon_result spawned = run_frozen(args, input);
    ASSERT_FALSE(spawned.timed_out);
    ASSERT_EQ(0, spawned.status) << spawned.err;
    EXPECT_TRUE(spawned.messages("err").empty()) << spawned.messages("err").front();
    std::vector<std::string> expected = split_answers(spawned.out);
    ASSERT_EQ(c.steps.size(), expected.size()) << spawned.out;
    for (size_t i = 0; i < c.steps.size(); i++)
        EXPECT_EQ(0u, expected[i].rfind(c.steps[i].expected, 0))
            << "request " << i << " answered " << expected[i];

    server_run run;
    run.address = "unix:" + sockets.file("policy");
    if (!c.host.empty()) {
        int port = free_inet_port();
        ASSERT_GT(port, 0);
        run.address = "inet:" + c.host + ":" + std::to_string(port);
    }
    run.args = {"-h", server_home.path};
    run.args.insert(run.args.end(), c.options.begin(), c.options.end());
    run.env = frozen_clock(T);
    server_process server = start_server(run);
    ASSERT_TRUE(wait_ready(server)) << server.daemon.err << ::testing::PrintToString(
                                           read_log_file(server.daemon.log_path));
    // A name is served on each address it stands for; clients ask at
    // 127.0.0.1, the one it surely has.
    if (c.host == "localhost")
        run.address = "inet:127.0.0.1:" + run.address.substr(run.address.rfind(':') + 1);
    int connections = 0;
    for (const auto &s : c.steps)
        connections = std::max(connections, s.connection + 1);
    std::vector<int> fds;
    for (int i = 0; i < connections; i++) {
        fds.push_back(connect_to(run.address));
        ASSERT_GE(fds.back(), 0) << "connection " << i;
    }
    for (size_t i = 0; i < c.steps.size(); i++) {
        answer_read got = ask(fds[c.steps[i].connection], c.steps[i].request);
        EXPECT_TRUE(got.complete) << "request " << i << (got.closed ? " closed" : " timed out");
        EXPECT_EQ(expected[i], got.text) << "request " << i << " on connection "
                                         << c.steps[i].connection;
    }
    for (int fd : fds)
        close(fd);
    daemon_result stopped = stop_server(server);
    EXPECT_FALSE(stopped.timed_out);
    EXPECT_EQ(0, stopped.status) << stopped.err;
    EXPECT_TRUE(stopped.logged("notice", "server stopped"));
    EXPECT_TRUE(stopped.messages("err").empty()) << stopped.messages("err").front();
    EXPECT_EQ(request_lines(spawned.log), request_lines(stopped.log));
    for (const char *option : {"-d", "--log-decisions"}) {
        if (std::find(c.options.begin(), c.options.end(), option) != c.options.end()) {
            EXPECT_LE(c.steps.size() - 1, request_lines(spawned.log).size()) << option;
        }
    }

    for (const auto &listing : c.listings) {
        daemon_result from_spawn = run_frozen({"-h", spawn_home.path, listing});
        daemon_result from_server = run_frozen({"-h", server_home.path, listing});
        EXPECT_EQ(0, from_spawn.status);
        EXPECT_EQ(0, from_server.status);
        EXPECT_NE("", from_spawn.out) << listing;
        EXPECT_EQ(from_spawn.out, from_server.out) << listing;
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, ServerMatchesSpawn, ::testing::ValuesIn(compare_cases()),
                         [](const auto &info) { return std::string(info.param.name); });

// Many connections at once, each with triplets of its own, are answered as
// one spawn daemon answers the same requests one after the other: the same
// answer to each request, the same listings, the same decision lines. Every
// piece of a request's state (request, key, record, SPF and DNS work, the
// decision line) is a connection's own; one shared by mistake shows here as
// a wrong answer, a wrong record or a garbled line.
TEST(ServerConcurrency, ManyConnectionsAnswerAsOneSpawnDaemon)
{
    ASSERT_NE("", faketime_library()) << "libfaketime is missing: scripts/test.sh installs it";
    dns_log_reader dns_log;
    constexpr int connections = 24;
    bool spf = world.ready;
    std::vector<std::string> options = {"--auto-whitelist", "1", "--log-decisions", "-d"};
    if (spf)
        options.push_back("--spf");
    std::vector<std::vector<std::string>> requests(connections);
    record_list seed;
    for (int c = 0; c < connections; c++) {
        std::string client = "198.51.100." + std::to_string(c + 1);
        std::string mine = "u" + std::to_string(c) + "@example.net";
        seed.push_back({ipv4_key(client, "old@example.org", mine),
                        record_value(T - 4000 - c, T - 4000 - c, 1, 0)});
        std::vector<std::string> &r = requests[c];
        r.push_back(request(client, alice, mine));                       // new
        r.push_back(request(client, "old@example.org", mine));           // passes
        r.push_back(request(client, "new@example.org", "v" + mine));     // client listed
        if (spf) {
            r.push_back(request("192.0.2.2", "alice@pool.test", mine));  // the domain's key
            r.push_back(request("192.0.2.3", "alice@pool.test", mine));  // the same key
            r.push_back(request("192.0.2.7", "alice@pool.test", mine));  // the client's
        }
        r.push_back(data_stage);
        r.push_back(request(client, "old@example.org", mine));           // known
    }
    temp_dir spawn_home, server_home, sockets;
    put_records(spawn_home.path, "triplets-1.db", seed);
    copy_home(spawn_home.path, server_home.path);

    std::vector<std::string> args = {"-h", spawn_home.path};
    args.insert(args.end(), options.begin(), options.end());
    std::string input;
    for (const auto &r : requests)
        for (const auto &one : r)
            input += one;
    daemon_result spawned = run_frozen(args, input);
    ASSERT_EQ(0, spawned.status) << spawned.err;
    std::vector<std::string> expected = split_answers(spawned.out);
    ASSERT_EQ(connections * requests[0].size(), expected.size());

    server_run run;
    run.address = "unix:" + sockets.file("policy");
    run.args = {"-h", server_home.path};
    run.args.insert(run.args.end(), options.begin(), options.end());
    run.env = frozen_clock(T);
    server_process server = start_server(run);
    ASSERT_TRUE(wait_ready(server)) << server.daemon.err;
    std::vector<std::vector<std::string>> answers(connections);
    std::latch connected(connections);
    std::vector<std::thread> threads;
    for (int c = 0; c < connections; c++)
        threads.emplace_back([&, c] {
            int fd = connect_to(run.address, 30000);
            connected.arrive_and_wait();
            for (const auto &one : requests[c])
                answers[c].push_back(fd >= 0 ? ask(fd, one).text : "(no connection)");
            if (fd >= 0)
                close(fd);
        });
    for (auto &t : threads)
        t.join();
    daemon_result stopped = stop_server(server);
    EXPECT_EQ(0, stopped.status) << stopped.err;
    EXPECT_TRUE(stopped.messages("err").empty()) << stopped.messages("err").front();

    size_t at = 0;
    for (int c = 0; c < connections; c++)
        for (size_t i = 0; i < requests[c].size(); i++, at++)
            EXPECT_EQ(expected[at], answers[c][i]) << "connection " << c << ", request " << i;
    // Each kind of answer is there: the table checks itself.
    EXPECT_EQ(0u, expected[0].rfind(defer + "3480 seconds", 0)) << expected[0];
    EXPECT_EQ(0u, expected[1].rfind(first_pass + "4000 seconds", 0)) << expected[1];
    EXPECT_EQ(dunno, expected[requests[0].size() - 1]);

    auto sorted = [](std::vector<std::string> lines) {
        std::sort(lines.begin(), lines.end());
        return lines;
    };
    std::vector<std::string> spawn_lines = sorted(request_lines(spawned.log));
    EXPECT_LE(connections * (requests[0].size() - 1), spawn_lines.size());
    EXPECT_EQ(spawn_lines, sorted(request_lines(stopped.log)));
    for (const char *listing : {"--dump-triplets", "--dump-clients"}) {
        daemon_result from_spawn = run_frozen({"-h", spawn_home.path, listing});
        daemon_result from_server = run_frozen({"-h", server_home.path, listing});
        EXPECT_NE("", from_spawn.out);
        EXPECT_EQ(from_spawn.out, from_server.out) << listing;
    }
}

// The sweep: with --sweep-interval 1 the server expires, while it serves,
// what a spawn daemon expires at its stop, and reports it alike.
TEST(ServerSweep, ExpiresWhatTheSpawnDaemonExpires)
{
    ASSERT_NE("", faketime_library()) << "libfaketime is missing: scripts/test.sh installs it";
    temp_dir spawn_home, server_home, sockets;
    record_list seed;
    for (int i = 0; i < 6; i++) {
        std::string client = "192.0.2." + std::to_string(30 + i);
        // Even ones are past their life: never passed and older than -b,
        // or passed and idle for longer than -p.
        bool expired = i % 2 == 0;
        seed.push_back({ipv4_key(client, alice, bob),
                        i < 3 ? record_value(expired ? T - 18001 : T - 17999,
                                             expired ? T - 18001 : T - 17999, 1, 0)
                              : record_value(T - 4000000, expired ? T - 3110401 : T - 3110399,
                                             1, 2)});
    }
    put_records(spawn_home.path, "triplets-1.db", seed);
    put_records(spawn_home.path, "clients-1.db",
                {{ipv4_client_key("192.0.2.33"), client_value(T - 4000000, T - 3110401, 1, 0)},
                 {ipv4_client_key("192.0.2.35"), client_value(T - 4000000, T - 3110399, 1, 0)}});
    copy_home(spawn_home.path, server_home.path);
    const std::vector<std::string> options = {"-v", "--auto-whitelist", "1"};

    std::vector<std::string> args = {"-h", spawn_home.path};
    args.insert(args.end(), options.begin(), options.end());
    // A spawn daemon sweeps at the stop of a run that opened the home: one
    // request, which the server is asked too.
    daemon_result spawned = run_frozen(args, request("192.0.2.99"));
    ASSERT_EQ(0, spawned.status) << spawned.err;

    server_run run;
    run.address = "unix:" + sockets.file("policy");
    run.args = {"-h", server_home.path, "--sweep-interval", "1"};
    run.args.insert(run.args.end(), options.begin(), options.end());
    run.env = frozen_clock(T);
    server_process server = start_server(run);
    ASSERT_TRUE(wait_ready(server)) << server.daemon.err;
    // The sweep's last report: clients come after triplets.
    ASSERT_TRUE(wait_for_server_log(server, "Expired 1 clients", 30000));
    // It serves while it sweeps.
    int fd = connect_to(run.address);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(0u, ask(fd, request("192.0.2.99")).text.rfind(defer + "3480 seconds", 0));
    close(fd);
    daemon_result stopped = stop_server(server);
    EXPECT_EQ(0, stopped.status) << stopped.err;
    EXPECT_TRUE(stopped.messages("err").empty()) << stopped.messages("err").front();

    // The same lines of the sweep, and the same records left.
    auto sweep_lines = [](const daemon_result &r) {
        std::vector<std::string> lines;
        for (const auto &line : r.log)
            if (line.find("xpire") != std::string::npos)
                lines.push_back(line);
        return lines;
    };
    EXPECT_TRUE(spawned.logged("notice", "Expired 3 triplets"))
        << ::testing::PrintToString(spawned.log);
    EXPECT_TRUE(spawned.logged("notice", "Expired 1 clients"))
        << ::testing::PrintToString(spawned.log);
    EXPECT_EQ(sweep_lines(spawned), sweep_lines(stopped));
    for (const char *listing : {"--dump-triplets", "--dump-clients"}) {
        daemon_result from_spawn = run_frozen({"-h", spawn_home.path, listing});
        daemon_result from_server = run_frozen({"-h", server_home.path, listing});
        EXPECT_EQ(from_spawn.out, from_server.out) << listing;
    }
    daemon_result left = run_frozen({"-h", server_home.path, "--dump-triplets"});
    EXPECT_EQ(4, std::count(left.out.begin(), left.out.end(), '\n')) << left.out;
}

}  // namespace
