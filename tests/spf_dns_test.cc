// SPDX-License-Identifier: BSD-2-Clause
// spf_dns_test.cc - --spf through the real resolver: the daemon asks a DNS
// server (dnsmasq) that serves the SPF records of test domains, in the test
// program's own namespace (support/dns_world.h), with an upstream that
// answers SERVFAIL and one that never answers. The clients are in
// 192.0.2.0/24: the library lets any loopback client pass, which would prove
// nothing. Where no namespace can be made, the tests skip and say so.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "dns_world.h"
#include "fixture_db.h"
#include "frozen_clock.h"
#include "run_daemon.h"

namespace {

// 2026-01-01 00:00:00 UTC, the first request of every scenario.
constexpr time_t T = 1767225600;
constexpr time_t delay = 3480;  // the default greylist delay

const std::string recipient = "bob@example.net";

// Records as dnsmasq's --txt-record takes them on its command line: name,
// then one or more strings of at most 255 bytes apart by commas, which the
// TXT record carries as they are and the reader joins.
std::vector<std::string> zone()
{
    std::vector<std::string> records = {
        "pool.test,v=spf1 ip4:192.0.2.2 ip4:192.0.2.3 -all",
        "soft.test,v=spf1 ip4:192.0.2.2 ~all",
        "neutral.test,v=spf1 ip4:192.0.2.2 ?all",
        "other.test,site-verification=abc",
        "malformed.test,v=spf1 ip4:192.0.2.999 -all",
        "helo.test,v=spf1 ip4:192.0.2.9 -all",
        "loop-a.test,v=spf1 include:loop-b.test ip4:192.0.2.2 -all",
        "loop-b.test,v=spf1 include:loop-a.test -all",
        "macro.test,v=spf1 exists:%{ir}.%{l1r+-}.%{d4}.%{h}.%{v}._spf.%{d} "
        "exists:%{i}.%{s}.%{o}.%{p}.x.test ip4:192.0.2.2 -all",
        "void.test,v=spf1 a:gone1.void.test a:gone2.void.test a:gone3.void.test "
        "ip4:192.0.2.2 -all",
        "servfail-include.test,v=spf1 include:servfail.test ip4:192.0.2.2 -all",
        // HELO names for bounces: hosts of one pool, names under an ICANN
        // suffix and under a private suffix of the list, and the suffixes.
        "mx1.bounce.test,v=spf1 ip4:192.0.2.11 -all",
        "mx2.bounce.test,v=spf1 ip4:192.0.2.12 -all",
        "example.co.uk,v=spf1 ip4:192.0.2.13 -all",
        "mx.example.co.uk,v=spf1 ip4:192.0.2.13 -all",
        "co.uk,v=spf1 ip4:192.0.2.14 -all",
        "blogspot.com,v=spf1 ip4:192.0.2.14 -all",
        "mx.shop.blogspot.com,v=spf1 ip4:192.0.2.15 -all",
    };
    // Eleven terms that query DNS before the one that would match.
    std::string many = "many.test,v=spf1";
    for (int i = 0; i < 11; i++)
        many += " a:h" + std::to_string(i) + ".many.test";
    records.push_back(many + " ip4:192.0.2.2 -all");
    // Forty strings of 250 bytes: a record of 10 000 bytes, answered over TCP.
    std::string huge = "huge.test,v=spf1";
    for (int s = 0; s < 40; s++) {
        std::string piece;
        while (piece.size() < 235)
            piece += " ip4:198.51.100." + std::to_string(piece.size() % 250);
        huge += piece + ",";
    }
    records.push_back(huge + " ip4:192.0.2.2 -all");
    return records;
}

// A policy request with the HELO name the mail server passes along.
std::string request(const std::string &client, const std::string &sender,
                    const std::string &helo, const std::string &to = recipient)
{
    return "request=smtpd_access_policy\nprotocol_state=RCPT\nprotocol_name=ESMTP\n"
           "client_address=" + client + "\nclient_name=unknown\nhelo_name=" + helo +
           "\nsender=" + sender + "\nrecipient=" + to + "\nqueue_id=\n\n";
}

// The world is made once per program, before its first test, and ended
// after its last: both test suites below share it.
std::vector<std::string> records()
{
    std::vector<std::string> args = {"--local=/co.uk/", "--local=/blogspot.com/"};
    for (const std::string &record : zone())
        args.push_back("--txt-record=" + record);
    return args;
}
::testing::Environment *const environment =
    ::testing::AddGlobalTestEnvironment(new dns_environment(records()));

class SpfDns : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!world.ready)
            GTEST_SKIP() << "no DNS namespace for the --spf tests: " << world.why_not;
        ASSERT_NE("", faketime_library()) << "libfaketime is missing: scripts/test.sh installs it";
    }

    // run_at - one daemon with --spf -d on the home, its clock frozen at `now`.
    daemon_result run_at(time_t now, const std::string &input, bool spf = true)
    {
        daemon_run run;
        run.args = {"-h", home.path, "-d"};
        if (spf)
            run.args.push_back("--spf");
        run.input = input;
        run.env = frozen_clock(now);
        auto start = std::chrono::steady_clock::now();
        daemon_result r = run_daemon(run);
        last_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
                           .count();
        EXPECT_EQ(0, r.status) << r.err;
        EXPECT_TRUE(r.messages("err").empty()) << r.messages("err").front();
        return r;
    }

    // The address parts of the stored keys, in key order.
    std::vector<std::string> address_parts()
    {
        daemon_result r = run_daemon({"-h", home.path, "--dump-triplets"});
        std::vector<std::string> parts;
        size_t at = 0;
        while (at < r.out.size()) {
            size_t end = r.out.find('\n', at);
            std::string line = r.out.substr(at, end - at);
            parts.push_back(line.substr(0, line.find('\t')));
            at = end + 1;
        }
        return parts;
    }

    temp_dir home;
    double last_seconds = 0;
};

