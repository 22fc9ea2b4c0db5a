// SPDX-License-Identifier: BSD-2-Clause
// spf_test.cc - what the daemon hands the SPF library and what it takes back,
// in process, over the library's zone layer: no DNS server is involved. The
// real resolver, its time-outs and its failures are driven through the binary
// in tests/spf_dns_test.cc.
#include "greylist/spf.h"

#include <gtest/gtest.h>

extern "C" {
#include <spf2/spf.h>
#include <spf2/spf_dns.h>
#include <spf2/spf_dns_zone.h>
}

#include <ctime>
#include <string>

#include "common/settings.h"

namespace {

struct prepare_case {
    const char *name;
    const char *client, *sender, *helo;  // helo nullptr: no helo_name attribute
    bool prepared;
    const char *query_client, *query_sender, *query_helo, *domain;
};

class SpfPrepare : public ::testing::TestWithParam<prepare_case> {};

TEST_P(SpfPrepare, ChecksWhatReachesTheLibrary)
{
    const prepare_case &c = GetParam();
    std::string client = std::string(c.client) + "\n";
    std::string sender = std::string(c.sender) + "\n";
    std::string helo = c.helo ? std::string(c.helo) + "\n" : "";
    spf_query query;
    ASSERT_EQ(c.prepared, spf_prepare(client.c_str(), sender.c_str(),
                                      c.helo ? helo.c_str() : nullptr, &query));
    if (!c.prepared)
        return;
    EXPECT_STREQ(c.query_client, query.client);
    EXPECT_STREQ(c.query_sender, query.sender);
    EXPECT_STREQ(c.query_helo, query.helo);
    EXPECT_STREQ(c.domain, query.domain);
}

const std::string label63(63, 'a'), label64(64, 'a');
// A local part of 64 bytes and a domain of 253: the longest sender, 318 bytes.
const std::string domain253 = std::string(63, 'a') + "." + std::string(63, 'b') + "." +
                              std::string(63, 'c') + "." + std::string(61, 'd');
const std::string long_sender = std::string(64, 'l') + "@" + domain253;
const std::string too_long_sender = std::string(67, 'l') + "@" + domain253;
const std::string domain254_sender = "a@x." + domain253;  // 255 bytes, labels short
const std::string sender63 = "a@" + label63 + ".org";
const std::string sender64 = "a@" + label64 + ".org";
const std::string sender_nul = std::string("a@exam\0ple.org", 14);

const prepare_case prepare_cases[] = {
    {"plain", "192.0.2.2", "alice@example.org", "mx.example.org", true, "192.0.2.2",
     "alice@example.org", "mx.example.org", "example.org"},
    {"domain_case_and_final_dot", "192.0.2.2", "Alice@Example.ORG.", "MX.Example.org.", true,
     "192.0.2.2", "Alice@Example.ORG.", "mx.example.org", "example.org"},
    {"last_at_sign", "192.0.2.2", "\"a@b\"@example.org", nullptr, true, "192.0.2.2",
     "\"a@b\"@example.org", "", "example.org"},
    {"mapped_ipv4", "::ffff:192.0.2.2", "a@example.org", nullptr, true, "192.0.2.2",
     "a@example.org", "", "example.org"},
    {"ipv6_printed_afresh", "2001:DB8:0::1", "a@example.org", nullptr, true, "2001:db8::1",
     "a@example.org", "", "example.org"},
    {"helo_not_a_domain_is_dropped", "192.0.2.2", "a@example.org", "[192.0.2.2]", true,
     "192.0.2.2", "a@example.org", "", "example.org"},
    {"null_sender_uses_helo", "192.0.2.9", "", "Mail.Example.org", true, "192.0.2.9",
     "postmaster@mail.example.org", "mail.example.org", "mail.example.org"},
    {"label_of_63", "192.0.2.2", sender63.c_str(), nullptr, true, "192.0.2.2",
     sender63.c_str(), "", sender63.c_str() + 2},
    {"longest_sender", "192.0.2.2", long_sender.c_str(), nullptr, true, "192.0.2.2",
     long_sender.c_str(), "", domain253.c_str()},
    {"client_unknown", "unknown", "a@example.org", nullptr, false, "", "", "", ""},
    {"client_empty", "", "a@example.org", nullptr, false, "", "", "", ""},
    {"null_sender_without_helo", "192.0.2.9", "", nullptr, false, "", "", "", ""},
    {"null_sender_address_literal_helo", "192.0.2.9", "", "[192.0.2.9]", false, "", "", "", ""},
    {"null_sender_numeric_helo", "192.0.2.9", "", "192.0.2.9", false, "", "", "", ""},
    {"sender_without_domain", "192.0.2.2", "alice", nullptr, false, "", "", "", ""},
    {"sender_ending_in_at", "192.0.2.2", "alice@", nullptr, false, "", "", "", ""},
    {"single_label", "192.0.2.2", "a@localhost", nullptr, false, "", "", "", ""},
    {"address_literal", "192.0.2.2", "a@[192.0.2.1]", nullptr, false, "", "", "", ""},
    {"numeric_top_label", "192.0.2.2", "a@192.0.2.1", nullptr, false, "", "", "", ""},
    {"empty_label", "192.0.2.2", "a@example..org", nullptr, false, "", "", "", ""},
    {"leading_dot", "192.0.2.2", "a@.example.org", nullptr, false, "", "", "", ""},
    {"space", "192.0.2.2", "a@exa mple.org", nullptr, false, "", "", "", ""},
    {"macro_text", "192.0.2.2", "a@%{d}.example.org", nullptr, false, "", "", "", ""},
    {"label_of_64", "192.0.2.2", sender64.c_str(), nullptr, false, "", "", "", ""},
    {"sender_too_long", "192.0.2.2", too_long_sender.c_str(), nullptr, false, "", "", "", ""},
    {"domain_too_long", "192.0.2.2", domain254_sender.c_str(), nullptr, false, "", "", "", ""},
};

INSTANTIATE_TEST_SUITE_P(Values, SpfPrepare, ::testing::ValuesIn(prepare_cases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(SpfPrepareNul, ValueWithNulIsNotEvaluated)
{
    std::string client = "192.0.2.2\n";
    std::string sender = sender_nul + "\n";
    spf_query query;
    EXPECT_FALSE(spf_prepare(client.c_str(), sender.c_str(), nullptr, &query));
    std::string nul_client = std::string("192.0.2.2\0x\n", 12);
    sender = "a@example.org\n";
    EXPECT_FALSE(spf_prepare(nul_client.c_str(), sender.c_str(), nullptr, &query));
}

// The zone every evaluation case reads: the library's own in-memory layer
// under the daemon's bounded layer, so the limits are the daemon's.
class SpfEvaluate : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        zone = SPF_dns_zone_new(nullptr, "test zone", 0);
        ASSERT_NE(nullptr, zone);
        auto txt = [](const char *name, const std::string &text) {
            ASSERT_EQ(SPF_E_SUCCESS,
                      SPF_dns_zone_add_str(zone, name, ns_t_txt, NETDB_SUCCESS, text.c_str()));
        };
        auto a = [](const char *name, const char *address) {
            ASSERT_EQ(SPF_E_SUCCESS,
                      SPF_dns_zone_add_str(zone, name, ns_t_a, NETDB_SUCCESS, address));
        };
        txt("pool.test", "v=spf1 ip4:192.0.2.2 ip4:192.0.2.3 -all");
        txt("soft.test", "v=spf1 ip4:192.0.2.2 ~all");
        txt("neutral.test", "v=spf1 ip4:192.0.2.2 ?all");
        txt("malformed.test", "v=spf1 ip4:192.0.2.999 frobnicate -all");
        txt("redirect.test", "v=spf1 redirect=pool.test");
        txt("loop-a.test", "v=spf1 include:loop-b.test -all");
        txt("loop-b.test", "v=spf1 include:loop-a.test -all");
        txt("helo.test", "v=spf1 ip4:192.0.2.9 -all");
        txt("a.test", "v=spf1 a:host.a.test -all");
        a("host.a.test", "192.0.2.4");
        // Eleven terms that query DNS before the one that would match.
        std::string eleven = "v=spf1";
        for (int i = 0; i < 11; i++) {
            std::string name = "h" + std::to_string(i) + ".many.test";
            a(name.c_str(), "198.51.100.1");
            eleven += " a:" + name;
        }
        txt("many.test", eleven + " ip4:192.0.2.2 -all");
        std::string ten = "v=spf1";
        for (int i = 0; i < 10; i++)
            ten += " a:h" + std::to_string(i) + ".many.test";
        txt("ten.test", ten + " ip4:192.0.2.2 -all");
        // Lookups that answer nothing: two are allowed, a third is an error.
        txt("void2.test", "v=spf1 a:gone1.void.test a:gone2.void.test ip4:192.0.2.2 -all");
        txt("void3.test",
            "v=spf1 a:gone1.void.test a:gone2.void.test a:gone3.void.test ip4:192.0.2.2 -all");
        txt("macro.test", "v=spf1 exists:%{ir}.%{l1r+-}._spf.%{d} -all");
        txt("macros.test",
            "v=spf1 exists:%{ir}.%{l1r+-}.%{d4}.%{h}.%{v}._spf.%{d} "
            "exists:%{i}.%{s}.%{o}.%{p}.x.test ip4:192.0.2.2 -all");
        std::string huge = "v=spf1";
        while (huge.size() < 4000)
            huge += " ip4:198.51.100." + std::to_string(huge.size() % 250);
        txt("huge.test", huge + " -all");
        txt("two.test", "v=spf1 ip4:192.0.2.2 -all");
        txt("two.test", "v=spf1 ip4:192.0.2.3 -all");
        ASSERT_EQ(SPF_E_SUCCESS,
                  SPF_dns_zone_add_str(zone, "later.test", ns_t_txt, TRY_AGAIN, nullptr));
        server = spf_new_server(zone);
        ASSERT_NE(nullptr, server);
    }

    static spf_result evaluate(const char *client, const char *sender, const char *helo,
                               double deadline = 0)
    {
        std::string c = std::string(client) + "\n", s = std::string(sender) + "\n",
                    h = std::string(helo) + "\n";
        spf_query query;
        EXPECT_TRUE(spf_prepare(c.c_str(), s.c_str(), h.c_str(), &query));
        return spf_evaluate(server, &query, deadline);
    }

    static SPF_dns_server_t *zone;
    static SPF_server_struct *server;
};

SPF_dns_server_t *SpfEvaluate::zone;
SPF_server_struct *SpfEvaluate::server;

struct evaluate_case {
    const char *name;
    const char *client, *sender, *helo;
    spf_result expected;
};

class SpfEvaluateCases : public SpfEvaluate,
                         public ::testing::WithParamInterface<evaluate_case> {};

TEST_P(SpfEvaluateCases, GivesTheResult)
{
    const evaluate_case &c = GetParam();
    EXPECT_EQ(spf_result_name(c.expected),
              std::string(spf_result_name(evaluate(c.client, c.sender, c.helo))));
    EXPECT_EQ(static_cast<int>(c.expected),
              static_cast<int>(evaluate(c.client, c.sender, c.helo)));
}

const evaluate_case evaluate_cases[] = {
    {"pass_first_of_pool", "192.0.2.2", "a@pool.test", "mx.pool.test", spf_result::pass},
    {"pass_second_of_pool", "192.0.2.3", "a@Pool.Test", "mx.pool.test", spf_result::pass},
    {"fail_outside_pool", "192.0.2.7", "a@pool.test", "mx.pool.test", spf_result::fail},
    {"softfail", "192.0.2.7", "a@soft.test", "x.test", spf_result::softfail},
    {"neutral", "192.0.2.7", "a@neutral.test", "x.test", spf_result::neutral},
    {"none_without_record", "192.0.2.2", "a@norecord.test", "x.test", spf_result::none},
    {"malformed_record", "192.0.2.2", "a@malformed.test", "x.test", spf_result::permerror},
    {"two_records", "192.0.2.2", "a@two.test", "x.test", spf_result::permerror},
    {"temporary_failure", "192.0.2.2", "a@later.test", "x.test", spf_result::temperror},
    {"redirect_passes_for_the_sender_domain", "192.0.2.3", "a@redirect.test", "x.test",
     spf_result::pass},
    {"a_mechanism", "192.0.2.4", "a@a.test", "x.test", spf_result::pass},
    {"include_loop", "192.0.2.2", "a@loop-a.test", "x.test", spf_result::permerror},
    {"ten_dns_terms_allowed", "192.0.2.2", "a@ten.test", "x.test", spf_result::pass},
    {"eleven_dns_terms", "192.0.2.2", "a@many.test", "x.test", spf_result::permerror},
    {"two_void_lookups_allowed", "192.0.2.2", "a@void2.test", "x.test", spf_result::pass},
    {"three_void_lookups", "192.0.2.2", "a@void3.test", "x.test", spf_result::permerror},
    {"macros", "192.0.2.7", "a.b-c@macro.test", "x.test", spf_result::fail},
    // The %{p} macro's lookup of the client's name is a third void lookup.
    {"macro_heavy", "192.0.2.7", "a.b-c@macros.test", "x.test", spf_result::permerror},
    // The library keeps only the head of a record this long and runs off its
    // end: neutral, where the whole record would fail the client. Not a pass.
    {"huge_record_unauthorised", "192.0.2.2", "a@huge.test", "x.test", spf_result::neutral},
    {"null_sender_helo_pass", "192.0.2.9", "", "helo.test", spf_result::pass},
    {"null_sender_helo_fail", "192.0.2.2", "", "helo.test", spf_result::fail},
    // The library lets any loopback client pass; that proves nothing here.
    {"loopback_is_no_pass", "127.0.0.1", "a@pool.test", "x.test", spf_result::neutral},
    {"ipv6_outside_pool", "2001:db8::1", "a@pool.test", "x.test", spf_result::fail},
};

INSTANTIATE_TEST_SUITE_P(Records, SpfEvaluateCases, ::testing::ValuesIn(evaluate_cases),
                         [](const auto &info) { return std::string(info.param.name); });

// Past its deadline an evaluation asks nothing: the first lookup is refused.
TEST_F(SpfEvaluate, PastTheDeadlineIsTemperror)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    double past = static_cast<double>(now.tv_sec) - 1;
    EXPECT_EQ(static_cast<int>(spf_result::temperror),
              static_cast<int>(evaluate("192.0.2.2", "a@pool.test", "x.test", past)));
    // The refusal is the deadline's alone: the next evaluation passes.
    EXPECT_EQ(static_cast<int>(spf_result::pass),
              static_cast<int>(evaluate("192.0.2.2", "a@pool.test", "x.test")));
}

