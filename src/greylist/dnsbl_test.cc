// SPDX-License-Identifier: BSD-2-Clause
// dnsbl_test.cc - the --dnsbl lookups in process, through the real resolver
// and a DNS server of the test's own (tests/support/dns_world.h) that serves
// test zones: what lists a client, what does not, and what a zone that never
// answers costs. The zone arguments are read as the command line reads them.
#include "greylist/dnsbl.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "common/settings.h"
#include "dns/resolver.h"
#include "dns_world.h"
#include "run_daemon.h"

namespace {

const char v6_5[] = "5.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.8.b.d.0.1.0.0.2";
const char v6_long[] = "8.7.6.5.4.3.2.1.0.f.e.d.c.b.a.9.8.7.6.5.4.3.2.1.8.b.d.0.1.0.0.2";

std::vector<std::string> records()
{
    std::vector<std::string> r = {
        "--host-record=2.2.0.192.bl.test,127.0.0.2",
        "--host-record=3.2.0.192.bl.test,127.255.255.254",
        "--host-record=4.2.0.192.bl.test,10.0.0.1",
        "--host-record=5.2.0.192.bl.test,127.0.0.10",
        "--host-record=6.2.0.192.bl.test,127.0.0.2",
        "--host-record=6.2.0.192.bl2.test,127.0.0.3",
        "--host-record=7.2.0.192.bl2.test,127.0.0.3",
        // Two answers, one a refusal: the other one lists.
        "--host-record=8.2.0.192.bl.test,127.255.255.252",
        "--host-record=8.2.0.192.bl.test,127.0.0.4",
        "--host-record=2.2.0.192.bl3.test,127.0.0.2",
        std::string("--host-record=") + v6_5 + ".bl.test,127.0.0.2",
        std::string("--host-record=") + v6_long + ".bl2.test,127.0.0.5",
    };
    return r;
}

::testing::Environment *const environment =
    ::testing::AddGlobalTestEnvironment(new dns_environment(records()));

class Dnsbl : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!world.ready)
            GTEST_SKIP() << "no DNS namespace for the --dnsbl tests: " << world.why_not;
        saved = settings;
        settings.debug = 1;
        log_path = dir.file("syslog");
        setenv("MURVANE_SYSLOG_FILE", log_path.c_str(), 1);
        // No case starts behind a job a case before it abandoned.
        ASSERT_TRUE(dns_idle_within(30));
    }

    void TearDown() override
    {
        if (!world.ready)
            return;
        unsetenv("MURVANE_SYSLOG_FILE");
        settings = saved;
    }

    // listing - dnsbl_listing for `client` with the zones as --dnsbl gives
    // them, as one request; "" for no listing.
    std::string listing(const std::string &client, const std::vector<std::string> &zones)
    {
        settings.dnsbl_count = 0;
        for (const std::string &zone : zones) {
            EXPECT_TRUE(dnsbl_parse_zone(zone.c_str(), &settings.dnsbl[settings.dnsbl_count]))
                << zone;
            settings.dnsbl_count++;
        }
        truncate(log_path.c_str(), 0);
        dns_start_request();
        std::string value = client + "\n";
        auto start = std::chrono::steady_clock::now();
        const char *zone = dnsbl_listing(value.c_str());
        seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        return zone != nullptr ? zone : "";
    }

    std::vector<std::string> debug_lines()
    {
        std::vector<std::string> lines;
        for (const std::string &line : read_log_file(log_path))
            if (line.rfind("debug\t", 0) == 0)
                lines.push_back(line.substr(6));
        return lines;
    }

    settings_t saved;
    temp_dir dir;
    std::string log_path;
    double seconds = 0;
};

struct listing_case {
    const char *name;
    const char *client;
    std::vector<std::string> zones;
    const char *listed;              // "" when not listed
    std::vector<std::string> debug;  // the lines logged with -d
    std::vector<std::string> asked;      // names dnsmasq is asked once (no other case asks)
    std::vector<std::string> not_asked;  // names it must not be asked
};

void PrintTo(const listing_case &c, std::ostream *os) { *os << c.name; }

class DnsblCases : public Dnsbl, public ::testing::WithParamInterface<listing_case> {};

TEST_P(DnsblCases, FirstZoneThatListsTheClient)
{
    const listing_case &c = GetParam();
    drain_dns_log();
    size_t before = world.log.size();
    EXPECT_EQ(c.listed, listing(c.client, c.zones));
    EXPECT_EQ(c.debug, debug_lines());
    drain_dns_log();
    std::string queries = world.log.substr(before);
    for (const std::string &name : c.asked)
        EXPECT_EQ(1u, count_in(queries, "query[A] " + name + " ")) << name << "\n" << queries;
    for (const std::string &name : c.not_asked)
        EXPECT_EQ(0u, count_in(queries, "query[A] " + name + " ")) << name << "\n" << queries;
}

