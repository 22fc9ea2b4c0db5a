// SPDX-License-Identifier: BSD-2-Clause
// command_line.cc - the command line and the usage text.
//
// A bad option value is fatal (log_fatal: syslog only, then abort); unknown
// options are collected on standard error and end the process with status 1
// once the whole command line has been read.
#include "daemon/command_line.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/log.h"
#include "common/settings.h"
#include "daemon/lifecycle.h"
#include "greylist/dnsbl.h"

int option_is(const char *argument, const char *short_form, const char *long_form)
{
    return strcmp(argument, short_form) == 0 || strcmp(argument, long_form) == 0;
}

void print_usage(FILE *stream, const char *program_name)
{
    fprintf(stream,
        "Usage: %s [-V] [-v] [-d] [-h <Berkeley DB home directory>] [-g <greylist delay>]\n"
        "    [-b <bloc maximum idle>] [-p <pass maximum idle>] [-r <reject action>]\n"
        "    [-G <greylisted action>] [-/ <network bits>] [--dump-triplets] [--help]\n"
        "\n"
        "    -b <seconds>, --bloc-max-idle <seconds>\n"
        "\n"
        "\tThis determines how many seconds of life are given to a record\n"
        "\tthat is created from a new mail (ip, from, to) triplet.  Note\n"
        "\tthat the window created by this setting for passing mails is\n"
        "\treduced by the amount set for --greylist-delay.  NOTE: See\n"
        "\talso --pass-max-idle.  Defaults to %d.\n"
        "\n"
        "    -d, --debug\n"
        "\n"
        "\tDebug logging\n"
        "\n"
        "    -g <seconds>, --greylist-delay <seconds>\n"
        "\n"
        "\tThis determines how many seconds we will block inbound mail\n"
        "\tthat is from a previously unknown (ip, from, to) triplet.  If\n"
        "\tit is set to zero, incoming mail association will be learned,\n"
        "\tbut no deliveries will be tempfailed.  Use a setting of zero\n"
        "\twith caution, as it will learn spammers as well as legitimate\n"
        "\tsenders.  Defaults to %d.\n"
        "\n"
        "    -h <Berkeley DB home directory>, --home <Berkeley DB home directory>\n"
        "\n"
        "\tLocation of the Berkeley DB environment home location (the\n"
        "\tdefault is /var/db/murvane.\n"
        "\n"
        "    --help\n"
        "\n"
        "        Show usage information.\n"
        "\n"
        "    -p <seconds>, --pass-max-idle <seconds>\n"
        "\n"
        "\tHow much life (in secs) to give to a record we are updating\n"
        "\tfrom an allowed (passed) email.\n"
        "\n"
        "\tThe default is %d, which should be enough to handle\n"
        "\tmessages that may only be sent once a month, or on things like\n"
        "\tthe first monday of the month (which sometimes means 5 weeks).\n"
        "\tPlus, we add a day for a delivery buffer.\n"
        "\n"
        "    -r <reject action>, --reject-action <reject action>\n"
        "\n"
        "        The reject action directive that will be used.  See access(5)\n"
        "        for valid actions.  The string expands %%d to the number of\n"
        "        seconds, %%p to the empty string if %%d expands to 1 or \"s\"\n"
        "        otherwise, %%s to \" \" and %%%% to \"%%\".\n"
        "\n"
        "        The default is \"%s\".\n"
        "\n"
        "    -G <greylisted action>, --greylisted-action <greylisted action>\n"
        "\n"
        "        The action that will be used the first time a triplet passes\n"
        "        greylisting.  Same expansion as for --reject-action.\n"
        "\n"
        "        The default is \"%s\"\n"
        "\n"
        "    -v, --verbose\n"
        "\n"
        "\tVerbose logging\n"
        "\n"
        "    -V, --version\n"
        "\n"
        "        Show version information.\n"
        "\n"
        "    -/ <nbits>, --network-prefix <nbits>\n"
        "\n"
        "\tOnly consider the first <nbits> bits of an IPv4 address.\n"
        "\tDefaults to %lu i.e. the whole adresse is significant.\n"
        "\n"
        "    -6 <nbits>, --network6-prefix <nbits>\n"
        "\n"
        "\tOnly consider the first <nbits> bits of an IPv6 address.\n"
        "\tDefaults to %lu i.e. the whole adresse is significant.\n"
        "\n"
        "    --dump-triplets\n"
        "\n"
        "        Dump the triplets database to stdout.  Mostly for debugging\n"
        "        purposes.\n",
        program_name, static_cast<int>(default_bloc_max_idle),
        static_cast<int>(default_greylist_delay),
        static_cast<int>(default_pass_max_idle), settings.reject_action,
        settings.greylisted_action,
        static_cast<unsigned long>(default_network_prefix),
        static_cast<unsigned long>(default_network6_prefix));
}

