// SPDX-License-Identifier: BSD-2-Clause
// expiry.cc - section 4: the expiry pass and the v0 conversion at scale, on
// the library's default environment (no DB_CONFIG).
//
// A daemon given end of input runs its pass: the next slice of the sweep the
// daemons share, in bounded batches that each are a transaction of their
// own. The section times one stop over copies of databases with 10% of their
// triplets idle (section 3's, or loaded here for sizes section 3 does not
// load), with its CPU time and the most locks held at once, beside an
// earlier daemon's (--before) that walked the whole database; counts the
// stops until every idle triplet is gone, without load and under steady
// load; measures the wait that requests of other daemons see while a pass
// runs; times the conversion of a v0 database; and starts daemons together
// on regions just made. What the daemons logged is
// summarized from their syslog capture files.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "greylist/expiry.h"
#include "processes.h"
#include "sections.h"
#include "suite.h"
#include "workload.h"

namespace fs = std::filesystem;

namespace {

struct pass_figures {
    bool ok = false;
    double seconds = NAN;   // from end of input to exit
    double answer_s = NAN;  // from the request to its answer (a v0 conversion's time)
    double cpu_s = NAN;     // the daemon's CPU time, user and system, start to exit
    int status = -1;
    long max_rss_kb = 0;
    std::string answer;     // the answer to the one request before the pass
    std::string log;
};

// one_daemon - a daemon asked one known triplet, then given end of input, so
// that it runs its expiry pass; timed from end of input to its exit.
pass_figures one_daemon(const std::string &home, const std::string &log,
                        const std::string &binary = paths.murvane)
{
    pass_figures f;
    std::error_code ec;
    fs::remove(log, ec);
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
        return f;
    std::vector<std::string> env = bare_environment();
    for (const auto &e : capture_env(log))
        env.push_back(e);
    std::vector<std::string> argv = {binary, "-h", home};
    pid_t pid = fork();
    if (pid == 0) {
        signal(SIGPIPE, SIG_DFL);
        dup2(in[0], 0);
        dup2(out[1], 1);
        umask(077);
        std::vector<char *> a, e;
        for (const auto &s : argv)
            a.push_back(const_cast<char *>(s.c_str()));
        a.push_back(nullptr);
        for (const auto &s : env)
            e.push_back(const_cast<char *>(s.c_str()));
        e.push_back(nullptr);
        execve(a[0], a.data(), e.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    bench_triplet t;
    make_triplet("k", 1, &t);
    char request[4096];
    size_t length = format_request(request, sizeof request, t, 1);
    uint64_t asked = now_ns();
    bool written = write(in[1], request, length) == static_cast<ssize_t>(length);
    // Read the answer (bounded), then end the input and time the exit.
    std::string answer;
    if (written)
        read_until(out[0], answer, now_ns() + 60000000000ULL, "\n\n");
    uint64_t answered = now_ns();
    f.answer_s = static_cast<double>(answered - asked) / 1e9;
    close(in[1]);
    uint64_t closed = now_ns();
    // Its exit shows as the end of its standard output.
    read_until(out[0], answer, closed + 600000000000ULL);
    uint64_t ended = now_ns();
    close(out[0]);
    struct rusage usage{};
    f.status = wait_bounded(pid, 10, &usage);
    f.seconds = static_cast<double>(ended - closed) / 1e9;
    f.max_rss_kb = usage.ru_maxrss;
    f.cpu_s = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
              static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    size_t newline = answer.find('\n');
    f.answer = newline == std::string::npos ? answer : answer.substr(0, newline);
    if (f.answer.size() > 40)
        f.answer = f.answer.substr(0, 40) + "...";
    f.log = log_summary(log);
    f.ok = true;
    return f;
}

long stat_number(const std::string &text, const std::string &label)
{
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        if (line.find(label) != std::string::npos)
            return atol(line.c_str());
    return -1;
}

long leaf_pages(const std::string &home)
{
    int status;
    std::string text = run_program({"db5.3_stat", "-h", home, "-d", "triplets-1.db"}, 120, &status);
    return status == 0 ? stat_number(text, "Number of tree leaf pages") : -1;
}

long most_locks(const std::string &home)
{
    int status;
    std::string text = run_program({"db5.3_stat", "-h", home, "-c"}, 60, &status);
    return status == 0 ? stat_number(text, "Maximum number of locks at any one time") : -1;
}

// expired_counts - the "Expired N triplets" counts and the passes that gave
// way, in a capture file.
struct pass_log {
    uint64_t expired = 0;
    int passes_counted = 0;
    int gave_way = 0;
};
pass_log read_pass_log(const std::string &path)
{
    pass_log p;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        size_t at = line.find("Expired ");
        unsigned long long n;
        if (at != std::string::npos && sscanf(line.c_str() + at, "Expired %llu", &n) == 1) {
            p.expired += n;
            p.passes_counted++;
        }
        if (line.find("Aborting concurrent expiry due to deadlock") != std::string::npos)
            p.gave_way++;
    }
    return p;
}

// expiry_master - a database of `size` triplets, 10% of them idle: section
// 3's when it loaded that size, else one loaded here once.
std::string expiry_master(uint64_t size)
{
    std::string home = scale_home(size);
    if (fs::exists(home + "/triplets-1.db"))
        return home;
    home = paths.work + fmt("/expiry/master-%llu", static_cast<unsigned long long>(size));
    if (fs::exists(home + "/triplets-1.db"))
        return home;
    progress("expiry: loading %llu triplets", static_cast<unsigned long long>(size));
    fresh_dir(home);
    uint64_t t0 = now_ns();
    if (!load_database(home, "k", size - size / 10, size / 10))
        return "";
    progress("  loaded in %.1f s", static_cast<double>(now_ns() - t0) / 1e9);
    return home;
}

// The daemons measured: this one, and the earlier one given with --before.
struct daemon_binary {
    const char *name;
    std::string path;
};
std::vector<daemon_binary> binaries()
{
    std::vector<daemon_binary> out;
    if (!paths.before.empty())
        out.push_back({"before", paths.before});
    out.push_back({"this", paths.murvane});
    return out;
}

// CPU seconds of one stop at 5M triplets, by daemon, for the core share.
std::map<std::string, double> stop_cpu_at_largest;

// pass_table - one stop over each size, alone on the machine.
void pass_table()
{
    report << "## 4. The expiry pass and the v0 conversion\n\n"
           << "Everything here runs on the library's default environment: no DB_CONFIG. "
              "A daemon asked one request and then given end of input makes its stop's pass: "
              "the next slice of at most " << expiry_slice << " triplets of the sweep the "
              "daemons share (*this*), or, for the daemon built before the sweep (*before*), "
              "the whole database. Both walk in batches of at most 1,000 triplets, 64 KiB of "
              "keys and values or 5 ms, each batch a transaction of its own. Each database "
              "is a copy with 10% of its triplets idle past their limit, its regions made "
              "afresh by `db5.3_recover` first; the stop is the first one on it, so the "
              "slice starts at the first key, and its daemon is the one that makes the "
              "regions (a few tenths of a second at 5,000,000 triplets; the stops after it "
              "are in the next table). *Stop s* runs from the end of input to the "
              "exit; *CPU s* is the daemon's whole user and system time (its start and its "
              "one request included). *Most locks* is the lock region's \"Maximum number "
              "of locks at any one time\" after the pass. *Next daemon* is another daemon "
              "started after the pass, asked one known triplet.\n\n"
           << "| triplets | daemon | leaf pages | stop s | CPU s | pass outcome | "
              "peak RSS KiB | most locks | next daemon answers |\n"
           << "|---|---|---|---|---|---|---|---|---|\n";
    for (uint64_t size : cfg.expiry_sizes) {
        std::string master = expiry_master(size);
        if (master.empty())
            continue;
        long pages = leaf_pages(master);
        for (const auto &binary : binaries()) {
            progress("expiry: one stop of %s over %llu triplets", binary.name,
                     static_cast<unsigned long long>(size));
            std::string home =
                paths.work + fmt("/expiry/%llu-pass", static_cast<unsigned long long>(size));
            copy_env(master, home);
            if (!rebuild_regions(home))
                continue;
            pass_figures pass = one_daemon(home, home + "/pass.log", binary.path);
            long peak_locks = most_locks(home);
            pass_figures next = one_daemon(home, home + "/next.log", binary.path);
            report << "| " << size << " | " << binary.name << " | " << pages << " | "
                   << number(pass.seconds, 2) << " | " << number(pass.cpu_s, 3) << " | "
                   << pass.log << " (exit " << pass.status << ") | " << pass.max_rss_kb
                   << " | " << peak_locks << " | `" << next.answer << "`"
                   << (next.status != 0 ? fmt(" (exit %d) ", next.status) + next.log : "")
                   << " |\n";
            if (!pass.ok)
                failed("expiry pass", home);
            if (size == cfg.expiry_sizes.back())
                stop_cpu_at_largest[binary.name] = pass.cpu_s;
            fs::remove_all(home);
        }
    }
    report << "\n";
}

run_result pass_under_load(const char *what, const std::string &home,
                           const std::string &log, uint64_t size, int k);

// sweep_stops - stops one after another over a copy of `master` (`size`
// triplets, 10% idle) until every idle triplet is gone, or `most` stops:
// alone (k = 0) or each under a steady load of k connections asking the
// known triplets, so that the idle ones go by the stops alone.
struct stops_figures {
    int stops = 0;
    int gave_way = 0;
    uint64_t idle_left = 0;
    std::vector<double> cpu_s;  // of each stop's daemon, alone only
    std::vector<uint64_t> left; // idle triplets left after each stop
    double worst_p99 = 0, worst_max = 0;
};
stops_figures sweep_stops(uint64_t size, const std::string &master, int k,
                          const std::string &binary, int most)
{
    stops_figures f;
    std::string home = paths.work + fmt("/expiry/%llu-stops", static_cast<unsigned long long>(size));
    copy_env(master, home);
    if (!rebuild_regions(home))
        return f;
    uint64_t idle = size / 10, deleted = 0;
    std::string saved = paths.murvane;
    paths.murvane = binary;  // the load's daemons and the probe
    while (deleted < idle && f.stops < most) {
        progress("stop %d over %llu triplets under %d load connections", f.stops + 1,
                 static_cast<unsigned long long>(size), k);
        std::string log = home + fmt("/stop-%d.log", f.stops);
        if (k == 0) {
            pass_figures pass = one_daemon(home, log, binary);
            if (!pass.ok)
                break;
            f.cpu_s.push_back(pass.cpu_s);
        } else {
            run_result r = pass_under_load("stops under load", home, log, size, k);
            if (!r.ok)
                break;
            f.worst_p99 = std::max(f.worst_p99, r.during_probe.p99_us);
            f.worst_max = std::max(f.worst_max, r.during_probe.max_us);
        }
        pass_log p = read_pass_log(log);
        f.stops++;
        deleted += p.expired;
        f.gave_way += p.gave_way;
        f.left.push_back(idle > deleted ? idle - deleted : 0);
    }
    paths.murvane = saved;
    f.idle_left = idle > deleted ? idle - deleted : 0;
    fs::remove_all(home);
    return f;
}

// sweep_table - the stops a whole sweep takes, alone and under load, and
// the share of a core that expiry then costs at a stop every 10 s and 1 s.
void sweep_table()
{
    report << "Stops one after another, each a daemon asked one request (alone) or the "
              "probe of a steady load of known triplets (loaded), until every idle "
              "triplet is gone (10% of the database; at most ceil(triplets / "
           << expiry_slice << ") + 5 stops of this daemon, " << cfg.before_stops
           << " of the earlier one). *CPU ms per stop* is the median of the stops made "
              "alone.\n\n"
           << "| triplets | daemon | load connections | stops | stops that gave way | "
              "idle left | CPU ms per stop | p99 µs / max µs of requests during the "
              "stops (worst stop) |\n"
           << "|---|---|---|---|---|---|---|---|\n";
    std::vector<double> over_bound, stop_cpu_ms;
    // The plot's data: the idle triplets left after each stop, a block per
    // daemon and load over the largest database (sweep.gp draws it).
    std::ofstream plot(paths.out + "/sweep.dat");
    std::map<std::string, double> cpu_at_largest;
    for (uint64_t size : cfg.sweep_sizes) {
        std::string master = expiry_master(size);
        if (master.empty())
            continue;
        int needed = static_cast<int>((size + expiry_slice - 1) / expiry_slice);
        for (const auto &binary : binaries()) {
            bool before = binary.path != paths.murvane;
            for (int k : cfg.sweep_loads) {
                if (before && k == 4)
                    continue;  // a pass of minutes per stop: 0 and 2 say enough
                stops_figures f = sweep_stops(size, master, k, binary.path,
                                              before ? cfg.before_stops : needed + 5);
                double cpu = f.cpu_s.empty() ? NAN : median(f.cpu_s) * 1000;
                report << "| " << size << " | " << binary.name << " | " << k << " | "
                       << f.stops << " | " << f.gave_way << " | " << f.idle_left << " | "
                       << number(cpu, 1) << " | "
                       << (k == 0 ? std::string("-")
                                  : number(f.worst_p99) + " / " + number(f.worst_max))
                       << " |\n";
                if (!before && f.idle_left == 0)
                    over_bound.push_back(f.stops - needed);
                else if (!before)
                    over_bound.push_back(6);
                if (k == 0 && size == cfg.sweep_sizes.back() && !f.cpu_s.empty())
                    cpu_at_largest[binary.name] = median(f.cpu_s);
                if (k == 0 && !before)
                    stop_cpu_ms.push_back(cpu);
                if (size == cfg.sweep_sizes.back()) {
                    // Blocks apart by two blank lines, none after the last.
                    if (plot.tellp() > 0)
                        plot << "\n\n";
                    plot << "stop \"" << binary.name << ", " << k << " load connections\"\n"
                         << "0 " << size / 10 << "\n";
                    for (size_t i = 0; i < f.left.size(); i++)
                        plot << i + 1 << " " << f.left[i] << "\n";
                }
            }
        }
    }
    report << "\n";
    add_target("CPU of one stop (the median of a sweep's stops made alone), the largest "
               "of any database size < 100 ms",
               stop_cpu_ms.empty() ? std::vector<double>{}
                                   : std::vector<double>{max_of(stop_cpu_ms)},
               100, false);
    add_target("stops beyond ceil(triplets / slice) to delete every idle triplet, "
               "alone and under load (the worst; 6: not done within 5) <= 5",
               over_bound.empty() ? std::vector<double>{}
                                  : std::vector<double>{max_of(over_bound)},
               5, false);

    // The share of a core: the CPU of one stop over the time between stops.
    // The earlier daemon's stop is its one whole pass (pass_table).
    for (const auto &[name, cpu] : stop_cpu_at_largest)
        if (cpu_at_largest.count(name) == 0)
            cpu_at_largest[name] = cpu;
    uint64_t largest = cfg.sweep_sizes.empty() ? 0 : cfg.sweep_sizes.back();
    report << "The share of one core spent on expiry at " << largest
           << " triplets, from the CPU time of one stop (the median of the stops made "
              "alone; for the earlier daemon, its one pass over the whole database): "
              "a figure above 1 means the passes cannot keep up and overlap.\n\n"
           << "| daemon | CPU s per stop | a stop every 10 s | a stop every 1 s |\n"
           << "|---|---|---|---|\n";
    for (const auto &binary : binaries()) {
        if (cpu_at_largest.count(binary.name) == 0)
            continue;
        double cpu = cpu_at_largest[binary.name];
        report << "| " << binary.name << " | " << number(cpu, 3) << " | "
               << number(cpu / 10, 3) << " | " << number(cpu, 3) << " |\n";
    }
    report << "\n";
}

// pass_under_load - a steady load of k connections asking the known triplets
// of a database of `size` (10% idle) in home; one probe daemon gets its end of
// input after a second, so its expiry pass runs under the load.
run_result pass_under_load(const char *what, const std::string &home,
                           const std::string &log, uint64_t size, int k)
{
    target_spec t = daemon_target(home, capture_env(log), true);
    stream_spec s;
    s.fresh = false;
    s.space = "k";
    s.known = size - size / 10;
    load_spec l;
    l.connections = k;
    l.seconds = 300;
    l.probe_after = 1;
    return drive_checked(what, t, s, l);
}

// latency_during_pass - the wait that requests of other daemons see while
// one runs its pass over the database.
void latency_during_pass(uint64_t size, const std::string &master)
{
    report << "Requests of other daemons while one daemon makes its stop's pass over " << size
           << " triplets (one slice; the load: known triplets from the whole set, each load daemon "
              "ended by a signal so that only the measured pass runs; the pass starts 1 s "
              "into the run):\n\n"
           << "| load connections | pass s | pass outcome | requests before: p50 µs / p99 µs | "
              "requests during the pass | p50 µs | p99 µs | max µs |\n"
           << "|---|---|---|---|---|---|---|---|\n";
    std::vector<double> p99s;
    for (int k : {1, 2}) {
        progress("latency during a pass over %llu triplets, %d load connection%s",
                 static_cast<unsigned long long>(size), k, k == 1 ? "" : "s");
        std::string home = paths.work + fmt("/expiry/%llu-under-load", static_cast<unsigned long long>(size));
        copy_env(master, home);
        if (!rebuild_regions(home))
            continue;
        std::string log = home + "/daemons.log";
        run_result r = pass_under_load("load during an expiry pass", home, log, size, k);
        report << "| " << k << " | " << number(r.probe_exit_s, 2) << " | "
               << log_summary(log, {"Received signal", "Interrupted system call"}) << " | "
               << number(r.before_probe.p50_us) << " / " << number(r.before_probe.p99_us)
               << " | " << r.during_probe.count << " | " << number(r.during_probe.p50_us)
               << " | " << number(r.during_probe.p99_us) << " | "
               << number(r.during_probe.max_us) << " |\n";
        if (r.during_probe.count > 0)
            p99s.push_back(r.during_probe.p99_us / 1000);
        fs::remove_all(home);
    }
    report << "\n";
    add_target(fmt("99th-percentile wait of other daemons' requests during a pass over %llu "
                   "triplets < 50 ms",
                   static_cast<unsigned long long>(size)),
               p99s, 50, false);
}

// conversion - a daemon converts a v0 database of `size` triplets on its
// first request; timed from the request to its answer.
void conversion(uint64_t size)
{
    progress("v0 conversion of %llu triplets", static_cast<unsigned long long>(size));
    std::string home = paths.work + fmt("/expiry/v0-%llu", static_cast<unsigned long long>(size));
    fresh_dir(home);
    int status;
    run_program({paths.floor, "load", "-h", home, "--space", "k", "--count",
                 std::to_string(size - size / 10), "--expired-space", "x", "--expired-count",
                 std::to_string(size / 10), "--v0"},
                900, &status);
    if (status != 0) {
        failed("loading a v0 database", "status " + std::to_string(status));
        return;
    }
    pass_figures convert = one_daemon(home, home + "/convert.log");
    long peak_locks = most_locks(home);
    long pages = leaf_pages(home);
    pass_figures next = one_daemon(home, home + "/next.log");
    report << "A v0 database (`triplets.db`, the same triplets in the old key format, 10% "
              "idle) converted by the first request of a daemon; *conversion s* runs from the "
              "request to its answer, and the daemon then runs its expiry pass over the "
              "result:\n\n"
           << "| v0 triplets | conversion s | triplets per s | leaf pages after | most locks | "
              "peak RSS KiB | what the daemon logged | next daemon answers |\n"
           << "|---|---|---|---|---|---|---|---|\n"
           << "| " << size << " | " << number(convert.answer_s, 2) << " | "
           << number(static_cast<double>(size) / convert.answer_s) << " | " << pages << " | "
           << peak_locks << " | " << convert.max_rss_kb << " | " << convert.log << " (exit "
           << convert.status << ") | `" << next.answer << "`"
           << (next.status != 0 ? fmt(" (exit %d) ", next.status) + next.log : "") << " |\n\n";
    if (!convert.ok)
        failed("v0 conversion", home);
    fs::remove_all(home);
}

// starting_together - daemons that start together on regions just made:
// the first one creates them, and one that opens the environment meanwhile
// may fail.
void starting_together(uint64_t size, const std::string &master)
{
    report << "Four daemons started at the same moment on an environment whose regions "
              "were just made (a copy of the " << size << "-triplet database; each "
              "asks one known triplet; "
           << cfg.startup_trials << (cfg.startup_trials == 1 ? " trial" : " trials") << "):\n\n"
           << "| daemons started (replacements included) | failed environment opens | "
              "what they logged |\n"
           << "|---|---|---|\n";
    progress("daemons starting together on new regions");
    std::string home = paths.work + "/expiry/startup";
    copy_env(master, home);
    std::string log = home + "/daemons.log";
    uint64_t started = 0;
    for (int trial = 0; trial < cfg.startup_trials; trial++) {
        if (!rebuild_regions(home))
            break;
        target_spec t = daemon_target(home, capture_env(log));
        stream_spec s;
        s.fresh = false;
        s.space = "k";
        s.known = size - size / 10;
        load_spec l;
        l.connections = 4;
        l.warmup = 1;
        l.seconds = 0.1;
        run_result r = drive_checked("daemons starting together", t, s, l);
        started += 4 + r.exits;
    }
    report << "| " << started << " | " << count_in_file(log, "dbenv->open") << " | "
           << log_summary(log, {"Received signal", "Interrupted system call", "error: "})
           << " |\n\n";
    fs::remove_all(home);
}

}  // namespace

// rebuild_regions - what an admin does after writing DB_CONFIG, with no
// daemon running: recovery removes the regions, and the next open makes
// them anew from DB_CONFIG.
bool rebuild_regions(const std::string &home)
{
    int status;
    run_program({"db5.3_recover", "-h", home}, 600, &status);
    if (status != 0)
        failed("db5.3_recover -h " + home, "status " + std::to_string(status));
    return status == 0;
}

// batch_locks - the most locks a pass holds at once, by key length
// (bench_batch_locks: the daemon's run_expiry() in that program).
void batch_locks()
{
    progress("expiry: the most locks a pass holds, by key length");
    std::vector<std::string> argv = {paths.build + "/bench/bench_batch_locks",
                                     paths.work + "/expiry"};
    if (cfg.smoke)
        argv.push_back("--smoke");
    int status;
    std::string table = run_program(argv, 900, &status);
    if (status != 0) {
        failed("bench_batch_locks", "status " + std::to_string(status));
        return;
    }
    report << "The most locks the pass holds at once, by the length of the keys (the "
              "daemon's own pass over the whole database in bench_batch_locks, over databases of a few "
              "thousand leaf pages made for it, regions with the library's defaults):\n\n"
           << table << "\n";
}

void expiry_section()
{
    pass_table();
    batch_locks();
    sweep_table();
    if (cfg.expiry_load_size > 0) {
        std::string master = expiry_master(cfg.expiry_load_size);
        if (!master.empty()) {
            latency_during_pass(cfg.expiry_load_size, master);
            starting_together(cfg.expiry_load_size, master);
        }
    }
    conversion(cfg.conversion_size);
}
