// SPDX-License-Identifier: BSD-2-Clause
// server_load_test.cc - murvane --listen under many connections, stopped and
// killed while it serves.
//
//   - A thousand idle connections held open while fifty others ask at once:
//     every answer is exact, and the idle ones are still served afterwards.
//   - SIGTERM while connections keep asking: each request is answered in full
//     or not at all, an answered request is stored and an unanswered one is
//     not (nothing half-done), the exit is orderly and the home needs no
//     recovery.
//   - SIGKILL while connections keep asking, then a restart: nothing that was
//     answered is lost. As in torture_test, an answer received in full was
//     committed (the answer is written only after the commit), so each
//     triplet's counters lie between the answers received and those plus
//     the requests whose answer never came.
// Labelled "heavy" (tests/CMakeLists.txt): several hundred threads on both
// sides, a few seconds in all.
#include <gtest/gtest.h>

#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <fstream>
#include <functional>
#include <latch>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "fixture_db.h"
#include "record_lock.h"
#include "run_daemon.h"
#include "run_server.h"

namespace {

const std::string reject_3480 =
    "action=DEFER_IF_PERMIT Greylisted by murvane 0.4.0, try again in 3480 seconds.  "
    "See https://www.murvane.org/greylisting/ for more information.\n\n";
const std::string dunno = "action=DUNNO\n\n";
const std::string first_pass = "action=PREPEND X-Murvane: Greylisted by murvane 0.4.0 for ";
const std::string sender = "alice@example.org";

std::string recipient_of(const std::string &name) { return name + "@example.net"; }

std::string request_for(const std::string &name, const std::string &client = "192.0.2.1")
{
    return rcpt_request(client, sender, recipient_of(name));
}

const std::string data_stage =
    "request=smtpd_access_policy\nprotocol_state=DATA\nprotocol_name=ESMTP\n"
    "client_address=192.0.2.1\nsender=alice@example.org\nrecipient=bob@example.net\n\n";

// open_descriptors - how many descriptors the process has open.
size_t open_descriptors(pid_t pid)
{
    std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR *d = opendir(dir.c_str());
    if (d == nullptr)
        return 0;
    size_t n = 0;
    while (readdir(d) != nullptr)
        n++;
    closedir(d);
    return n > 2 ? n - 2 : 0;
}

// open_files_limit - the soft RLIMIT_NOFILE of a process, as /proc shows it.
rlim_t open_files_limit(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/limits");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("Max open files", 0) == 0) {
            std::istringstream fields(line.substr(14));
            std::string soft;
            fields >> soft;
            return soft == "unlimited" ? RLIM_INFINITY : std::stoull(soft);
        }
    return 0;
}

// start_ready - a server on a unix socket in `sockets`, serving `home`.
server_process start_ready(const std::string &address, const std::string &home,
                           const std::vector<std::string> &options = {})
{
    server_run run;
    run.address = address;
    run.args = {"-h", home};
    run.args.insert(run.args.end(), options.begin(), options.end());
    server_process server = start_server(run);
    EXPECT_TRUE(wait_ready(server)) << "no READY=1; standard error: " << server.daemon.err;
    return server;
}