bool deferred(const daemon_result &r)
{
    return r.out.rfind("action=DEFER_IF_PERMIT ", 0) == 0;
}

bool first_pass(const daemon_result &r)
{
    return r.out.rfind("action=PREPEND X-Murvane: Greylisted", 0) == 0;
}

// A retry after the delay from another address of the pool finds the triplet
// the first attempt started; without --spf it is a new triplet.
TEST_F(SpfDns, RetryFromAnotherAuthorisedAddressPasses)
{
    EXPECT_TRUE(deferred(run_at(T, request("192.0.2.2", "alice@pool.test", "mx1.pool.test"))));
    daemon_result retry =
        run_at(T + delay + 1, request("192.0.2.3", "alice@pool.test", "mx2.pool.test"));
    EXPECT_TRUE(first_pass(retry)) << retry.out;
    EXPECT_TRUE(retry.logged("debug", "SPF pass for client 192.0.2.3 domain pool.test: "
                                      "key address spf:pool.test"));
    EXPECT_TRUE(retry.logged("debug", "triplet effective IP: spf:pool.test"));
    EXPECT_EQ(std::vector<std::string>{"spf:pool.test"}, address_parts());
}

TEST_F(SpfDns, WithoutTheOptionTheRetryWaitsAgain)
{
    run_at(T, request("192.0.2.2", "alice@pool.test", "mx1.pool.test"), false);
    daemon_result retry =
        run_at(T + delay + 1, request("192.0.2.3", "alice@pool.test", "mx2.pool.test"), false);
    EXPECT_TRUE(deferred(retry)) << retry.out;
    EXPECT_EQ((std::vector<std::string>{"192.0.2.2", "192.0.2.3"}), address_parts());
}