const listing_case listing_cases[] = {
    {"listed", "192.0.2.2", {"bl.test"}, "bl.test",
     {"DNSBL bl.test for client 192.0.2.2: listed (127.0.0.2)"}, {}, {}},
    {"not_listed", "192.0.2.9", {"bl.test"}, "",
     {"DNSBL bl.test for client 192.0.2.9: not listed"}, {"9.2.0.192.bl.test"}, {}},
    {"refusal_code", "192.0.2.3", {"bl.test"}, "",
     {"DNSBL bl.test for client 192.0.2.3: query refused (127.255.255.254), not listed"},
     {}, {}},
    {"answer_outside_127", "192.0.2.4", {"bl.test"}, "",
     {"DNSBL bl.test for client 192.0.2.4: answer outside 127.0.0.0/8 (10.0.0.1), not listed"},
     {"4.2.0.192.bl.test"}, {}},
    {"a_refusal_beside_a_listing", "192.0.2.8", {"bl.test"}, "bl.test",
     {"DNSBL bl.test for client 192.0.2.8: listed (127.0.0.4)"}, {}, {}},
    {"zone_name_as_typed", "192.0.2.2", {"BL.Test."}, "bl.test",
     {"DNSBL bl.test for client 192.0.2.2: listed (127.0.0.2)"}, {}, {}},
    {"ipv6_nibbles", "2001:db8::5", {"bl.test"}, "bl.test",
     {"DNSBL bl.test for client 2001:db8::5: listed (127.0.0.2)"},
     {std::string(v6_5) + ".bl.test"}, {}},
    {"mapped_ipv4_as_ipv4", "::ffff:192.0.2.2", {"bl.test"}, "bl.test",
     {"DNSBL bl.test for client 192.0.2.2: listed (127.0.0.2)"}, {}, {}},
    {"ipv6_nibbles_every_digit", "2001:DB8:1234:5678:9abc:def0:1234:5678",
     {"bl.test", "bl2.test"}, "bl2.test",
     {"DNSBL bl.test for client 2001:db8:1234:5678:9abc:def0:1234:5678: not listed",
      "DNSBL bl2.test for client 2001:db8:1234:5678:9abc:def0:1234:5678: listed (127.0.0.5)"},
     {std::string(v6_long) + ".bl.test", std::string(v6_long) + ".bl2.test"}, {}},
    {"ipv6_not_listed", "2001:db8::6", {"bl.test"}, "",
     {"DNSBL bl.test for client 2001:db8::6: not listed"}, {}, {}},
    // Several zones: the first that lists wins, and the later ones are not
    // asked; a zone that does not list, or fails, hands on to the next.
    {"first_listing_zone_wins", "192.0.2.6", {"bl.test", "bl2.test"}, "bl.test",
     {"DNSBL bl.test for client 192.0.2.6: listed (127.0.0.2)"}, {}, {"6.2.0.192.bl2.test"}},
    {"order_is_the_command_lines", "192.0.2.6", {"bl2.test", "bl.test"}, "bl2.test",
     {"DNSBL bl2.test for client 192.0.2.6: listed (127.0.0.3)"}, {}, {"6.2.0.192.bl.test"}},
    {"second_zone_lists", "192.0.2.7", {"bl.test", "bl2.test", "bl3.test"}, "bl2.test",
     {"DNSBL bl.test for client 192.0.2.7: not listed",
      "DNSBL bl2.test for client 192.0.2.7: listed (127.0.0.3)"},
     {}, {"7.2.0.192.bl3.test"}},
    {"refusal_hands_on", "192.0.2.3", {"bl.test", "bl3.test", "bl2.test"}, "",
     {"DNSBL bl.test for client 192.0.2.3: query refused (127.255.255.254), not listed",
      "DNSBL bl3.test for client 192.0.2.3: not listed",
      "DNSBL bl2.test for client 192.0.2.3: not listed"},
     {}, {}},
    {"failed_zone_hands_on", "192.0.2.2", {"bl.servfail.test", "bl.test"}, "bl.test",
     {"DNSBL bl.servfail.test for client 192.0.2.2: lookup failed, not listed",
      "DNSBL bl.test for client 192.0.2.2: listed (127.0.0.2)"},
     {}, {}},
    // Narrowed to chosen codes: another code of the zone lists nothing.
    {"narrowed_code_matches", "192.0.2.5", {"bl.test=127.0.0.2,127.0.0.10"}, "bl.test",
     {"DNSBL bl.test for client 192.0.2.5: listed (127.0.0.10)"}, {}, {}},
    {"narrowed_code_differs", "192.0.2.2", {"bl.test=127.0.0.10", "bl3.test"}, "bl3.test",
     {"DNSBL bl.test for client 192.0.2.2: code not chosen (127.0.0.2), not listed",
      "DNSBL bl3.test for client 192.0.2.2: listed (127.0.0.2)"},
     {}, {}},
    {"no_address", "unknown", {"bl.test"}, "",
     {"DNSBL: client address is no IP address, not listed"}, {}, {}},
    {"no_zone", "192.0.2.2", {}, "", {}, {}, {}},
};

