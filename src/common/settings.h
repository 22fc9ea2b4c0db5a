// SPDX-License-Identifier: BSD-2-Clause
// settings.h - the daemon's settings record, read from its command line alone.
//
// The record holds the built-in defaults from process start; the command line
// (daemon/command_line.h) changes it once during start-up and nothing writes it
// afterwards. Text
// settings point at their constant default or at the argument vector and are
// never copied or freed.
#ifndef MURVANE_COMMON_SETTINGS_H
#define MURVANE_COMMON_SETTINGS_H

#include <cstdint>

struct settings_t {
    uint64_t greylist_delay;        // seconds a new triplet is deferred
    uint64_t bloc_max_idle;         // life of a never-passed triplet, from create_time
    uint64_t pass_max_idle;         // life of a passed triplet, from access_time
    uint32_t network_prefix;        // significant leading bits of IPv4 addresses
    uint32_t network6_prefix;       // significant leading bits of IPv6 addresses
    const char *reject_action;      // answer template while a triplet is deferred
    const char *greylisted_action;  // answer template for a triplet's first pass
    const char *db_home;            // home directory of the environment
    int debug;                      // 1: debug messages on
    int verbose;                    // counter; above 0: verbose messages on
    int dump_triplets;              // 1: list the database instead of serving
    int spf;                        // 1: key SPF-authorised clients on their domain
    uint64_t auto_whitelist;        // passed triplets that whitelist a client; 0: off
    int dump_clients;               // 1: list the proven clients instead of serving
    int replies;                    // 1: learn users' pairs, let their replies through
    int dump_replies;               // 1: list the learned reply pairs instead of serving
};

extern settings_t settings;

constexpr uint64_t default_greylist_delay = 3480;
constexpr uint64_t default_bloc_max_idle = 18000;
constexpr uint64_t default_pass_max_idle = 3110400;
constexpr uint32_t default_network_prefix = 32;
constexpr uint32_t default_network6_prefix = 128;
extern const char default_reject_action[];
extern const char default_greylisted_action[];
extern const char default_db_home[];
extern const char version_line[];

#endif
