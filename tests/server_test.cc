// SPDX-License-Identifier: BSD-2-Clause
// server_test.cc - murvane --listen from the outside: its start and its
// stop, its sockets (mode, group, a stale one, socket activation and what a
// supervisor must not hand over), bad addresses and option values, a request
// that ends its own connection (oversized, or a failed decision), a stop
// while a request waits in its decision, the idle limit and the descriptor
// limit.
//
// Each test starts its own server on a unix socket in a temporary directory
// (or on 127.0.0.1), waits for its "READY=1" on a NOTIFY_SOCKET of the
// test's own, and stops it by signal; every wait is bounded. The answers to
// new triplets are the whole delay, which no clock moves, so no test here
// needs a frozen clock.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "fixture_db.h"
#include "record_lock.h"
#include "run_daemon.h"
#include "run_server.h"

#ifndef REFUSE_DB_CALLS_LIBRARY
#error REFUSE_DB_CALLS_LIBRARY must name the library that fails chosen calls
#endif

namespace {

const std::string reject_3480 =
    "action=DEFER_IF_PERMIT Greylisted by murvane 0.4.0, try again in 3480 seconds.  "
    "See https://www.murvane.org/greylisting/ for more information.\n\n";
const std::string dunno = "action=DUNNO\n\n";

std::string request(int n, const std::string &client = "192.0.2.1")
{
    return rcpt_request(client, "alice@example.org", "user" + std::to_string(n) + "@example.net");
}

bool exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// A server on a unix socket in a directory of its own, with a home of its own.
class Server : public ::testing::Test {
protected:
    // start - the server with these options, ready; false (with the reason
    // recorded as a failure) when it never became ready.
    bool start(const std::vector<std::string> &options = {}, const std::vector<std::string> &env = {},
               const std::string &preload = "")
    {
        server_run run;
        run.address = address;
        run.args = {"-h", home.path};
        run.args.insert(run.args.end(), options.begin(), options.end());
        run.env = env;
        run.preload_first = preload;
        server = start_server(run);
        bool ready = wait_ready(server);
        EXPECT_TRUE(ready) << "no READY=1; standard error: " << server.daemon.err;
        return ready;
    }

    // stop - SIGTERM, and the orderly end: status 0, its notices, no error.
    daemon_result stop()
    {
        daemon_result r = stop_server(server);
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(0, r.signal);
        EXPECT_EQ(0, r.status) << r.err;
        EXPECT_TRUE(r.logged("notice", "Received signal 15"));
        EXPECT_TRUE(r.logged("notice", "server stopped"));
        return r;
    }

    void TearDown() override
    {
        if (server.daemon.pid > 0 && server.daemon.out_fd >= 0)
            stop_server(server, SIGKILL);
    }

