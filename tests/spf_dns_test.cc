// SPDX-License-Identifier: BSD-2-Clause
// spf_dns_test.cc - --spf through the real resolver: the daemon asks a DNS
// server (dnsmasq) that serves the SPF records of test domains.
//
// The test program moves itself into a network and mount namespace of its
// own (a user namespace too when it is not root), brings its loopback up,
// starts dnsmasq on 127.0.0.1 there and bind-mounts a resolv.conf naming it
// over /etc/resolv.conf, for this namespace alone: no query leaves it. In a
// chroot, whose "/" is no mount point that could be made private, a mount
// could reach the mounts outside; there dnsmasq instead takes the addresses
// of the nameservers that /etc/resolv.conf names, given to the namespace's
// loopback, and the file is left as it is. Two
// more upstreams on loopback stand for failures: one that answers SERVFAIL
// and one that never answers. The clients are in 192.0.2.0/24: the library
// lets any loopback client pass, which would prove nothing. Where no
// namespace can be made, the tests skip and say so.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "fixture_db.h"
#include "frozen_clock.h"
#include "run_daemon.h"

namespace {

// 2026-01-01 00:00:00 UTC, the first request of every scenario.
constexpr time_t T = 1767225600;
constexpr time_t delay = 3480;  // the default greylist delay

const std::string recipient = "bob@example.net";

// Records as dnsmasq's --txt-record takes them on its command line: name,
// then one or more strings of at most 255 bytes apart by commas, which the
// TXT record carries as they are and the reader joins.
std::vector<std::string> zone()
{
    std::vector<std::string> records = {
        "pool.test,v=spf1 ip4:192.0.2.2 ip4:192.0.2.3 -all",
        "soft.test,v=spf1 ip4:192.0.2.2 ~all",
        "neutral.test,v=spf1 ip4:192.0.2.2 ?all",
        "other.test,site-verification=abc",
        "malformed.test,v=spf1 ip4:192.0.2.999 -all",
        "helo.test,v=spf1 ip4:192.0.2.9 -all",
        "loop-a.test,v=spf1 include:loop-b.test ip4:192.0.2.2 -all",
        "loop-b.test,v=spf1 include:loop-a.test -all",
        "macro.test,v=spf1 exists:%{ir}.%{l1r+-}.%{d4}.%{h}.%{v}._spf.%{d} "
        "exists:%{i}.%{s}.%{o}.%{p}.x.test ip4:192.0.2.2 -all",
        "void.test,v=spf1 a:gone1.void.test a:gone2.void.test a:gone3.void.test "
        "ip4:192.0.2.2 -all",
        "servfail-include.test,v=spf1 include:servfail.test ip4:192.0.2.2 -all",
    };
    // Eleven terms that query DNS before the one that would match.
    std::string many = "many.test,v=spf1";
    for (int i = 0; i < 11; i++)
        many += " a:h" + std::to_string(i) + ".many.test";
    records.push_back(many + " ip4:192.0.2.2 -all");
    // Forty strings of 250 bytes: a record of 10 000 bytes, answered over TCP.
    std::string huge = "huge.test,v=spf1";
    for (int s = 0; s < 40; s++) {
        std::string piece;
        while (piece.size() < 235)
            piece += " ip4:198.51.100." + std::to_string(piece.size() % 250);
        huge += piece + ",";
    }
    records.push_back(huge + " ip4:192.0.2.2 -all");
    return records;
}

// The namespace, its DNS server and the two failing upstreams, made once per
// test program; `why_not` says why not when they could not be.
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
dns_world world;

bool write_file(const std::string &path, const std::string &text)
{
    std::ofstream out(path);
    out << text;
    return static_cast<bool>(out.flush());
}

// enter_namespace - a network and mount namespace of our own; as a user who
// is not root, inside a user namespace mapping that user to root.
bool enter_namespace()
{
    if (getuid() == 0) {
        if (unshare(CLONE_NEWNET | CLONE_NEWNS) != 0) {
            world.why_not = std::string("unshare: ") + strerror(errno);
            return false;
        }
    } else {
        uid_t uid = getuid();
        gid_t gid = getgid();
        if (unshare(CLONE_NEWUSER | CLONE_NEWNET | CLONE_NEWNS) != 0) {
            world.why_not = std::string("not root, and no user namespace: ") + strerror(errno);
            return false;
        }
        if (!write_file("/proc/self/setgroups", "deny") ||
            !write_file("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
            !write_file("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1")) {
            world.why_not = "cannot map the user into its namespace";
            return false;
        }
    }
    // Mounts made here stay here. In a chroot "/" is no mount point (EINVAL):
    // no mount is made there at all.
    if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0) {
        world.private_mounts = true;
    } else if (errno != EINVAL) {
        world.why_not = std::string("mount MS_PRIVATE: ") + strerror(errno);
        return false;
    }
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct ifreq request {};
    strcpy(request.ifr_name, "lo");
    bool up = s >= 0 && ioctl(s, SIOCGIFFLAGS, &request) == 0 &&
              (request.ifr_flags |= IFF_UP, ioctl(s, SIOCSIFFLAGS, &request) == 0);
    if (s >= 0)
        close(s);
    if (!up) {
        world.why_not = std::string("loopback up: ") + strerror(errno);
        return false;
    }
    return true;
}

// add_loopback_address - `address` as a /32 alias of this namespace's lo.
bool add_loopback_address(const std::string &address, int n)
{
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return false;
    struct ifreq request {};
    snprintf(request.ifr_name, sizeof request.ifr_name, "lo:%d", n);
    auto *at = reinterpret_cast<sockaddr_in *>(&request.ifr_addr);
    at->sin_family = AF_INET;
    bool ok = inet_pton(AF_INET, address.c_str(), &at->sin_addr) == 1 &&
              ioctl(s, SIOCSIFADDR, &request) == 0;
    inet_pton(AF_INET, "255.255.255.255", &at->sin_addr);
    ok = ok && ioctl(s, SIOCSIFNETMASK, &request) == 0;
    close(s);
    return ok;
}

// take_nameservers - where the resolver will ask, from /etc/resolv.conf:
// its IPv4 nameservers (127.0.0.1 when it names none, as the resolver
// does), each given to lo. False, with the reason, for what cannot be.
bool take_nameservers()
{
    std::ifstream conf("/etc/resolv.conf");
    std::string line;
    while (std::getline(conf, line)) {
        char word[16], address[64];
        if (sscanf(line.c_str(), " %15s %63s", word, address) != 2 ||
            strcmp(word, "nameserver") != 0)
            continue;
        struct in_addr parsed;
        if (inet_pton(AF_INET, address, &parsed) != 1) {
            world.why_not = std::string("/etc/resolv.conf names ") + address +
                            ", not an IPv4 address the test can take";
            return false;
        }
        if (strcmp(address, "127.0.0.3") == 0 || strcmp(address, "127.0.0.4") == 0) {
            world.why_not = std::string("/etc/resolv.conf names ") + address +
                            ", where the test's failing upstreams answer";
            return false;
        }
        world.listen.push_back(address);
    }
    if (world.listen.empty())
        world.listen.push_back("127.0.0.1");
    int n = 0;
    for (const std::string &address : world.listen) {
        if (address != "127.0.0.1" && !add_loopback_address(address, ++n)) {
            world.why_not = "cannot give " + address + " to lo: " + strerror(errno);
            return false;
        }
    }
    return true;
}

int udp_socket(const char *address)
{
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in at {};
    at.sin_family = AF_INET;
    at.sin_port = htons(53);
    inet_pton(AF_INET, address, &at.sin_addr);
    if (s < 0 || bind(s, reinterpret_cast<sockaddr *>(&at), sizeof at) != 0) {
        if (s >= 0)
            close(s);
        return -1;
    }
    return s;
}

// start_servfail - a child that answers every query on 127.0.0.4 with
// SERVFAIL, until it is killed.
pid_t start_servfail()
{
    int s = udp_socket("127.0.0.4");
    if (s < 0)
        return -1;
    pid_t pid = fork();
    if (pid != 0) {
        close(s);
        return pid;
    }
    for (;;) {
        unsigned char packet[512];
        struct sockaddr_in from {};
        socklen_t length = sizeof from;
        ssize_t n = recvfrom(s, packet, sizeof packet, 0,
                             reinterpret_cast<sockaddr *>(&from), &length);
        if (n < 12)
            continue;
        packet[2] = static_cast<unsigned char>(0x80 | (packet[2] & 0x79));  // QR, RD kept
        packet[3] = 0x82;  // RA, RCODE 2: server failure
        sendto(s, packet, static_cast<size_t>(n), 0, reinterpret_cast<sockaddr *>(&from),
               length);
    }
}

// read_dns_log - what dnsmasq has logged, waiting up to `ms` for `text`.
bool read_dns_log(const std::string &text, int ms)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (world.log.find(text) == std::string::npos) {
        int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        end - std::chrono::steady_clock::now())
                                        .count());
        if (left <= 0)
            return false;
        struct pollfd p = {world.dnsmasq_log, POLLIN, 0};
        if (poll(&p, 1, left) <= 0)
            continue;
        char buffer[4096];
        ssize_t n = read(world.dnsmasq_log, buffer, sizeof buffer);
        if (n <= 0)
            return false;
        world.log.append(buffer, static_cast<size_t>(n));
    }
    return true;
}

