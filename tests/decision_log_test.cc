// SPDX-License-Identifier: BSD-2-Clause
// decision_log_test.cc - the line --log-decisions writes, through the built
// daemon on a frozen clock: one case per decision word, the key's forms, and
// request values that must be made safe (control characters, blanks, the
// escape character itself, an over-long value).
#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

#include "fixture_db.h"
#include "frozen_clock.h"
#include "run_daemon.h"

#include "greylist/outcome.h"

namespace {

constexpr time_t now = 1700000000;
const char sender[] = "alice@example.com";
const char recipient[] = "bob@example.org";

// The request as the mail server sends it, with every value given.
std::string request(const std::string &client, const std::string &client_name,
                    const std::string &from, const std::string &to)
{
    std::string r = "request=smtpd_access_policy\nprotocol_state=RCPT\n"
                    "protocol_name=ESMTP\nclient_address=" + client + "\n";
    if (!client_name.empty())
        r += "client_name=" + client_name + "\n";
    return r + "sender=" + from + "\nrecipient=" + to + "\n\n";
}

struct line_case {
    const char *name;
    std::vector<std::string> args;  // beyond -h and --log-decisions
    record_list triplets;           // seeded before the run
    record_list clients;
    std::string request;
    std::string answer;             // the answer's first word
    std::string line;               // the exact log line
};

void PrintTo(const line_case &c, std::ostream *out) { *out << c.name; }

const std::string long_sender = std::string(300, 'a') + "@example.com";

const line_case line_cases[] = {
    {"defer_new", {}, {}, {},
     request("192.0.2.1", "mail.example.net", sender, recipient), "action=DEFER_IF_PERMIT",
     "decision=defer_new mode=enforce client_address=192.0.2.1 client_name=mail.example.net "
     "sender=alice@example.com recipient=bob@example.org key=192.0.2.1 left=3480 waited=-"},
    {"defer_early", {}, {{ipv4_key("192.0.2.2", sender, recipient),
                          record_value(now - 100, now - 100, 1, 0)}}, {},
     request("192.0.2.2", "mail.example.net", sender, recipient), "action=DEFER_IF_PERMIT",
     "decision=defer_early mode=enforce client_address=192.0.2.2 client_name=mail.example.net "
     "sender=alice@example.com recipient=bob@example.org key=192.0.2.2 left=3380 waited=-"},
    {"first_pass", {}, {{ipv6_key("2001:db8::5", sender, recipient),
                         record_value(now - 4000, now - 3000, 2, 0)}}, {},
     request("2001:db8::5", "unknown", sender, recipient), "action=PREPEND",
     "decision=first_pass mode=enforce client_address=2001:db8::5 client_name=unknown "
     "sender=alice@example.com recipient=bob@example.org key=2001:db8::5 left=- waited=4000"},
    {"known", {"-/", "24"}, {{ipv4_key("192.0.2.0", sender, recipient),
                              record_value(now - 9000, now - 50, 1, 3)}}, {},
     request("192.0.2.77", "", sender, recipient), "action=DUNNO",
     "decision=known mode=enforce client_address=192.0.2.77 client_name=- "
     "sender=alice@example.com recipient=bob@example.org key=192.0.2.0/24 left=- waited=-"},
    {"whitelisted", {"--auto-whitelist", "2"}, {},
     {{ipv4_client_key("192.0.2.9"), client_value(now - 500, now - 60, 2, 0)}},
     request("192.0.2.9", "mx.example.com", sender, recipient), "action=DUNNO",
     "decision=whitelisted mode=enforce client_address=192.0.2.9 client_name=mx.example.com "
     "sender=alice@example.com recipient=bob@example.org key=192.0.2.9 left=- waited=-"},
    {"not_suspicious", {"--selective"}, {}, {},
     "request=smtpd_access_policy\nprotocol_state=RCPT\nprotocol_name=ESMTP\n"
     "client_address=198.51.100.7\nclient_name=mail.example.net\n"
     "helo_name=mail.example.net\nsender=alice@example.com\nrecipient=bob@example.org\n\n",
     "action=DUNNO",
     "decision=not_suspicious mode=enforce client_address=198.51.100.7 "
     "client_name=mail.example.net sender=alice@example.com recipient=bob@example.org "
     "key=198.51.100.7 left=- waited=-"},
    {"selective_suspicious", {"--selective"}, {}, {},
     request("198.51.100.8", "unknown", sender, recipient), "action=DEFER_IF_PERMIT",
     "decision=defer_new mode=enforce client_address=198.51.100.8 client_name=unknown "
     "sender=alice@example.com recipient=bob@example.org key=198.51.100.8 left=3480 waited=-"},
    {"authenticated", {"--replies"}, {}, {},
     "request=smtpd_access_policy\nprotocol_state=RCPT\nprotocol_name=ESMTP\n"
     "client_address=192.0.2.10\nclient_name=laptop.example.com\nsasl_username=alice\n"
     "sender=alice@example.com\nrecipient=carol@example.net\n\n",
     "action=DUNNO",
     "decision=authenticated mode=enforce client_address=192.0.2.10 "
     "client_name=laptop.example.com sender=alice@example.com recipient=carol@example.net "
     "key=- left=- waited=-"},
    {"learning", {"--learn"}, {}, {},
     request("192.0.2.1", "mail.example.net", "", recipient), "action=DUNNO",
     "decision=defer_new mode=learn client_address=192.0.2.1 client_name=mail.example.net "
     "sender= recipient=bob@example.org key=192.0.2.1 left=3480 waited=-"},
    {"ipv6_prefix", {"-6", "64"}, {}, {},
     request("2001:db8:1:2:3::4", "x", sender, recipient), "action=DEFER_IF_PERMIT",
     "decision=defer_new mode=enforce client_address=2001:db8:1:2:3::4 client_name=x "
     "sender=alice@example.com recipient=bob@example.org key=2001:db8:1:2::/64 left=3480 "
     "waited=-"},
    {"unsafe_values", {}, {}, {},
     request("not an address", "a\x01\x1b[2Jb", "\"x y\"\t\\@\x7f\xc3\xa9.example",
             "bob@example.org\r"),
     "action=DEFER_IF_PERMIT",
     "decision=defer_new mode=enforce client_address=not\\x20an\\x20address "
     "client_name=a\\x01\\x1b[2Jb sender=\"x\\x20y\"\\x09\\x5c@\\x7f\\xc3\\xa9.example "
     "recipient=bob@example.org\\x0d key=not\\x20an\\x20address left=3480 waited=-"},
    {"over_long_value", {}, {}, {},
     request("192.0.2.3", std::string(255, 'n') + "\x01", long_sender, recipient),
     "action=DEFER_IF_PERMIT",
     "decision=defer_new mode=enforce client_address=192.0.2.3 client_name=" +
         std::string(255, 'n') + "\\... sender=" + std::string(256, 'a') +
         "\\... recipient=bob@example.org key=192.0.2.3 left=3480 waited=-"},
};

class DecisionLine : public ::testing::TestWithParam<line_case> {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(faketime_library().empty())
            << "libfaketime is missing: scripts/test.sh installs it";
    }
    temp_dir home;
};