// An address the domain does not authorise keeps its own key: its retry
// after the delay is a new triplet, deferred again.
TEST_F(SpfDns, RetryFromAnUnauthorisedAddressIsANewTriplet)
{
    run_at(T, request("192.0.2.2", "alice@pool.test", "mx1.pool.test"));
    daemon_result retry =
        run_at(T + delay + 1, request("192.0.2.7", "alice@pool.test", "mx.other.test"));
    EXPECT_TRUE(deferred(retry)) << retry.out;
    EXPECT_TRUE(retry.logged("debug", "SPF fail for client 192.0.2.7 domain pool.test: "
                                      "key address client"));
    EXPECT_EQ((std::vector<std::string>{"192.0.2.7", "spf:pool.test"}), address_parts());
}

// The null sender is checked for the HELO name, and keyed on it.
TEST_F(SpfDns, NullSenderUsesTheHeloName)
{
    daemon_result r = run_at(T, request("192.0.2.9", "", "helo.test"));
    EXPECT_TRUE(deferred(r));
    EXPECT_TRUE(r.logged("debug", "SPF pass for client 192.0.2.9 domain helo.test: "
                                  "key address spf:helo.test"));
    daemon_result dump = run_daemon({"-h", home.path, "--dump-triplets"});
    EXPECT_EQ(0u, dump.out.rfind("spf:helo.test\t\t" + recipient + "\t", 0)) << dump.out;
}

// The bounces of a pool whose hosts each give their own name in HELO: the
// key is the names' registrable domain, so a retry from another host of the
// pool finds the triplet the first attempt started.
TEST_F(SpfDns, BouncesOfOnePoolShareTheirRegistrableDomain)
{
    EXPECT_TRUE(deferred(run_at(T, request("192.0.2.11", "", "mx1.bounce.test"))));
    daemon_result retry = run_at(T + delay + 1, request("192.0.2.12", "", "mx2.bounce.test"));
    EXPECT_TRUE(first_pass(retry)) << retry.out;
    EXPECT_TRUE(retry.logged("debug", "SPF pass for client 192.0.2.12 domain mx2.bounce.test: "
                                      "key address spf:bounce.test"))
        << ::testing::PrintToString(retry.messages("debug"));
    EXPECT_EQ(std::vector<std::string>{"spf:bounce.test"}, address_parts());
}

struct bounce_case {
    const char *name;
    const char *client, *sender, *helo;
    const char *domain;  // the domain evaluated, as the debug line gives it
    const char *key;     // the key's domain, or "": the address key
};

void PrintTo(const bounce_case &c, std::ostream *os) { *os << c.name; }

class SpfDnsBounceKey : public SpfDns, public ::testing::WithParamInterface<bounce_case> {};

// What a bounce that passes for its HELO name is keyed on: the registrable
// domain of the name, never a public suffix itself (the address key then).
TEST_P(SpfDnsBounceKey, RegistrableDomainOfTheHeloName)
{
    const bounce_case &c = GetParam();
    daemon_result r = run_at(T, request(c.client, c.sender, c.helo));
    EXPECT_TRUE(deferred(r)) << r.out;
    std::string key = c.key[0] != '\0' ? std::string("spf:") + c.key : "client";
    EXPECT_TRUE(r.logged("debug", std::string("SPF pass for client ") + c.client + " domain " +
                                      c.domain + ": key address " + key))
        << ::testing::PrintToString(r.messages("debug"));
    EXPECT_EQ(std::vector<std::string>{c.key[0] != '\0' ? std::string("spf:") + c.key
                                                         : std::string(c.client)},
              address_parts());
}

const bounce_case bounce_cases[] = {
    {"host_of_a_pool", "192.0.2.11", "", "mx1.bounce.test", "mx1.bounce.test", "bounce.test"},
    {"helo_is_a_registrable_domain", "192.0.2.13", "", "example.co.uk", "example.co.uk",
     "example.co.uk"},
    {"below_an_icann_suffix", "192.0.2.13", "", "MX.Example.co.uk.", "mx.example.co.uk",
     "example.co.uk"},
    {"helo_is_an_icann_suffix", "192.0.2.14", "", "co.uk", "co.uk", ""},
    {"helo_is_a_private_suffix", "192.0.2.14", "", "blogspot.com", "blogspot.com", ""},
    // Each customer of a hosting service is a domain of its own.
    {"below_a_private_suffix", "192.0.2.15", "", "mx.shop.blogspot.com", "mx.shop.blogspot.com",
     "shop.blogspot.com"},
    // Mail with a sender is keyed on the sender's whole domain, as before.
    {"mail_keeps_the_senders_domain", "192.0.2.11", "a@mx1.bounce.test", "mx1.bounce.test",
     "mx1.bounce.test", "mx1.bounce.test"},
};