// drain_dns_log - read whatever dnsmasq has logged by now.
void drain_dns_log()
{
    read_dns_log("\x01never logged\x01", 200);
}

void make_world()
{
    if (access("/usr/sbin/dnsmasq", X_OK) != 0) {
        world.why_not = "dnsmasq is not installed (scripts/test.sh installs dnsmasq-base)";
        return;
    }
    if (!enter_namespace())
        return;
    char pattern[] = "/tmp/murvane-spf-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        world.why_not = "mkdtemp failed";
        return;
    }
    world.dir = pattern;
    if (!world.private_mounts) {
        if (!take_nameservers())
            return;
    } else if (!write_file(world.dir + "/resolv.conf", "nameserver 127.0.0.1\n") ||
               mount((world.dir + "/resolv.conf").c_str(), "/etc/resolv.conf", nullptr,
                     MS_BIND, nullptr) != 0) {
        world.why_not = std::string("bind-mount of resolv.conf: ") + strerror(errno);
        return;
    } else {
        world.listen.push_back("127.0.0.1");
    }
    world.silent = udp_socket("127.0.0.3");
    world.servfail = start_servfail();
    if (world.silent < 0 || world.servfail < 0) {
        world.why_not = "cannot bind the failing upstreams on loopback";
        return;
    }

    std::vector<std::string> args = {
        "dnsmasq", "--keep-in-foreground", "--conf-file=/dev/null", "--no-resolv",
        "--no-hosts", "--bind-interfaces", "--user=root",
        "--group=root", "--pid-file=", "--log-queries", "--log-facility=-",
        "--server=/servfail.test/127.0.0.4", "--server=/silent.test/127.0.0.3",
        // Names of the zone that are not listed answer "no such name" here,
        // instead of being forwarded nowhere.
        "--local=/test/", "--local=/in-addr.arpa/", "--local=/ip6.arpa/"};
    for (const std::string &address : world.listen)
        args.push_back("--listen-address=" + address);
    for (const std::string &record : zone())
        args.push_back("--txt-record=" + record);
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0) {
        world.why_not = "pipe failed";
        return;
    }
    pid_t pid = fork();
    if (pid == 0) {
        dup2(pipe_fds[1], 2);
        std::vector<char *> argv;
        for (std::string &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        execv("/usr/sbin/dnsmasq", argv.data());
        _exit(127);
    }
    close(pipe_fds[1]);
    world.dnsmasq = pid;
    world.dnsmasq_log = pipe_fds[0];
    if (pid < 0 || !read_dns_log("started, version", 20000)) {
        world.why_not = "dnsmasq did not start: " + world.log;
        return;
    }
    world.ready = true;
}

