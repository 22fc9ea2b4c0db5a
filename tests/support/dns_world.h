// SPDX-License-Identifier: BSD-2-Clause
// dns_world.h - a DNS server of the test program's own, in a network and
// mount namespace of its own, for the tests of --spf and --dnsbl.
//
// The test program moves itself into a network and mount namespace (a user
// namespace too when it is not root), brings its loopback up, starts dnsmasq
// on 127.0.0.1 there and bind-mounts a resolv.conf naming it over
// /etc/resolv.conf, for this namespace alone: no query leaves it. The daemons
// it starts, and its own resolver, ask that server. In a chroot, whose "/" is
// no mount point that could be made private, a mount could reach the mounts
// outside; there dnsmasq instead takes the addresses of the nameservers that
// /etc/resolv.conf names, given to the namespace's loopback, and the file is
// left as it is. Two more upstreams on loopback stand for failures: names
// under servfail.test are answered SERVFAIL (from 127.0.0.4), names under
// silent.test never (127.0.0.3). Names under test, in-addr.arpa and ip6.arpa
// that no record gives answer "no such name". Where no namespace can be
// made, the world is not ready and says why: tests skip with that reason.
#ifndef MURVANE_TESTS_DNS_WORLD_H
#define MURVANE_TESTS_DNS_WORLD_H

#include <gtest/gtest.h>
#include <sys/types.h>

#include <string>
#include <vector>

struct dns_world {
    bool ready = false;
    std::string why_not;
    pid_t dnsmasq = -1;
    pid_t servfail = -1;
    int silent = -1;      // bound on 127.0.0.3:53 and never read
    int dnsmasq_log = -1; // dnsmasq's standard error: its query log
    std::string log;      // what has been read of it
    std::string dir;
    bool private_mounts = false;        // "/" made private: resolv.conf is ours
    std::vector<std::string> listen;    // where dnsmasq answers
};
extern dns_world world;

// make_world - enter the namespace and start the server with `records`,
// dnsmasq options as its command line takes them ("--txt-record=NAME,TEXT",
// "--host-record=NAME,ADDRESS", "--local=/zone/"). Once per program.
void make_world(const std::vector<std::string> &records);

// end_world - stop the processes make_world started and undo its mount.
void end_world();

// read_dns_log - what dnsmasq has logged, waiting up to `ms` for `text`.
bool read_dns_log(const std::string &text, int ms);

// drain_dns_log - read whatever dnsmasq has logged by now.
void drain_dns_log();

// count_in - the times `text` occurs in `log`.
size_t count_in(const std::string &log, const std::string &text);

// The world made before a program's first test and ended after its last;
// a program registers one with ::testing::AddGlobalTestEnvironment.
class dns_environment : public ::testing::Environment {
public:
    explicit dns_environment(std::vector<std::string> records) : records_(std::move(records)) {}
    void SetUp() override { make_world(records_); }
    void TearDown() override { end_world(); }

private:
    std::vector<std::string> records_;
};

#endif
