// SPDX-License-Identifier: BSD-2-Clause
// server.cc - section 7: the resident server (murvane --listen) beside
// daemons spawned one per connection, on the same workload; and the server's
// memory with many idle connections open.
//
// Both sides get the same stream of requests through the driver: the spawn
// side a daemon per connection on a pair of pipes (as sections 1 and 3), the
// server side K connections to one server on a Unix socket, each on a home
// of its own holding the same known set. They take turns round by round, the
// order alternating, and ratios are taken round by round. CPU per request is
// the serving processes' CPU during the measured phase: the sum over the
// spawned daemons, the server's whole process (every thread) for the other.
//
// The server is started once for the section, in the foreground, with a
// bare environment, umask 077 and NOTIFY_SOCKET on an abstract datagram
// socket of this process: its "READY=1" says that it listens (bounded wait).
// It is stopped by its PID with SIGTERM and must exit 0. A server that does
// not start or dies is a failed run; the section then reports no figures.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "processes.h"
#include "sections.h"
#include "suite.h"
#include "workload.h"

namespace {

constexpr int ready_timeout_s = 30;   // start-up, recovery included, on a busy machine
constexpr int stop_timeout_s = 60;    // requests in flight, checkpoint, close
constexpr double memory_bound_kb = 100 * 1024;  // the goal: under 100 MiB resident

struct server_process {
    pid_t pid = -1;       // -1: not running
    int notify_fd = -1;   // its NOTIFY_SOCKET, kept open until it has stopped
    long base_threads = 0;  // its threads when ready, before any connection
    std::string socket_path, log, stderr_log;
};

// notify_socket - a datagram socket in the abstract namespace, as systemd
// hands one to a Type=notify service; its name goes in `name`.
int notify_socket(std::string &name)
{
    name = fmt("murvane-bench-%d-%llx", static_cast<int>(getpid()),
               static_cast<unsigned long long>(now_ns()));
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return -1;
    struct sockaddr_un address{};
    address.sun_family = AF_UNIX;
    memcpy(address.sun_path + 1, name.data(), name.size());  // sun_path[0] = 0: abstract
    socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    if (bind(fd, reinterpret_cast<struct sockaddr *>(&address), length) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// wait_ready - the server's "READY=1" on the notify socket, within the
// bound; false when it exits first or stays silent.
bool wait_ready(server_process &s, std::string &why)
{
    uint64_t until = now_ns() + ready_timeout_s * 1000000000ULL;
    while (now_ns() < until) {
        struct pollfd p = {s.notify_fd, POLLIN, 0};
        if (poll(&p, 1, 100) > 0) {
            char message[512];
            ssize_t n = recv(s.notify_fd, message, sizeof message - 1, 0);
            if (n > 0) {
                message[n] = '\0';
                if (strstr(message, "READY=1") != nullptr)
                    return true;
            }
        }
        int status;
        if (waitpid(s.pid, &status, WNOHANG) == s.pid) {
            s.pid = -1;
            why = fmt("it exited at start (%s %d); see %s and %s",
                      WIFEXITED(status) ? "status" : "signal",
                      WIFEXITED(status) ? WEXITSTATUS(status) : WTERMSIG(status), s.log.c_str(),
                      s.stderr_log.c_str());
            return false;
        }
    }
    why = fmt("no READY=1 within %d s; see %s", ready_timeout_s, s.log.c_str());
    return false;
}

server_process start_server(const std::string &dir, const std::string &home)
{
    server_process s;
    s.socket_path = dir + "/listen.sock";
    s.log = dir + "/server.log";
    s.stderr_log = dir + "/server.stderr";
    if (s.socket_path.size() >= sizeof(sockaddr_un::sun_path)) {
        failed("server", "socket path too long for a Unix socket: " + s.socket_path);
        return s;
    }
    std::string notify_name;
    s.notify_fd = notify_socket(notify_name);
    if (s.notify_fd < 0) {
        failed("server", std::string("notify socket: ") + strerror(errno));
        return s;
    }
    std::vector<std::string> argv = {paths.murvane, "--listen", "unix:" + s.socket_path,
                                     "-h", home, "-g", std::to_string(cfg.delay)};
    // Its syslog lines to a file: it logs at start and stop, not per request.
    std::vector<std::string> env = bare_environment();
    for (const auto &e : capture_env(s.log))
        env.push_back(e);
    env.push_back("NOTIFY_SOCKET=@" + notify_name);
    pid_t pid = fork();
    if (pid == 0) {
        int null_fd = open("/dev/null", O_RDWR);
        int err_fd = open(s.stderr_log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (null_fd >= 0) {
            dup2(null_fd, 0);
            dup2(null_fd, 1);
        }
        if (err_fd >= 0)
            dup2(err_fd, 2);
        signal(SIGPIPE, SIG_DFL);
        umask(077);
        std::vector<char *> args, envp;
        for (const auto &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        for (const auto &e : env)
            envp.push_back(const_cast<char *>(e.c_str()));
        envp.push_back(nullptr);
        execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    if (pid < 0) {
        failed("server", "fork failed");
        return s;
    }
    s.pid = pid;
    std::string why;
    if (!wait_ready(s, why)) {
        if (s.pid > 0) {
            kill(s.pid, SIGKILL);  // the server this section started, by its PID
            wait_bounded(s.pid, 5);
            s.pid = -1;
        }
        failed("server", why);
        return s;
    }
    s.base_threads = process_status_kb(s.pid, "Threads:");
    return s;
}

// stop_server - SIGTERM to the server this section started; it must answer
// what is in flight, close, and exit 0 within the bound.
void stop_server(server_process &s)
{
    if (s.pid > 0) {
        kill(s.pid, SIGTERM);
        int status = wait_bounded(s.pid, stop_timeout_s);
        if (status != 0)
            failed("server stop", fmt("status %d; see %s", status, s.log.c_str()));
        else if (count_in_file(s.log, "server stopped") == 0)
            failed("server stop", "no \"server stopped\" in " + s.log);
        s.pid = -1;
    }
    if (s.notify_fd >= 0)
        close(s.notify_fd);
    s.notify_fd = -1;
}

bool server_alive(server_process &s)
{
    int status;
    if (s.pid > 0 && waitpid(s.pid, &status, WNOHANG) == s.pid) {
        failed("server", fmt("it exited during the section; see %s", s.log.c_str()));
        s.pid = -1;
    }
    return s.pid > 0;
}

struct server_row {
    int connections;
    bool fresh;
    std::vector<run_result> spawn, server;  // round by round
    std::vector<double> flush_us;           // before each round
};

// check_answers - new triplets are deferred and known ones let through, by
// both sides.
void check_answers(const char *side, const server_row &row, const run_result &r)
{
    std::string want = row.fresh ? "DEFER_IF_PERMIT" : "DUNNO";
    if (r.ok && r.answers.count(want) == 0)
        failed(fmt("%s's answers at %d, %s", side, row.connections,
                   row.fresh ? "new" : "known"),
               answers_text(r.answers));
}

std::vector<server_row> server_rounds(server_process &srv, const std::string &spawn_home)
{
    std::vector<server_row> rows;
    for (int k : cfg.server_connections)
        for (bool fresh : {true, false}) {
            server_row row{k, fresh, {}, {}, {}};
            for (int round = 0; round < cfg.server_rounds; round++) {
                if (!server_alive(srv))
                    return rows;
                progress("  %d connection%s, %s triplets, round %d of %d", k, k == 1 ? "" : "s",
                         fresh ? "new" : "known", round + 1, cfg.server_rounds);
                row.flush_us.push_back(flush_latency_us(20));
                load_spec l;
                l.connections = k;
                l.seconds = cfg.round_seconds;
                target_spec served;
                served.unix_path = srv.socket_path;
                served.server_pids = {srv.pid};
                std::string at = fmt(" at %d, %s", k, fresh ? "new" : "known");
                // Alternate: every other round the server goes first.
                for (int turn = 0; turn < 2; turn++) {
                    stream_spec s;
                    s.fresh = fresh;
                    s.space = fresh ? fresh_space() : "k";
                    s.known = cfg.compare_known;
                    if ((turn + round) % 2 == 0) {
                        row.spawn.push_back(
                            drive_checked("spawn" + at, daemon_target(spawn_home), s, l));
                        check_answers("spawn", row, row.spawn.back());
                    } else {
                        row.server.push_back(drive_checked("server" + at, served, s, l));
                        check_answers("server", row, row.server.back());
                    }
                }
            }
            rows.push_back(row);
        }
    return rows;
}

// What /proc says of the server's memory and threads at one moment.
struct memory_figures {
    long rss_kb = 0, hwm_kb = 0, anon_kb = 0, threads = 0;
};

memory_figures server_memory(pid_t pid)
{
    return {process_status_kb(pid, "VmRSS:"), process_status_kb(pid, "VmHWM:"),
            process_status_kb(pid, "RssAnon:"), process_status_kb(pid, "Threads:")};
}

struct idle_figures {
    int wanted = 0, opened = 0, answered = 0;
    double open_s = NAN;  // to open them all and have each answered once
    memory_figures before, with, after;
};

// idle_connections - open `count` connections to the server, have each
// answered once (a known triplet, so that every connection's thread has
// served a request, as a mail server's idle policy connection has), read the
// server's memory while they all stay open and idle, then close them and
// read it again once its threads are gone.
// settle - wait, bounded, until the threads of closed connections are gone.
void settle(const server_process &srv)
{
    uint64_t until = now_ns() + 10 * 1000000000ULL;
    while (now_ns() < until && process_status_kb(srv.pid, "Threads:") > srv.base_threads)
        usleep(20000);
}

idle_figures idle_connections(server_process &srv, int count)
{
    idle_figures f;
    f.wanted = count;
    settle(srv);  // the last run's connection threads may still be ending
    f.before = server_memory(srv.pid);
    struct rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }
    std::vector<int> fds;
    std::vector<std::string> answers;
    uint64_t t0 = now_ns();
    struct sockaddr_un address{};
    address.sun_family = AF_UNIX;
    memcpy(address.sun_path, srv.socket_path.c_str(), srv.socket_path.size() + 1);
    for (int i = 0; i < count; i++) {
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            failed("idle connections", fmt("socket %d: %s", i, strerror(errno)));
            break;
        }
        // A full backlog makes connect wait for an accept: bounded.
        struct timeval bound = {30, 0};
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
        if (connect(fd, reinterpret_cast<struct sockaddr *>(&address), sizeof address) != 0) {
            failed("idle connections", fmt("connect %d: %s", i, strerror(errno)));
            close(fd);
            break;
        }
        bench_triplet t;
        make_triplet("k", static_cast<uint64_t>(i) % cfg.compare_known, &t);
        char request[4096];
        size_t length = format_request(request, sizeof request, t, static_cast<uint64_t>(i));
        if (write(fd, request, length) != static_cast<ssize_t>(length)) {
            failed("idle connections", fmt("write %d: %s", i, strerror(errno)));
            close(fd);
            break;
        }
        fcntl(fd, F_SETFL, O_NONBLOCK);
        fds.push_back(fd);
        answers.emplace_back();
    }
    f.opened = static_cast<int>(fds.size());

    // Every answer, within a bound.
    uint64_t until = now_ns() + 120 * 1000000000ULL;
    std::vector<bool> done(fds.size(), false);
    std::vector<struct pollfd> polled;
    std::vector<size_t> which;
    while (f.answered < f.opened && now_ns() < until) {
        polled.clear();
        which.clear();
        for (size_t i = 0; i < fds.size(); i++)
            if (!done[i]) {
                polled.push_back({fds[i], POLLIN, 0});
                which.push_back(i);
            }
        if (poll(polled.data(), polled.size(), 1000) <= 0)
            continue;
        for (size_t j = 0; j < polled.size(); j++) {
            if (!(polled[j].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            size_t i = which[j];
            char buf[512];
            ssize_t n = read(fds[i], buf, sizeof buf);
            if (n > 0)
                answers[i].append(buf, static_cast<size_t>(n));
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
                done[i] = true;  // closed on us: counted as unanswered below
                continue;
            }
            if (answers[i].find("\n\n") != std::string::npos) {
                done[i] = true;
                if (answers[i].rfind("action=DUNNO", 0) == 0)
                    f.answered++;
            }
        }
        bool all_done = true;
        for (bool d : done)
            all_done = all_done && d;
        if (all_done)
            break;
    }
    f.open_s = static_cast<double>(now_ns() - t0) / 1e9;
    if (f.answered < f.wanted)
        failed("idle connections", fmt("%d of %d connections opened and answered DUNNO",
                                       f.answered, f.wanted));
    f.with = server_memory(srv.pid);

    for (int fd : fds)
        close(fd);
    settle(srv);  // what the process keeps once their threads are gone
    f.after = server_memory(srv.pid);
    return f;
}

template <typename F>
std::vector<double> values(const std::vector<run_result> &runs, F get)
{
    std::vector<double> v;
    for (const auto &r : runs)
        if (r.ok && r.requests > 0)
            v.push_back(get(r));
    return v;
}

// per_round - the server's figure over the spawn side's, round by round
template <typename F>
std::vector<double> per_round(const server_row &row, F get)
{
    std::vector<double> ratios;
    for (size_t i = 0; i < std::min(row.spawn.size(), row.server.size()); i++) {
        const run_result &a = row.server[i], &b = row.spawn[i];
        if (a.ok && b.ok && a.requests > 0 && b.requests > 0 && get(b) > 0)
            ratios.push_back(get(a) / get(b));
    }
    return ratios;
}

void write_rows(const std::vector<server_row> &rows)
{
    auto rps = [](const run_result &r) { return r.rps; };
    auto cpu = [](const run_result &r) { return r.cpu_us; };
    auto p50 = [](const run_result &r) { return r.latency.p50_us; };
    auto p99 = [](const run_result &r) { return r.latency.p99_us; };
    report << "| connections | triplets | program | requests/s | p50 µs | p99 µs | CPU µs/request "
              "| daemon exits | answers (last round) |\n"
           << "|---|---|---|---|---|---|---|---|---|\n";
    for (const auto &row : rows)
        for (int side = 0; side < 2; side++) {
            const std::vector<run_result> &runs = side == 0 ? row.spawn : row.server;
            uint64_t exits = 0;
            for (const auto &r : runs)
                exits += r.exits;
            report << "| " << row.connections << " | " << (row.fresh ? "new" : "known") << " | "
                   << (side == 0 ? "spawn" : "server") << " | "
                   << number(median(values(runs, rps))) << " | "
                   << number(median(values(runs, p50))) << " | "
                   << number(median(values(runs, p99))) << " | "
                   << number(median(values(runs, cpu)), 1) << " | " << exits << " | "
                   << (runs.empty() ? "-" : answers_text(runs.back().answers)) << " |\n";
        }
    report << "\nRatios of the server to the spawned daemons, round by round (median, and "
              "min-max in brackets). *Disk flush* is the median time of a 512-byte write and "
              "fdatasync() in the work directory, taken before each round.\n\n"
           << "| connections | triplets | disk flush µs | throughput server/spawn | "
              "CPU per request server/spawn |\n|---|---|---|---|---|\n";
    for (const auto &row : rows)
        report << "| " << row.connections << " | " << (row.fresh ? "new" : "known") << " | "
               << number(median(row.flush_us)) << " | " << ratio_text(per_round(row, rps))
               << " | " << ratio_text(per_round(row, cpu)) << " |\n";
    report << "\n";
    for (const auto &row : rows) {
        std::string at = fmt("%d connection%s, %s triplets", row.connections,
                             row.connections == 1 ? "" : "s", row.fresh ? "new" : "known");
        add_target("throughput server/spawn >= 1.0, " + at, per_round(row, rps), 1.0, true);
    }
    for (const auto &row : rows) {
        std::string at = fmt("%d connection%s, %s triplets", row.connections,
                             row.connections == 1 ? "" : "s", row.fresh ? "new" : "known");
        add_target("CPU per request server/spawn <= 1.0, " + at, per_round(row, cpu), 1.0, false);
    }
}

void write_memory(const idle_figures &f, const std::vector<server_row> &rows)
{
    report << "The server's memory from /proc/PID/status: before the idle connections (after "
              "the rounds above), with "
           << f.opened << " connections open and idle, each answered once (opened and "
           << "answered in " << number(f.open_s, 2) << " s), and after they closed.\n\n"
           << "| server | VmRSS KiB | VmHWM KiB | RssAnon KiB | threads |\n|---|---|---|---|---|\n";
    const std::pair<const char *, const memory_figures *> lines[] = {
        {"before", &f.before}, {"with the idle connections", &f.with},
        {"after they closed", &f.after}};
    for (const auto &[what, m] : lines)
        report << "| " << what << " | " << m->rss_kb << " | " << m->hwm_kb << " | "
               << m->anon_kb << " | " << m->threads << " |\n";
    if (f.opened > 0)
        report << "\nPer idle connection: "
               << number(static_cast<double>(f.with.rss_kb - f.before.rss_kb) / f.opened, 1)
               << " KiB resident.";
    // For scale: one spawned daemon, from the runs at one connection.
    long hwm = 0, anon = 0;
    for (const auto &row : rows)
        if (row.connections == 1)
            for (const auto &r : row.spawn)
                if (r.vm_hwm_kb > hwm) {
                    hwm = r.vm_hwm_kb;
                    anon = r.rss_anon_kb;
                }
    if (hwm > 0)
        report << " For scale, one spawned daemon held " << hwm << " KiB at its peak, " << anon
               << " KiB of it private (the rest shared library and region pages): "
               << f.wanted << " of them would hold about "
               << number(static_cast<double>(anon) * f.wanted / 1024, 0)
               << " MiB privately.";
    report << "\n\n";
    bool measured = f.opened > 0 && f.answered == f.wanted;
    targets.push_back({fmt("server VmRSS with %d idle connections < 100 MiB", f.wanted),
                       measured ? std::to_string(f.with.rss_kb) + " KiB" : "-",
                       measured && f.with.rss_kb < memory_bound_kb, measured});
}

}  // namespace

void server_section()
{
    progress("server: murvane --listen beside spawned daemons");
    std::string dir = paths.work + "/server";
    std::string spawn_home = dir + "/spawn", server_home = dir + "/server-home";
    fresh_dir(dir);
    fresh_dir(spawn_home);
    fresh_dir(server_home);
    report << "## 7. The resident server beside spawned daemons\n\n";
    if (!load_database(spawn_home, "k", cfg.compare_known, 0) ||
        !load_database(server_home, "k", cfg.compare_known, 0)) {
        report << "The homes could not be loaded; nothing measured.\n\n";
        return;
    }
    server_process srv = start_server(dir, server_home);
    if (srv.pid < 0) {
        report << "The server did not start (see " << srv.log << "); nothing measured.\n\n";
        stop_server(srv);
        return;
    }
    std::vector<server_row> rows = server_rounds(srv, spawn_home);
    idle_figures idle;
    if (server_alive(srv)) {
        progress("  %d idle connections", cfg.server_idle);
        idle = idle_connections(srv, cfg.server_idle);
    }
    stop_server(srv);

    report << "The same requests to daemons spawned one per connection on pipes (*spawn*, as "
              "in section 1: a bare environment, umask 077, ended with SIGTERM after the "
              "measured phase, so neither their start nor their exit's expiry pass counts) and "
              "to one `murvane --listen unix:PATH` server over K connections to its socket "
              "(*server*, started once for the section and kept running), each on a home of "
              "its own holding the same "
           << cfg.compare_known << " known triplets (bench_floor load). Each configuration ran "
           << cfg.server_rounds << " round" << (cfg.server_rounds > 1 ? "s" : "") << " of "
           << number(cfg.round_seconds, 1)
           << " s per side, the side that goes first alternating; figures are medians over "
              "the rounds. CPU is the serving processes' CPU time per answered request, from "
              "their CPU clocks: the sum over the spawned daemons, the server's whole process "
              "(all its threads, those of closed connections included).\n\n";
    write_rows(rows);
    if (idle.wanted > 0)
        write_memory(idle, rows);
}