void end_world()
{
    // Only the processes this program started, by their ids.
    for (pid_t pid : {world.dnsmasq, world.servfail}) {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
    }
    if (!world.dir.empty()) {
        if (world.private_mounts) {
            umount("/etc/resolv.conf");
            unlink((world.dir + "/resolv.conf").c_str());
        }
        rmdir(world.dir.c_str());
    }
}

// A policy request with the HELO name the mail server passes along.
std::string request(const std::string &client, const std::string &sender,
                    const std::string &helo, const std::string &to = recipient)
{
    return "request=smtpd_access_policy\nprotocol_state=RCPT\nprotocol_name=ESMTP\n"
           "client_address=" + client + "\nclient_name=unknown\nhelo_name=" + helo +
           "\nsender=" + sender + "\nrecipient=" + to + "\nqueue_id=\n\n";
}

// The world is made once per program, before its first test, and ended
// after its last: both test suites below share it.
class DnsEnvironment : public ::testing::Environment {
public:
    void SetUp() override { make_world(); }
    void TearDown() override { end_world(); }
};
::testing::Environment *const dns_environment =
    ::testing::AddGlobalTestEnvironment(new DnsEnvironment);

class SpfDns : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!world.ready)
            GTEST_SKIP() << "no DNS namespace for the --spf tests: " << world.why_not;
        ASSERT_NE("", faketime_library()) << "libfaketime is missing: scripts/test.sh installs it";
    }

    // run_at - one daemon with --spf -d on the home, its clock frozen at `now`.
    daemon_result run_at(time_t now, const std::string &input, bool spf = true,
                         const std::vector<std::string> &extra = {})
    {
        daemon_run run;
        run.args = {"-h", home.path, "-d"};
        if (spf)
            run.args.push_back("--spf");
        run.args.insert(run.args.end(), extra.begin(), extra.end());
        run.input = input;
        run.env = frozen_clock(now);
        auto start = std::chrono::steady_clock::now();
        daemon_result r = run_daemon(run);
        last_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
                           .count();
        EXPECT_EQ(0, r.status) << r.err;
        EXPECT_TRUE(r.messages("err").empty()) << r.messages("err").front();
        return r;
    }

    // The address parts of the stored keys, in key order.
    std::vector<std::string> address_parts()
    {
        daemon_result r = run_daemon({"-h", home.path, "--dump-triplets"});
        std::vector<std::string> parts;
        size_t at = 0;
        while (at < r.out.size()) {
            size_t end = r.out.find('\n', at);
            std::string line = r.out.substr(at, end - at);
            parts.push_back(line.substr(0, line.find('\t')));
            at = end + 1;
        }
        return parts;
    }

    temp_dir home;
    double last_seconds = 0;
};

