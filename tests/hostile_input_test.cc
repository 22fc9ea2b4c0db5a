// SPDX-License-Identifier: BSD-2-Clause
// hostile_input_test.cc - the daemon fed what no mail server should send.
//
// NUL bytes and carriage returns in names and values, values of a mebibyte,
// requests of thousands of attributes, input that ends without its empty line
// or goes on with garbage after the last request. Every request must be
// answered or ignored by the daemon's own rules (only a pair of newlines ends
// a request; only the exact words count in the screening), the run must end
// in order, and the sanitizer build of this test sees every byte read out of
// bounds. The daemon's memory must follow what it was sent: its peak resident
// size is read from /proc while it waits for more input, and compared with
// the size of the largest request under a generous bound (never a timing).
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "fixture_db.h"
#include "run_daemon.h"

namespace {

const std::vector<std::string> templates = {"-r", "defer %d", "-G", "pass %d"};

std::string answers(const std::vector<std::string> &actions)
{
    std::string out;
    for (const auto &a : actions)
        out += "action=" + a + "\n\n";
    return out;
}

std::string attribute(const std::string &name, const std::string &value)
{
    return name + "=" + value + "\n";
}

// An RCPT request whose lines are given whole, so that names and values may
// carry any byte; `extra` lines go in front of the screened attributes.
std::string raw_request(const std::string &name, const std::string &state,
                        const std::string &client, const std::string &sender,
                        const std::string &recipient, const std::string &extra = "")
{
    return "request=smtpd_access_policy\n" + extra + "protocol_state=" + state +
           "\nprotocol_name=" + name + "\nclient_address=" + client +
           "\nsender=" + sender + "\nrecipient=" + recipient + "\n\n";
}

std::string plain(const std::string &client = "192.0.2.1")
{
    return rcpt_request(client, "alice@example.net", "bob@example.org");
}

std::string many_attributes(size_t count)
{
    std::string lines;
    for (size_t i = 0; i < count; i++)
        lines += "x_attribute_" + std::to_string(i) + "=value " + std::to_string(i) + "\n";
    return lines;
}

const std::string nul(1, '\0');
const std::string mebibyte(1 << 20, 'm');

struct hostile_case {
    std::string name;
    std::string input;
    std::vector<std::string> actions;  // the answers, in order
    std::vector<std::string> keys;     // the triplet keys stored afterwards
};

std::vector<hostile_case> hostile_cases()
{
    const std::string alice = "alice@example.net", bob = "bob@example.org";
    const std::string ipv4 = ipv4_key("192.0.2.1", alice, bob);
    return {
        // NUL bytes: never part of a word the screening matches, kept byte for
        // byte in the triplet, and no end of a value or a line.
        {"nul_in_protocol_name", raw_request("ESMTP" + nul, "RCPT", "192.0.2.1", alice, bob),
         {"DUNNO"}, {}},
        {"nul_in_attribute_name",
         "protocol" + nul + "name=ESMTP\nprotocol_state=RCPT\nclient_address=192.0.2.1\n"
         "sender=a\nrecipient=b\n\n",
         {"DUNNO"}, {}},
        {"nul_in_client_address_is_text",
         raw_request("ESMTP", "RCPT", "192.0.2.1" + nul + "7", alice, bob), {"defer 3480"},
         {text_key("192.0.2.1" + nul + "7", alice, bob)}},
        {"nul_in_sender_and_recipient",
         raw_request("SMTP", "RCPT", "192.0.2.1", "al" + nul + "ice", nul + "bob"),
         {"defer 3480"}, {ipv4_key("192.0.2.1", "al" + nul + "ice", nul + "bob")}},
        {"request_of_nul_bytes", std::string(64, '\0') + "\n\n" + plain(), {"DUNNO", "defer 3480"},
         {ipv4}},

        // Carriage returns: part of the value; CRLF line ends never end a request.
        {"cr_after_protocol_name", raw_request("ESMTP\r", "RCPT", "192.0.2.1", alice, bob),
         {"DUNNO"}, {}},
        {"cr_in_sender_is_kept", raw_request("ESMTP", "RCPT", "192.0.2.1", alice + "\r", bob),
         {"defer 3480"}, {ipv4_key("192.0.2.1", alice + "\r", bob)}},
        {"crlf_framing_is_never_a_request",
         "protocol_name=ESMTP\r\nprotocol_state=RCPT\r\nclient_address=192.0.2.1\r\n"
         "sender=a\r\nrecipient=b\r\n\r\n",
         {}, {}},
        {"cr_alone_between_newlines", "protocol_name=SMTP\n\r\n\n", {"DUNNO"}, {}},

        // Values of a mebibyte: a long triplet is stored whole, a long word
        // is no word.
        {"mebibyte_sender", raw_request("ESMTP", "RCPT", "192.0.2.1", mebibyte, bob),
         {"defer 3480"}, {ipv4_key("192.0.2.1", mebibyte, bob)}},
        {"mebibyte_client_address", raw_request("ESMTP", "RCPT", mebibyte, alice, bob),
         {"defer 3480"}, {text_key(mebibyte, alice, bob)}},
        {"mebibyte_unknown_attribute",
         raw_request("ESMTP", "RCPT", "192.0.2.1", alice, bob, attribute("ccert", mebibyte)),
         {"defer 3480"}, {ipv4}},
        {"mebibyte_protocol_name", raw_request(mebibyte, "RCPT", "192.0.2.1", alice, bob),
         {"DUNNO"}, {}},

        // Thousands of attributes, before and after the screened ones.
        {"thousands_of_attributes_first",
         raw_request("ESMTP", "RCPT", "192.0.2.1", alice, bob, many_attributes(20000)),
         {"defer 3480"}, {ipv4}},
        {"thousands_of_attributes_last",
         plain().substr(0, plain().size() - 1) + many_attributes(20000) + "\n",
         {"defer 3480"}, {ipv4}},
        {"thousands_of_repeated_names_first_wins",
         raw_request("ESMTP", "RCPT", "192.0.2.1", alice, bob,
                     [] {
                         std::string lines;
                         for (int i = 0; i < 5000; i++)
                             lines += "protocol_name=UUCP\nsender=x" + std::to_string(i) + "\n";
                         return lines;
                     }()),
         {"DUNNO"}, {}},

        // The end of the input: only whole requests are answered.
        {"last_request_without_empty_line", plain() + plain("192.0.2.2").substr(0, 150),
         {"defer 3480"}, {ipv4}},
        {"last_request_with_one_newline",
         plain() + plain("192.0.2.2").substr(0, plain("192.0.2.2").size() - 1),
         {"defer 3480"}, {ipv4}},
        {"garbage_after_last_request", plain() + "\x01\x02garbage\xff\xfe" + nul + " no newline",
         {"defer 3480"}, {ipv4}},
        {"garbage_lines_after_last_request", plain() + "=\n==\n\xff\n", {"defer 3480"}, {ipv4}},
        {"garbage_that_ends_like_a_request", plain() + "\xff\xfe" + nul + "junk\n\n",
         {"defer 3480", "DUNNO"}, {ipv4}},
        {"mebibyte_without_newline", mebibyte, {}, {}},
        {"newlines_only", std::string(1 << 16, '\n'),
         std::vector<std::string>((1 << 16) / 2, "DUNNO"), {}},
    };
}

void PrintTo(const hostile_case &c, std::ostream *os)
{
    *os << c.name;
}

class HostileInput : public testing::TestWithParam<hostile_case> {};

TEST_P(HostileInput, AnsweredByTheRules)
{
    const hostile_case &c = GetParam();
    temp_dir home;
    daemon_run run;
    run.args = templates;
    run.args.insert(run.args.end(), {"-h", home.path});
    run.input = c.input;
    run.timeout_ms = 120000;
    daemon_result r = run_daemon(run);

    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(0, r.signal) << r.err;
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("", r.err);
    EXPECT_TRUE(r.out == answers(c.actions))
        << "got " << r.out.size() << " bytes: " << r.out.substr(0, 200);
    EXPECT_TRUE(r.messages("err").empty()) << r.messages("err")[0];

    std::vector<std::string> keys;
    for (const auto &[key, value] : read_records(home.path))
        keys.push_back(key);
    ASSERT_EQ(c.keys.size(), keys.size());
    for (size_t i = 0; i < keys.size(); i++)
        EXPECT_TRUE(c.keys[i] == keys[i]) << "stored key " << i << " of "
                                          << keys[i].size() << " bytes: "
                                          << hex(keys[i].substr(0, 40));
}

INSTANTIATE_TEST_SUITE_P(Table, HostileInput, testing::ValuesIn(hostile_cases()),
                         [](const testing::TestParamInfo<hostile_case> &info) {
                             return info.param.name;
                         });

// peak_resident_kib - the peak resident set of a running process (VmHWM).
long peak_resident_kib(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

// peak_after - feed `input` to a daemon, wait until it has written `expected`
// and waits for more, and return its peak resident size in KiB.
long peak_after(const std::string &input, const std::string &expected,
                const std::string &home)
{
    daemon_run run;
    run.args = templates;
    run.args.insert(run.args.end(), {"-h", home});
    daemon_process d = start_daemon(run);
    EXPECT_TRUE(write_input(d, input));
    EXPECT_TRUE(read_output_until(d, expected, 120000));
    EXPECT_TRUE(wait_until_reading(d, 60000));
    long peak = peak_resident_kib(d.pid);
    close_input(d);
    daemon_result r = finish_daemon(d);
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_TRUE(r.out == expected) << r.out.size() << " bytes of output";
    return peak;
}

struct memory_case {
    std::string name;
    std::string input;
    std::string expected;
    size_t largest_request;  // bytes of the largest request (or of the unended tail)
    bool storage;            // an RCPT request opens the database
};

// The growth over a daemon that was sent one small request is held to a few
// times the largest request plus a fixed allowance for the library's buffers
// (the sanitizer build adds its shadow memory and quarantine on top). A reader
// that kept every request it had answered, or grew by each request's size,
// would exceed it many times over: the streams below send 64 MiB in all.
TEST(HostileInputMemory, PeakFollowsTheLargestRequestNotTheStream)
{
    const size_t quarter = 256 << 10;
    std::string junk_request =
        attribute("junk", std::string(quarter, 'j')) + "protocol_name=SMTP\n\n";
    std::string stream;
    for (int i = 0; i < 256; i++)
        stream += junk_request;
    std::string many;
    for (int i = 0; i < 256; i++)
        many += raw_request("ESMTP", "DATA", "192.0.2.1", "a", "b", many_attributes(4000));

    const memory_case cases[] = {
        {"mebibyte_sender",
         raw_request("ESMTP", "RCPT", "192.0.2.9", mebibyte, "bob@example.org"),
         answers({"defer 3480"}), mebibyte.size(), true},
        {"stream_of_quarter_mebibyte_requests", stream,
         answers(std::vector<std::string>(256, "DUNNO")), junk_request.size(), false},
        {"stream_of_requests_with_thousands_of_attributes", many,
         answers(std::vector<std::string>(256, "DUNNO")), many.size() / 256, false},
        {"request_that_never_ends", std::string(8 << 20, 'x'), "", 8 << 20, false},
    };

    // Baselines: one small request that opens the database, one that does not.
    temp_dir home;
    long base_storage = peak_after(plain(), answers({"defer 3480"}), home.path);
    long base_plain = peak_after("protocol_name=SMTP\n\n", answers({"DUNNO"}), home.path);
    ASSERT_GT(base_storage, 0);
    ASSERT_GT(base_plain, 0);
    for (const auto &c : cases) {
        long peak = peak_after(c.input, c.expected, home.path);
        long base = c.storage ? base_storage : base_plain;
        long growth_kib = peak - base;
        long bound_kib = static_cast<long>(4 * c.largest_request / 1024) + 32 * 1024;
        RecordProperty(c.name + "_growth_kib", std::to_string(growth_kib));
        EXPECT_LE(growth_kib, bound_kib)
            << c.name << ": sent " << c.input.size() << " bytes, peak " << peak
            << " KiB against " << base << " KiB for one small request";
    }
}

}  // namespace