TEST(ServerLoad, ThousandIdleConnectionsWhileFiftyAsk)
{
    constexpr int idle = 1000;
    constexpr int asking = 50;
    constexpr int per_connection = 4;
    if (raise_open_files(idle + asking + 200) < idle + asking + 200)
        GTEST_SKIP() << "RLIMIT_NOFILE's hard limit is below " << idle + asking + 200;
    temp_dir home, sockets;
    // The decision line of a new triplet, as a spawn daemon logs it: each
    // of the server's must be this line with its own recipient, whole.
    temp_dir spawn_home;
    daemon_result spawned =
        run_daemon({"-h", spawn_home.path, "--log-decisions"}, request_for("RECIPIENT"));
    ASSERT_EQ(1u, spawned.messages("info").size());
    const std::string decision_line = spawned.messages("info")[0];
    ASSERT_NE(std::string::npos, decision_line.find("RECIPIENT")) << decision_line;

    std::string address = "unix:" + sockets.file("policy");
    // The server starts with a soft limit of 256 descriptors, as a service
    // often does; it must raise it to the hard limit to hold these all.
    struct rlimit limit;
    ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &limit));
    rlim_t soft = limit.rlim_cur;
    limit.rlim_cur = 256;
    ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &limit));
    server_process server = start_ready(address, home.path, {"--log-decisions"});
    limit.rlim_cur = soft;
    ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &limit));
    ASSERT_GT(server.daemon.pid, 0);
    EXPECT_EQ(limit.rlim_max, open_files_limit(server.daemon.pid));

    std::vector<int> idle_fds;
    for (int i = 0; i < idle; i++) {
        int fd = connect_to(address);
        ASSERT_GE(fd, 0) << "idle connection " << i << ": " << strerror(errno);
        idle_fds.push_back(fd);
    }
    // The server has accepted them all, not just left them in its queue.
    EXPECT_TRUE(wait_until([&] { return open_descriptors(server.daemon.pid) >= idle; }, 60000))
        << open_descriptors(server.daemon.pid) << " descriptors open in the server";

    std::mutex lock;
    std::vector<std::string> failures;
    std::latch connected(asking);
    std::vector<std::thread> threads;
    for (int t = 0; t < asking; t++) {
        threads.emplace_back([&, t] {
            int fd = connect_to(address, 30000);
            connected.arrive_and_wait();  // all ask at once
            std::vector<std::string> problems;
            if (fd < 0) {
                problems.push_back("connection " + std::to_string(t) + " refused");
            } else {
                for (int r = 0; r < per_connection; r++) {
                    bool ignored = r == 1;
                    std::string name = "t" + std::to_string(t) + "r" + std::to_string(r);
                    answer_read got = ask(fd, ignored ? data_stage : request_for(name));
                    if (got.text != (ignored ? dunno : reject_3480))
                        problems.push_back(name + ": " + got.text +
                                           (got.timed_out ? " (timed out)" : "") +
                                           (got.closed ? " (closed)" : ""));
                }
                close(fd);
            }
            std::lock_guard<std::mutex> guard(lock);
            failures.insert(failures.end(), problems.begin(), problems.end());
        });
    }
    for (auto &t : threads)
        t.join();
    EXPECT_TRUE(failures.empty()) << failures.size() << " wrong answers, first: " << failures[0];

    // The oldest and the newest idle connection are still served.
    EXPECT_EQ(reject_3480, ask(idle_fds.front(), request_for("first-idle")).text);
    EXPECT_EQ(reject_3480, ask(idle_fds.back(), request_for("last-idle")).text);
    int later = connect_to(address);
    ASSERT_GE(later, 0);
    EXPECT_EQ(reject_3480, ask(later, request_for("later")).text);
    close(later);

    // The stop closes every idle connection, and is orderly.
    daemon_result r = stop_server(server);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_TRUE(r.logged("notice", "server stopped"));
    EXPECT_TRUE(r.messages("err").empty()) << r.messages("err").front();
    size_t left_open = 0;
    for (int fd : idle_fds) {
        struct pollfd p = {fd, POLLRDHUP, 0};
        if (poll(&p, 1, 0) != 1)
            left_open++;
        close(fd);
    }
    EXPECT_EQ(0u, left_open) << "idle connections not closed by the stop";
    EXPECT_EQ(size_t{asking * (per_connection - 1) + 3}, read_records(home.path).size());

    std::set<std::string> expected_lines;
    for (int t = 0; t < asking; t++)
        for (int q = 0; q < per_connection; q++)
            if (q != 1) {
                std::string line = decision_line;
                std::string name = "t" + std::to_string(t) + "r" + std::to_string(q);
                line.replace(line.find("RECIPIENT"), 9, name);
                expected_lines.insert(line);
            }
    std::multiset<std::string> decisions;
    for (const auto &line : r.messages("info"))
        if (line.rfind("decision=", 0) == 0 && line.find("@example.net") != std::string::npos &&
            line.find("idle@") == std::string::npos && line.find("later@") == std::string::npos)
            decisions.insert(line);
    EXPECT_EQ(expected_lines.size(), decisions.size());
    for (const auto &line : expected_lines)
        EXPECT_EQ(1u, decisions.count(line)) << line;
}

// What one connection of a run sent and got: each request's triplet name,
// and its answer when one came in full.
struct connection_log {
    std::vector<std::string> names;
    std::vector<std::string> answers;   // answers[i] belongs to names[i]
    std::string cut_short;              // bytes of an answer that never ended
    bool timed_out = false;
};