bool deferred(const daemon_result &r)
{
    return r.out.rfind("action=DEFER_IF_PERMIT ", 0) == 0;
}

bool first_pass(const daemon_result &r)
{
    return r.out.rfind("action=PREPEND X-Murvane: Greylisted", 0) == 0;
}

// A retry after the delay from another address of the pool finds the triplet
// the first attempt started; without --spf it is a new triplet.
TEST_F(SpfDns, RetryFromAnotherAuthorisedAddressPasses)
{
    EXPECT_TRUE(deferred(run_at(T, request("192.0.2.2", "alice@pool.test", "mx1.pool.test"))));
    daemon_result retry =
        run_at(T + delay + 1, request("192.0.2.3", "alice@pool.test", "mx2.pool.test"));
    EXPECT_TRUE(first_pass(retry)) << retry.out;
    EXPECT_TRUE(retry.logged("debug", "SPF pass for client 192.0.2.3 domain pool.test: "
                                      "key address spf:pool.test"));
    EXPECT_TRUE(retry.logged("debug", "triplet effective IP: spf:pool.test"));
    EXPECT_EQ(std::vector<std::string>{"spf:pool.test"}, address_parts());
}

TEST_F(SpfDns, WithoutTheOptionTheRetryWaitsAgain)
{
    run_at(T, request("192.0.2.2", "alice@pool.test", "mx1.pool.test"), false);
    daemon_result retry =
        run_at(T + delay + 1, request("192.0.2.3", "alice@pool.test", "mx2.pool.test"), false);
    EXPECT_TRUE(deferred(retry)) << retry.out;
    EXPECT_EQ((std::vector<std::string>{"192.0.2.2", "192.0.2.3"}), address_parts());
}

