// SPDX-License-Identifier: BSD-2-Clause
// stored_key_test.cc - the key bytes that a request leaves in triplets-1.db.
//
// Each case runs the daemon with -d on one request in a fresh home, reads the
// database back through the library and compares the whole key, byte for
// byte, with the tag and address part written out in hex.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fixture_db.h"
#include "run_daemon.h"

namespace {

std::string from_hex(const std::string &text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); i += 3)
        out.push_back(static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16)));
    return out;
}

struct key_case {
    const char *name;
    std::vector<std::string> args;
    std::string client_address;
    std::string sender;
    std::string recipient;
    std::string head;          // tag and address part, in hex
    std::string effective_ip;  // the debug message's address
};

// Each case shows by its name in test listings, not as raw bytes.
void PrintTo(const key_case &c, std::ostream *os) { *os << c.name; }

class StoredKey : public ::testing::TestWithParam<key_case> {};

TEST_P(StoredKey, BytesAsRead)
{
    const key_case &c = GetParam();
    temp_dir home;
    std::vector<std::string> args = {"-d", "-h", home.path};
    args.insert(args.end(), c.args.begin(), c.args.end());
    daemon_result r = run_daemon(args, rcpt_request(c.client_address, c.sender, c.recipient));
    ASSERT_EQ(0, r.status) << r.out;
    EXPECT_EQ(0u, r.out.rfind("action=DEFER_IF_PERMIT ", 0)) << r.out;
    EXPECT_TRUE(r.logged("debug", "triplet effective IP: " + c.effective_ip));

    std::string expected = from_hex(c.head) + c.sender + std::string(1, '\0') + c.recipient;
    record_list records = read_records(home.path);
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ(hex(expected), hex(records[0].first));
}

const std::string alice = "alice@example.org";  // 17 bytes
const std::string bob = "bob@example.net";      // 15 bytes

INSTANTIATE_TEST_SUITE_P(
    Requests, StoredKey,
    ::testing::Values(
        key_case{"ipv4_prefix_24", {"-/", "24"}, "192.0.2.77", alice, bob,
                 "01 c0 00 02 00", "192.0.2.0"},
        key_case{"ipv4_prefix_32", {"-/", "32"}, "192.0.2.77", alice, bob,
                 "01 c0 00 02 4d", "192.0.2.77"},
        key_case{"ipv4_prefix_0", {"-/", "0"}, "192.0.2.77", alice, bob,
                 "01 00 00 00 00", "0.0.0.0"},
        key_case{"ipv4_prefix_20", {"--network-prefix", "20"}, "198.51.100.7", alice, bob,
                 "01 c6 33 60 00", "198.51.96.0"},
        key_case{"ipv6_prefix_48", {"-6", "48"}, "2001:db8::1", alice, bob,
                 "02 20 01 0d b8 00 00 00 00 00 00 00 00 00 00 00 00", "2001:db8::"},
        key_case{"ipv6_whole", {}, "2001:db8::1", alice, bob,
                 "02 20 01 0d b8 00 00 00 00 00 00 00 00 00 00 00 01", "2001:db8::1"},
        // an IPv4-mapped text is IPv6: the IPv4 prefix does not touch it
        key_case{"ipv4_mapped_is_ipv6", {"-/", "24"}, "::ffff:192.0.2.1", alice, bob,
                 "02 00 00 00 00 00 00 00 00 00 00 ff ff c0 00 02 01", "::ffff:192.0.2.1"},
        key_case{"ipv4_mapped_cut_by_ipv6_prefix", {"-6", "96"}, "::ffff:192.0.2.1", alice, bob,
                 "02 00 00 00 00 00 00 00 00 00 00 ff ff 00 00 00 00", "::ffff:0.0.0.0"},
        // texts no parser accepts are held whole, never cut
        key_case{"host_name", {"-/", "8"}, "mail.example.net", alice, bob,
                 "00 6d 61 69 6c 2e 65 78 61 6d 70 6c 65 2e 6e 65 74 00", "mail.example.net"},
        key_case{"short_ipv4_form", {}, "192.0.2", alice, bob,
                 "00 31 39 32 2e 30 2e 32 00", "192.0.2"},
        key_case{"empty_address", {}, "", alice, bob, "00 00", ""},
        key_case{"null_sender", {}, "192.0.2.77", "", bob, "01 c0 00 02 4d", "192.0.2.77"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(StoredKeys, SendersDifferingInCaseAreTwoTriplets)
{
    temp_dir home;
    daemon_result r = run_daemon({"-h", home.path},
                                 rcpt_request("192.0.2.77", "Alice@Example.org", bob) +
                                     rcpt_request("192.0.2.77", "alice@example.org", bob));
    ASSERT_EQ(0, r.status);
    record_list records = read_records(home.path);
    ASSERT_EQ(2u, records.size());
    // byte order: "A" (0x41) sorts before "a" (0x61)
    EXPECT_EQ(hex(ipv4_key("192.0.2.77", "Alice@Example.org", bob)), hex(records[0].first));
    EXPECT_EQ(hex(ipv4_key("192.0.2.77", "alice@example.org", bob)), hex(records[1].first));
    for (const auto &[key, value] : records)
        EXPECT_EQ(1u, decode_record(value).block_count) << hex(key);
}

TEST(StoredKeys, ShortKeyAfterLongKeyCarriesNoOldBytes)
{
    temp_dir home;
    std::string long_sender(4000, 'L');
    std::string long_recipient(3000, 'R');
    daemon_result r = run_daemon({"-h", home.path},
                                 rcpt_request("mail.example.net", long_sender, long_recipient) +
                                     rcpt_request("192.0.2.1", "a", "b"));
    ASSERT_EQ(0, r.status);
    record_list records = read_records(home.path);
    ASSERT_EQ(2u, records.size());
    EXPECT_EQ(hex(text_key("mail.example.net", long_sender, long_recipient)),
              hex(records[0].first));
    EXPECT_EQ(hex(ipv4_key("192.0.2.1", "a", "b")), hex(records[1].first));
}

}  // namespace
