// SPDX-License-Identifier: BSD-2-Clause
// selective_test.cc - the name and HELO signs of --selective.
//
// The name table holds names shaped like the real ones: the outbound hosts
// of large mail providers and mailing services must pass as mail servers,
// and the usual home and access-network names must not. A sign that fires
// on a provider's host costs that provider's first-contact mail a delay; a
// sign that misses a home connection lets its spam through.
#include "greylist/selective.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct name_case {
    const char *name;
    const char *address;
    bool dynamic;
};

const name_case name_cases[] = {
    // The outbound hosts of mail providers and mailing services.
    {"mail-wr1-f54.google.com", "209.85.221.54", false},
    {"mail-yw1-f171.google.com", "209.85.128.171", false},
    {"mail-oi1-x22b.google.com", "2607:f8b0:4864:20::22b", false},
    {"a48-93.smtp-out.amazonses.com", "54.240.48.93", false},
    {"a8-30.smtp-out.amazonses.com", "54.240.8.30", false},
    {"mail-db8eur05on2045.outbound.protection.outlook.com", "40.107.21.45", false},
    {"mail-am6eur05on2104.outbound.protection.outlook.com", "2a01:111:f400:7e1b::104", false},
    {"o1.ptr1234.example-esp.net", "167.89.12.34", false},
    {"m228-4.mailgun.example", "159.135.228.4", false},
    {"mta-174-119.sparkpost.example", "192.174.90.119", false},
    {"out-12.smtp.example.com", "192.30.252.12", false},
    {"mx.example.org", "198.51.100.25", false},
    {"smtp.example.co.uk", "203.0.113.9", false},
    {"mail.example.net", "2001:db8::25", false},
    {"mail.dyn.example", "203.0.113.1", false},  // the owner's domain says nothing
    {"mail.cablemail.example", "203.0.113.2", false},  // "cable" only as a prefix
    {"dynect.example.com", "203.0.113.3", false},
    // Home and access-network names.
    {"c-73-12-45-6.hsd1.ca.example.net", "73.12.45.6", true},
    {"pool-71-2-3-4.nycmny.example.net", "71.2.3.4", true},
    {"ip5f5a1b2c.dynamic.example.de", "95.90.27.44", true},
    {"dsl-189-42-12-3.dynamic.example", "189.42.12.3", true},
    {"cpe-74-66-1-2.nyc.res.example.com", "74.66.1.2", true},
    // Three octets are enough, in the address's order or reversed.
    {"host-12-45-6.example.net", "73.12.45.6", true},
    {"3.2.1.example.net", "10.1.2.3", true},
    {"host-3-113-0-203.example.net", "203.0.113.3", true},
    {"189042012003.example.net", "189.42.12.3", true},
    {"static-042-012-003.example.net", "189.42.12.3", true},
    // The address in hex, in order or reversed.
    {"x2c1b5a5f.example.net", "95.90.27.44", true},
    {"IP5F5A1B2C.Example.DE.", "95.90.27.44", true},
    // An IPv4-mapped client is its IPv4 address.
    {"c-73-12-45-6.example.net", "::ffff:73.12.45.6", true},
    // Two octets are not.
    {"a12-45.example.net", "73.12.45.6", false},
    {"host-73-12.example.net", "73.12.45.6", false},
    // The octets of another address are not.
    {"host-73-12-45-6.example.net", "198.51.100.7", false},
    // Access-network words in a label, or as its leading letters.
    {"dialup-12.example.com", "198.51.100.7", true},
    {"adsl2.isp.example.com", "198.51.100.7", true},
    {"host.dynamic.isp.example.com", "198.51.100.7", true},
    {"ppp123.isp.example.com", "198.51.100.7", true},
    {"node.pppoe.example.com", "198.51.100.7", true},
    {"mx1.broadband.example.com", "198.51.100.7", true},
    // IPv6: 64 bits of the address in a row.
    {"2001-db8-1-2-3-4-5-6.example.net", "2001:db8:1:2:3:4:5:6", true},
    {"ip6-20010db8000100020003000400050006.example.net", "2001:db8:1:2:3:4:5:6", true},
    {"host.0003000400050006.example.net", "2001:db8:1:2:3:4:5:6", true},
    {"6.0.0.0.5.0.0.0.4.0.0.0.3.0.0.0.example.net", "2001:db8:1:2:3:4:5:6", true},
    {"cust-5-6-7-8.example.net", "2001:db8::5:6:7:8", true},
    {"mail-2001-db8.example.net", "2001:db8:1:2:3:4:5:6", false},
    // No host name at all.
    {"", "198.51.100.7", true},
    {"mail example.com", "198.51.100.7", true},
    {"bad\x01name.example.com", "198.51.100.7", true},
};

class DynamicName : public testing::TestWithParam<name_case> {};

TEST_P(DynamicName, MatchesTheTable)
{
    const name_case &c = GetParam();
    EXPECT_EQ(c.dynamic, dynamic_name(c.name, c.address)) << c.name << " " << c.address;
}

INSTANTIATE_TEST_SUITE_P(RealWorldShapes, DynamicName, testing::ValuesIn(name_cases));

TEST(DynamicName, OverLongNameIsNoHostName)
{
    std::string name(250, 'a');
    name += ".example.com";
    EXPECT_TRUE(dynamic_name(name.c_str(), "198.51.100.7"));
    EXPECT_FALSE(dynamic_name((std::string(60, 'a') + ".example.com").c_str(), "198.51.100.7"));
}

TEST(DynamicName, LongLabelsWithManyNumbersStayInBounds)
{
    // Every byte a number: the reader's run of numbers is at its longest.
    std::string name;
    while (name.size() < 251)
        name += "1-";
    name += "x";
    EXPECT_FALSE(dynamic_name(name.c_str(), "198.51.100.7"));
    EXPECT_TRUE(dynamic_name(name.c_str(), "1.1.1.9"));
}

struct helo_case {
    const char *helo;  // nullptr: no helo_name attribute
    bool sign;
};

const helo_case helo_cases[] = {
    {"mail.example.com", false},
    {"mail-wr1-f54.google.com", false},
    {"mail.example.com.", false},
    {nullptr, true},
    {"", true},
    {"[192.0.2.1]", true},
    {"[IPv6:2001:db8::1]", true},
    {"192.0.2.1", true},
    {"2001:db8::1", true},
    {"localhost", true},
    {"WIN-4PQ7HJ2K", true},
    {"mail.", true},
    {".com", true},
};

class HeloSign : public testing::TestWithParam<helo_case> {};

TEST_P(HeloSign, MatchesTheTable)
{
    const helo_case &c = GetParam();
    EXPECT_EQ(c.sign, helo_sign(c.helo)) << (c.helo ? c.helo : "(none)");
}

INSTANTIATE_TEST_SUITE_P(Table, HeloSign, testing::ValuesIn(helo_cases));

TEST(SignNames, ListsEverySignInOrder)
{
    EXPECT_STREQ("none", sign_names(0));
    EXPECT_STREQ("helo", sign_names(sign_helo));
    EXPECT_STREQ("unverified,dynamic,helo,spf,dnsbl",
                 sign_names(sign_unverified | sign_dynamic | sign_helo | sign_spf | sign_dnsbl));
}

}  // namespace