// An address the domain does not authorise keeps its own key: its retry
// after the delay is a new triplet, deferred again.
TEST_F(SpfDns, RetryFromAnUnauthorisedAddressIsANewTriplet)
{
    run_at(T, request("192.0.2.2", "alice@pool.test", "mx1.pool.test"));
    daemon_result retry =
        run_at(T + delay + 1, request("192.0.2.7", "alice@pool.test", "mx.other.test"));
    EXPECT_TRUE(deferred(retry)) << retry.out;
    EXPECT_TRUE(retry.logged("debug", "SPF fail for client 192.0.2.7 domain pool.test: "
                                      "key address client"));
    EXPECT_EQ((std::vector<std::string>{"192.0.2.7", "spf:pool.test"}), address_parts());
}

// The null sender is checked for the HELO name, and keyed on it.
TEST_F(SpfDns, NullSenderUsesTheHeloName)
{
    daemon_result r = run_at(T, request("192.0.2.9", "", "helo.test"));
    EXPECT_TRUE(deferred(r));
    EXPECT_TRUE(r.logged("debug", "SPF pass for client 192.0.2.9 domain helo.test: "
                                  "key address spf:helo.test"));
    daemon_result dump = run_daemon({"-h", home.path, "--dump-triplets"});
    EXPECT_EQ(0u, dump.out.rfind("spf:helo.test\t\t" + recipient + "\t", 0)) << dump.out;
}

// One evaluation serves every recipient of a message: the domain's record
// is asked for once.
TEST_F(SpfDns, OneEvaluationPerMessage)
{
    drain_dns_log();
    size_t before = world.log.size();
    daemon_result r = run_at(T, request("192.0.2.2", "carol@pool.test", "mx1.pool.test", "a@x.test") +
                                    request("192.0.2.2", "carol@pool.test", "mx1.pool.test", "b@x.test") +
                                    request("192.0.2.2", "carol@pool.test", "mx1.pool.test", "c@x.test"));
    size_t answers = 0;
    for (size_t at = r.out.find("action=DEFER_IF_PERMIT "); at != std::string::npos;
         at = r.out.find("action=DEFER_IF_PERMIT ", at + 1))
        answers++;
    EXPECT_EQ(3u, answers) << r.out;
    EXPECT_EQ(3u, address_parts().size());
    drain_dns_log();
    std::string queries = world.log.substr(before);
    size_t count = 0;
    for (size_t at = queries.find("query[TXT] pool.test "); at != std::string::npos;
         at = queries.find("query[TXT] pool.test ", at + 1))
        count++;
    EXPECT_EQ(1u, count) << queries;
    const std::string reused = "SPF pass (same message) for client 192.0.2.2 domain pool.test: "
                               "key address spf:pool.test";
    size_t reuses = 0;
    for (const std::string &line : r.messages("debug"))
        reuses += line == reused;
    EXPECT_EQ(2u, reuses) << ::testing::PrintToString(r.messages("debug"));
}