INSTANTIATE_TEST_SUITE_P(Helo, SpfDnsBounceKey, ::testing::ValuesIn(bounce_cases),
                         [](const auto &info) { return std::string(info.param.name); });

// One evaluation serves every recipient of a message: the domain's record
// is asked for once.
TEST_F(SpfDns, OneEvaluationPerMessage)
{
    drain_dns_log();
    size_t before = world.log.size();
    daemon_result r = run_at(T, request("192.0.2.2", "carol@pool.test", "mx1.pool.test", "a@x.test") +
                                    request("192.0.2.2", "carol@pool.test", "mx1.pool.test", "b@x.test") +
                                    request("192.0.2.2", "carol@pool.test", "mx1.pool.test", "c@x.test"));
    size_t answers = 0;
    for (size_t at = r.out.find("action=DEFER_IF_PERMIT "); at != std::string::npos;
         at = r.out.find("action=DEFER_IF_PERMIT ", at + 1))
        answers++;
    EXPECT_EQ(3u, answers) << r.out;
    EXPECT_EQ(3u, address_parts().size());
    drain_dns_log();
    std::string queries = world.log.substr(before);
    size_t count = 0;
    for (size_t at = queries.find("query[TXT] pool.test "); at != std::string::npos;
         at = queries.find("query[TXT] pool.test ", at + 1))
        count++;
    EXPECT_EQ(1u, count) << queries;
    const std::string reused = "SPF pass (same message) for client 192.0.2.2 domain pool.test: "
                               "key address spf:pool.test";
    size_t reuses = 0;
    for (const std::string &line : r.messages("debug"))
        reuses += line == reused;
    EXPECT_EQ(2u, reuses) << ::testing::PrintToString(r.messages("debug"));
}

// The messages of one domain from several clients, in one daemon: each is
// evaluated for its own client, and the domain's record is asked for once.
// Between them a domain not asked before, evaluated in the worker after the
// kept answers fell short, and again from them.
TEST_F(SpfDns, TheClientsOfOneDomainShareItsRecord)
{
    drain_dns_log();
    size_t before = world.log.size();
    daemon_result r = run_at(T, request("192.0.2.2", "a@pool.test", "mx1.pool.test") +
                                    request("192.0.2.3", "b@pool.test", "mx2.pool.test") +
                                    request("192.0.2.3", "b@soft.test", "mx2.soft.test") +
                                    request("192.0.2.4", "c@pool.test", "mx3.pool.test") +
                                    request("192.0.2.2", "a@soft.test", "mx1.soft.test"));
    for (const char *line : {
             "SPF pass for client 192.0.2.2 domain pool.test: key address spf:pool.test",
             "SPF pass for client 192.0.2.3 domain pool.test: key address spf:pool.test",
             "SPF softfail for client 192.0.2.3 domain soft.test: key address client",
             "SPF fail for client 192.0.2.4 domain pool.test: key address client",
             "SPF pass for client 192.0.2.2 domain soft.test: key address spf:soft.test"})
        EXPECT_TRUE(r.logged("debug", line))
            << line << "\n" << ::testing::PrintToString(r.messages("debug"));
    std::vector<std::string> parts = address_parts();
    std::sort(parts.begin(), parts.end());
    EXPECT_EQ((std::vector<std::string>{"192.0.2.3", "192.0.2.4", "spf:pool.test",
                                        "spf:pool.test", "spf:soft.test"}),
              parts);
    drain_dns_log();
    std::string queries = world.log.substr(before);
    for (const char *name : {"query[TXT] pool.test ", "query[TXT] soft.test "}) {
        size_t count = 0;
        for (size_t at = queries.find(name); at != std::string::npos;
             at = queries.find(name, at + 1))
            count++;
        EXPECT_EQ(1u, count) << name << "\n" << queries;
    }
}