// Without --spf nothing is read or evaluated: the address key stays.
TEST(SpfKeyDomain, OffWithoutTheOption)
{
    settings_t saved = settings;
    settings.spf = 0;
    std::string client = "192.0.2.2\n", sender = "a@pool.test\n";
    EXPECT_EQ(nullptr, spf_key_domain(client.c_str(), sender.c_str()));
    settings = saved;
}

// What the DNS layer keeps between evaluations, counted at a layer between
// it and the zone: every lookup that gets past the daemon's layer.
int lookups_below = 0;

SPF_dns_rr_t *counting_lookup(SPF_dns_server_t *layer, const char *domain, ns_type type,
                              int should_cache)
{
    lookups_below++;
    return SPF_dns_lookup(layer->layer_below, domain, type, should_cache);
}

class SpfKept : public ::testing::Test {
protected:
    void SetUp() override
    {
        zone = SPF_dns_zone_new(nullptr, "kept zone", 0);
        ASSERT_NE(nullptr, zone);
        add("pool.test", "v=spf1 ip4:192.0.2.2 ip4:192.0.2.3 -all");
        add("void3.test",
            "v=spf1 a:gone1.void.test a:gone2.void.test a:gone3.void.test ip4:192.0.2.2 -all");
        for (int i = 0; i <= dns_kept_answers; i++)
            add(("d" + std::to_string(i) + ".test").c_str(), "v=spf1 ip4:192.0.2.2 -all");
        ASSERT_EQ(SPF_E_SUCCESS,
                  SPF_dns_zone_add_str(zone, "later.test", ns_t_txt, TRY_AGAIN, nullptr));
        counting.lookup = counting_lookup;
        counting.layer_below = zone;
        counting.name = "counting";
        server = spf_new_server(&counting);
        ASSERT_NE(nullptr, server);
        lookups_below = 0;
    }

