// SPDX-License-Identifier: BSD-2-Clause
// triplet_key_test.cc - the key buffer, prefix cutting and address texts, in
// process. The stored bytes of whole keys are checked through the binary in
// tests/stored_key_test.cc.
#include "greylist/triplet_key.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <csignal>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/settings.h"
#include "fixture_db.h"
#include "run_daemon.h"

namespace {

std::string bytes(const unsigned char *p, size_t n)
{
    return std::string(reinterpret_cast<const char *>(p), n);
}

struct cut_case {
    const char *address;  // IPv4 or IPv6 text
    uint32_t bits;
    const char *expected;  // the address after the cut, as text
};

// Each case shows as its address and prefix in test listings.
void PrintTo(const cut_case &c, std::ostream *os) { *os << c.address << "/" << c.bits; }

class CutAddress : public ::testing::TestWithParam<cut_case> {};

TEST_P(CutAddress, KeepsLeadingBits)
{
    const cut_case &c = GetParam();
    int family = std::string(c.address).find(':') == std::string::npos ? AF_INET : AF_INET6;
    size_t size = family == AF_INET ? 4 : 16;
    unsigned char address[16], expected[16];
    ASSERT_EQ(1, inet_pton(family, c.address, address));
    ASSERT_EQ(1, inet_pton(family, c.expected, expected));
    cut_address(address, size, c.bits);
    EXPECT_EQ(hex(bytes(expected, size)), hex(bytes(address, size)));
}

INSTANTIATE_TEST_SUITE_P(
    Prefixes, CutAddress,
    ::testing::Values(cut_case{"192.168.255.77", 32, "192.168.255.77"},
                      cut_case{"192.168.255.77", 31, "192.168.255.76"},
                      cut_case{"192.168.255.77", 24, "192.168.255.0"},
                      cut_case{"192.168.255.77", 20, "192.168.240.0"},
                      cut_case{"192.168.255.77", 9, "192.128.0.0"},
                      cut_case{"192.168.255.77", 8, "192.0.0.0"},
                      cut_case{"192.168.255.77", 1, "128.0.0.0"},
                      cut_case{"192.168.255.77", 0, "0.0.0.0"},
                      cut_case{"2001:db8:ffff:ffff::1", 128, "2001:db8:ffff:ffff::1"},
                      cut_case{"2001:db8:ffff:ffff::1", 127, "2001:db8:ffff:ffff::"},
                      cut_case{"2001:db8:ffff:ffff::1", 60, "2001:db8:ffff:fff0::"},
                      cut_case{"2001:db8:ffff:ffff::1", 48, "2001:db8:ffff::"},
                      cut_case{"2001:db8:ffff:ffff::1", 0, "::"}));

struct room_case {
    size_t t, s, r;
    size_t room;
};

TEST(TripletKeyRoom, LongestKeyOrZeroPast32Bits)
{
    const room_case cases[] = {
        {10, 17, 15, 50},  // 192.0.2.77: the address parsers get 16 bytes
        {0, 0, 0, 18},
        {15, 0, 0, 18},  // the text and its NUL fill the 16 bytes exactly
        {16, 3, 4, 26},  // a longer text is held whole, with its NUL
        {0, UINT32_MAX - 18, 0, UINT32_MAX},
        {0, UINT32_MAX - 17, 0, 0},
        {0, 0, UINT32_MAX, 0},
        {UINT32_MAX - 1, 0, 0, 0},
        {size_t{1} << 40, 0, 0, 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.room, triplet_key_room(c.t, c.s, c.r))
            << "t=" << c.t << " s=" << c.s << " r=" << c.r;
}

class BuildTripletKey : public ::testing::Test {
protected:
    void SetUp() override { saved = settings; }
    void TearDown() override
    {
        settings = saved;
        free_dbkey();
    }

    // build - the key of three values; each value gets its newline here.
    std::string build(std::string client, std::string sender, std::string recipient,
                      const char *domain = nullptr)
    {
        std::string buffer = client + "\n" + sender + "\n" + recipient + "\n";
        std::string before = buffer;
        char *c = buffer.data();
        char *s = c + client.size() + 1;
        char *r = s + sender.size() + 1;
        EXPECT_EQ(0, build_triplet_key(c, s, r, domain));
        // The NUL that ends the address while it is parsed is taken out again.
        EXPECT_EQ(hex(before), hex(buffer));
        EXPECT_LE(dbkey.size, dbkey.ulen);
        EXPECT_EQ(static_cast<u_int32_t>(DB_DBT_USERMEM), dbkey.flags);
        return std::string(static_cast<char *>(dbkey.data), dbkey.size);
    }

    settings_t saved;
};

TEST_F(BuildTripletKey, ReservesTheLongestKeyForTheValues)
{
    settings.network_prefix = 24;
    std::string key = build("192.0.2.77", "alice@example.org", "bob@example.net");
    EXPECT_EQ(hex(ipv4_key("192.0.2.0", "alice@example.org", "bob@example.net")), hex(key));
    EXPECT_EQ(38u, key.size());
    EXPECT_EQ(50u, dbkey.ulen);
}

TEST_F(BuildTripletKey, BufferKeepsItsSizeForAShorterKey)
{
    std::string long_sender(5000, 's');
    std::string key = build("mail.example.net", long_sender, "bob@example.net");
    EXPECT_EQ(hex(text_key("mail.example.net", long_sender, "bob@example.net")), hex(key));
    u_int32_t grown = dbkey.ulen;
    EXPECT_EQ(key.size(), grown);  // a text address: the room is the key

    key = build("192.0.2.1", "", "x");
    EXPECT_EQ(hex(ipv4_key("192.0.2.1", "", "x")), hex(key));
    EXPECT_EQ(7u, dbkey.size);
    EXPECT_EQ(grown, dbkey.ulen);
}

// A domain takes the address's place whatever the client is, under a tag of
// its own: the same texts never give an address key, and the prefix cut
// never touches it.
TEST_F(BuildTripletKey, DomainKeyNeverEqualsAnAddressKey)
{
    settings.network_prefix = 24;
    std::string key = build("192.0.2.77", "alice@pool.example", "bob@example.net",
                            "pool.example");
    EXPECT_EQ(hex(domain_key("pool.example", "alice@pool.example", "bob@example.net")),
              hex(key));
    EXPECT_EQ(12u + 1, triplet_address_length(key.data(), key.size()));

    // A client_address that is the very domain's text is an address key.
    std::string text = build("pool.example", "alice@pool.example", "bob@example.net");
    EXPECT_EQ(hex(text_key("pool.example", "alice@pool.example", "bob@example.net")),
              hex(text));
    EXPECT_NE(key, text);

    // Any client gives the same domain key: the whole pool is one sender.
    EXPECT_EQ(key, build("2001:db8::25", "alice@pool.example", "bob@example.net",
                         "pool.example"));
    EXPECT_EQ(key, build("unknown", "alice@pool.example", "bob@example.net",
                         "pool.example"));
}

// The room follows the part the key holds: a domain longer than the client's
// text, and a client's text longer than the domain.
TEST_F(BuildTripletKey, DomainKeyRoom)
{
    std::string domain(253, 'd');
    std::string key = build("192.0.2.1", "", "r", domain.c_str());
    EXPECT_EQ(1 + 254 + 1 + 1u, key.size());
    EXPECT_EQ(domain_key(domain, "", "r"), key);
    std::string long_client(4000, 'c');
    key = build(long_client, "s", "r", "a.example");
    EXPECT_EQ(domain_key("a.example", "s", "r"), key);
}

TEST(TripletIpText, PrintsEachTag)
{
    std::string v4 = ipv4_key("192.0.2.0", "a", "b");
    std::string v6 = ipv6_key("2001:db8::1", "a", "b");
    std::string mapped = ipv6_key("::ffff:192.0.2.1", "a", "b");
    std::string text = text_key("mail.example.net", "a", "b");
    std::string empty = text_key("", "a", "b");
    EXPECT_STREQ("192.0.2.0", triplet_ip_text(v4.data()));
    EXPECT_STREQ("2001:db8::1", triplet_ip_text(v6.data()));
    EXPECT_STREQ("::ffff:192.0.2.1", triplet_ip_text(mapped.data()));
    // A text address is handed out where it lies in the key, not copied.
    EXPECT_EQ(text.data() + 1, triplet_ip_text(text.data()));
    EXPECT_STREQ("mail.example.net", triplet_ip_text(text.data()));
    EXPECT_STREQ("", triplet_ip_text(empty.data()));
    std::string domain = domain_key("pool.example", "a", "b");
    EXPECT_STREQ("spf:pool.example", triplet_ip_text(domain.data()));
    std::string longest = domain_key(std::string(253, 'd'), "a", "b");
    EXPECT_EQ("spf:" + std::string(253, 'd'), triplet_ip_text(longest.data()));
}

// What a tag 3 key may hold: what spf_key_domain hands the key, and nothing
// else a damaged database could carry.
TEST(TripletAddressLength, DomainKeys)
{
    struct length_case {
        std::string key;
        size_t length;
    };
    const length_case cases[] = {
        {domain_key("pool.example", "a", "b"), 13},
        {domain_key("x", "", ""), 2},
        {domain_key("a-b_c.9.example", "", ""), 16},
        {domain_key(std::string(253, 'd'), "", ""), 254},
        {domain_key(std::string(254, 'd'), "", ""), 0},
        {domain_key("", "a", "b"), 0},
        {domain_key("Pool.example", "a", "b"), 0},
        {domain_key("pool example", "a", "b"), 0},
        {domain_key("pool\xc3\xa9.example", "a", "b"), 0},
        {std::string(1, '\3') + "pool.example", 0},
        {std::string(1, '\3'), 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.length, triplet_address_length(c.key.data(), c.key.size())) << hex(c.key);
}

// A damaged domain never reaches the listing's print; reaching it anyway is
// a broken invariant, reported before the abort.
TEST(TripletIpTextDomainDeath, DamagedDomainAborts)
{
    temp_dir dir;
    std::string log = dir.file("syslog");
    setenv("MURVANE_SYSLOG_FILE", log.c_str(), 1);
    std::string key = domain_key("Pool.example", "a", "b");
    EXPECT_EXIT(triplet_ip_text(key.data()), ::testing::KilledBySignal(SIGABRT), "");
    unsetenv("MURVANE_SYSLOG_FILE");
    EXPECT_EQ(std::vector<std::string>{"err\tinet_ntop damaged domain key"},
              read_log_file(log));
}

// An unknown tag (a database written by something else) and how it is logged.
using tag_case = std::pair<unsigned char, const char *>;

class TripletIpTextDeath : public ::testing::TestWithParam<tag_case> {};

TEST_P(TripletIpTextDeath, UnknownTagAborts)
{
    temp_dir dir;
    std::string log = dir.file("syslog");
    setenv("MURVANE_SYSLOG_FILE", log.c_str(), 1);
    std::string key = ipv4_key("192.0.2.1", "a", "b");
    key[0] = static_cast<char>(GetParam().first);
    EXPECT_EXIT(triplet_ip_text(key.data()), ::testing::KilledBySignal(SIGABRT), "");
    unsetenv("MURVANE_SYSLOG_FILE");
    EXPECT_EQ(std::vector<std::string>{std::string("err\tinet_ntop unexpected type ") +
                                       GetParam().second},
              read_log_file(log));
}

INSTANTIATE_TEST_SUITE_P(Tags, TripletIpTextDeath,
                         ::testing::Values(tag_case{4, "4"}, tag_case{0xFF, "-1"}));

}  // namespace