// ask_until_closed - ask on `fd` until the server closes it (the test stops
// or kills the server): one request at a time, or `pipelined` at once.
void ask_until_closed(int fd, const std::function<std::string(int)> &name_of, int pipelined,
                      std::atomic<int> &answered, connection_log &log)
{
    std::string pending;
    for (int n = 0;; n += pipelined) {
        std::string batch;
        size_t first = log.names.size();
        for (int i = 0; i < pipelined; i++) {
            log.names.push_back(name_of(n + i));
            batch += request_for(log.names.back());
        }
        // A send that fails (the server has closed) still reads what came.
        send_bytes(fd, batch, 30000);
        for (size_t i = first; i < log.names.size(); i++) {
            answer_read got = read_answer(fd, pending, 30000);
            if (!got.complete) {
                log.cut_short = got.text;
                log.timed_out = got.timed_out;
                return;
            }
            log.answers.push_back(got.text);
            answered++;
        }
    }
}

// SIGTERM with requests in flight.
TEST(ServerLoad, StopWithRequestsInFlight)
{
    constexpr int single = 6;      // connections asking one request at a time
    constexpr int pipelining = 2;  // connections sending three at once
    temp_dir home, sockets;
    std::string address = "unix:" + sockets.file("policy");
    server_process server = start_ready(address, home.path);
    ASSERT_GT(server.daemon.pid, 0);

    std::vector<connection_log> logs(single + pipelining);
    std::vector<int> fds;
    for (size_t c = 0; c < logs.size(); c++) {
        fds.push_back(connect_to(address));
        ASSERT_GE(fds.back(), 0);
    }
    std::atomic<int> answered{0};
    std::vector<std::thread> threads;
    for (size_t c = 0; c < logs.size(); c++)
        threads.emplace_back([&, c] {
            auto name_of = [c](int n) { return "c" + std::to_string(c) + "n" + std::to_string(n); };
            ask_until_closed(fds[c], name_of, c < single ? 1 : 3, answered, logs[c]);
        });
    bool busy = wait_until([&] { return answered >= 150; }, 60000);
    daemon_result r = stop_server(server, SIGTERM, 60000);
    for (auto &t : threads)
        t.join();
    for (int fd : fds)
        close(fd);
    ASSERT_TRUE(busy) << "only " << answered << " answers before the stop";

    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(0, r.signal);
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_TRUE(r.logged("notice", "Received signal 15"));
    EXPECT_TRUE(r.logged("notice", "server stopped"));
    EXPECT_TRUE(r.messages("err").empty()) << r.messages("err").front();

    std::set<std::string> stored;
    for (const auto &[key, value] : read_records(home.path)) {
        stored.insert(key);
        EXPECT_EQ(1u, decode_record(value).block_count);
    }
    size_t answers = 0, unanswered = 0;
    for (size_t c = 0; c < logs.size(); c++) {
        SCOPED_TRACE("connection " + std::to_string(c));
        const connection_log &log = logs[c];
        EXPECT_FALSE(log.timed_out) << "the stop left the connection open";
        EXPECT_EQ("", log.cut_short) << "an answer half-written";
        for (size_t i = 0; i < log.names.size(); i++) {
            std::string key = ipv4_key("192.0.2.1", sender, recipient_of(log.names[i]));
            if (i < log.answers.size()) {
                answers++;
                EXPECT_EQ(reject_3480, log.answers[i]) << log.names[i];
                EXPECT_TRUE(stored.count(key)) << log.names[i] << " answered, not stored";
            } else {
                unanswered++;
                EXPECT_FALSE(stored.count(key)) << log.names[i] << " stored, not answered";
            }
        }
    }
    EXPECT_EQ(answers, stored.size());
    RecordProperty("answered", static_cast<int>(answers));
    RecordProperty("unanswered", static_cast<int>(unanswered));

    // The home is consistent: a spawn daemon and a listing need no recovery
    // and report nothing.
    daemon_result after = run_daemon({"-h", home.path}, request_for("after"));
    EXPECT_EQ(0, after.status);
    EXPECT_EQ(reject_3480, after.out);
    EXPECT_TRUE(after.messages("err").empty()) << after.messages("err").front();
    daemon_result dump = run_daemon({"-h", home.path, "--dump-triplets"});
    EXPECT_EQ(0, dump.status);
    EXPECT_EQ(answers + 1, static_cast<size_t>(std::count(dump.out.begin(), dump.out.end(), '\n')));
    EXPECT_TRUE(dump.messages("err").empty()) << dump.messages("err").front();
}

