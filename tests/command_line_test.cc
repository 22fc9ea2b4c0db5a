// SPDX-License-Identifier: BSD-2-Clause
// command_line_test.cc - options, usage text, version line and fatal option
// errors, seen from outside through the built daemon, plus the values that
// parse_command_line stores, checked in process.
#include <syslog.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "daemon/command_line.h"
#include "fixture_db.h"
#include "run_daemon.h"

namespace {

const std::string version = "murvane 0.4.0\n";

// The usage text as an administrator reads it: the 82 lines with the program
// name, the built-in numbers and the two action templates filled in.
std::string usage(const std::string &program,
                  const std::string &reject = default_reject_action,
                  const std::string &greylisted = default_greylisted_action)
{
    const std::vector<std::string> lines = {
        "Usage: " + program +
            " [-V] [-v] [-d] [-h <Berkeley DB home directory>] [-g <greylist delay>]",
        "    [-b <bloc maximum idle>] [-p <pass maximum idle>] [-r <reject action>]",
        "    [-G <greylisted action>] [-/ <network bits>] [--dump-triplets] [--help]",
        "",
        "    -b <seconds>, --bloc-max-idle <seconds>",
        "",
        "\tThis determines how many seconds of life are given to a record",
        "\tthat is created from a new mail (ip, from, to) triplet.  Note",
        "\tthat the window created by this setting for passing mails is",
        "\treduced by the amount set for --greylist-delay.  NOTE: See",
        "\talso --pass-max-idle.  Defaults to 18000.",
        "",
        "    -d, --debug",
        "",
        "\tDebug logging",
        "",
        "    -g <seconds>, --greylist-delay <seconds>",
        "",
        "\tThis determines how many seconds we will block inbound mail",
        "\tthat is from a previously unknown (ip, from, to) triplet.  If",
        "\tit is set to zero, incoming mail association will be learned,",
        "\tbut no deliveries will be tempfailed.  Use a setting of zero",
        "\twith caution, as it will learn spammers as well as legitimate",
        "\tsenders.  Defaults to 3480.",
        "",
        "    -h <Berkeley DB home directory>, --home <Berkeley DB home directory>",
        "",
        "\tLocation of the Berkeley DB environment home location (the",
        "\tdefault is /var/db/murvane.",
        "",
        "    --help",
        "",
        "        Show usage information.",
        "",
        "    -p <seconds>, --pass-max-idle <seconds>",
        "",
        "\tHow much life (in secs) to give to a record we are updating",
        "\tfrom an allowed (passed) email.",
        "",
        "\tThe default is 3110400, which should be enough to handle",
        "\tmessages that may only be sent once a month, or on things like",
        "\tthe first monday of the month (which sometimes means 5 weeks).",
        "\tPlus, we add a day for a delivery buffer.",
        "",
        "    -r <reject action>, --reject-action <reject action>",
        "",
        "        The reject action directive that will be used.  See access(5)",
        "        for valid actions.  The string expands %d to the number of",
        "        seconds, %p to the empty string if %d expands to 1 or \"s\"",
        "        otherwise, %s to \" \" and %% to \"%\".",
        "",
        "        The default is \"" + reject + "\".",
        "",
        "    -G <greylisted action>, --greylisted-action <greylisted action>",
        "",
        "        The action that will be used the first time a triplet passes",
        "        greylisting.  Same expansion as for --reject-action.",
        "",
        "        The default is \"" + greylisted + "\"",
        "",
        "    -v, --verbose",
        "",
        "\tVerbose logging",
        "",
        "    -V, --version",
        "",
        "        Show version information.",
        "",
        "    -/ <nbits>, --network-prefix <nbits>",
        "",
        "\tOnly consider the first <nbits> bits of an IPv4 address.",
        "\tDefaults to 32 i.e. the whole adresse is significant.",
        "",
        "    -6 <nbits>, --network6-prefix <nbits>",
        "",
        "\tOnly consider the first <nbits> bits of an IPv6 address.",
        "\tDefaults to 128 i.e. the whole adresse is significant.",
        "",
        "    --dump-triplets",
        "",
        "        Dump the triplets database to stdout.  Mostly for debugging",
        "        purposes.",
    };
    std::string text;
    for (const auto &line : lines)
        text += line + "\n";
    return text;
}

std::string unknown(const std::string &argument)
{
    return "Unknown option \"" + argument + "\"\n";
}

TEST(UsageText, ExpectedTextHas82Lines)
{
    const std::string text = usage("murvane");
    EXPECT_EQ(82, std::count(text.begin(), text.end(), '\n'));
}

// The default templates: fixed words around the project's own web address,
// the same address in both.
TEST(DefaultTemplates, NameTheDaemonAndItsInformationPage)
{
    const std::string reject_head =
        "DEFER_IF_PERMIT Greylisted by murvane 0.4.0, try again in %d second%p.  See ";
    const std::string greylisted_head =
        "PREPEND X-Murvane: Greylisted by murvane 0.4.0 for %d second%p.  See ";
    const std::string tail = " for more information.";
    const std::string reject = default_reject_action;
    const std::string greylisted = default_greylisted_action;

    ASSERT_EQ(0u, reject.rfind(reject_head, 0)) << reject;
    ASSERT_EQ(0u, greylisted.rfind(greylisted_head, 0)) << greylisted;
    ASSERT_TRUE(reject.ends_with(tail)) << reject;
    ASSERT_TRUE(greylisted.ends_with(tail)) << greylisted;
    std::string address = reject.substr(reject_head.size(),
                                        reject.size() - reject_head.size() - tail.size());
    EXPECT_EQ(address, greylisted.substr(greylisted_head.size(),
                                         greylisted.size() - greylisted_head.size() -
                                             tail.size()));
    EXPECT_EQ(0u, address.rfind("https://", 0)) << address;
    EXPECT_EQ(std::string::npos, address.find_first_of(" %\t\n")) << address;
}

// Command lines through the built daemon

struct cli_case {
    std::string name;
    std::vector<std::string> args;
    std::string out;
    std::string err;
    int status;                      // -1 when a signal ended the process
    int signal;
    std::vector<std::string> log;    // "level\tmessage", openlog/closelog aside
};

std::ostream &operator<<(std::ostream &os, const cli_case &c) { return os << c.name; }

cli_case fatal(const std::string &name, std::vector<std::string> args,
               const std::string &message, const std::string &err = "")
{
    return {name, std::move(args), "", err, -1, SIGABRT, {"err\tfatal: " + message}};
}

cli_case ends(const std::string &name, std::vector<std::string> args,
              const std::string &out, const std::string &err, int status)
{
    return {name, std::move(args), out, err, status, 0, {}};
}

const std::string invalid_number = "Integer value expected";
const std::string bad_g = "Invalid argument to --greylist-delay.  " + invalid_number;
const std::string bad_v4 =
    "Invalid argument to --network-prefix.  Integer value between 0 and 32 expected";
const std::string bad_v6 =
    "Invalid argument to --network6-prefix.  Integer value between 0 and 128 expected";

const std::string bad_dnsbl =
    "Invalid argument to --dnsbl.  A zone name expected, optionally with =answer,... of "
    "127.0.0.0/8";

std::string zone189();
std::vector<std::string> eight_zones();

std::vector<cli_case> cli_cases()
{
    const std::string u = usage("murvane");
    return {
        ends("NoArguments", {}, "", "", 0),
        ends("VersionShort", {"-V"}, version, "", 0),
        ends("VersionLong", {"--version"}, version, "", 0),
        ends("VersionTwiceIsOneLine", {"-V", "--version"}, version, "", 0),
        ends("Help", {"--help"}, u, "", 0),
        ends("VersionThenHelp", {"-V", "--help"}, version + u, "", 0),
        ends("HelpThenVersion", {"--help", "-V"}, version + u, "", 0),
        ends("HelpShowsBuiltInNumbers",
             {"-g", "60", "-b", "1", "-p", "2", "-/", "8", "-6", "64", "--help"}, u, "", 0),
        ends("HelpShowsRejectAction", {"-r", "DEFER try later %d%%", "--help"},
             usage("murvane", "DEFER try later %d%%"), "", 0),
        ends("HelpShowsLastRejectAction", {"-r", "first", "--help", "--reject-action", "last"},
             usage("murvane", "last"), "", 0),
        ends("HelpShowsGreylistedAction", {"--help", "-G", "PREPEND X-Seen: %d"},
             usage("murvane", default_reject_action, "PREPEND X-Seen: %d"), "", 0),
        ends("UnknownOption", {"-x"}, "", unknown("-x") + u, 1),
        ends("UnknownWithVersionAndHelp", {"-x", "-V", "--help"}, "", unknown("-x") + u, 1),
        ends("UnknownAfterHelp", {"--help", "--bogus"}, "", unknown("--bogus") + u, 1),
        ends("EveryUnknownReported", {"--home=x", "-d", "-dv"}, "",
             unknown("--home=x") + unknown("-dv") + u, 1),
        ends("BundledShortOptions", {"-dv"}, "", unknown("-dv") + u, 1),
        ends("ValueJoinedByEquals", {"--greylist-delay=60"}, "",
             unknown("--greylist-delay=60") + u, 1),
        ends("AbbreviatedLongOption", {"--verb"}, "", unknown("--verb") + u, 1),
        ends("HelpHasNoShortForm", {"-H"}, "", unknown("-H") + u, 1),
        ends("DumpHasNoShortForm", {"--dump"}, "", unknown("--dump") + u, 1),
        ends("EmptyArgument", {""}, "", unknown("") + u, 1),
        ends("ValueOptionTakesDashArgument", {"-h", "-V"}, "", "", 0),
        ends("RejectActionTakesDashD", {"-r", "-d"}, "", "", 0),
        ends("EmptyNumberIsZero", {"-g", ""}, "", "", 0),
        ends("MinusOneWraps", {"-g", "-1"}, "", "", 0),
        ends("NetworkPrefixBounds", {"-/", "0", "-/", "32", "-6", "0", "-6", "128"}, "", "",
             0),
        fatal("GreylistDelayWithLetters", {"-g", "12abc"}, bad_g),
        fatal("GreylistDelayHex", {"-g", "0x10"}, bad_g),
        fatal("GreylistDelayTrailingBlank", {"-g", "60 "}, bad_g),
        fatal("GreylistDelayOnlyBlanks", {"-g", "  "}, bad_g),
        fatal("GreylistDelayOnlySign", {"--greylist-delay", "-"}, bad_g),
        fatal("GreylistDelayFraction", {"-g", "1.5"}, bad_g),
        fatal("BlocMaxIdleInvalid", {"-b", "5h"},
              "Invalid argument to --bloc-max-idle.  " + invalid_number),
        fatal("PassMaxIdleInvalid", {"--pass-max-idle", "36d"},
              "Invalid argument to --pass-max-idle.  " + invalid_number),
        fatal("NetworkPrefix33", {"-/", "33"}, bad_v4),
        fatal("NetworkPrefixPast32Bits", {"-/", "4294967328"}, bad_v4),
        fatal("NetworkPrefixMinusOne", {"--network-prefix", "-1"}, bad_v4),
        fatal("NetworkPrefixNotANumber", {"-/", "/24"}, bad_v4),
        fatal("Network6Prefix129", {"-6", "129"}, bad_v6),
        fatal("Network6PrefixPast32Bits", {"--network6-prefix", "4294967424"}, bad_v6),
        fatal("MissingBlocMaxIdle", {"-b"}, "Missing argument to --bloc-max-idle"),
        fatal("MissingGreylistDelay", {"-g"}, "Missing argument to --greylist-delay"),
        fatal("MissingHome", {"-h"}, "Missing argument to --home"),
        fatal("MissingNetworkPrefix", {"-/"}, "Missing argument to --network-prefix"),
        fatal("MissingNetwork6Prefix", {"-6"}, "Missing argument to --network6-prefix"),
        fatal("MissingPassMaxIdle", {"-p"}, "Missing argument to --pass-max-idle"),
        fatal("MissingRejectAction", {"-r"}, "Missing argument to --reject-action"),
        fatal("MissingGreylistedAction", {"-G"}, "Missing argument to --greylisted-action"),
        fatal("MissingLongForm", {"--home"}, "Missing argument to --home"),
        fatal("MissingAutoWhitelist", {"--auto-whitelist"},
              "Missing argument to --auto-whitelist"),
        fatal("AutoWhitelistInvalid", {"--auto-whitelist", "five"},
              "Invalid argument to --auto-whitelist.  " + invalid_number),
        fatal("MissingDnsbl", {"--dnsbl"}, "Missing argument to --dnsbl"),
        fatal("DnsblEmpty", {"--dnsbl", ""}, bad_dnsbl),
        fatal("DnsblSingleLabel", {"--dnsbl", "localhost"}, bad_dnsbl),
        fatal("DnsblNumericTopLabel", {"--dnsbl", "127.0.0.1"}, bad_dnsbl),
        fatal("DnsblEmptyLabel", {"--dnsbl", "bl..test"}, bad_dnsbl),
        fatal("DnsblLeadingDot", {"--dnsbl", ".bl.test"}, bad_dnsbl),
        fatal("DnsblSpace", {"--dnsbl", "bl .test"}, bad_dnsbl),
        fatal("DnsblLabelOf64", {"--dnsbl", std::string(64, 'a') + ".test"}, bad_dnsbl),
        fatal("DnsblZoneTooLong", {"--dnsbl", "x" + zone189()}, bad_dnsbl),
        fatal("DnsblEmptyCodes", {"--dnsbl", "bl.test="}, bad_dnsbl),
        fatal("DnsblEmptyCode", {"--dnsbl", "bl.test=127.0.0.2,"}, bad_dnsbl),
        fatal("DnsblCodeNotAnAddress", {"--dnsbl", "bl.test=2"}, bad_dnsbl),
        fatal("DnsblCodeOutside127", {"--dnsbl", "bl.test=10.0.0.2"}, bad_dnsbl),
        fatal("DnsblCodeIsARefusal", {"--dnsbl", "bl.test=127.255.255.254"}, bad_dnsbl),
        fatal("DnsblNineCodes",
              {"--dnsbl", "bl.test=127.0.0.1,127.0.0.2,127.0.0.3,127.0.0.4,127.0.0.5,"
                          "127.0.0.6,127.0.0.7,127.0.0.8,127.0.0.9"},
              bad_dnsbl),
        fatal("DnsblNinthZone", [] {
                  std::vector<std::string> args = eight_zones();
                  args.insert(args.end(), {"--dnsbl", "ninth.test"});
                  return args;
              }(),
              "Too many --dnsbl zones.  At most 8 are allowed"),
        fatal("MissingAfterOtherOptions", {"-d", "-v", "-V", "-g", "1", "-p"},
              "Missing argument to --pass-max-idle"),
        fatal("FatalEndsTheParse", {"-g", "x", "-y", "--help"}, bad_g),
        fatal("UnknownReportedBeforeFatal", {"-y", "-g", "x"}, bad_g, unknown("-y")),
    };
}

class CommandLine : public testing::TestWithParam<cli_case> {};

TEST_P(CommandLine, OutputStatusAndLog)
{
    const cli_case &c = GetParam();
    daemon_result r = run_daemon(c.args);
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(c.out, r.out);
    EXPECT_EQ(c.err, r.err);
    EXPECT_EQ(c.status, r.status);
    EXPECT_EQ(c.signal, r.signal);
    EXPECT_EQ(c.log, r.log_messages());
}

INSTANTIATE_TEST_SUITE_P(Table, CommandLine, testing::ValuesIn(cli_cases()),
                         [](const auto &info) { return info.param.name; });

// -d is the flag that turns debug logging on; its absence shows in a log
// without debug lines even where "-d" stands on the command line as a value.
TEST(CommandLineDebug, DebugFlagTurnsOnDebugLines)
{
    daemon_result with = run_daemon({"--debug"});
    EXPECT_EQ(0, with.status);
    EXPECT_NE(std::vector<std::string>{}, with.messages("debug"));

    daemon_result as_value = run_daemon({"-r", "-d"});
    EXPECT_EQ(0, as_value.status);
    EXPECT_EQ(std::vector<std::string>{}, as_value.messages("debug"));
}

// The program name is argv[0] after its last '/': the syslog ident and the
// name in the usage text.
struct name_case {
    const char *name;
    const char *argv0;
    const char *program;
    std::vector<std::string> args;
};

std::ostream &operator<<(std::ostream &os, const name_case &c) { return os << c.name; }

class ProgramName : public testing::TestWithParam<name_case> {};

TEST_P(ProgramName, IsSyslogIdentAndUsageName)
{
    const name_case &c = GetParam();
    daemon_run run;
    run.argv0 = c.argv0;
    run.args = c.args;
    daemon_result r = run_daemon(run);
    ASSERT_FALSE(r.log.empty());
    EXPECT_EQ(std::string("openlog\t") + c.program + "\t" + std::to_string(LOG_PID) + "\t" +
                  std::to_string(LOG_MAIL),
              r.log.front());
    if (c.args == std::vector<std::string>{"--help"}) {
        EXPECT_EQ(usage(c.program), r.out);
        EXPECT_EQ(0, r.status);
    } else if (c.args == std::vector<std::string>{"-x"}) {
        EXPECT_EQ(unknown("-x") + usage(c.program), r.err);
        EXPECT_EQ(1, r.status);
    } else {
        // A fatal option error is logged under that name too.
        EXPECT_EQ(SIGABRT, r.signal);
        EXPECT_EQ(std::vector<std::string>{"err\tfatal: " + bad_g}, r.log_messages());
    }
}

const name_case name_cases[] = {
    {"AbsolutePath", "/usr/lib/postfix/greyd", "greyd", {"--help"}},
    {"RelativePath", "sbin/policy-grey", "policy-grey", {"-x"}},
    {"PlainName", "greyd", "greyd", {"--help"}},
    {"FatalUnderName", "/opt/mail/bin/greyd", "greyd", {"-g", "x"}},
};

INSTANTIATE_TEST_SUITE_P(Table, ProgramName, testing::ValuesIn(name_cases),
                         [](const auto &info) { return std::string(info.param.name); });

// Accepted numbers, shown through the answer to a new triplet: with the
// reject action "%d" the answer is the greylist delay itself.
struct accepted_case {
    const char *name;
    std::vector<std::string> args;
    std::string answer;
};

std::ostream &operator<<(std::ostream &os, const accepted_case &c) { return os << c.name; }

class AcceptedDelay : public testing::TestWithParam<accepted_case> {};

TEST_P(AcceptedDelay, ShowsInTheAnswer)
{
    const accepted_case &c = GetParam();
    temp_dir home;
    daemon_run run;
    run.args = {"-h", home.path, "-r", "%d", "-G", "passed %d"};
    run.args.insert(run.args.end(), c.args.begin(), c.args.end());
    run.input = rcpt_request("192.0.2.10", "a@example.org", "b@example.net");
    daemon_result r = run_daemon(run);
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("action=" + c.answer + "\n\n", r.out);
    EXPECT_EQ(std::vector<std::string>{}, r.messages("err"));
}

const accepted_case accepted_cases[] = {
    {"Default", {}, "3480"},
    {"EmptyIsZero", {"-g", ""}, "passed 0"},
    {"Zero", {"--greylist-delay", "0"}, "passed 0"},
    {"MinusOneWraps", {"-g", "-1"}, "18446744073709551615"},
    {"LeadingBlanksAndPlus", {"-g", "  +60"}, "60"},
    {"TooLargeSaturates", {"-g", "99999999999999999999"}, "18446744073709551615"},
    {"LaterValueWins", {"-g", "10", "--greylist-delay", "20"}, "20"},
    {"RejectActionDashD", {"-r", "-d"}, "-d"},
};

INSTANTIATE_TEST_SUITE_P(Table, AcceptedDelay, testing::ValuesIn(accepted_cases),
                         [](const auto &info) { return std::string(info.param.name); });

// A version request alone does not end the process: the version line stands
// ahead of the answers.
TEST(VersionLine, ComesBeforeTheAnswers)
{
    daemon_result r = run_daemon({"-V"}, "protocol_name=ESMTP\nprotocol_state=DATA\n\n");
    EXPECT_EQ(version + "action=DUNNO\n\n", r.out);
    EXPECT_EQ(0, r.status);
}

// The settings record as parse_command_line leaves it, in process.

struct settings_case {
    const char *name;
    std::vector<std::string> args;
    void (*expect)(settings_t &);   // changes from the defaults
};

std::ostream &operator<<(std::ostream &os, const settings_case &c) { return os << c.name; }

void add_zone(settings_t &s, const char *name, std::vector<uint32_t> codes = {})
{
    dnsbl_zone &zone = s.dnsbl[s.dnsbl_count++];
    snprintf(zone.name, sizeof zone.name, "%s", name);
    zone.code_count = static_cast<int>(codes.size());
    for (size_t i = 0; i < codes.size(); i++)
        zone.codes[i] = codes[i];
}

std::vector<std::string> eight_zones()
{
    std::vector<std::string> args;
    for (int z = 0; z < 8; z++)
        args.insert(args.end(), {"--dnsbl", "z" + std::to_string(z) + ".test"});
    return args;
}

// A zone of 189 bytes: the longest whose IPv6 query name fits in 253.
std::string zone189()
{
    return std::string(63, 'a') + "." + std::string(63, 'b') + "." + std::string(56, 'c') +
           ".test";
}

class ParsedSettings : public testing::TestWithParam<settings_case> {
protected:
    void SetUp() override { saved_ = settings; }
    void TearDown() override { settings = saved_; }
    settings_t saved_;
};

TEST_P(ParsedSettings, HoldTheCommandLineValues)
{
    const settings_case &c = GetParam();
    const settings_t defaults{};
    settings = defaults;
    settings_t expected = defaults;
    c.expect(expected);

    std::vector<std::string> strings = {"murvane"};
    strings.insert(strings.end(), c.args.begin(), c.args.end());
    std::vector<char *> argv;
    for (auto &s : strings)
        argv.push_back(s.data());
    argv.push_back(nullptr);
    parse_command_line(static_cast<int>(strings.size()), argv.data());

    EXPECT_EQ(expected.greylist_delay, settings.greylist_delay);
    EXPECT_EQ(expected.bloc_max_idle, settings.bloc_max_idle);
    EXPECT_EQ(expected.pass_max_idle, settings.pass_max_idle);
    EXPECT_EQ(expected.network_prefix, settings.network_prefix);
    EXPECT_EQ(expected.network6_prefix, settings.network6_prefix);
    EXPECT_STREQ(expected.reject_action, settings.reject_action);
    EXPECT_STREQ(expected.greylisted_action, settings.greylisted_action);
    EXPECT_STREQ(expected.db_home, settings.db_home);
    EXPECT_EQ(expected.debug, settings.debug);
    EXPECT_EQ(expected.verbose, settings.verbose);
    EXPECT_EQ(expected.dump_triplets, settings.dump_triplets);
    EXPECT_EQ(expected.spf, settings.spf);
    EXPECT_EQ(expected.auto_whitelist, settings.auto_whitelist);
    EXPECT_EQ(expected.dump_clients, settings.dump_clients);
    EXPECT_EQ(expected.selective, settings.selective);
    ASSERT_EQ(expected.dnsbl_count, settings.dnsbl_count);
    for (int z = 0; z < expected.dnsbl_count; z++) {
        EXPECT_STREQ(expected.dnsbl[z].name, settings.dnsbl[z].name) << z;
        ASSERT_EQ(expected.dnsbl[z].code_count, settings.dnsbl[z].code_count) << z;
        for (int i = 0; i < expected.dnsbl[z].code_count; i++)
            EXPECT_EQ(expected.dnsbl[z].codes[i], settings.dnsbl[z].codes[i]) << z << " " << i;
    }
    // Text settings point into the argument vector; they are not copies.
    for (const char *text : {settings.reject_action, settings.greylisted_action,
                             settings.db_home}) {
        bool is_default = text == default_reject_action ||
                          text == default_greylisted_action || text == default_db_home;
        bool is_argument = false;
        for (char *a : argv)
            is_argument = is_argument || a == text;
        EXPECT_TRUE(is_default || is_argument) << text;
    }
}

const settings_case settings_cases[] = {
    {"NoArguments", {}, [](settings_t &) {}},
    {"BlocMaxIdle", {"-b", "600"}, [](settings_t &s) { s.bloc_max_idle = 600; }},
    {"BlocMaxIdleLong", {"--bloc-max-idle", "-1"},
     [](settings_t &s) { s.bloc_max_idle = UINT64_MAX; }},
    {"PassMaxIdle", {"-p", " 86400"}, [](settings_t &s) { s.pass_max_idle = 86400; }},
    {"PassMaxIdleLong", {"--pass-max-idle", "0"}, [](settings_t &s) { s.pass_max_idle = 0; }},
    {"GreylistDelayEmpty", {"-g", ""}, [](settings_t &s) { s.greylist_delay = 0; }},
    {"NetworkPrefixZero", {"-/", "0"}, [](settings_t &s) { s.network_prefix = 0; }},
    {"NetworkPrefix24Long", {"--network-prefix", "+24"},
     [](settings_t &s) { s.network_prefix = 24; }},
    {"NetworkPrefixMinusZero", {"-/", "-0"}, [](settings_t &s) { s.network_prefix = 0; }},
    {"Network6PrefixZero", {"-6", "0"}, [](settings_t &s) { s.network6_prefix = 0; }},
    {"Network6Prefix64Long", {"--network6-prefix", "64"},
     [](settings_t &s) { s.network6_prefix = 64; }},
    {"Home", {"-h", "/srv/murvane"}, [](settings_t &s) { s.db_home = "/srv/murvane"; }},
    {"HomeEmpty", {"--home", ""}, [](settings_t &s) { s.db_home = ""; }},
    {"RejectAction", {"-r", "REJECT %d"}, [](settings_t &s) { s.reject_action = "REJECT %d"; }},
    {"RejectActionDashD", {"--reject-action", "-d"},
     [](settings_t &s) { s.reject_action = "-d"; }},
    {"GreylistedAction", {"-G", "DUNNO"}, [](settings_t &s) { s.greylisted_action = "DUNNO"; }},
    {"GreylistedActionLong", {"--greylisted-action", ""},
     [](settings_t &s) { s.greylisted_action = ""; }},
    {"Debug", {"-d", "--debug"}, [](settings_t &s) { s.debug = 1; }},
    {"VerboseCounts", {"-v", "--verbose", "-v"}, [](settings_t &s) { s.verbose = 3; }},
    {"DumpTriplets", {"--dump-triplets"}, [](settings_t &s) { s.dump_triplets = 1; }},
    {"DumpClients", {"--dump-clients"}, [](settings_t &s) { s.dump_clients = 1; }},
    {"AutoWhitelist", {"--auto-whitelist", "5"}, [](settings_t &s) { s.auto_whitelist = 5; }},
    {"AutoWhitelistZeroIsOff", {"--auto-whitelist", "0"},
     [](settings_t &s) { s.auto_whitelist = 0; }},
    {"RepeatedOptionsLastWins", {"-g", "1", "-g", "2", "-h", "/a", "--home", "/b"},
     [](settings_t &s) {
         s.greylist_delay = 2;
         s.db_home = "/b";
     }},
    {"AllTogether",
     {"-b", "1", "-g", "2", "-p", "3", "-/", "4", "-6", "5", "-r", "R", "-G", "G", "-h", "H",
      "-d", "-v", "--dump-triplets", "--auto-whitelist", "7", "--dump-clients"},
     [](settings_t &s) {
         s.greylist_delay = 2;
         s.bloc_max_idle = 1;
         s.pass_max_idle = 3;
         s.network_prefix = 4;
         s.network6_prefix = 5;
         s.reject_action = "R";
         s.greylisted_action = "G";
         s.db_home = "H";
         s.debug = s.verbose = s.dump_triplets = 1;
         s.auto_whitelist = 7;
         s.dump_clients = 1;
     }},
    {"Spf", {"--spf"}, [](settings_t &s) { s.spf = 1; }},
    {"Selective", {"--selective"}, [](settings_t &s) { s.selective = 1; }},
    {"DnsblZone", {"--dnsbl", "bl.example.org"},
     [](settings_t &s) { add_zone(s, "bl.example.org"); }},
    {"DnsblZoneLowerCasedFinalDotDropped", {"--dnsbl", "BL.Example.ORG."},
     [](settings_t &s) { add_zone(s, "bl.example.org"); }},
    {"DnsblZonesInOrder", {"--dnsbl", "b.test", "--dnsbl", "a.test", "--dnsbl", "b.test"},
     [](settings_t &s) {
         add_zone(s, "b.test");
         add_zone(s, "a.test");
         add_zone(s, "b.test");
     }},
    {"DnsblEightZones", eight_zones(), [](settings_t &s) {
         for (int z = 0; z < 8; z++)
             add_zone(s, ("z" + std::to_string(z) + ".test").c_str());
     }},
    {"DnsblNarrowedToCodes", {"--dnsbl", "bl.test=127.0.0.2,127.0.0.10,127.1.2.3"},
     [](settings_t &s) { add_zone(s, "bl.test", {0x7f000002, 0x7f00000a, 0x7f010203}); }},
    {"DnsblLongestZone", {"--dnsbl", zone189()},
     [](settings_t &s) { add_zone(s, zone189().c_str()); }},
};

INSTANTIATE_TEST_SUITE_P(Table, ParsedSettings, testing::ValuesIn(settings_cases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(OptionIs, MatchesShortOrLongFormExactly)
{
    EXPECT_TRUE(option_is("-g", "-g", "--greylist-delay"));
    EXPECT_TRUE(option_is("--greylist-delay", "-g", "--greylist-delay"));
    EXPECT_FALSE(option_is("-G", "-g", "--greylist-delay"));
    EXPECT_FALSE(option_is("--greylist", "-g", "--greylist-delay"));
    EXPECT_FALSE(option_is("-g ", "-g", "--greylist-delay"));
    EXPECT_FALSE(option_is("", "-g", "--greylist-delay"));
}

}  // namespace