    temp_dir home, sockets;
    std::string path = sockets.file("policy");
    std::string address = "unix:" + path;
    server_process server;
};

TEST_F(Server, AnswersAndStopsInOrder)
{
    ASSERT_TRUE(start());
    EXPECT_TRUE(server_logged(server, "listening on " + address));
    int fd = connect_to(address);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(reject_3480, ask(fd, request(1)).text);
    EXPECT_EQ(reject_3480, ask(fd, request(1)).text);
    // Two requests in one write, and one in two writes: framed by their
    // empty lines, not by the writes.
    std::string pending;
    ASSERT_TRUE(send_bytes(fd, request(2) + request(3)));
    EXPECT_EQ(reject_3480, read_answer(fd, pending).text);
    EXPECT_EQ(reject_3480, read_answer(fd, pending).text);
    std::string split = request(4);
    ASSERT_TRUE(send_bytes(fd, split.substr(0, 20)));
    ASSERT_TRUE(send_bytes(fd, split.substr(20)));
    EXPECT_EQ(reject_3480, read_answer(fd, pending).text);
    EXPECT_EQ("", pending);
    close(fd);
    daemon_result r = stop();
    EXPECT_TRUE(r.messages("err").empty()) << r.messages("err").front();
    EXPECT_FALSE(exists(path)) << "the socket outlived its server";
    // STOPPING=1 follows READY=1 on the notify socket.
    std::vector<std::string> expected = {"READY=1", "STOPPING=1"};
    std::vector<std::string> seen;
    for (const auto &n : server.notices)
        if (n == "READY=1" || n == "STOPPING=1")
            seen.push_back(n);
    EXPECT_EQ(expected, seen);
    record_list records = read_records(home.path);
    EXPECT_EQ(4u, records.size());
    for (const auto &[key, value] : records)
        EXPECT_EQ(key == ipv4_key("192.0.2.1", "alice@example.org", "user1@example.net") ? 2u : 1u,
                  decode_record(value).block_count);
}

// On 127.0.0.1, with NOTIFY_SOCKET a path this time; SIGINT stops it too.
TEST_F(Server, ServesInetAddress)
{
    int port = free_inet_port();
    ASSERT_GT(port, 0);
    address = "inet:127.0.0.1:" + std::to_string(port);
    server_run run;
    run.address = address;
    run.args = {"-h", home.path};
    run.notify_path = sockets.file("notify");
    server = start_server(run);
    ASSERT_TRUE(wait_ready(server)) << server.daemon.err;
    EXPECT_TRUE(server_logged(server, "listening on " + address));
    int fd = connect_to(address);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(reject_3480, ask(fd, request(1)).text);
    close(fd);
    daemon_result r = stop_server(server, SIGINT);
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_TRUE(r.logged("notice", "Received signal 2"));
    EXPECT_TRUE(r.logged("notice", "server stopped"));
    EXPECT_NE(server.notices.end(),
              std::find(server.notices.begin(), server.notices.end(), "STOPPING=1"));
}

// An oversized request ends its own connection, unanswered, with its
// warning; the server goes on serving the others. One byte less is served.
TEST_F(Server, OversizedRequestEndsItsConnectionOnly)
{
    ASSERT_TRUE(start());
    int other = connect_to(address);
    ASSERT_GE(other, 0);
    EXPECT_EQ(reject_3480, ask(other, request(1)).text);

    // A request of exactly 1 MiB with its empty line: served.
    std::string head = "request=smtpd_access_policy\nx_padding=";
    std::string tail = "\n" + request(2).substr(strlen("request=smtpd_access_policy\n"));
    std::string fits = head + std::string((1 << 20) - head.size() - tail.size(), 'x') + tail;
    ASSERT_EQ(size_t{1} << 20, fits.size());
    int bound = connect_to(address);
    ASSERT_GE(bound, 0);
    EXPECT_EQ(reject_3480, ask(bound, fits).text);
    close(bound);

    int big = connect_to(address);
    ASSERT_GE(big, 0);
    std::string over = head + std::string((1 << 20) - head.size() - tail.size() + 1, 'x') + tail;
    // The server may close before it has read all: the write's failure is
    // no fault here, the end of the connection is what counts.
    send_bytes(big, over, 30000);
    std::string received;
    EXPECT_TRUE(wait_for_close(big, 30000, &received));
    EXPECT_EQ("", received);
    close(big);
    EXPECT_TRUE(wait_for_server_log(server,
                                    "request larger than 1048576 bytes, closing the connection"));

    EXPECT_EQ(reject_3480, ask(other, request(3)).text);
    int later = connect_to(address);
    ASSERT_GE(later, 0);
    EXPECT_EQ(reject_3480, ask(later, request(4)).text);
    close(later);
    close(other);
    daemon_result r = stop();
    EXPECT_TRUE(r.messages("err").empty()) << r.messages("err").front();
    std::vector<std::string> warnings = r.messages("warning");
    EXPECT_EQ(std::vector<std::string>{"request larger than 1048576 bytes, closing the connection"},
              warnings);
    // The oversized request's triplet (user 2 with padding too long) is not
    // stored: 1, 2 (the one that fit), 3 and 4.
    EXPECT_EQ(4u, read_records(home.path).size());
}

// A failed decision: the spawn daemon's answer and log lines on that
// connection, which then ends; the other connections and new ones are served.
// The failure is the second get of the process (support/refuse_db_calls.c),
// the same request in both runs.
TEST_F(Server, FailedDecisionEndsItsConnectionOnly)
{
    const std::vector<std::string> fail = {"MURVANE_FAIL_CALLS=get:2:" + std::to_string(ENOMEM)};
    temp_dir spawn_home;
    daemon_run spawn;
    spawn.args = {"-h", spawn_home.path};
    spawn.input = request(1) + request(2);
    spawn.env = fail;
    spawn.preload_first = REFUSE_DB_CALLS_LIBRARY;
    daemon_result spawned = run_daemon(spawn);
    ASSERT_EQ(1, spawned.status) << spawned.err;
    ASSERT_EQ(0u, spawned.out.rfind(reject_3480, 0)) << spawned.out;
    std::string failure_answer = spawned.out.substr(reject_3480.size());
    ASSERT_NE("", failure_answer);
    std::vector<std::string> failure_log = spawned.messages("err");
    ASSERT_FALSE(failure_log.empty());
    EXPECT_EQ("error: exiting after cleanup", failure_log.back());

    ASSERT_TRUE(start({}, fail, REFUSE_DB_CALLS_LIBRARY));
    int first = connect_to(address);
    int second = connect_to(address);
    ASSERT_GE(first, 0);
    ASSERT_GE(second, 0);
    EXPECT_EQ(reject_3480, ask(first, request(1)).text);
    answer_read failed = ask(second, request(2));
    EXPECT_FALSE(failed.complete);
    std::string rest;
    if (!failed.closed) {
        EXPECT_TRUE(wait_for_close(second, 30000, &rest));
    }
    EXPECT_EQ(failure_answer, failed.text + rest);
    close(second);
    ASSERT_TRUE(wait_for_server_log(server, "error: exiting after cleanup"));
    std::vector<std::string> logged;
    for (const auto &line : server_log(server))
        if (line.rfind("err\t", 0) == 0)
            logged.push_back(line.substr(4));
    EXPECT_EQ(failure_log, logged);

    EXPECT_EQ(reject_3480, ask(first, request(3)).text);
    EXPECT_EQ(reject_3480, ask(first, request(1)).text);
    int later = connect_to(address);
    ASSERT_GE(later, 0);
    EXPECT_EQ(reject_3480, ask(later, request(4)).text);
    close(later);
    close(first);
    stop();
    // 1 (twice), 3 and 4; the failed request stored nothing.
    record_list records = read_records(home.path);
    EXPECT_EQ(3u, records.size());
}

// SIGTERM while a request waits inside its decision (for a page lock this
// program holds, as another daemon would): the server stops accepting at
// once and closes the idle connection and the one with half a request, and
// the request in its decision is answered in full once the lock is free;
// then the orderly stop, with the answered request stored.
TEST_F(Server, StopAnswersTheRequestInItsDecision)
{
    const std::string key = ipv4_key("192.0.2.1", "alice@example.org", "user1@example.net");
    time_t now = time(nullptr);
    put_records(home.path, "triplets-1.db", {{key, record_value(now - 7200, now - 7200, 1, 0)}});
    ASSERT_TRUE(start());
    int deciding = connect_to(address), idle = connect_to(address), half = connect_to(address);
    ASSERT_GE(deciding, 0);
    ASSERT_GE(idle, 0);
    ASSERT_GE(half, 0);
    std::string answer;
    {
        record_lock lock(home.path, "triplets-1.db", key);
        ASSERT_EQ(0, lock.error()) << db_strerror(lock.error());
        unsigned long long waits = lock.waiting_lockers();
        ASSERT_TRUE(send_bytes(deciding, request(1)));
        ASSERT_TRUE(wait_until([&] { return lock.waiting_lockers() > waits; }, 30000))
            << "the request never reached the locked page";
        ASSERT_TRUE(send_bytes(half, request(2).substr(0, 40)));
        ASSERT_EQ(0, kill(server.daemon.pid, SIGTERM));
        // Stopped accepting: the socket is gone before the stop waits for
        // the request in its decision.
        EXPECT_TRUE(wait_notice(server, "STOPPING=1", 30000));
        EXPECT_FALSE(exists(path));
        EXPECT_LT(connect_to(address, 1000), 0);
        std::string received;
        EXPECT_TRUE(wait_for_close(idle, 30000, &received));
        EXPECT_TRUE(wait_for_close(half, 30000, &received));
        EXPECT_EQ("", received);
        // Nothing of the answer before the lock is free.
        struct pollfd p = {deciding, POLLIN, 0};
        EXPECT_EQ(0, poll(&p, 1, 0));
        lock.release();
    }
    std::string pending;
    answer_read got = read_answer(deciding, pending);
    EXPECT_TRUE(got.complete);
    EXPECT_EQ(0u, got.text.rfind("action=PREPEND X-Murvane: Greylisted by murvane 0.4.0 for 72", 0))
        << got.text;
    EXPECT_TRUE(wait_for_close(deciding, 30000, &pending));
    EXPECT_EQ("", pending);
    close(deciding);
    close(idle);
    close(half);
    daemon_result r = stop_server(server, 0);
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_TRUE(r.logged("notice", "server stopped"));
    EXPECT_TRUE(r.messages("err").empty()) << r.messages("err").front();
    record_list records = read_records(home.path);
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ(1u, decode_record(records[0].second).pass_count);
}

// Out of descriptors: connections the server cannot take yet wait in the
// listen queue and are served once others end; none is dropped unanswered.
// The server's limit is lowered from outside (prlimit) once it runs.
TEST_F(Server, ConnectionsWaitForFreeDescriptors)
{
    ASSERT_TRUE(start());
    constexpr int limit = 40;
    struct rlimit low = {limit, limit};
    if (prlimit(server.daemon.pid, RLIMIT_NOFILE, &low, nullptr) != 0)
        GTEST_SKIP() << "prlimit: " << strerror(errno);
    std::vector<int> fds;
    for (int i = 0; i < limit; i++) {
        fds.push_back(connect_to(address));
        ASSERT_GE(fds.back(), 0) << i;
    }
    std::vector<std::string> wrong;
    for (int i = 0; i < limit; i++) {
        answer_read got = ask(fds[i], request(i), 30000);
        if (got.text != reject_3480)
            wrong.push_back(std::to_string(i) + ": " + (got.closed ? "closed " : "") +
                            (got.timed_out ? "timed out " : "") + got.text);
        close(fds[i]);
    }
    EXPECT_TRUE(wrong.empty()) << wrong.size() << " connections not answered, first "
                               << wrong.front();
    stop();
    EXPECT_EQ(size_t{limit}, read_records(home.path).size());
}

// A recovery run from outside while the server has the environment open
// (db_recover by hand) declares it failed: the request in hand gets the
// spawn daemon's failure answer, the server ends with status 1 and says why,
// and its restart (over the socket file it left) serves again.
TEST_F(Server, FailedEnvironmentEndsTheServer)
{
    const char *recover = "/usr/bin/db5.3_recover";
    if (access(recover, X_OK) != 0)
        GTEST_SKIP() << recover << " is missing (scripts/test.sh installs db5.3-util)";
    ASSERT_TRUE(start());
    int fd = connect_to(address);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(reject_3480, ask(fd, request(1)).text);
    ASSERT_EQ(0, system((std::string(recover) + " -h " + home.path).c_str()));
    // The failure shows at the server's next call of the library: the
    // request's own, or one of another thread's first, and then the
    // request is never started.
    answer_read failed = ask(fd, request(2));
    bool answered = !failed.text.empty();
    if (answered) {
        EXPECT_EQ("action=WARN txn_begin failed\n", failed.text);
    }
    EXPECT_TRUE(failed.closed);
    close(fd);
    daemon_result r = stop_server(server, 0);
    EXPECT_EQ(1, r.status);
    std::vector<std::string> errors = r.messages("err");
    ASSERT_FALSE(errors.empty());
    EXPECT_EQ("the environment failed: exiting, a restart runs recovery", errors.back());
    EXPECT_EQ(answered, r.logged("err", "error: exiting after cleanup"));
    EXPECT_FALSE(r.logged("notice", "server stopped"));

    ASSERT_TRUE(start());
    fd = connect_to(address);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(reject_3480, ask(fd, request(2)).text);
    close(fd);
    stop();
}

// --idle-limit: a connection quiet for longer is closed by the server, after
// the answers it asked for; the server serves on.
TEST_F(Server, IdleConnectionIsClosed)
{
    ASSERT_TRUE(start({"--idle-limit", "1"}));
    int quiet = connect_to(address);
    int asking = connect_to(address);
    ASSERT_GE(quiet, 0);
    ASSERT_GE(asking, 0);
    EXPECT_EQ(reject_3480, ask(asking, request(1)).text);
    std::string received;
    EXPECT_TRUE(wait_for_close(quiet, 15000, &received));
    EXPECT_EQ("", received);
    EXPECT_TRUE(wait_for_close(asking, 15000, &received));
    EXPECT_EQ("", received);
    close(quiet);
    close(asking);
    EXPECT_TRUE(wait_for_server_log(server, "connection idle for more than 1 seconds, closed"));
    int later = connect_to(address);
    ASSERT_GE(later, 0);
    EXPECT_EQ(reject_3480, ask(later, request(2)).text);
    close(later);
    daemon_result r = stop();
    EXPECT_LE(2u, std::count(r.log.begin(), r.log.end(),
                             "info\tconnection idle for more than 1 seconds, closed"));
}

struct mode_case {
    const char *name;
    std::vector<std::string> options;
    mode_t mode;
    gid_t group;       // (gid_t)-1: the process's own group
    bool needs_root;   // giving a socket to another group
    bool stale;        // a stale socket file lies at the path
};

void PrintTo(const mode_case &c, std::ostream *os) { *os << c.name; }

class SocketMode : public Server, public ::testing::WithParamInterface<mode_case> {};

// The group of the daemon user on Debian (gid 1), found by name.
std::string daemon_group()
{
    struct group *g = getgrgid(1);
    return g ? g->gr_name : "";
}

TEST_P(SocketMode, ModeAndGroupAfterBind)
{
    const mode_case &c = GetParam();
    if (c.needs_root && geteuid() != 0)
        GTEST_SKIP() << "giving the socket to another group needs root";
    std::vector<std::string> options = c.options;
    for (auto &o : options)
        if (o == "DAEMON_GROUP") {
            o = daemon_group();
            if (o.empty())
                GTEST_SKIP() << "no group of gid 1 here";
        }
    if (c.stale) {
        // A socket file whose server is gone: nothing listens on it.
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_un un {};
        un.sun_family = AF_UNIX;
        strcpy(un.sun_path, path.c_str());
        ASSERT_EQ(0, bind(fd, reinterpret_cast<struct sockaddr *>(&un), sizeof un));
        close(fd);
        ASSERT_TRUE(exists(path));
    }
    ASSERT_TRUE(start(options));
    struct stat st;
    ASSERT_EQ(0, lstat(path.c_str(), &st));
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(c.mode, st.st_mode & 07777) << std::oct << (st.st_mode & 07777);
    EXPECT_EQ(c.group == static_cast<gid_t>(-1) ? getegid() : c.group, st.st_gid);
    int fd = connect_to(address);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(reject_3480, ask(fd, request(1)).text);
    close(fd);
    stop();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SocketMode,
    ::testing::Values(
        mode_case{"default_0660", {}, 0660, static_cast<gid_t>(-1), false, false},
        mode_case{"owner_only", {"--socket-mode", "0600"}, 0600, static_cast<gid_t>(-1), false,
                  false},
        mode_case{"without_leading_zero", {"--socket-mode", "666"}, 0666, static_cast<gid_t>(-1),
                  false, false},
        mode_case{"stale_socket_replaced", {"--socket-mode", "0640"}, 0640,
                  static_cast<gid_t>(-1), false, true},
        mode_case{"group_by_number", {"--socket-group", "12345"}, 0660, 12345, true, false},
        mode_case{"group_by_name", {"--socket-group", "DAEMON_GROUP", "--socket-mode", "0620"},
                  0620, 1, true, false}),
    [](const auto &info) { return std::string(info.param.name); });

// Socket activation: a listening socket handed over at fd 3 is served, and
// ADDRESS is then only a label (nothing is bound there). With LISTEN_PID not
// the server's own, the variables are someone else's: ADDRESS is bound.
TEST_F(Server, SocketActivation)
{
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    struct sockaddr_in in {};
    in.sin_family = AF_INET;
    in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof in;
    ASSERT_EQ(0, bind(listener, reinterpret_cast<struct sockaddr *>(&in), length));
    ASSERT_EQ(0, listen(listener, 64));
    ASSERT_EQ(0, getsockname(listener, reinterpret_cast<struct sockaddr *>(&in), &length));
    std::string handed = "inet:127.0.0.1:" + std::to_string(ntohs(in.sin_port));

    server_run run;
    run.address = address;
    run.args = {"-h", home.path};
    run.listen_fd = listener;
    server = start_server(run);
    close(listener);  // the server holds its own copy
    ASSERT_TRUE(wait_ready(server)) << server.daemon.err;
    std::vector<int> fds;
    for (int i = 0; i < 3; i++) {
        fds.push_back(connect_to(handed));
        ASSERT_GE(fds.back(), 0);
    }
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(reject_3480, ask(fds[i], request(i)).text);
    EXPECT_EQ(reject_3480, ask(fds[0], request(2)).text);
    for (int fd : fds)
        close(fd);
    EXPECT_FALSE(exists(path)) << "ADDRESS was bound under socket activation";
    stop();
    EXPECT_EQ(3u, read_records(home.path).size());
}

// What a supervisor might hand over by mistake: no stream socket that
// listens. The server refuses it at the start, status 1 and no READY=1,
// rather than spin on a descriptor that is always readable (a file, a
// socket never put to listen) or wait forever on one that never is.
struct handed_case {
    const char *name;
    int (*make)(int *keep);   // the descriptor to hand over; *keep is closed after
};

void PrintTo(const handed_case &c, std::ostream *os) { *os << c.name; }

class HandedOver : public Server, public ::testing::WithParamInterface<handed_case> {};

TEST_P(HandedOver, NoListeningSocketIsRefused)
{
    int keep = -1;
    int fd = GetParam().make(&keep);
    ASSERT_GE(fd, 0) << strerror(errno);
    server_run run;
    run.address = address;
    run.args = {"-h", home.path};
    run.listen_fd = fd;
    server = start_server(run);
    close(fd);
    EXPECT_FALSE(wait_ready(server, 10000)) << "served on a descriptor that cannot accept";
    daemon_result r = stop_server(server, SIGKILL, 10000);
    if (keep >= 0)
        close(keep);
    EXPECT_EQ(0, r.signal) << "still running: killed";
    EXPECT_EQ(1, r.status);
    std::vector<std::string> errors = r.messages("err");
    ASSERT_EQ(1u, errors.size()) << ::testing::PrintToString(errors);
    EXPECT_NE(std::string::npos, errors[0].find("descriptor 3")) << errors[0];
    EXPECT_FALSE(exists(path));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HandedOver,
    ::testing::Values(
        handed_case{"regular_file",
                    [](int *) { return open("/dev/null", O_RDONLY | O_CLOEXEC); }},
        handed_case{"pipe",
                    [](int *keep) {
                        int ends[2];
                        if (pipe2(ends, O_CLOEXEC) != 0)
                            return -1;
                        *keep = ends[1];
                        return ends[0];
                    }},
        handed_case{"socket_never_listening",
                    [](int *) { return socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0); }},
        handed_case{"datagram_socket",
                    [](int *) {
                        int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
                        struct sockaddr_in in {};
                        in.sin_family = AF_INET;
                        in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                        if (fd >= 0 && bind(fd, reinterpret_cast<struct sockaddr *>(&in),
                                            sizeof in) != 0) {
                            close(fd);
                            return -1;
                        }
                        return fd;
                    }}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(Server, ForeignListenPidIsIgnored)
{
    ASSERT_TRUE(start({}, {"LISTEN_FDS=1", "LISTEN_PID=1"}));
    EXPECT_TRUE(exists(path));
    int fd = connect_to(address);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(reject_3480, ask(fd, request(1)).text);
    close(fd);
    stop();
}

// A home that cannot be opened stops the start before anything listens.
TEST_F(Server, UnusableHomeStopsTheStart)
{
    server_run run;
    run.address = address;
    std::string missing = home.file("missing");
    run.args = {"-h", missing};
    server = start_server(run);
    EXPECT_FALSE(wait_ready(server, 30000));
    daemon_result r = stop_server(server, SIGKILL, 30000);
    EXPECT_EQ(0, r.signal);
    EXPECT_EQ(1, r.status);
    std::vector<std::string> errors = r.messages("err");
    ASSERT_FALSE(errors.empty());
    EXPECT_EQ("cannot open the databases in " + missing + ", exiting", errors.back());
    EXPECT_FALSE(exists(path)) << "listened before the home was open";
}

// --listen never goes with the options that list or count the home instead
// of serving: a fatal stop, no socket.
TEST_F(Server, ListenWithAListingIsFatal)
{
    for (const char *listing : {"--dump-triplets", "--dump-clients", "--dump-replies", "--stats"}) {
        SCOPED_TRACE(listing);
        for (bool listen_first : {true, false}) {
            std::vector<std::string> args = {"-h", home.path};
            if (listen_first)
                args = {"--listen", address, "-h", home.path, listing};
            else
                args = {listing, "-h", home.path, "--listen", address};
            daemon_result r = run_daemon(args);
            EXPECT_FALSE(r.timed_out);
            EXPECT_TRUE(r.status > 0 || r.signal != 0) << "status " << r.status;
            EXPECT_EQ("", r.out);
            std::vector<std::string> errors = r.messages("err");
            ASSERT_EQ(1u, errors.size()) << ::testing::PrintToString(errors);
            EXPECT_EQ(0u, errors[0].rfind("fatal: ", 0)) << errors[0];
            EXPECT_NE(std::string::npos, errors[0].find("--listen")) << errors[0];
            EXPECT_FALSE(exists(path));
        }
    }
}

struct option_case {
    const char *name;
    std::vector<std::string> args;   // after --listen unix:PATH -h HOME
    std::string error;               // the one line at LOG_ERR
};

void PrintTo(const option_case &c, std::ostream *os) { *os << c.name; }

class BadServerOption : public ::testing::TestWithParam<option_case> {};

// A bad value of a server option stops the start: nothing listens.
TEST_P(BadServerOption, RefusedAtStart)
{
    const option_case &c = GetParam();
    temp_dir home, sockets;
    std::vector<std::string> args = {"--listen", "unix:" + sockets.file("policy"), "-h",
                                     home.path};
    args.insert(args.end(), c.args.begin(), c.args.end());
    daemon_result r = run_daemon(args);
    EXPECT_FALSE(r.timed_out);
    EXPECT_TRUE(r.status > 0 || r.signal == SIGABRT) << r.status << " " << r.signal;
    std::string error = c.error;
    size_t at = error.find("SOCKET");
    if (at != std::string::npos)
        error.replace(at, 6, sockets.file("policy"));
    EXPECT_EQ(std::vector<std::string>{error}, r.messages("err"));
    EXPECT_FALSE(exists(sockets.file("policy")));
}

const std::string bad_mode =
    "fatal: Invalid argument to --socket-mode.  An octal mode up to 0777 expected";
const std::string bad_idle =
    "fatal: Invalid argument to --idle-limit.  Integer value between 1 and 86400 expected";
const std::string bad_sweep =
    "fatal: Invalid argument to --sweep-interval.  Integer value between 1 and 86400 expected";

INSTANTIATE_TEST_SUITE_P(
    Cases, BadServerOption,
    ::testing::Values(
        option_case{"mode_not_octal", {"--socket-mode", "0680"}, bad_mode},
        option_case{"mode_with_setuid_bits", {"--socket-mode", "4660"}, bad_mode},
        option_case{"mode_empty", {"--socket-mode", ""}, bad_mode},
        option_case{"mode_symbolic", {"--socket-mode", "u+rw"}, bad_mode},
        option_case{"mode_missing", {"--socket-mode"},
                    "fatal: Missing argument to --socket-mode"},
        option_case{"idle_zero", {"--idle-limit", "0"}, bad_idle},
        option_case{"idle_over_a_day", {"--idle-limit", "86401"}, bad_idle},
        option_case{"idle_with_unit", {"--idle-limit", "10s"}, bad_idle},
        option_case{"idle_huge", {"--idle-limit", "18446744073709551616"}, bad_idle},
        option_case{"sweep_zero", {"--sweep-interval", "0"}, bad_sweep},
        option_case{"sweep_over_a_day", {"--sweep-interval", "86401"}, bad_sweep},
        option_case{"sweep_negative", {"--sweep-interval", "-1"}, bad_sweep},
        option_case{"listen_missing", {"--listen"}, "fatal: Missing argument to --listen"},
        option_case{"no_such_group", {"--socket-group", "no-such-group-murvane"},
                    "cannot listen on unix:SOCKET: no group no-such-group-murvane"}),
    [](const auto &info) { return std::string(info.param.name); });

struct address_case {
    const char *name;
    std::string address;
    std::string shown;   // what the message must hold
};

void PrintTo(const address_case &c, std::ostream *os) { *os << c.name; }

class BadAddress : public ::testing::TestWithParam<address_case> {};

// listening_socket - a socket of this program listening on `where`.
int listening_socket(int family, struct sockaddr *where, socklen_t length)
{
    int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || bind(fd, where, length) != 0 || listen(fd, 4) != 0) {
        ADD_FAILURE() << "cannot listen: " << strerror(errno);
        return -1;
    }
    return fd;
}

// A bad ADDRESS: refused at the start with a clear message, no READY=1. In
// the addresses, HELD is a port this program listens on, LIVE a unix socket
// it listens on, FILE a plain file.
TEST_P(BadAddress, RefusedAtStart)
{
    const address_case &c = GetParam();
    temp_dir home, dir;
    struct sockaddr_in in {};
    in.sin_family = AF_INET;
    in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof in;
    int held = listening_socket(AF_INET, reinterpret_cast<struct sockaddr *>(&in), length);
    ASSERT_GE(held, 0);
    ASSERT_EQ(0, getsockname(held, reinterpret_cast<struct sockaddr *>(&in), &length));
    struct sockaddr_un un {};
    un.sun_family = AF_UNIX;
    std::string live = dir.file("live");
    strcpy(un.sun_path, live.c_str());
    int live_fd = listening_socket(AF_UNIX, reinterpret_cast<struct sockaddr *>(&un), sizeof un);
    ASSERT_GE(live_fd, 0);
    std::string file = dir.file("file");
    close(open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
    auto placed = [&](std::string text) {
        for (const auto &[mark, value] :
             {std::pair<std::string, std::string>{"HELD", std::to_string(ntohs(in.sin_port))},
              {"LIVE", live}, {"FILE", file}}) {
            size_t at = text.find(mark);
            if (at != std::string::npos)
                text.replace(at, mark.size(), value);
        }
        return text;
    };

    server_run run;
    run.address = placed(c.address);
    run.args = {"-h", home.path};
    server_process server = start_server(run);
    EXPECT_FALSE(wait_ready(server, 30000)) << "served " << run.address;
    daemon_result r = stop_server(server, SIGKILL, 30000);
    close(held);
    EXPECT_TRUE(r.status > 0 || (r.signal != 0 && r.signal != SIGKILL)) << "status " << r.status;
    std::vector<std::string> errors = r.messages("err");
    ASSERT_FALSE(errors.empty()) << "no message at LOG_ERR";
    bool shown = false;
    for (const auto &e : errors)
        shown = shown || e.find(placed(c.shown)) != std::string::npos;
    EXPECT_TRUE(shown) << "no message holds " << placed(c.shown) << "; first: " << errors[0];
    // The live server's socket is left alone.
    struct stat st;
    EXPECT_EQ(0, lstat(live.c_str(), &st));
    int probe = connect_to("unix:" + live);
    EXPECT_GE(probe, 0);
    close(probe);
    close(live_fd);
}

// A malformed address is refused by its option (a fatal stop, as for every
// option's bad value); one that cannot be listened on, by the failed call.
const std::string malformed = "fatal: Invalid argument to --listen";

INSTANTIATE_TEST_SUITE_P(
    Cases, BadAddress,
    ::testing::Values(
        address_case{"no_kind", "127.0.0.1:10025", malformed},
        address_case{"unknown_kind", "tcp:127.0.0.1:10025", malformed},
        address_case{"inet_without_port", "inet:127.0.0.1", malformed},
        address_case{"inet_empty_port", "inet:127.0.0.1:", malformed},
        address_case{"inet_empty_host", "inet::10025", malformed},
        address_case{"inet_port_not_a_number", "inet:127.0.0.1:smtp2", malformed},
        address_case{"inet_unclosed_bracket", "inet:[::1:10025", malformed},
        address_case{"inet_bare_ipv6", "inet:::1:10025", malformed},
        address_case{"unix_empty_path", "unix:", malformed},
        address_case{"unix_path_too_long", "unix:/tmp/" + std::string(200, 'p'), malformed},
        // Ports outside 1-65535 are malformed too: they would bind a port of
        // the system's choice (0) or another one (65536 + n is n to the
        // socket call), where the mail server never looks.
        address_case{"inet_port_zero", "inet:127.0.0.1:0", malformed},
        address_case{"inet_port_too_large", "inet:127.0.0.1:65536", malformed},
        address_case{"inet_port_far_too_large", "inet:127.0.0.1:75535", malformed},
        address_case{"inet_address_not_here", "inet:192.0.2.1:10025",
                     "cannot listen on inet:192.0.2.1:10025"},
        address_case{"inet_address_in_use", "inet:127.0.0.1:HELD",
                     "cannot listen on inet:127.0.0.1:HELD"},
        address_case{"unix_missing_directory", "unix:/nonexistent-murvane-dir/policy",
                     "cannot listen on unix:/nonexistent-murvane-dir/policy"},
        address_case{"unix_live_server", "unix:LIVE", "cannot listen on unix:LIVE"},
        address_case{"unix_path_is_a_file", "unix:FILE", "cannot listen on unix:FILE"}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
