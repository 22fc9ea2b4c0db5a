// SPDX-License-Identifier: BSD-2-Clause
// peer.cc - starting and stopping the comparison peer.
//
// The peer is started in the foreground by this process, so that its PID is
// known and it is the only process stopped; it listens on 127.0.0.1 at a
// port that was free a moment before. One that exits at start or does not
// listen within 30 s is a failed run, and section 1 goes on without it.
#include "peer.h"

#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <vector>

#include "processes.h"
#include "suite.h"

namespace {

int free_port()
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    socklen_t len = sizeof a;
    int port = 0;
    if (fd >= 0 && bind(fd, reinterpret_cast<struct sockaddr *>(&a), sizeof a) == 0 &&
        getsockname(fd, reinterpret_cast<struct sockaddr *>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    if (fd >= 0)
        close(fd);
    return port;
}

bool port_answers(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    bool ok = fd >= 0 && connect(fd, reinterpret_cast<struct sockaddr *>(&a), sizeof a) == 0;
    if (fd >= 0)
        close(fd);
    return ok;
}

// private_dir - a fresh directory under the system's temporary directory
// ($TMPDIR, or /tmp) holding an empty db/, both handed to uid:gid, the user
// the peer runs as. That user cannot be assumed to enter the checkout (a
// home under /root is mode 700), so nothing it must reach lives there.
std::string private_dir(uid_t uid, gid_t gid)
{
    const char *tmp = getenv("TMPDIR");
    std::string name = std::string(tmp && *tmp ? tmp : "/tmp") + "/murvane-bench-peer-XXXXXX";
    if (mkdtemp(name.data()) == nullptr) {
        failed("peer", "mkdtemp " + name + ": " + strerror(errno));
        return "";
    }
    std::string db = name + "/db";
    if (mkdir(db.c_str(), 0700) != 0 || chown(name.c_str(), uid, gid) != 0 ||
        chown(db.c_str(), uid, gid) != 0) {
        failed("peer", "cannot hand " + name + " over: " + strerror(errno));
        std::error_code ec;
        std::filesystem::remove_all(name, ec);
        return "";
    }
    return name;
}

void remove_private_dir(peer_process &p)
{
    if (p.home.empty())
        return;
    std::error_code ec;
    std::filesystem::remove_all(p.home, ec);
    p.home.clear();
}

}  // namespace

peer_process start_peer(const std::string &dir)
{
    peer_process p;
    fresh_dir(dir);
    std::string user, group;
    uid_t uid = geteuid();
    gid_t gid = getegid();
    if (geteuid() == 0) {
        struct passwd *pw = getpwnam("postgrey");
        struct group *gr = getgrnam("postgrey");
        if (pw == nullptr || gr == nullptr) {
            failed("peer", "no user postgrey");
            return p;
        }
        user = "postgrey";
        group = "postgrey";
        uid = pw->pw_uid;
        gid = gr->gr_gid;
    } else {
        struct passwd *pw = getpwuid(geteuid());
        struct group *gr = getgrgid(getegid());
        user = pw ? pw->pw_name : std::to_string(geteuid());
        group = gr ? gr->gr_name : std::to_string(getegid());
    }
    p.home = private_dir(uid, gid);
    if (p.home.empty())
        return p;
    std::string empty = p.home + "/empty";
    { std::ofstream touch(empty); }
    p.port = free_port();
    std::vector<std::string> argv = {
        "/usr/sbin/postgrey", "--inet=127.0.0.1:" + std::to_string(p.port),
        "--dbdir=" + p.home + "/db", "--delay=" + std::to_string(cfg.delay), "--lookup-by-host",
        "--auto-whitelist-clients=0", "--whitelist-clients=" + empty,
        "--whitelist-recipients=" + empty, "--user=" + user, "--group=" + group,
        "--hostname=bench.invalid"};
    std::string log = dir + "/peer.log";
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
        }
        int null_fd = open("/dev/null", O_RDONLY);
        if (null_fd >= 0)
            dup2(null_fd, 0);
        signal(SIGPIPE, SIG_DFL);
        std::vector<char *> args;
        for (const auto &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    if (pid < 0) {
        failed("peer", "fork failed");
        return p;
    }
    p.pid = pid;
    for (int i = 0; i < 300; i++) {  // up to 30 s for perl to come up
        if (port_answers(p.port))
            break;
        int status;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            failed("peer", "it exited at start; see " + log);
            p.pid = -1;
            remove_private_dir(p);
            return p;
        }
        usleep(100000);
    }
    if (!port_answers(p.port)) {
        failed("peer", "it does not listen on 127.0.0.1:" + std::to_string(p.port));
        kill(pid, SIGKILL);
        wait_bounded(pid, 5);
        p.pid = -1;
        remove_private_dir(p);
    }
    return p;
}

void stop_peer(peer_process &p)
{
    if (p.pid > 0) {
        kill(p.pid, SIGTERM);  // the peer this suite started, by its PID
        wait_bounded(p.pid, 15);
        p.pid = -1;
    }
    remove_private_dir(p);
}

target_spec peer_target(const peer_process &p)
{
    target_spec t;
    t.port = p.port;
    t.server_pids = {p.pid};
    return t;
}

std::vector<pid_t> running_peers()
{
    std::vector<pid_t> found;
    std::error_code ec;
    for (const auto &entry : std::filesystem::directory_iterator("/proc", ec)) {
        std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        // The command line: perl with its options and then the peer's
        // script, or, once it has set its name, one string that begins with
        // the peer's name, its options after a space.
        std::ifstream in(entry.path() / "cmdline");
        std::string arg;
        bool peer = false;
        for (int i = 0; std::getline(in, arg, '\0'); i++) {
            std::string word = arg.substr(0, arg.find(' '));
            std::string base = word.substr(word.rfind('/') + 1);
            if (base.rfind("postgrey", 0) == 0)
                peer = true;
            else if (!(i == 0 && base.rfind("perl", 0) == 0) && !(i > 0 && arg[0] == '-'))
                break;
            if (peer)
                break;
        }
        if (peer)
            found.push_back(static_cast<pid_t>(atol(name.c_str())));
    }
    return found;
}