// in_write - one of the process's threads is blocked in write(2) (x86-64
// number 1), as /proc shows it.
bool in_write(pid_t pid)
{
    std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR *d = opendir(tasks.c_str());
    if (d == nullptr)
        return false;
    bool found = false;
    while (struct dirent *entry = readdir(d)) {
        std::ifstream in(tasks + "/" + entry->d_name + "/syscall");
        long number;
        found = found || (entry->d_name[0] != '.' && (in >> number) && number == 1);
    }
    closedir(d);
    return found;
}

// A client that sends and never reads its answers: once the answers fill
// the socket's buffers, the server gives the connection up (after its
// write's time limit, 10 s) rather than hold its thread; the others are
// served all along, and the stop is orderly.
TEST(ServerLoad, ClientThatNeverReadsLosesItsConnection)
{
    temp_dir home, sockets;
    std::string address = "unix:" + sockets.file("policy");
    server_process server = start_ready(address, home.path);
    ASSERT_GT(server.daemon.pid, 0);
    int deaf = connect_to(address), other = connect_to(address);
    ASSERT_GE(deaf, 0);
    ASSERT_GE(other, 0);
    EXPECT_EQ(dunno, ask(other, data_stage).text);
    std::string batch;
    for (int i = 0; i < 1000; i++)
        batch += data_stage;
    // Until the server's thread is blocked writing the answers nobody reads.
    size_t sent = 0;
    for (int i = 0; i < 1000 && !in_write(server.daemon.pid); i++)
        if (send_bytes(deaf, batch, 1000))
            sent += 1000;
    ASSERT_TRUE(in_write(server.daemon.pid)) << "the server never blocked writing answers";
    EXPECT_EQ(dunno, ask(other, data_stage).text);
    // The connection's end shows on the socket without reading it.
    struct pollfd p = {deaf, POLLRDHUP, 0};
    EXPECT_EQ(1, poll(&p, 1, 60000)) << "the connection of a client that never reads is kept";
    std::string received;
    EXPECT_TRUE(wait_for_close(deaf, 30000, &received));
    size_t answers = received.size() / dunno.size();
    EXPECT_LT(answers, sent);
    std::string whole;
    for (size_t i = 0; i < answers; i++)
        whole += dunno;
    EXPECT_EQ(whole, received.substr(0, whole.size())) << "the answers read were wrong";
    EXPECT_EQ(dunno, ask(other, data_stage).text);
    close(deaf);
    close(other);
    daemon_result r = stop_server(server);
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_TRUE(r.logged("notice", "server stopped"));
}

// A server and spawn daemons on one home at once, as while a site moves
// from one to the other: requests on a small pool of triplets from both,
// every one deferred, and every one counted exactly once in its record.
TEST(ServerLoad, ServerAndSpawnDaemonsShareOneHome)
{
    constexpr int pool = 8;
    constexpr int server_connections = 4;
    constexpr int spawned = 2;
    constexpr int per_client = 60;
    temp_dir home, sockets;
    std::string address = "unix:" + sockets.file("policy");
    server_process server = start_ready(address, home.path);
    ASSERT_GT(server.daemon.pid, 0);

    std::mutex lock;
    std::map<std::string, uint64_t> asked;   // per triplet, requests answered
    std::vector<std::string> problems;
    auto note = [&](const std::string &name, const std::string &answer) {
        std::lock_guard<std::mutex> guard(lock);
        if (answer.rfind("action=DEFER_IF_PERMIT Greylisted by murvane", 0) == 0 &&
            answer.size() > 2 && answer.substr(answer.size() - 2) == "\n\n")
            asked[name]++;
        else
            problems.push_back(name + ": " + answer);
    };
    std::vector<std::thread> threads;
    for (int c = 0; c < server_connections + spawned; c++)
        threads.emplace_back([&, c] {
            std::mt19937 random(100 + c);
            auto next = [&] { return "s" + std::to_string(random() % pool); };
            if (c < server_connections) {
                int fd = connect_to(address);
                for (int i = 0; fd >= 0 && i < per_client; i++) {
                    std::string name = next();
                    note(name, ask(fd, request_for(name)).text);
                }
                if (fd >= 0)
                    close(fd);
                return;
            }
            daemon_run run;
            run.args = {"-h", home.path};
            daemon_process daemon = start_daemon(run);
            for (int i = 0; i < per_client; i++) {
                std::string name = next();
                size_t from = daemon.out.size();
                if (!write_input(daemon, request_for(name)) ||
                    !read_output_until(daemon, "\n\n", 30000, from)) {
                    note(name, "(no answer from the spawn daemon)");
                    break;
                }
                note(name, daemon.out.substr(from));
            }
            close_input(daemon);
            daemon_result r = finish_daemon(daemon);
            if (r.status != 0 || !r.messages("err").empty())
                note("spawn daemon", "status " + std::to_string(r.status));
        });
    for (auto &t : threads)
        t.join();
    daemon_result r = stop_server(server);
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_TRUE(r.messages("err").empty()) << r.messages("err").front();
    EXPECT_TRUE(problems.empty()) << problems.size() << " wrong answers, first " << problems[0];

    uint64_t total = 0;
    std::map<std::string, uint64_t> stored;
    for (const auto &[key, value] : read_records(home.path))
        stored[key] = decode_record(value).block_count;
    for (const auto &[name, count] : asked) {
        EXPECT_EQ(count, stored[ipv4_key("192.0.2.1", sender, recipient_of(name))]) << name;
        total += count;
    }
    EXPECT_EQ(uint64_t{(server_connections + spawned) * per_client}, total);
    EXPECT_EQ(asked.size(), stored.size());
}

