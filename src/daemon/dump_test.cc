// SPDX-License-Identifier: BSD-2-Clause
// dump_test.cc - the line of one record, and the times in it.
//
// Keys and values are handed over in heap blocks of exactly their size, so
// that the sanitizer build catches any read beyond a damaged record.
#include "daemon/dump.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "fixture_db.h"
#include "run_daemon.h"
#include "storage/stored_reply.h"

namespace {

// capture_stdout - what `write` prints on standard output.
template <typename F>
std::string capture_stdout(F write)
{
    fflush(stdout);
    int saved = dup(STDOUT_FILENO);
    FILE *file = tmpfile();
    if (saved < 0 || file == nullptr)
        abort();
    dup2(fileno(file), STDOUT_FILENO);
    write();
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    std::string text;
    rewind(file);
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, file)) > 0)
        text.append(buf, n);
    fclose(file);
    return text;
}

// A copy of `bytes` in a block of exactly that size, as the library hands
// records out.
struct exact_block {
    std::unique_ptr<unsigned char[]> data;
    DBT dbt{};
    explicit exact_block(const std::string &bytes)
        : data(new unsigned char[bytes.size()])
    {
        memcpy(data.get(), bytes.data(), bytes.size());
        dbt.data = data.get();
        dbt.size = static_cast<u_int32_t>(bytes.size());
    }
};

class Dump : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        setenv("TZ", "UTC", 1);
        tzset();
    }
};

// --- print_ctime ----------------------------------------------------------

struct ctime_case {
    long long time;
    const char *text;
};

class PrintCtime : public Dump, public ::testing::WithParamInterface<ctime_case> {};

TEST_P(PrintCtime, WritesTheTimeWithoutItsNewline)
{
    time_t t = static_cast<time_t>(GetParam().time);
    EXPECT_EQ(GetParam().text, capture_stdout([&] { print_ctime(&t); }));
}

const ctime_case ctime_cases[] = {
    {0, "Thu Jan  1 00:00:00 1970"},
    {-1, "Wed Dec 31 23:59:59 1969"},
    {1700000000, "Tue Nov 14 22:13:20 2023"},
    // Past the 24 characters of the usual form: the whole text, no newline.
    {253402300800, "Sat Jan  1 00:00:00 10000"},
    // Beyond what ctime() converts: the plain count of seconds.
    {INT64_MAX, "9223372036854775807"},
    {INT64_MIN, "-9223372036854775808"},
};

INSTANTIATE_TEST_SUITE_P(Times, PrintCtime, ::testing::ValuesIn(ctime_cases),
                         [](const auto &info) { return "case_" + std::to_string(info.index); });

// --- print_triplet_line ---------------------------------------------------

const std::string record = record_value(1700000000, 1700003600, 3, 0);
const std::string times = "Tue Nov 14 22:13:20 2023\tTue Nov 14 23:13:20 2023\t3\t0\n";
const std::string addr4("\x01\xc0\x00\x02\x01", 5);  // tag 1, 192.0.2.1

struct line_case {
    const char *name;
    std::string key;
    std::string value;
    std::string line;
};

class PrintTripletLine : public Dump, public ::testing::WithParamInterface<line_case> {};

TEST_P(PrintTripletLine, PrintsTheSevenFields)
{
    const line_case &c = GetParam();
    exact_block key(c.key), value(c.value);
    std::string line = capture_stdout([&] { print_triplet_line(&key.dbt, &value.dbt); });
    EXPECT_EQ(c.line, line) << "key " << hex(c.key) << ", value of " << c.value.size()
                            << " bytes";
}