INSTANTIATE_TEST_SUITE_P(Zones, DnsblCases, ::testing::ValuesIn(listing_cases),
                         [](const auto &info) { return std::string(info.param.name); });

// The recipients of one message: the second lookup of a client is answered
// at once from the first one's outcome, asking nothing.
TEST_F(Dnsbl, OneLookupPerMessage)
{
    EXPECT_EQ("bl.test", listing("192.0.2.5", {"bl2.test", "bl.test"}));
    drain_dns_log();
    size_t before = world.log.size();
    EXPECT_EQ("bl.test", listing("192.0.2.5", {"bl2.test", "bl.test"}));
    EXPECT_EQ(std::vector<std::string>{"DNSBL bl.test for client 192.0.2.5: listed "
                                       "(same message)"},
              debug_lines());
    drain_dns_log();
    EXPECT_EQ(0u, count_in(world.log.substr(before), "query[A] ")) << world.log.substr(before);
}

// A zone whose server never answers: the request waits for it no longer
// than the DNS deadline, and is not listed, though a later zone would list
// it. A second lookup while the abandoned one still runs does not wait.
TEST_F(Dnsbl, ZoneThatNeverAnswersIsBounded)
{
    alarm(60);  // the test's own bound, should the deadline not hold
    EXPECT_EQ("", listing("192.0.2.2", {"bl.silent.test", "bl.test"}));
    EXPECT_LT(seconds, dns_time_limit + 3.0);
    EXPECT_GE(seconds, dns_time_limit - 0.5);
    EXPECT_EQ(std::vector<std::string>{"DNSBL for client 192.0.2.2: not listed (time-out)"},
              debug_lines());
    EXPECT_EQ("", listing("192.0.2.6", {"bl.test"}));
    EXPECT_LT(seconds, 1.0);
    EXPECT_EQ(std::vector<std::string>{"DNSBL for client 192.0.2.6: not listed (a lookup "
                                       "that timed out still runs)"},
              debug_lines());
    EXPECT_TRUE(dns_idle_within(30));
    EXPECT_EQ("bl.test", listing("192.0.2.6", {"bl.test"}));
    alarm(0);
}

struct zone_argument_case {
    const char *argument;
    bool valid;
    const char *name;
    std::vector<uint32_t> codes;
};

// What --dnsbl accepts; tests/command_line_test.cc has what the daemon
// makes of a refusal.
TEST(DnsblParseZone, ZoneAndCodes)
{
    const std::string longest = std::string(63, 'a') + "." + std::string(63, 'b') + "." +
                                std::string(61, 'c');  // 189 bytes
    const std::string too_long = longest + "c";
    const zone_argument_case cases[] = {
        {"bl.example.org", true, "bl.example.org", {}},
        {"Bl.Example.ORG.", true, "bl.example.org", {}},
        {"b_l-1.test", true, "b_l-1.test", {}},
        {"bl.test=127.0.0.2", true, "bl.test", {0x7f000002}},
        {"bl.test=127.0.0.2,127.1.0.10", true, "bl.test", {0x7f000002, 0x7f01000a}},
        {"bl.test=127.255.254.1", true, "bl.test", {0x7ffffe01}},
        {longest.c_str(), true, longest.c_str(), {}},
        {too_long.c_str(), false, "", {}},
        {"", false, "", {}},
        {".", false, "", {}},
        {"test", false, "", {}},
        {"192.0.2.1", false, "", {}},
        {"bl..test", false, "", {}},
        {"bl.test..", false, "", {}},
        {"bl.test=", false, "", {}},
        {"bl.test=,127.0.0.2", false, "", {}},
        {"bl.test=127.0.0.2,", false, "", {}},
        {"bl.test=127.0.0.256", false, "", {}},
        {"bl.test=128.0.0.2", false, "", {}},
        {"bl.test=127.255.255.0", false, "", {}},
        {"bl.test=127.255.255.255", false, "", {}},
        {"bl.test=::1", false, "", {}},
        {"=127.0.0.2", false, "", {}},
        {"bl.te st", false, "", {}},
    };
    for (const auto &c : cases) {
        dnsbl_zone zone{};
        ASSERT_EQ(c.valid, dnsbl_parse_zone(c.argument, &zone)) << c.argument;
        if (!c.valid)
            continue;
        EXPECT_STREQ(c.name, zone.name) << c.argument;
        EXPECT_EQ(c.codes, std::vector<uint32_t>(zone.codes, zone.codes + zone.code_count))
            << c.argument;
    }
}

}  // namespace