// What the first opener after a kill may log while it recovers (as in
// torture_test): regions left by a process killed inside its own recovery.
bool after_kill_line(const std::string &message)
{
    return message == "Berkeley DB: BDB0060 PANIC: fatal region error detected; run recovery" ||
           message == "Berkeley DB: BDB1546 unable to join the environment";
}

// The request bound: a request held for 30 s (behind a page lock this
// program holds) ends the whole server with status 1 and the request named,
// no answer; meanwhile requests that need no lock are served. The restart
// serves the triplet. This waits out the binary's own bound.
TEST(ServerLoad, RequestBoundEndsTheServer)
{
    temp_dir home, sockets;
    std::string address = "unix:" + sockets.file("policy");
    const std::string key = ipv4_key("192.0.2.1", sender, recipient_of("stuck"));
    put_records(home.path, "triplets-1.db", {{key, record_value(time(nullptr), time(nullptr), 1, 0)}});
    server_process server = start_ready(address, home.path);
    ASSERT_GT(server.daemon.pid, 0);
    int stuck = connect_to(address), other = connect_to(address);
    ASSERT_GE(stuck, 0);
    ASSERT_GE(other, 0);
    daemon_result r;
    {
        record_lock lock(home.path, "triplets-1.db", key);
        ASSERT_EQ(0, lock.error()) << db_strerror(lock.error());
        unsigned long long waits = lock.waiting_lockers();
        ASSERT_TRUE(send_bytes(stuck, request_for("stuck")));
        ASSERT_TRUE(wait_until([&] { return lock.waiting_lockers() > waits; }, 30000));
        EXPECT_EQ(dunno, ask(other, data_stage).text);
        r = finish_daemon(server.daemon, 60000);
    }
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(1, r.status);
    EXPECT_EQ(std::vector<std::string>{"request not finished after 30 seconds, exiting without "
                                       "an answer: client_address=192.0.2.1, "
                                       "sender=alice@example.org, recipient=stuck@example.net"},
              r.messages("err"));
    std::string received;
    EXPECT_TRUE(wait_for_close(stuck, 10000, &received));
    EXPECT_EQ("", received);
    close(stuck);
    close(other);

    server = start_ready(address, home.path);
    int fd = connect_to(address);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(0u, ask(fd, request_for("stuck")).text.rfind("action=DEFER_IF_PERMIT ", 0));
    close(fd);
    daemon_result again = stop_server(server);
    EXPECT_EQ(0, again.status);
    for (const auto &e : again.messages("err"))
        EXPECT_TRUE(after_kill_line(e)) << e;
}

