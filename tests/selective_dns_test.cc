// SPDX-License-Identifier: BSD-2-Clause
// selective_dns_test.cc - the signs of --selective that ask DNS, through the
// binary and a DNS server of the test's own (support/dns_world.h): an SPF
// failure, and blocklist listings.
//
// Every client here has a clean forward-confirmed name and a proper HELO,
// so only the sign under test can make it suspicious. The clients are in
// 192.0.2.0/24 and 2001:db8::/32: the SPF library lets loopback clients pass.
#include <gtest/gtest.h>

#include <dirent.h>

#include <chrono>
#include <string>
#include <vector>

#include "dns_world.h"
#include "fixture_db.h"
#include "run_daemon.h"

namespace {

// The reversed nibbles of 2001:db8::5 and 2001:db8::6.
const std::string v6_5 = "5.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.8.b.d.0.1.0.0.2";

std::vector<std::string> records()
{
    return {
        "--txt-record=pool.test,v=spf1 ip4:192.0.2.2 -all",
        "--txt-record=soft.test,v=spf1 ip4:192.0.2.2 ~all",
        "--txt-record=neutral.test,v=spf1 ?all",
        "--host-record=5.2.0.192.bl.test,127.0.0.2",
        "--host-record=6.2.0.192.bl.test,127.255.255.254",
        "--host-record=7.2.0.192.bl.test,10.0.0.1",
        "--host-record=" + v6_5 + ".bl.test,127.0.0.2",
    };
}
::testing::Environment *const environment =
    ::testing::AddGlobalTestEnvironment(new dns_environment(records()));

std::string request(const std::string &client, const std::string &sender,
                    const std::string &helo = "mail.example.org")
{
    return "request=smtpd_access_policy\nprotocol_state=RCPT\nprotocol_name=ESMTP\n"
           "client_address=" + client + "\nclient_name=mail.example.org\n"
           "reverse_client_name=mail.example.org\nhelo_name=" + helo +
           "\nsender=" + sender + "\nrecipient=bob@example.net\n\n";
}

bool home_is_empty(const std::string &path)
{
    DIR *dir = opendir(path.c_str());
    if (dir == nullptr)
        return false;
    bool empty = true;
    while (struct dirent *entry = readdir(dir))
        empty = empty && (std::string(entry->d_name) == "." || std::string(entry->d_name) == "..");
    closedir(dir);
    return empty;
}

struct dns_sign_case {
    const char *name;
    std::vector<std::string> options;
    std::string request;
    const char *signs;
};

const std::vector<dns_sign_case> cases = {
    {"SpfFail", {"--spf"}, request("192.0.2.4", "alice@pool.test"), "spf"},
    {"SpfSoftfail", {"--spf"}, request("192.0.2.4", "alice@soft.test"), "spf"},
    {"SpfPass", {"--spf"}, request("192.0.2.2", "alice@pool.test"), "none"},
    {"SpfNeutral", {"--spf"}, request("192.0.2.4", "alice@neutral.test"), "none"},
    {"SpfNone", {"--spf"}, request("192.0.2.4", "alice@norecord.test"), "none"},
    {"SpfFailWithoutTheOption", {}, request("192.0.2.4", "alice@pool.test"), "none"},
    {"BounceFailsForItsHelo", {"--spf"}, request("192.0.2.4", "", "pool.test"), "spf"},
    {"Listed", {"--dnsbl", "bl.test"}, request("192.0.2.5", "alice@example.org"), "dnsbl"},
    {"RefusalCodeIsNoListing", {"--dnsbl", "bl.test"},
     request("192.0.2.6", "alice@example.org"), "none"},
    {"AnswerOutside127IsNoListing", {"--dnsbl", "bl.test"},
     request("192.0.2.7", "alice@example.org"), "none"},
    {"NotListed", {"--dnsbl", "bl.test"}, request("192.0.2.8", "alice@example.org"), "none"},
    {"ListedIpv6", {"--dnsbl", "bl.test"}, request("2001:db8::5", "alice@example.org"),
     "dnsbl"},
    {"SecondZoneLists", {"--dnsbl", "other.test", "--dnsbl", "bl.test"},
     request("192.0.2.5", "alice@example.org"), "dnsbl"},
    {"ZoneNarrowedToOtherCodes", {"--dnsbl", "bl.test=127.0.0.4"},
     request("192.0.2.5", "alice@example.org"), "none"},
};

class SelectiveDns : public testing::TestWithParam<dns_sign_case> {
protected:
    void SetUp() override
    {
        if (!world.ready)
            GTEST_SKIP() << "no DNS namespace for the --selective tests: " << world.why_not;
    }
};

TEST_P(SelectiveDns, SignDecidesTheAnswer)
{
    const dns_sign_case &c = GetParam();
    temp_dir home;
    std::vector<std::string> args = {"-h", home.path, "--selective", "-v"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    daemon_result r = run_daemon(args, c.request);
    ASSERT_EQ(0, r.status) << r.err;
    std::string client = c.request.substr(c.request.find("client_address=") + 15);
    client = client.substr(0, client.find('\n'));
    bool none = std::string(c.signs) == "none";
    std::string line = "client " + client + ": signs " + c.signs +
                       (none ? ", let through" : ", greylisted");
    EXPECT_TRUE(r.logged("info", line)) << line;
    if (none) {
        EXPECT_EQ("action=DUNNO\n\n", r.out);
        EXPECT_TRUE(home_is_empty(home.path));
    } else {
        EXPECT_EQ(0u, r.out.rfind("action=DEFER_IF_PERMIT ", 0)) << r.out;
        EXPECT_EQ(1u, read_records(home.path).size());
    }
}

INSTANTIATE_TEST_SUITE_P(Table, SelectiveDns, testing::ValuesIn(cases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(SelectiveDns, BlocklistIsNotAskedAboutAClientAlreadySuspicious)
{
    // 192.0.2.5 is listed, but its bare HELO already decides: the zone
    // hears nothing of it.
    temp_dir home;
    drain_dns_log();
    daemon_result r = run_daemon({"-h", home.path, "--selective", "-v", "--dnsbl", "bl.test"},
                                 request("192.0.2.5", "alice@example.org", "[192.0.2.5]") +
                                     request("192.0.2.8", "alice@example.org"));
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_TRUE(r.logged("info", "client 192.0.2.5: signs helo, greylisted"));
    // The second client's lookup marks the point where the first one's would
    // have been logged before it.
    ASSERT_TRUE(read_dns_log("8.2.0.192.bl.test", 10000));
    EXPECT_EQ(0u, count_in(world.log, "5.2.0.192.bl.test"));
}

TEST_F(SelectiveDns, ZoneThatNeverAnswersListsNobodyWithinTheBound)
{
    // silent.test's server never answers: the request waits at most the
    // request's DNS bound (5 s), then the client counts as not listed.
    temp_dir home;
    auto start = std::chrono::steady_clock::now();
    daemon_result r = run_daemon(
        {"-h", home.path, "--selective", "-v", "--dnsbl", "bl.silent.test"},
        request("192.0.2.5", "alice@example.org"));
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ("action=DUNNO\n\n", r.out);
    EXPECT_TRUE(r.logged("info", "client 192.0.2.5: signs none, let through"));
    // The resolver's own schedule (5 s a try, two tries) would take 10 s at
    // least; the bound ends it at 5.
    EXPECT_LT(seconds, 9.0);
}

}  // namespace