    void TearDown() override
    {
        SPF_dns_server_t *bounded = server->resolver;
        SPF_server_free(server);
        // The counting layer has no destructor: SPF_dns_free leaves it, and
        // the zone under it, alone.
        bounded->layer_below = nullptr;
        SPF_dns_free(bounded);
        SPF_dns_free(zone);
    }

    void add(const char *name, const char *text)
    {
        ASSERT_EQ(SPF_E_SUCCESS, SPF_dns_zone_add_str(zone, name, ns_t_txt, NETDB_SUCCESS, text));
    }

    std::string evaluate(const char *client, const std::string &sender)
    {
        std::string c = std::string(client) + "\n", s = sender + "\n";
        spf_query query;
        EXPECT_TRUE(spf_prepare(c.c_str(), s.c_str(), nullptr, &query));
        return spf_result_name(spf_evaluate(server, &query, 0));
    }

    SPF_dns_server_t *zone = nullptr;
    SPF_dns_server_t counting{};
    SPF_server_struct *server = nullptr;
};

// The mail of one domain from its pool's addresses, and from one it does not
// authorise, asks for the domain's record once; each result is the record's.
TEST_F(SpfKept, OneDomainFromManyClientsAsksOnce)
{
    EXPECT_EQ("pass", evaluate("192.0.2.2", "a@pool.test"));
    int first = lookups_below;
    EXPECT_GE(first, 1);
    EXPECT_EQ("pass", evaluate("192.0.2.3", "b@pool.test"));
    EXPECT_EQ("fail", evaluate("192.0.2.4", "c@pool.test"));
    EXPECT_EQ(first, lookups_below);
}