// The messages of one domain from several clients, in one daemon: each is
// evaluated for its own client, and the domain's record is asked for once.
// Between them a domain not asked before, evaluated in the worker after the
// kept answers fell short, and again from them.
TEST_F(SpfDns, TheClientsOfOneDomainShareItsRecord)
{
    drain_dns_log();
    size_t before = world.log.size();
    daemon_result r = run_at(T, request("192.0.2.2", "a@pool.test", "mx1.pool.test") +
                                    request("192.0.2.3", "b@pool.test", "mx2.pool.test") +
                                    request("192.0.2.3", "b@soft.test", "mx2.soft.test") +
                                    request("192.0.2.4", "c@pool.test", "mx3.pool.test") +
                                    request("192.0.2.2", "a@soft.test", "mx1.soft.test"));
    for (const char *line : {
             "SPF pass for client 192.0.2.2 domain pool.test: key address spf:pool.test",
             "SPF pass for client 192.0.2.3 domain pool.test: key address spf:pool.test",
             "SPF softfail for client 192.0.2.3 domain soft.test: key address client",
             "SPF fail for client 192.0.2.4 domain pool.test: key address client",
             "SPF pass for client 192.0.2.2 domain soft.test: key address spf:soft.test"})
        EXPECT_TRUE(r.logged("debug", line))
            << line << "\n" << ::testing::PrintToString(r.messages("debug"));
    std::vector<std::string> parts = address_parts();
    std::sort(parts.begin(), parts.end());
    EXPECT_EQ((std::vector<std::string>{"192.0.2.3", "192.0.2.4", "spf:pool.test",
                                        "spf:pool.test", "spf:soft.test"}),
              parts);
    drain_dns_log();
    std::string queries = world.log.substr(before);
    for (const char *name : {"query[TXT] pool.test ", "query[TXT] soft.test "}) {
        size_t count = 0;
        for (size_t at = queries.find(name); at != std::string::npos;
             at = queries.find(name, at + 1))
            count++;
        EXPECT_EQ(1u, count) << name << "\n" << queries;
    }
}

// While an evaluation that timed out still waits on the server that never
// answers, the next message of the same daemon does not wait behind it: it
// goes on with the address key at once, so two messages take one bound.
TEST_F(SpfDns, NoSecondWaitBehindATimedOutEvaluation)
{
    daemon_result r = run_at(T, request("192.0.2.2", "a@silent.test", "mx.silent.test") +
                                    request("192.0.2.3", "b@pool.test", "mx2.pool.test"));
    EXPECT_TRUE(r.logged("debug", "SPF temperror (time-out) for client 192.0.2.2 domain "
                                  "silent.test: key address client"));
    EXPECT_TRUE(r.logged("debug", "SPF temperror (an evaluation that timed out still runs) "
                                  "for client 192.0.2.3 domain pool.test: key address client"))
        << ::testing::PrintToString(r.messages("debug"));
    EXPECT_EQ((std::vector<std::string>{"192.0.2.2", "192.0.2.3"}), address_parts());
    EXPECT_LT(last_seconds, 9.0);
}

struct kept_case {
    const char *name;
    const char *client, *sender;
    const char *result;  // as the debug line gives it
};

void PrintTo(const kept_case &c, std::ostream *os) { *os << c.name; }

class SpfDnsKeepsAddress : public SpfDns, public ::testing::WithParamInterface<kept_case> {};

// Every result but pass keeps the address key, and the request is answered
// within the evaluation's bound (5 s; the resolver alone would wait 10 s for
// the server that never answers).
TEST_P(SpfDnsKeepsAddress, AnsweredOnTheAddressKey)
{
    const kept_case &c = GetParam();
    daemon_result r = run_at(T, request(c.client, c.sender, "mx.sender.test"));
    EXPECT_TRUE(deferred(r)) << r.out;
    std::string domain = std::string(c.sender).substr(std::string(c.sender).find('@') + 1);
    EXPECT_TRUE(r.logged("debug", std::string("SPF ") + c.result + " for client " + c.client +
                                      " domain " + domain + ": key address client"))
        << ::testing::PrintToString(r.messages("debug"));
    EXPECT_EQ(std::vector<std::string>{c.client}, address_parts());
    EXPECT_LT(last_seconds, 9.0);
}

