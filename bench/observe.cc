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
#include <cmath>
#include <filesystem>
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
    std::vector<double> plain_rps, logged_rps, ratios, plain_cpu, logged_cpu;
    size_t lines = 0;  // decision lines the logged runs wrote
};

void log_rounds(const std::string &home, log_row *row)
{
    for (int round = 0; round < cfg.rounds; round++) {
        run_result r[2];
        // Alternate which configuration goes first.
        for (int k = 0; k < 2; k++) {
            bool logged = (k + round) % 2 == 1;
            std::string log = home + fmt("/log-%d-%d.txt", round, logged);
            target_spec t = daemon_target(home, capture_env(log));
            if (logged)
                t.argv.push_back("--log-decisions");
            stream_spec s;
            s.fresh = row->fresh;
            s.space = row->fresh ? fresh_space() : "k";
            s.known = row->fresh ? 0 : cfg.compare_known;
            load_spec l;
            l.seconds = cfg.round_seconds;
            r[logged] = drive_checked(fmt("log round, %s", row->what), t, s, l);
            if (logged)
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
    }
}

void log_part()
{
    std::string home = paths.work + "/observe-log";
    fresh_dir(home);
    if (!load_database(home, "k", cfg.compare_known, 0))
        return;
    log_row rows[] = {{"known triplets", false, {}, {}, {}, {}, {}, 0},
                      {"new triplets", true, {}, {}, {}, {}, {}, 0}};
    for (auto &row : rows) {
        progress("observe: the decision log, %s, %d rounds", row.what, cfg.rounds);
        log_rounds(home, &row);
    }
    report << "### The decision log\n\n"
           << "One connection, " << cfg.rounds << " alternating rounds of "
           << number(cfg.round_seconds, 1)
           << " s per configuration: the plain daemon and the daemon with --log-decisions, "
              "both with their syslog written to a file by the capture library (a write per "
              "line, as a datagram to a local syslog daemon is). Known triplets: "
           << cfg.compare_known
           << " stored ones asked at random (DUNNO); new triplets: a fresh space per run "
              "(deferred). Rates and CPU are medians over the rounds; the ratio is "
              "logged / plain per round.\n\n"
           << "| triplets | plain requests/s | logged requests/s | ratio | plain CPU µs/request "
              "| logged CPU µs/request | decision lines |\n|---|---|---|---|---|---|---|\n";
    for (auto &row : rows) {
        report << "| " << row.what << " | " << number(median(row.plain_rps)) << " | "
               << number(median(row.logged_rps)) << " | " << ratio_text(row.ratios) << " | "
               << number(median(row.plain_cpu), 1) << " | "
               << number(median(row.logged_cpu), 1) << " | " << row.lines << " |\n";
        add_target(fmt("decision log, %s: logged / plain requests per second (at least 0.95)",
                       row.what),
                   row.ratios, 0.95, true);
    }
    report << "\n";
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