// A lookup that failed is asked again at the next evaluation: a server
// that was down a moment ago may answer now.
TEST_F(SpfKept, AFailedLookupIsNotKept)
{
    EXPECT_EQ("temperror", evaluate("192.0.2.2", "a@later.test"));
    int first = lookups_below;
    EXPECT_EQ("temperror", evaluate("192.0.2.2", "a@later.test"));
    EXPECT_EQ(2 * first, lookups_below);
}

// Names without records are kept too, and a kept void answer still counts
// against the limit of two: the third makes the same error each time.
TEST_F(SpfKept, KeptVoidAnswersStillCountAgainstTheLimit)
{
    EXPECT_EQ("permerror", evaluate("192.0.2.2", "a@void3.test"));
    int first = lookups_below;
    EXPECT_EQ("permerror", evaluate("192.0.2.2", "a@void3.test"));
    EXPECT_EQ(first, lookups_below);
}

// Past dns_kept_answers names, the least recently used goes: the first of
// them is asked again, the last is not.
TEST_F(SpfKept, TheLeastRecentlyUsedNameMakesRoom)
{
    for (int i = 0; i <= dns_kept_answers; i++)
        EXPECT_EQ("pass", evaluate("192.0.2.2", "a@d" + std::to_string(i) + ".test")) << i;
    int asked = lookups_below;
    EXPECT_EQ("pass", evaluate("192.0.2.2", "a@d" + std::to_string(dns_kept_answers) + ".test"));
    EXPECT_EQ(asked, lookups_below);
    EXPECT_EQ("pass", evaluate("192.0.2.2", "a@d0.test"));
    EXPECT_EQ(asked + 1, lookups_below);
}

}  // namespace
