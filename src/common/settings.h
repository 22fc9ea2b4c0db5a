// SPDX-License-Identifier: BSD-2-Clause
// settings.h - the daemon's settings record, read from its command line alone.
//
// The record holds the built-in defaults from process start; the command line
// (daemon/command_line.h) changes it once during start-up and nothing writes it
// afterwards. Text
// settings point at their constant default or at the argument vector and are
// never copied or freed; the --dnsbl zones, checked and lower-cased, are
// copies held in the record.
#ifndef MURVANE_COMMON_SETTINGS_H
#define MURVANE_COMMON_SETTINGS_H

#include <cstdint>

constexpr uint64_t default_greylist_delay = 3480;
constexpr uint64_t default_bloc_max_idle = 18000;
constexpr uint64_t default_pass_max_idle = 3110400;
constexpr uint32_t default_network_prefix = 32;
constexpr uint32_t default_network6_prefix = 128;
extern const char default_reject_action[];
extern const char default_greylisted_action[];
extern const char default_db_home[];
extern const char version_line[];

// --dnsbl: the zones a client's address is looked up in, in command-line
// order, at most max_dnsbl_zones of them.
constexpr int max_dnsbl_zones = 8;
// Longest zone: the IPv6 query name, 32 nibbles and their dots (64 bytes)
// before it, stays within DNS's 253.
constexpr int max_dnsbl_zone = 189;
// Answer codes a zone may be narrowed to (--dnsbl zone=127.0.0.2,127.0.0.4).
constexpr int max_dnsbl_codes = 8;

struct dnsbl_zone {
    char name[max_dnsbl_zone + 1];     // lower case, no final dot
    int code_count;                    // 0: any answer of 127.0.0.0/8 lists
    uint32_t codes[max_dnsbl_codes];   // the answers that list, host order
};

// --listen: the resident server's defaults.
constexpr uint64_t default_idle_limit = 600;      // twice Postfix's own idle limit
constexpr uint64_t default_sweep_interval = 60;
constexpr unsigned default_socket_mode = 0660;

// Each field starts at its built-in default, so that a record made with
// settings_t{} holds the defaults whatever fields are added later.
struct settings_t {
    uint64_t greylist_delay = default_greylist_delay;    // seconds a new triplet is deferred
    uint64_t bloc_max_idle = default_bloc_max_idle;      // life of a never-passed triplet, from create_time
    uint64_t pass_max_idle = default_pass_max_idle;      // life of a passed triplet, from access_time
    uint32_t network_prefix = default_network_prefix;    // significant leading bits of IPv4 addresses
    uint32_t network6_prefix = default_network6_prefix;  // significant leading bits of IPv6 addresses
    const char *reject_action = default_reject_action;   // answer template while a triplet is deferred
    const char *greylisted_action = default_greylisted_action;  // answer template for a first pass
    const char *db_home = default_db_home;  // home directory of the environment
    int debug = 0;                          // 1: debug messages on
    int verbose = 0;                        // counter; above 0: verbose messages on
    int dump_triplets = 0;                  // 1: list the database instead of serving
    int spf = 0;                            // 1: key SPF-authorised clients on their domain
    uint64_t auto_whitelist = 0;            // passed triplets that whitelist a client; 0: off
    int dump_clients = 0;                   // 1: list the proven clients instead of serving
    int selective = 0;                      // 1: greylist only clients that show a sign
    int dnsbl_count = 0;                    // zones given with --dnsbl; 0: none
    dnsbl_zone dnsbl[max_dnsbl_zones] = {};  // the first dnsbl_count are used
    int log_decisions = 0;                  // 1: one LOG_INFO line per decided request
    int learn = 0;                          // 1: record as ever, but always answer DUNNO
    int stats = 0;                          // 1: print the home's statistics instead of serving
    int replies = 0;                        // 1: learn users' pairs, let their replies through
    int dump_replies = 0;                   // 1: list the learned reply pairs instead of serving
    const char *listen = nullptr;           // the resident server's address; null: serve stdin
    unsigned socket_mode = default_socket_mode;  // the unix socket's mode
    const char *socket_group = nullptr;     // the unix socket's group; null: the process's
    uint64_t idle_limit = default_idle_limit;          // seconds a connection may send nothing
    uint64_t sweep_interval = default_sweep_interval;  // seconds between the server's sweeps
};

extern settings_t settings;

#endif