const line_case line_cases[] = {
    {"ipv4", ipv4_key("192.0.2.0", "a@example.com", "b@example.org"), record,
     "192.0.2.0\ta@example.com\tb@example.org\t" + times},
    {"ipv6", ipv6_key("2001:db8::1", "a@example.com", "b@example.org"), record,
     "2001:db8::1\ta@example.com\tb@example.org\t" + times},
    {"text", text_key("mail.example.net", "a@example.com", "b@example.org"), record,
     "mail.example.net\ta@example.com\tb@example.org\t" + times},
    {"empty_text", text_key("", "a@example.com", "b@example.org"), record,
     "\ta@example.com\tb@example.org\t" + times},
    {"null_sender", ipv4_key("192.0.2.1", "", "b@example.org"), record,
     "192.0.2.1\t\tb@example.org\t" + times},
    {"empty_recipient", ipv4_key("192.0.2.1", "a@example.com", ""), record,
     "192.0.2.1\ta@example.com\t\t" + times},
    // The recipient is written byte for byte, a NUL inside or at its end too.
    {"recipient_with_nul", ipv4_key("192.0.2.1", "a", std::string("b\0c\0", 4)), record,
     std::string("192.0.2.1\ta\tb\0c\0\t", 17) + times},
    {"passed", ipv4_key("192.0.2.1", "a", "b"), record_value(0, 1700000000, 2, 9),
     "192.0.2.1\ta\tb\tThu Jan  1 00:00:00 1970\tTue Nov 14 22:13:20 2023\t2\t9\n"},
    {"unconvertible_times", ipv4_key("192.0.2.1", "a", "b"),
     record_value(INT64_MAX, INT64_MIN, 0, 0),
     "192.0.2.1\ta\tb\t9223372036854775807\t-9223372036854775808\t0\t0\n"},
    // Damaged keys: the sender runs to the key's end when its NUL is missing.
    {"sender_without_nul", addr4 + "a@example.com", record,
     "192.0.2.1\ta@example.com\t\t" + times},
    {"address_only", addr4, record, "192.0.2.1\t\t\t" + times},
    // Too short for the address its tag announces: nothing of the key shown.
    {"ipv4_key_of_3_bytes", std::string("\x01\xc0\x00", 3), record, "-\t\t\t" + times},
    {"ipv6_key_of_16_bytes", std::string(1, '\x02') + std::string(15, '\x20'), record,
     "-\t\t\t" + times},
    {"text_without_nul", std::string(1, '\0') + "mail.example.net", record,
     "-\t\t\t" + times},
    {"tag_only", std::string(1, '\0'), record, "-\t\t\t" + times},
    // Domain keys: marked, so that they read apart from any address; a domain
    // the daemon could not have written is damage.
    {"domain", domain_key("pool.example", "a@pool.example", "b"), record,
     "spf:pool.example\ta@pool.example\tb\t" + times},
    {"domain_null_sender", domain_key("mx.pool.example", "", "b"), record,
     "spf:mx.pool.example\t\tb\t" + times},
    {"domain_of_253", domain_key(std::string(253, 'd'), "a", "b"), record,
     "spf:" + std::string(253, 'd') + "\ta\tb\t" + times},
    {"domain_of_254", domain_key(std::string(254, 'd'), "a", "b"), record, "-\t\t\t" + times},
    {"domain_empty", domain_key("", "a", "b"), record, "-\t\t\t" + times},
    {"domain_upper_case", domain_key("Pool.example", "a", "b"), record, "-\t\t\t" + times},
    {"domain_address_bytes", std::string("\x03\xc0\x00\x02\x01" "a\0b", 8), record,
     "-\t\t\t" + times},
    {"domain_without_nul", std::string(1, '\3') + "pool.example", record, "-\t\t\t" + times},
    {"empty_key", "", record, "-\t\t\t" + times},
    // Values that are not a 32-byte record: no field of them is read.
    {"value_of_10_bytes", ipv4_key("192.0.2.1", "a", "b"), std::string(10, '\xff'),
     "192.0.2.1\ta\tb\t-\t-\t-\t-\n"},
    {"value_of_40_bytes", ipv4_key("192.0.2.1", "a", "b"), record + "\1\2\3\4\5\6\7\10",
     "192.0.2.1\ta\tb\t-\t-\t-\t-\n"},
    {"empty_value", ipv4_key("192.0.2.1", "a", "b"), "", "192.0.2.1\ta\tb\t-\t-\t-\t-\n"},
    {"both_damaged", std::string("\x01\xc0", 2), std::string(31, '\0'),
     "-\t\t\t-\t-\t-\t-\n"},
};

INSTANTIATE_TEST_SUITE_P(Records, PrintTripletLine, ::testing::ValuesIn(line_cases),
                         [](const auto &info) { return std::string(info.param.name); });

// --- print_reply_line -----------------------------------------------------

std::string reply_value(time_t first, time_t last, uint64_t replies)
{
    reply_data_t r{first, last, replies};
    return std::string(reinterpret_cast<const char *>(&r), sizeof r);
}

const std::string pair_times = "Tue Nov 14 22:13:20 2023\tTue Nov 14 23:13:20 2023\t4\n";
const std::string pair_record = reply_value(1700000000, 1700003600, 4);

class PrintReplyLine : public Dump, public ::testing::WithParamInterface<line_case> {};

TEST_P(PrintReplyLine, PrintsTheFiveFields)
{
    const line_case &c = GetParam();
    exact_block key(c.key), value(c.value);
    std::string line = capture_stdout([&] { print_reply_line(&key.dbt, &value.dbt); });
    EXPECT_EQ(c.line, line) << "key " << hex(c.key) << ", value of " << c.value.size()
                            << " bytes";
}

const line_case reply_cases[] = {
    {"pair", std::string("bob@far.example") + '\0' + "alice@site.example", pair_record,
     "bob@far.example\talice@site.example\t" + pair_times},
    // Keys the daemon never writes: no address of them is shown.
    {"no_nul", "bob@far.example", pair_record, "-\t-\t" + pair_times},
    {"empty_outside", std::string("\0alice@site.example", 19), pair_record,
     "-\t-\t" + pair_times},
    {"empty_local", std::string("bob@far.example\0", 16), pair_record,
     "-\t-\t" + pair_times},
    {"two_nuls", std::string("bob\0alice\0x", 11), pair_record, "-\t-\t" + pair_times},
    {"empty_key", "", pair_record, "-\t-\t" + pair_times},
    // Values that are not a 24-byte record: no field of them is read.
    {"value_of_23_bytes", std::string("b\0a", 3), pair_record.substr(0, 23),
     "b\ta\t-\t-\t-\n"},
    {"triplet_sized_value", std::string("b\0a", 3), record, "b\ta\t-\t-\t-\n"},
    {"empty_value", std::string("b\0a", 3), "", "b\ta\t-\t-\t-\n"},
};

INSTANTIATE_TEST_SUITE_P(Records, PrintReplyLine, ::testing::ValuesIn(reply_cases),
                         [](const auto &info) { return std::string(info.param.name); });

// A tag the daemon never writes ends the listing through triplet_ip_text's
// abort, with its report in the log.
TEST_F(Dump, UnknownTagAborts)
{
    temp_dir dir;
    std::string log_path = dir.file("syslog");
    setenv("MURVANE_SYSLOG_FILE", log_path.c_str(), 1);
    exact_block key(std::string("\x04\xc0\x00\x02\x01" "a\0b", 8)), value(record);
    EXPECT_EXIT(print_triplet_line(&key.dbt, &value.dbt), ::testing::KilledBySignal(SIGABRT),
                "");
    unsetenv("MURVANE_SYSLOG_FILE");
    std::vector<std::string> expected = {"err\tinet_ntop unexpected type 4"};
    EXPECT_EQ(expected, read_log_file(log_path));
}

}  // namespace