// While an evaluation that timed out still waits on the server that never
// answers, the next message of the same daemon does not wait behind it: it
// goes on with the address key at once, so two messages take one bound.
TEST_F(SpfDns, NoSecondWaitBehindATimedOutEvaluation)
{
    daemon_result r = run_at(T, request("192.0.2.2", "a@silent.test", "mx.silent.test") +
                                    request("192.0.2.3", "b@pool.test", "mx2.pool.test"));
    EXPECT_TRUE(r.logged("debug", "SPF temperror (time-out) for client 192.0.2.2 domain "
                                  "silent.test: key address client"));
    EXPECT_TRUE(r.logged("debug", "SPF temperror (an evaluation that timed out still runs) "
                                  "for client 192.0.2.3 domain pool.test: key address client"))
        << ::testing::PrintToString(r.messages("debug"));
    EXPECT_EQ((std::vector<std::string>{"192.0.2.2", "192.0.2.3"}), address_parts());
    EXPECT_LT(last_seconds, 9.0);
}

struct kept_case {
    const char *name;
    const char *client, *sender;
    const char *result;  // as the debug line gives it
};

void PrintTo(const kept_case &c, std::ostream *os) { *os << c.name; }

class SpfDnsKeepsAddress : public SpfDns, public ::testing::WithParamInterface<kept_case> {};

// Every result but pass keeps the address key, and the request is answered
// within the evaluation's bound (5 s; the resolver alone would wait 10 s for
// the server that never answers).
TEST_P(SpfDnsKeepsAddress, AnsweredOnTheAddressKey)
{
    const kept_case &c = GetParam();
    daemon_result r = run_at(T, request(c.client, c.sender, "mx.sender.test"));
    EXPECT_TRUE(deferred(r)) << r.out;
    std::string domain = std::string(c.sender).substr(std::string(c.sender).find('@') + 1);
    EXPECT_TRUE(r.logged("debug", std::string("SPF ") + c.result + " for client " + c.client +
                                      " domain " + domain + ": key address client"))
        << ::testing::PrintToString(r.messages("debug"));
    EXPECT_EQ(std::vector<std::string>{c.client}, address_parts());
    EXPECT_LT(last_seconds, 9.0);
}

const kept_case kept_cases[] = {
    {"softfail", "192.0.2.7", "a@soft.test", "softfail"},
    {"neutral", "192.0.2.7", "a@neutral.test", "neutral"},
    {"fail", "192.0.2.7", "a@pool.test", "fail"},
    {"none_no_spf_record", "192.0.2.2", "a@other.test", "none"},
    {"none_no_such_domain", "192.0.2.2", "a@nowhere.test", "none"},
    {"malformed", "192.0.2.2", "a@malformed.test", "permerror"},
    {"servfail", "192.0.2.2", "a@servfail.test", "temperror"},
    {"servfail_in_include", "192.0.2.2", "a@servfail-include.test", "temperror"},
    {"never_answers", "192.0.2.2", "a@silent.test", "temperror (time-out)"},
    {"include_loop", "192.0.2.2", "a@loop-a.test", "permerror"},
    {"over_ten_lookups", "192.0.2.2", "a@many.test", "permerror"},
    {"three_void_lookups", "192.0.2.2", "a@void.test", "permerror"},
    {"macro_heavy", "192.0.2.7", "a.b-c@macro.test", "permerror"},
    {"ipv6_client", "2001:db8::25", "a@pool.test", "fail"},
    // 10 000 bytes, read over TCP: the library keeps only the head of it and
    // runs off its end, so the client it names last gets no pass.
    {"huge_record", "192.0.2.2", "a@huge.test", "neutral"},
};

INSTANTIATE_TEST_SUITE_P(Results, SpfDnsKeepsAddress, ::testing::ValuesIn(kept_cases),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
