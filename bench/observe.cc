// SPDX-License-Identifier: BSD-2-Clause
// observe.cc - section 6: what watching the daemon costs. The decision log
// (--log-decisions) against the same daemon without it, in alternating
// rounds; and murvane --stats over a large home: its time alone, and the
// wait of the requests that daemons serve while it walks.
//
// The daemons' syslog goes to a file through the capture library in both
// configurations of the log's rounds, so that they differ only in the line
// per request. The statistics run is the driver's probe: started one second
// into a load of known triplets, it walks while the load goes on, and the
// requests answered before it and during its walk are counted apart.
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "processes.h"
#include "sections.h"
#include "suite.h"
#include "workload.h"

namespace fs = std::filesystem;

namespace {

struct log_row {
    const char *what;
    bool fresh;
    bool datagram;  // syslog as datagrams to a receiver; else the capture file
    std::vector<double> plain_rps, logged_rps, ratios, plain_cpu, logged_cpu, cpu_ratios;
    size_t lines = 0;  // decision lines the logged runs wrote
};

// A stand-in for the local syslog daemon: a process that reads the
// datagrams on a Unix socket and drops them, counting decision lines, until
// its pipe closes; then it writes its count to `count_file`.
struct receiver {
    pid_t pid = -1;
    int pipe_fd = -1;
};

receiver start_receiver(const std::string &socket_path, const std::string &count_file)
{
    receiver r;
    int fds[2];
    if (pipe(fds) != 0)
        return r;
    unlink(socket_path.c_str());
    int sock = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un address{};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof address.sun_path, "%s", socket_path.c_str());
    if (sock < 0 || bind(sock, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        if (sock >= 0)
            close(sock);
        close(fds[0]);
        close(fds[1]);
        return r;
    }
    chmod(socket_path.c_str(), 0666);  // the daemons run with umask 077
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[1]);
        size_t count = 0;
        char buffer[9000];
        for (;;) {
            struct pollfd p[2] = {{sock, POLLIN, 0}, {fds[0], POLLIN, 0}};
            if (poll(p, 2, 1000) < 0 && errno != EINTR)
                break;
            if (p[0].revents & POLLIN) {
                ssize_t n = recv(sock, buffer, sizeof buffer - 1, MSG_DONTWAIT);
                if (n > 0) {
                    buffer[n] = '\0';
                    if (strstr(buffer, "]: decision=") != nullptr)
                        count++;
                }
                continue;
            }
            if (p[1].revents & (POLLIN | POLLHUP))
                break;
        }
        FILE *out = fopen(count_file.c_str(), "w");
        if (out != nullptr) {
            fprintf(out, "%zu\n", count);
            fclose(out);
        }
        _exit(0);
    }
    close(sock);
    close(fds[0]);
    if (pid < 0) {
        close(fds[1]);
        return r;
    }
    r.pid = pid;
    r.pipe_fd = fds[1];
    return r;
}

// stop_receiver - its count of decision lines.
size_t stop_receiver(receiver &r, const std::string &count_file)
{
    if (r.pid < 0)
        return 0;
    close(r.pipe_fd);
    wait_bounded(r.pid, 30);
    r.pid = -1;
    std::ifstream in(count_file);
    size_t count = 0;
    in >> count;
    return count;
}

void log_rounds(const std::string &home, log_row *row)
{
    std::string socket_path = home + "/syslog.sock", count_file = home + "/received";
    receiver rx;
    if (row->datagram) {
        rx = start_receiver(socket_path, count_file);
        if (rx.pid < 0) {
            failed("decision log", "the syslog receiver did not start");
            return;
        }
    }
    for (int round = 0; round < cfg.log_rounds; round++) {
        run_result r[2];
        // Alternate which configuration goes first.
        for (int k = 0; k < 2; k++) {
            bool logged = (k + round) % 2 == 1;
            std::string log = home + fmt("/log-%d-%d.txt", round, logged);
            std::vector<std::string> env;
            if (row->datagram) {
                env = preload_env(paths.syslog_datagram);
                env.push_back("MURVANE_SYSLOG_SOCKET=" + socket_path);
            } else {
                env = capture_env(log);
            }
            target_spec t = daemon_target(home, env);
            if (logged)
                t.argv.push_back("--log-decisions");
            stream_spec s;
            s.fresh = row->fresh;
            s.space = row->fresh ? fresh_space() : "k";
            s.known = row->fresh ? 0 : cfg.compare_known;
            load_spec l;
            l.seconds = cfg.round_seconds;
            r[logged] = drive_checked(fmt("log round, %s", row->what), t, s, l);
            if (logged && !row->datagram)
                row->lines += count_in_file(log, "\tdecision=");
            std::error_code ec;
            fs::remove(log, ec);
        }
        if (!r[0].ok || !r[1].ok)
            continue;
        row->plain_rps.push_back(r[0].rps);
        row->logged_rps.push_back(r[1].rps);
        row->plain_cpu.push_back(r[0].cpu_us);
        row->logged_cpu.push_back(r[1].cpu_us);
        row->ratios.push_back(r[1].rps / r[0].rps);
        row->cpu_ratios.push_back(r[0].cpu_us / r[1].cpu_us);
    }
    if (row->datagram)
        row->lines = stop_receiver(rx, count_file);
}

