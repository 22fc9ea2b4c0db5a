// SPDX-License-Identifier: BSD-2-Clause
// dns_world.cc - the test's own namespace, its DNS server and the failing
// upstreams (see dns_world.h).
#include "dns_world.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>

// The namespace, its DNS server and the two failing upstreams, made once per
// test program; `why_not` says why not when they could not be.
dns_world world;

namespace {

// die_with_parent - in a child just forked: end with the test program, even
// when that is killed or aborts, so that no server of the test outlives it
// (a server left running keeps ctest's output pipe open, and ctest waits).
void die_with_parent(pid_t parent)
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent)
        _exit(0);
}

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
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid != 0) {
        close(s);
        return pid;
    }
    die_with_parent(parent);
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

}  // namespace

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

void make_world(const std::vector<std::string> &records)
{
    if (access("/usr/sbin/dnsmasq", X_OK) != 0) {
        world.why_not = "dnsmasq is not installed (scripts/test.sh installs dnsmasq-base)";
        return;
    }
    if (!enter_namespace())
        return;
    char pattern[] = "/tmp/murvane-dns-XXXXXX";
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
    for (const std::string &record : records)
        args.push_back(record);
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0) {
        world.why_not = "pipe failed";
        return;
    }
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        die_with_parent(parent);
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

size_t count_in(const std::string &log, const std::string &text)
{
    size_t count = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1))
        count++;
    return count;
}