static_assert(max_dnsbl_zones == 8, "the --dnsbl message names the limit");

namespace {

// A number as strtoul reads it in base 10 (leading blanks and a sign allowed,
// a minus wrapping modulo 2^64, overflow saturating), which must use up the
// whole argument. An empty argument is 0.
bool parse_number(const char *argument, uint64_t *value)
{
    char *end;
    errno = 0;
    unsigned long long parsed = strtoull(argument, &end, 10);
    if (*end != '\0')
        return false;
    *value = parsed;
    return true;
}

// The value argument of option `index`, or the option's fatal stop when the
// option is the last argument.
const char *option_value(int argc, char **argv, int index, const char *missing)
{
    if (index + 1 >= argc)
        log_fatal(missing);
    return argv[index + 1];
}

uint64_t number_value(int argc, char **argv, int index, const char *missing,
                      const char *invalid, uint64_t maximum)
{
    uint64_t value;
    if (!parse_number(option_value(argc, argv, index, missing), &value) ||
        value > maximum)
        log_fatal(invalid);
    return value;
}

}  // namespace

void parse_command_line(int argc, char **argv)
{
    bool unknown_seen = false, version_requested = false, help_requested = false;
    constexpr uint64_t any = UINT64_MAX;

    for (int i = 1; i < argc; i++) {
        const char *arg = argv[i];
        if (option_is(arg, "-d", "--debug")) {
            settings.debug = 1;
        } else if (option_is(arg, "-v", "--verbose")) {
            settings.verbose++;
        } else if (option_is(arg, "-V", "--version")) {
            version_requested = true;
        } else if (strcmp(arg, "--help") == 0) {
            help_requested = true;
        } else if (option_is(arg, "-b", "--bloc-max-idle")) {
            settings.bloc_max_idle = number_value(argc, argv, i++,
                "Missing argument to --bloc-max-idle",
                "Invalid argument to --bloc-max-idle.  Integer value expected", any);
        } else if (option_is(arg, "-g", "--greylist-delay")) {
            settings.greylist_delay = number_value(argc, argv, i++,
                "Missing argument to --greylist-delay",
                "Invalid argument to --greylist-delay.  Integer value expected", any);
        } else if (option_is(arg, "-h", "--home")) {
            settings.db_home = option_value(argc, argv, i++, "Missing argument to --home");
        } else if (option_is(arg, "-/", "--network-prefix")) {
            settings.network_prefix = static_cast<uint32_t>(number_value(argc, argv, i++,
                "Missing argument to --network-prefix",
                "Invalid argument to --network-prefix.  Integer value between 0 and 32 expected",
                32));
        } else if (option_is(arg, "-6", "--network6-prefix")) {
            settings.network6_prefix = static_cast<uint32_t>(number_value(argc, argv, i++,
                "Missing argument to --network6-prefix",
                "Invalid argument to --network6-prefix.  Integer value between 0 and 128 expected",
                128));
        } else if (option_is(arg, "-p", "--pass-max-idle")) {
            settings.pass_max_idle = number_value(argc, argv, i++,
                "Missing argument to --pass-max-idle",
                "Invalid argument to --pass-max-idle.  Integer value expected", any);
        } else if (option_is(arg, "-r", "--reject-action")) {
            settings.reject_action = option_value(argc, argv, i++,
                "Missing argument to --reject-action");
        } else if (option_is(arg, "-G", "--greylisted-action")) {
            settings.greylisted_action = option_value(argc, argv, i++,
                "Missing argument to --greylisted-action");
        } else if (strcmp(arg, "--dump-triplets") == 0) {
            settings.dump_triplets = 1;
        } else if (strcmp(arg, "--spf") == 0) {
            settings.spf = 1;
        } else if (strcmp(arg, "--auto-whitelist") == 0) {
            settings.auto_whitelist = number_value(argc, argv, i++,
                "Missing argument to --auto-whitelist",
                "Invalid argument to --auto-whitelist.  Integer value expected", any);
        } else if (strcmp(arg, "--dnsbl") == 0) {
            const char *zone = option_value(argc, argv, i++, "Missing argument to --dnsbl");
            if (settings.dnsbl_count == max_dnsbl_zones)
                log_fatal("Too many --dnsbl zones.  At most 8 are allowed");
            if (!dnsbl_parse_zone(zone, &settings.dnsbl[settings.dnsbl_count]))
                log_fatal("Invalid argument to --dnsbl.  A zone name expected, optionally "
                          "with =answer,... of 127.0.0.0/8");
            settings.dnsbl_count++;
        } else if (strcmp(arg, "--dump-clients") == 0) {
            settings.dump_clients = 1;
        } else if (strcmp(arg, "--selective") == 0) {
            settings.selective = 1;
        } else if (strcmp(arg, "--log-decisions") == 0) {
            settings.log_decisions = 1;
        } else if (strcmp(arg, "--learn") == 0) {
            settings.learn = 1;
        } else if (strcmp(arg, "--stats") == 0) {
            settings.stats = 1;
        } else if (strcmp(arg, "--replies") == 0) {
            settings.replies = 1;
        } else if (strcmp(arg, "--dump-replies") == 0) {
            settings.dump_replies = 1;
        } else if (strcmp(arg, "--listen") == 0) {
            settings.listen = option_value(argc, argv, i++, "Missing argument to --listen");
        } else if (strcmp(arg, "--socket-mode") == 0) {
            const char *mode = option_value(argc, argv, i++, "Missing argument to --socket-mode");
            char *end;
            errno = 0;
            unsigned long value = strtoul(mode, &end, 8);
            if (*mode == '\0' || *end != '\0' || errno != 0 || value > 0777)
                log_fatal("Invalid argument to --socket-mode.  An octal mode up to 0777 expected");
            settings.socket_mode = static_cast<unsigned>(value);
        } else if (strcmp(arg, "--socket-group") == 0) {
            settings.socket_group = option_value(argc, argv, i++,
                "Missing argument to --socket-group");
        } else if (strcmp(arg, "--idle-limit") == 0) {
            settings.idle_limit = number_value(argc, argv, i++,
                "Missing argument to --idle-limit",
                "Invalid argument to --idle-limit.  Integer value between 1 and 86400 expected",
                86400);
            if (settings.idle_limit == 0)
                log_fatal("Invalid argument to --idle-limit.  Integer value between 1 and "
                          "86400 expected");
        } else if (strcmp(arg, "--sweep-interval") == 0) {
            settings.sweep_interval = number_value(argc, argv, i++,
                "Missing argument to --sweep-interval",
                "Invalid argument to --sweep-interval.  Integer value between 1 and 86400 "
                "expected", 86400);
            if (settings.sweep_interval == 0)
                log_fatal("Invalid argument to --sweep-interval.  Integer value between 1 and "
                          "86400 expected");
        } else {
            fprintf(stderr, "Unknown option \"%s\"\n", arg);
            unknown_seen = true;
        }
    }

    if (unknown_seen) {
        print_usage(stderr, program_name);
        exit(1);
    }
    // A blocklist is one of the signs of --selective and nothing else: alone
    // it would look like blocking that never happens.
    if (settings.dnsbl_count > 0 && !settings.selective)
        log_fatal("--dnsbl is used only with --selective");
    // The listings and statistics read the home and end; a server serves.
    if (settings.listen != nullptr &&
        (settings.dump_triplets || settings.dump_clients || settings.dump_replies ||
         settings.stats))
        log_fatal("--listen cannot be combined with --dump-triplets, --dump-clients, "
                  "--dump-replies or --stats");
    if (version_requested)
        puts(version_line);
    if (help_requested) {
        print_usage(stdout, program_name);
        exit(0);
    }
}