const kept_case kept_cases[] = {
    {"softfail", "192.0.2.7", "a@soft.test", "softfail"},
    {"neutral", "192.0.2.7", "a@neutral.test", "neutral"},
    {"fail", "192.0.2.7", "a@pool.test", "fail"},
    {"none_no_spf_record", "192.0.2.2", "a@other.test", "none"},
    {"none_no_such_domain", "192.0.2.2", "a@nowhere.test", "none"},
    {"malformed", "192.0.2.2", "a@malformed.test", "permerror"},
    {"servfail", "192.0.2.2", "a@servfail.test", "temperror"},
    {"servfail_in_include", "192.0.2.2", "a@servfail-include.test", "temperror"},
    {"never_answers", "192.0.2.2", "a@silent.test", "temperror (time-out)"},
    {"include_loop", "192.0.2.2", "a@loop-a.test", "permerror"},
    {"over_ten_lookups", "192.0.2.2", "a@many.test", "permerror"},
    {"three_void_lookups", "192.0.2.2", "a@void.test", "permerror"},
    {"macro_heavy", "192.0.2.7", "a.b-c@macro.test", "permerror"},
    {"ipv6_client", "2001:db8::25", "a@pool.test", "fail"},
    // 10 000 bytes, read over TCP: the library keeps only the head of it and
    // runs off its end, so the client it names last gets no pass.
    {"huge_record", "192.0.2.2", "a@huge.test", "neutral"},
};

INSTANTIATE_TEST_SUITE_P(Results, SpfDnsKeepsAddress, ::testing::ValuesIn(kept_cases),
                         [](const auto &info) { return std::string(info.param.name); });

// With --replies, a reply whose SPF result is fail is greylisted as any
// other triplet; any other result lets it through at once. The user's own
// message is never evaluated.
struct reply_spf_case {
    const char *name;
    const char *client, *sender;
    const char *result;  // as the debug line gives it
    bool passes;
};

void PrintTo(const reply_spf_case &c, std::ostream *os) { *os << c.name; }

class SpfDnsReplies : public SpfDns, public ::testing::WithParamInterface<reply_spf_case> {};

TEST_P(SpfDnsReplies, AReplyFailingSpfWaits)
{
    const reply_spf_case &c = GetParam();
    const std::string local = "alice@site.test";
    std::string learn = request("192.0.2.200", local, "mx.site.test", c.sender);
    learn.insert(learn.size() - 1, "sasl_method=PLAIN\nsasl_username=alice\n");
    daemon_result taught = run_at(T, learn, true, {"--replies"});
    EXPECT_EQ("action=DUNNO\n\n", taught.out);
    for (const std::string &m : taught.messages("debug"))
        EXPECT_NE(0u, m.rfind("SPF ", 0)) << m;

    std::string reply = request(c.client, c.sender, "mx.sender.test", local);
    daemon_result r = run_at(T + 10, reply, true, {"--replies"});
    EXPECT_EQ(c.passes, r.out == "action=DUNNO\n\n") << r.out;
    EXPECT_EQ(!c.passes, deferred(r)) << r.out;
    std::string domain = std::string(c.sender).substr(std::string(c.sender).find('@') + 1);
    EXPECT_TRUE(r.logged("debug", std::string("SPF ") + c.result + " for client " + c.client +
                                      " domain " + domain + ": key address " +
                                      (std::string(c.result) == "pass" ? "spf:" + domain
                                                                       : "client")))
        << ::testing::PrintToString(r.messages("debug"));
}

const reply_spf_case reply_spf_cases[] = {
    {"fail", "192.0.2.9", "bob@pool.test", "fail", false},
    {"pass", "192.0.2.2", "bob@pool.test", "pass", true},
    {"softfail", "192.0.2.7", "bob@soft.test", "softfail", true},
    {"none", "192.0.2.2", "bob@other.test", "none", true},
};

INSTANTIATE_TEST_SUITE_P(Results, SpfDnsReplies, ::testing::ValuesIn(reply_spf_cases),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
