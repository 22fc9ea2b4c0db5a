// SPDX-License-Identifier: BSD-2-Clause
// bad_input_test.cc - client_address, sender and recipient values made of
// arbitrary bytes: NUL, CR, bytes above 0x7F, empty and very long values.
//
// Values are runs of bytes ended by their newline, so each of them must be
// answered and stored byte for byte under the key layout: a client address
// that holds a NUL byte or anything else inet_pton refuses is stored as text,
// and sender and recipient are copied as they came. Run under the sanitizer
// build too, where any read or write past the request or the key fails.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "fixture_db.h"
#include "run_daemon.h"

using namespace std::string_literals;

namespace {

const std::string reject_3480 =
    "action=DEFER_IF_PERMIT Greylisted by murvane 0.4.0, try again in 3480 seconds.  "
    "See https://www.murvane.org/greylisting/ for more information.\n\n";

const std::string address = "192.0.2.1";
const std::string alice = "alice@example.org";
const std::string bob = "bob@example.net";
const std::string long_value(100 * 1024, 'v');

struct bad_case {
    const char *name;
    std::string client_address;
    std::string sender;
    std::string recipient;
    bool as_text;              // stored with address tag 0
    std::string effective_ip;  // what the debug message shows
};

std::string expected_key(const bad_case &c)
{
    return c.as_text ? text_key(c.client_address, c.sender, c.recipient)
                     : ipv4_key(c.client_address, c.sender, c.recipient);
}

const bad_case cases[] = {
    // A NUL makes the value no address text, whatever stands before it.
    {"address_with_nul", "192.0.2.1\0x"s, alice, bob, true, "192.0.2.1"},
    {"address_ending_in_nul", "192.0.2.1\0"s, alice, bob, true, "192.0.2.1"},
    {"address_only_nul", "\0"s, alice, bob, true, ""},
    {"address_with_cr", "192.0.2.1\r", alice, bob, true, "192.0.2.1\r"},
    {"address_high_bytes", "\xff\xfe\x80", alice, bob, true, "\xff\xfe\x80"},
    {"address_empty", "", alice, bob, true, ""},
    {"address_long", long_value, alice, bob, true, long_value},
    {"sender_with_nul", address, "a\0b@example.org"s, bob, false, address},
    {"sender_with_cr", address, alice + "\r", bob, false, address},
    {"sender_high_bytes", address, "\xc3\xa9\xff@example.org", bob, false, address},
    {"sender_empty", address, "", bob, false, address},
    {"sender_long", address, long_value, bob, false, address},
    {"recipient_with_nul", address, alice, "b\0b@example.net"s, false, address},
    {"recipient_ending_in_nul", address, alice, "bob@example.net\0"s, false, address},
    {"recipient_with_cr", address, alice, bob + "\r", false, address},
    {"recipient_empty", address, alice, "", false, address},
    {"recipient_long", address, alice, long_value, false, address},
    {"all_long", long_value + "x", long_value + "y", long_value + "z", true,
     long_value + "x"},
    {"all_empty", "", "", "", true, ""},
};

// Each case shows by its name in test listings, not as raw bytes.
void PrintTo(const bad_case &c, std::ostream *os) { *os << c.name; }

class BadInput : public ::testing::TestWithParam<bad_case> {};

TEST_P(BadInput, AnsweredAndStoredAsReceived)
{
    const bad_case &c = GetParam();
    temp_dir home;
    daemon_result r = run_daemon({"-d", "-h", home.path},
                                 rcpt_request(c.client_address, c.sender, c.recipient));
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(0, r.signal);
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(reject_3480, r.out);
    EXPECT_TRUE(r.messages("err").empty()) << r.messages("err").front();
    EXPECT_TRUE(r.logged("debug", "triplet effective IP: " + c.effective_ip));
    record_list records = read_records(home.path);
    ASSERT_EQ(1u, records.size());
    std::string key = expected_key(c);
    EXPECT_EQ(key.size(), records[0].first.size());
    EXPECT_TRUE(key == records[0].first) << hex(records[0].first.substr(0, 64));
    EXPECT_EQ(1u, decode_record(records[0].second).block_count);
}

INSTANTIATE_TEST_SUITE_P(Values, BadInput, ::testing::ValuesIn(cases),
                         [](const auto &info) { return std::string(info.param.name); });

// All of them in one process: the key buffer grows and is reused across
// requests of every length, and each key is still exactly its own.
TEST(BadInputStream, OneDaemonAnswersEveryRequest)
{
    temp_dir home;
    std::string input;
    std::set<std::string> expected;
    for (const auto &c : cases) {
        input += rcpt_request(c.client_address, c.sender, c.recipient);
        expected.insert(expected_key(c));
    }
    ASSERT_EQ(std::size(cases), expected.size()) << "two cases share a key";
    daemon_result r = run_daemon({"-h", home.path}, input);
    EXPECT_EQ(0, r.status);
    std::string answers;
    for (size_t i = 0; i < std::size(cases); i++)
        answers += reject_3480;
    EXPECT_EQ(answers, r.out);
    EXPECT_TRUE(r.messages("err").empty()) << r.messages("err").front();
    std::set<std::string> stored;
    for (const auto &[key, value] : read_records(home.path))
        stored.insert(key);
    EXPECT_TRUE(expected == stored) << expected.size() << " keys expected, "
                                    << stored.size() << " stored";
}

}  // namespace