// SIGKILL under load, then a restart on the same home.
TEST(ServerLoad, KilledUnderLoadLosesNoAnswer)
{
    constexpr int pool = 16;        // triplets seeded back-dated: they pass
    constexpr int fresh = 4;        // triplets never seen: deferred
    constexpr int connections = 6;
    temp_dir home, sockets;
    std::string address = "unix:" + sockets.file("policy");
    time_t now = time(nullptr);
    record_list seed;
    for (int t = 0; t < pool; t++)
        seed.push_back({ipv4_key("192.0.2.1", sender, recipient_of("p" + std::to_string(t))),
                        record_value(now - 7200, now - 7200, 1, 0)});
    put_records(home.path, "triplets-1.db", seed);

    server_process server = start_ready(address, home.path);
    ASSERT_GT(server.daemon.pid, 0);
    std::vector<connection_log> logs(connections);
    std::vector<int> fds;
    for (int c = 0; c < connections; c++) {
        fds.push_back(connect_to(address));
        ASSERT_GE(fds.back(), 0);
    }
    std::atomic<int> answered{0};
    std::vector<std::thread> threads;
    for (int c = 0; c < connections; c++)
        threads.emplace_back([&, c] {
            std::mt19937 random(c);
            auto name_of = [&random](int) {
                int t = static_cast<int>(random() % (pool + fresh));
                return t < pool ? "p" + std::to_string(t) : "f" + std::to_string(t - pool);
            };
            ask_until_closed(fds[c], name_of, c == 0 ? 3 : 1, answered, logs[c]);
        });
    bool busy = wait_until([&] { return answered >= 300; }, 60000);
    daemon_result killed = stop_server(server, SIGKILL, 30000);
    for (auto &t : threads)
        t.join();
    for (int fd : fds)
        close(fd);
    ASSERT_TRUE(busy) << "only " << answered << " answers before the kill";
    EXPECT_EQ(SIGKILL, killed.signal);

    // The restart recovers the home and serves.
    server = start_ready(address, home.path);
    ASSERT_GT(server.daemon.pid, 0);
    int probe = connect_to(address);
    ASSERT_GE(probe, 0);
    EXPECT_EQ(reject_3480, ask(probe, request_for("probe")).text);
    close(probe);
    daemon_result restarted = stop_server(server);
    EXPECT_EQ(0, restarted.status) << restarted.err;
    for (const auto &e : restarted.messages("err"))
        EXPECT_TRUE(after_kill_line(e)) << e;

    // Count, per triplet, the answers received and the requests left open.
    struct tally {
        uint64_t deferred = 0, passed = 0, first_passes = 0, unknown = 0;
    };
    std::map<std::string, tally> by_name;
    for (const auto &log : logs) {
        EXPECT_FALSE(log.timed_out) << "a connection outlived the kill";
        for (size_t i = 0; i < log.names.size(); i++) {
            tally &t = by_name[log.names[i]];
            if (i >= log.answers.size()) {
                t.unknown++;
                continue;
            }
            const std::string &a = log.answers[i];
            bool seeded = log.names[i][0] == 'p';
            // Times here are the real clock's: the seconds may move.
            if (a.rfind("action=DEFER_IF_PERMIT Greylisted by murvane", 0) == 0 && !seeded) {
                t.deferred++;
            } else if (a == dunno && seeded) {
                t.passed++;
            } else if (a.rfind(first_pass, 0) == 0 && seeded) {
                t.passed++;
                t.first_passes++;
            } else {
                ADD_FAILURE() << log.names[i] << " answered " << a;
            }
        }
    }
    std::map<std::string, record_fields> stored;
    for (const auto &[key, value] : read_records(home.path))
        stored[key] = decode_record(value);
    for (const auto &[name, t] : by_name) {
        SCOPED_TRACE(name);
        EXPECT_LE(t.first_passes, 1u) << "told twice that it passed for the first time";
        auto found = stored.find(ipv4_key("192.0.2.1", sender, recipient_of(name)));
        if (t.deferred + t.passed == 0 && name[0] == 'f')
            continue;  // never answered: stored or not
        ASSERT_NE(stored.end(), found) << "answered, not stored";
        const record_fields &r = found->second;
        if (name[0] == 'p') {
            EXPECT_EQ(1u, r.block_count);
            EXPECT_LE(t.passed, r.pass_count);
            EXPECT_GE(t.passed + t.unknown, r.pass_count);
        } else {
            EXPECT_EQ(0u, r.pass_count);
            EXPECT_LE(t.deferred, r.block_count);
            EXPECT_GE(t.deferred + t.unknown, r.block_count);
        }
    }
}

}  // namespace