void log_part()
{
    std::string home = paths.work + "/observe-log";
    fresh_dir(home);
    chmod(home.c_str(), 0755);
    if (!load_database(home, "k", cfg.compare_known, 0))
        return;
    log_row rows[] = {{"known triplets, datagrams", false, true, {}, {}, {}, {}, {}, {}, 0},
                      {"new triplets, datagrams", true, true, {}, {}, {}, {}, {}, {}, 0},
                      {"known triplets, capture file", false, false, {}, {}, {}, {}, {}, {}, 0}};
    for (auto &row : rows) {
        progress("observe: the decision log, %s, %d rounds", row.what, cfg.log_rounds);
        log_rounds(home, &row);
    }
    report << "### The decision log\n\n"
           << "One connection, " << cfg.log_rounds << " alternating rounds of "
           << number(cfg.round_seconds, 1)
           << " s per configuration: the plain daemon and the daemon with --log-decisions. "
              "*Datagrams*: the daemon's syslog goes out as one datagram per message on a "
              "Unix socket, formatted as the C library formats it for /dev/log "
              "(bench/syslog_datagram.c, preloaded), to a receiver process that reads and "
              "drops them, as a local syslog daemon would receive them (the machine has no "
              "syslog daemon of its own). *Capture file*: the tests' capture library, which "
              "opens, appends to and closes a file for every message: a heavier path than "
              "a datagram, shown as an upper bound. Known triplets: "
           << cfg.compare_known
           << " stored ones asked at random (DUNNO); new triplets: a fresh space per run "
              "(deferred). Every request ends in a commit flushed to disk. Rates and CPU "
              "are medians over the rounds; the ratios are logged / plain requests per "
              "second, and plain / logged CPU per request, per round (median, min-max).\n\n"
           << "| triplets, syslog | plain requests/s | logged requests/s | rate ratio | "
              "plain CPU µs/request | logged CPU µs/request | CPU ratio | decision lines |\n"
              "|---|---|---|---|---|---|---|---|\n";
    for (auto &row : rows) {
        report << "| " << row.what << " | " << number(median(row.plain_rps)) << " | "
               << number(median(row.logged_rps)) << " | " << ratio_text(row.ratios) << " | "
               << number(median(row.plain_cpu), 1) << " | "
               << number(median(row.logged_cpu), 1) << " | " << ratio_text(row.cpu_ratios)
               << " | " << row.lines << " |\n";
        if (row.datagram)
            add_target(fmt("decision log, %s: logged / plain requests per second (at least "
                           "0.95)", row.what),
                       row.ratios, 0.95, true);
    }
    report << "\n";
    // The line's own CPU, in-process, without the flush that hides it.
    int status;
    std::string line = run_program({paths.build + "/bench/bench_decision_line", "--lines",
                                    cfg.smoke ? "2000" : "200000", "--socket",
                                    home + "/line.sock"},
                                   300, &status);
    auto f = fields(line);
    if (status != 0) {
        failed("bench_decision_line", "status " + std::to_string(status));
    } else {
        report << "The line's own cost, measured in-process by bench_decision_line over "
               << number(field(f, "lines"))
               << " calls of the daemon's log_decision() (process CPU per call; the "
                  "receiver's is not counted): "
               << number(field(f, "off_ns")) << " ns with the option off, "
               << number(field(f, "formatted_ns"))
               << " ns to format the line and the syslog message, "
               << number(field(f, "datagram_ns"))
               << " ns with the datagram sent.\n\n";
    }
    fs::remove_all(home);
}