TEST_P(DecisionLine, IsExactlyTheDocumentedLine)
{
    const line_case &c = GetParam();
    if (!c.triplets.empty())
        put_records(home.path, "triplets-1.db", c.triplets);
    if (!c.clients.empty())
        put_records(home.path, "clients-1.db", c.clients);
    daemon_run run;
    run.args = {"-h", home.path, "--log-decisions"};
    run.args.insert(run.args.end(), c.args.begin(), c.args.end());
    run.input = c.request;
    run.env = frozen_clock(now);
    daemon_result result = run_daemon(run);
    ASSERT_FALSE(result.timed_out);
    EXPECT_EQ(0, result.status) << result.err;
    EXPECT_EQ(c.answer, result.out.substr(0, result.out.find_first_of(" \n")));
    std::vector<std::string> lines;
    for (const std::string &m : result.messages("info"))
        if (m.rfind("decision=", 0) == 0)
            lines.push_back(m);
    EXPECT_EQ(std::vector<std::string>{c.line}, lines);
}

INSTANTIATE_TEST_SUITE_P(Words, DecisionLine, ::testing::ValuesIn(line_cases),
                         [](const auto &info) { return std::string(info.param.name); });

// Without the option the daemon logs no decision line.
TEST(DecisionLog, NoLineWithoutTheOption)
{
    temp_dir home;
    daemon_result result =
        run_daemon({"-h", home.path}, request("192.0.2.1", "m", sender, recipient));
    EXPECT_EQ(0, result.status);
    for (const std::string &line : result.log_messages())
        EXPECT_EQ(std::string::npos, line.find("decision=")) << line;
}

// A reply to a pair a user wrote to: the pair is seeded, as a user's mail
// would have left it an hour ago.
TEST(DecisionLog, ReplyIsLoggedAsReply)
{
    temp_dir home;
    put_records(home.path, "replies-1.db",
                {{sender + std::string(1, '\0') + recipient, reply_value(now - 7200, now - 3600, 0)}});
    daemon_run run;
    run.args = {"-h", home.path, "--log-decisions", "--replies"};
    run.input = request("198.51.100.20", "mx.example.com", sender, recipient);
    run.env = frozen_clock(now);
    daemon_result result = run_daemon(run);
    EXPECT_EQ(0, result.status) << result.err;
    EXPECT_EQ("action=DUNNO\n\n", result.out);
    EXPECT_TRUE(result.logged(
        "info", "decision=reply mode=enforce client_address=198.51.100.20 "
                "client_name=mx.example.com sender=alice@example.com recipient=bob@example.org "
                "key=198.51.100.20 left=- waited=-"));
}

// Every outcome has a word of its own, of lower-case letters and '_' only,
// so that a log analyser splits the line on blanks and '='.
TEST(DecisionLog, WordsAreDistinctSingleWords)
{
    std::vector<std::string> seen;
    for (const char *word : outcome_names) {
        std::string w = word;
        EXPECT_EQ(std::string::npos, w.find_first_not_of("abcdefghijklmnopqrstuvwxyz_")) << w;
        EXPECT_EQ(seen.end(), std::find(seen.begin(), seen.end(), w)) << w;
        seen.push_back(w);
    }
}

}  // namespace
