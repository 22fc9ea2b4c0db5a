// SPDX-License-Identifier: BSD-2-Clause
// selective_requests_test.cc - --selective through the binary: what each
// sign does to the answer and to the home.
//
// A client that shows no sign must be let through without the home being
// touched at all: the environment is never even created, so the home stays
// empty. A client that shows any sign is greylisted as without the option.
#include <dirent.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fixture_db.h"
#include "run_daemon.h"

namespace {

const std::string defer_prefix = "action=DEFER_IF_PERMIT Greylisted by murvane";

// A request with chosen name attributes; an empty string leaves the
// attribute out.
std::string request(const std::string &address, const std::string &client_name,
                    const std::string &reverse_name, const std::string &helo,
                    const std::string &recipient = "bob@example.net")
{
    std::string r = "request=smtpd_access_policy\nprotocol_state=RCPT\nprotocol_name=ESMTP\n"
                    "client_address=" + address + "\n";
    if (!client_name.empty())
        r += "client_name=" + client_name + "\n";
    if (!reverse_name.empty())
        r += "reverse_client_name=" + reverse_name + "\n";
    if (!helo.empty())
        r += "helo_name=" + helo + "\n";
    return r + "sender=alice@example.org\nrecipient=" + recipient + "\n\n";
}

// entries - the names in a directory, "." and ".." aside.
std::vector<std::string> entries(const std::string &path)
{
    std::vector<std::string> names;
    DIR *dir = opendir(path.c_str());
    if (dir == nullptr)
        return names;
    while (struct dirent *entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    closedir(dir);
    return names;
}

struct sign_case {
    const char *name;
    std::string request;
    const char *signs;  // as the -v line names them
};

const std::string clean_name = "mail.example.org";
const std::vector<sign_case> sign_cases = {
    {"NoSign", request("198.51.100.7", clean_name, clean_name, clean_name), "none"},
    {"ReverseNameAloneIsEnough", request("198.51.100.7", clean_name, "", clean_name), "none"},
    {"UnverifiedUnknown", request("198.51.100.7", "unknown", clean_name, clean_name),
     "unverified"},
    {"UnverifiedAbsent", request("198.51.100.7", "", clean_name, clean_name), "unverified"},
    {"UnverifiedAndNoReverseName", request("198.51.100.7", "unknown", "unknown", clean_name),
     "unverified"},
    {"DynamicReverseName",
     request("73.12.45.6", clean_name, "c-73-12-45-6.hsd1.ca.example.net", clean_name),
     "dynamic"},
    {"DynamicVerifiedName", request("71.2.3.4", "pool-71-2-3-4.nycmny.example.net", "", clean_name),
     "dynamic"},
    {"HeloLiteral", request("198.51.100.7", clean_name, clean_name, "[198.51.100.7]"), "helo"},
    {"HeloBareAddress", request("198.51.100.7", clean_name, clean_name, "198.51.100.7"), "helo"},
    {"HeloNoDot", request("198.51.100.7", clean_name, clean_name, "localhost"), "helo"},
    {"HeloAbsent", request("198.51.100.7", clean_name, clean_name, ""), "helo"},
    {"Several",
     request("189.42.12.3", "unknown", "dsl-189-42-12-3.dynamic.example", "WIN-4PQ7HJ2K"),
     "unverified,dynamic,helo"},
    {"Ipv6Dynamic",
     request("2001:db8:1:2:3:4:5:6", clean_name, "2001-db8-1-2-3-4-5-6.example.net", clean_name),
     "dynamic"},
};

class SelectiveSigns : public testing::TestWithParam<sign_case> {};

TEST_P(SelectiveSigns, DecideTheAnswerAndWhatIsStored)
{
    const sign_case &c = GetParam();
    temp_dir home;
    daemon_result r = run_daemon({"-h", home.path, "--selective", "-v"}, c.request);
    ASSERT_EQ(0, r.status) << r.err;
    bool none = std::string(c.signs) == "none";

    std::string line = std::string("client ") +
                       c.request.substr(c.request.find("client_address=") + 15,
                                        c.request.find('\n', c.request.find("client_address=")) -
                                            c.request.find("client_address=") - 15) +
                       ": signs " + c.signs + (none ? ", let through" : ", greylisted");
    EXPECT_TRUE(r.logged("info", line)) << line;
    if (none) {
        EXPECT_EQ("action=DUNNO\n\n", r.out);
        EXPECT_TRUE(entries(home.path).empty()) << "the home was touched";
    } else {
        EXPECT_EQ(0u, r.out.rfind(defer_prefix, 0)) << r.out;
        record_list stored = read_records(home.path);
        ASSERT_EQ(1u, stored.size());
        record_fields fields = decode_record(stored[0].second);
        EXPECT_EQ(1u, fields.block_count);
        EXPECT_EQ(0u, fields.pass_count);
    }
}

INSTANTIATE_TEST_SUITE_P(Table, SelectiveSigns, testing::ValuesIn(sign_cases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(Selective, WithoutTheOptionACleanClientIsGreylisted)
{
    temp_dir home;
    daemon_result r =
        run_daemon({"-h", home.path, "-v"}, request("198.51.100.7", clean_name, clean_name, clean_name));
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ(0u, r.out.rfind(defer_prefix, 0)) << r.out;
    EXPECT_EQ(1u, read_records(home.path).size());
    for (const std::string &message : r.messages("info"))
        EXPECT_EQ(std::string::npos, message.find("signs")) << message;
}

TEST(Selective, SuspiciousTripletPassesByTheUsualRules)
{
    // With no delay, the first request of a suspicious client is its first
    // pass, tagged; the next is known. A clean one between them stores nothing.
    temp_dir home;
    std::string suspicious = request("198.51.100.7", "unknown", "", clean_name);
    std::string clean = request("198.51.100.8", clean_name, clean_name, clean_name);
    daemon_result r = run_daemon({"-h", home.path, "--selective", "-g", "0"},
                                 suspicious + clean + suspicious);
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ(0u, r.out.rfind("action=PREPEND X-Murvane: Greylisted by murvane", 0)) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("\n\naction=DUNNO\n\naction=DUNNO\n\n")) << r.out;
    record_list stored = read_records(home.path);
    ASSERT_EQ(1u, stored.size());
    EXPECT_EQ(ipv4_key("198.51.100.7", "alice@example.org", "bob@example.net"), stored[0].first);
    EXPECT_EQ(2u, decode_record(stored[0].second).pass_count);
}

TEST(Selective, HostileNameValuesCountAsSigns)
{
    // A NUL inside a name, or a name longer than any host name, is no
    // name: the client is greylisted, never let through for it.
    temp_dir home;
    std::string nul_name = request("198.51.100.7", clean_name, std::string("mail\0x.example.org", 18),
                                   clean_name);
    std::string long_name =
        request("198.51.100.7", std::string(300, 'a') + ".example.org", "", clean_name, "c@example.net");
    daemon_result r = run_daemon({"-h", home.path, "--selective", "-v"}, nul_name + long_name);
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_TRUE(r.logged("info", "client 198.51.100.7: signs dynamic, greylisted"));
    EXPECT_TRUE(r.logged("info", "client 198.51.100.7: signs unverified, greylisted"));
    EXPECT_EQ(2u, read_records(home.path).size());
}

}  // namespace