// stats_home - a home of `size` triplets, 10% of them idle: section 4's when
// it loaded that size, else one loaded here.
std::string stats_home(uint64_t size)
{
    std::string home = paths.work + fmt("/expiry/master-%llu", static_cast<unsigned long long>(size));
    if (fs::exists(home + "/triplets-1.db"))
        return home;
    home = paths.work + fmt("/observe-stats-%llu", static_cast<unsigned long long>(size));
    fresh_dir(home);
    progress("observe: loading %llu triplets", static_cast<unsigned long long>(size));
    uint64_t t0 = now_ns();
    if (!load_database(home, "k", size - size / 10, size / 10))
        return "";
    progress("  loaded in %.1f s", static_cast<double>(now_ns() - t0) / 1e9);
    return home;
}

void stats_part()
{
    uint64_t size = cfg.stats_size;
    std::string home = stats_home(size);
    if (home.empty())
        return;
    // Alone: the walk's own time, and a check of its counts.
    std::vector<double> alone_s;
    bool counted = false;
    for (int i = 0; i < cfg.stats_repeats; i++) {
        progress("observe: --stats alone over %llu triplets, %d of %d",
                 static_cast<unsigned long long>(size), i + 1, cfg.stats_repeats);
        int status;
        uint64_t t0 = now_ns();
        std::string out = run_program({paths.murvane, "--stats", "-h", home}, 900, &status);
        alone_s.push_back(static_cast<double>(now_ns() - t0) / 1e9);
        if (status != 0) {
            failed("--stats", "status " + std::to_string(status));
            return;
        }
        double waiting = NAN, passed = NAN;
        size_t at;
        if ((at = out.find("murvane_triplets{state=\"waiting\"} ")) != std::string::npos)
            waiting = atof(out.c_str() + at + 34);
        if ((at = out.find("murvane_triplets{state=\"passed\"} ")) != std::string::npos)
            passed = atof(out.c_str() + at + 33);
        counted = waiting + passed == static_cast<double>(size);
        if (!counted)
            failed("--stats", "counted " + number(waiting + passed) + " triplets of " +
                                  std::to_string(size));
    }
    // Under load: the walk as the driver's probe, one second into the run.
    std::vector<double> walk_s, before_p99, during_p99, before_p50, during_p50, rps;
    for (int i = 0; i < cfg.stats_repeats; i++) {
        progress("observe: --stats under %d connections, %d of %d", cfg.stats_connections,
                 i + 1, cfg.stats_repeats);
        target_spec t = daemon_target(home);
        stream_spec s;
        s.fresh = false;
        s.space = "k";
        s.known = size - size / 10;
        load_spec l;
        l.connections = cfg.stats_connections;
        l.seconds = 600;
        l.probe_after = 1.0;
        l.probe_argv = {paths.murvane, "--stats", "-h", home};
        run_result r = drive_checked("--stats under load", t, s, l);
        if (!r.ok || r.probe_status != 0) {
            if (r.ok)
                failed("--stats under load", "status " + std::to_string(r.probe_status));
            continue;
        }
        walk_s.push_back(r.probe_exit_s);
        before_p50.push_back(r.before_probe.p50_us);
        before_p99.push_back(r.before_probe.p99_us);
        during_p50.push_back(r.during_probe.p50_us);
        during_p99.push_back(r.during_probe.p99_us);
        rps.push_back(r.rps);
    }
    report << "### murvane --stats over " << size << " triplets\n\n"
           << "A home of " << size
           << " triplets loaded through the library (bench_floor load: 90% passed, 10% idle). "
              "*Alone*: the whole run of murvane --stats (start, walk, report, exit), "
           << cfg.stats_repeats << " times, its counts checked against the load ("
           << (counted ? "they matched" : "**they did not match**") << "). *Under load*: "
           << cfg.stats_connections
           << " daemons serving known triplets drawn at random from the whole home, and "
              "murvane --stats started one second into the run; *before* are the requests "
              "answered before it started, *during* those that overlapped its run. Medians "
              "over "
           << cfg.stats_repeats << " runs.\n\n"
           << "| --stats alone, s | --stats under load, s | requests/s | p50 µs before | "
              "p50 µs during | p99 µs before | p99 µs during |\n|---|---|---|---|---|---|---|\n"
           << "| " << number(median(alone_s), 2) << " | " << number(median(walk_s), 2) << " | "
           << number(median(rps)) << " | " << number(median(before_p50)) << " | "
           << number(median(during_p50)) << " | " << number(median(before_p99)) << " | "
           << number(median(during_p99)) << " |\n\n";
}

}  // namespace

void observe_section()
{
    report << "## 6. Watching it work: the decision log and --stats\n\n";
    log_part();
    stats_part();
}
