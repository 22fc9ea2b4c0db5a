// SPDX-License-Identifier: BSD-2-Clause
// side_by_side.cc - section 1: murvane beside the least stdin program, the
// in-process storage floor and the peer, on new and on known triplets at one
// and at four connections.
//
// The machine is shared, so the programs take turns: each round runs every
// program once, the order rotating from round to round, and ratios are taken
// round by round, each against the figures of the same round. The disk flush
// latency before each round is recorded beside them, since every commit of
// every program waits for one. murvane's answers are checked too: new
// triplets must be deferred and known ones let through.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "peer.h"
#include "processes.h"
#include "sections.h"
#include "suite.h"

namespace {

struct run_figures {
    bool ok = false;
    double rps = NAN, p50 = NAN, p99 = NAN, cpu = NAN;
    uint64_t requests = 0, exits = 0, deadlocks = 0;
    std::string answers;
};

run_figures figures_of(const run_result &r)
{
    run_figures f;
    f.ok = r.ok && r.requests > 0;
    f.rps = r.rps;
    f.p50 = r.latency.p50_us;
    f.p99 = r.latency.p99_us;
    f.cpu = r.cpu_us;
    f.requests = r.requests;
    f.exits = r.exits;
    f.answers = answers_text(r.answers);
    return f;
}

run_figures floor_run(const std::string &home, bool fresh, int connections, double seconds)
{
    std::vector<std::string> argv = {paths.floor, "run", "-h", home, "--seconds",
                                     fmt("%.2f", seconds), "--processes",
                                     std::to_string(connections)};
    if (fresh) {
        argv.insert(argv.end(), {"--new", "--space", fresh_space()});
    } else {
        argv.insert(argv.end(), {"--space", "k", "--known", std::to_string(cfg.compare_known)});
    }
    int status;
    std::string out = run_program(argv, static_cast<int>(seconds) + 120, &status);
    run_figures f;
    if (status != 0) {
        failed("storage floor run", "status " + std::to_string(status));
        return f;
    }
    auto v = fields(out);
    f.ok = true;
    f.rps = field(v, "rps");
    f.p50 = field(v, "p50_us");
    f.p99 = field(v, "p99_us");
    f.cpu = field(v, "cpu_us");
    f.requests = static_cast<uint64_t>(field(v, "requests"));
    f.deadlocks = static_cast<uint64_t>(field(v, "deadlocks"));
    f.answers = "-";
    return f;
}

// warm_known - make the known set of the comparison known and passed in
// each target: ask for each triplet once, wait out the delay, ask again.
void warm_known(const std::vector<std::pair<std::string, target_spec>> &programs)
{
    for (int pass = 0; pass < 2; pass++) {
        for (const auto &[what, t] : programs) {
            stream_spec s;
            s.fresh = true;
            s.space = "k";
            load_spec l;
            l.connections = 1;  // several would deadlock now and then, losing triplets
            l.warmup = 0;
            l.requests = cfg.compare_known;
            l.seconds = 600;
            run_result r = drive(t, s, l);
            if (!r.ok || r.requests != cfg.compare_known)
                failed("warming the known set of " + what, r.ok ? "short" : r.error);
        }
        if (pass == 0)
            sleep(static_cast<unsigned>(cfg.delay + 1));
    }
}

struct comparison {
    int connections;
    bool fresh;
    std::map<std::string, std::vector<run_figures>> runs;  // by program
    std::vector<double> flush_us;                          // before each round
};

// compare_programs - the rounds of every configuration, the peer started
// for them and stopped after.
std::vector<comparison> compare_programs()
{
    peer_process peer;
    progress("side by side: murvane, least stdin program, storage floor%s",
             cfg.peer ? ", postgrey" : "");
    std::string dir = paths.work + "/compare";
    std::string murvane_home = dir + "/murvane", least_home = dir + "/least",
                floor_home = dir + "/floor";
    fresh_dir(murvane_home);
    fresh_dir(least_home);
    fresh_dir(floor_home);
    if (cfg.peer)
        peer = start_peer(dir + "/peer");
    bool have_peer = cfg.peer && peer.pid > 0;

    std::vector<std::pair<std::string, target_spec>> warm = {
        {"murvane", daemon_target(murvane_home)}, {"the least program", least_target(least_home)}};
    if (have_peer)
        warm.emplace_back("postgrey", peer_target(peer));
    warm_known(warm);
    load_database(floor_home, "k", cfg.compare_known, 0);

    std::vector<comparison> all;
    for (int k : {1, 4, 8}) {
        for (bool fresh : {true, false}) {
            comparison c{k, fresh, {}, {}};
            std::vector<std::string> order = {"murvane", "least", "floor"};
            if (have_peer)
                order.push_back("postgrey");
            for (int round = 0; round < cfg.rounds; round++) {
                progress("  %d connection%s, %s triplets, round %d of %d", k, k == 1 ? "" : "s",
                         fresh ? "new" : "known", round + 1, cfg.rounds);
                c.flush_us.push_back(flush_latency_us());
                for (const auto &program : order) {
                    stream_spec s;
                    s.fresh = fresh;
                    s.space = fresh ? fresh_space() : "k";
                    s.known = cfg.compare_known;
                    load_spec l;
                    l.connections = k;
                    l.seconds = cfg.round_seconds;
                    std::string what = program + fmt(" at %d, %s", k, fresh ? "new" : "known");
                    if (program == "murvane")
                        c.runs[program].push_back(figures_of(
                            drive_checked(what, daemon_target(murvane_home), s, l)));
                    else if (program == "least")
                        c.runs[program].push_back(figures_of(
                            drive_checked(what, least_target(least_home), s, l)));
                    else if (program == "postgrey")
                        c.runs[program].push_back(
                            figures_of(drive_checked(what, peer_target(peer), s, l)));
                    else
                        c.runs[program].push_back(floor_run(floor_home, fresh, k, cfg.round_seconds));
                }
                // Alternate: the next round starts with the next program.
                std::rotate(order.begin(), order.begin() + 1, order.end());
            }
            // The answers must be what the stream asks for: new triplets
            // deferred, known ones let through.
            for (const auto &f : c.runs["murvane"]) {
                std::string want = fresh ? "DEFER_IF_PERMIT " : "DUNNO ";
                if (f.ok && f.answers.find(want) == std::string::npos)
                    failed("murvane's answers", f.answers);
            }
            all.push_back(c);
        }
    }
    stop_peer(peer);
    return all;
}

std::vector<double> per_round(const comparison &c, const std::string &a, const std::string &b,
                              double run_figures::*metric)
{
    std::vector<double> ratios;
    auto ia = c.runs.find(a), ib = c.runs.find(b);
    if (ia == c.runs.end() || ib == c.runs.end())
        return ratios;
    for (size_t i = 0; i < std::min(ia->second.size(), ib->second.size()); i++) {
        const run_figures &x = ia->second[i], &y = ib->second[i];
        if (x.ok && y.ok && y.*metric > 0 && !std::isnan(x.*metric) && !std::isnan(y.*metric))
            ratios.push_back(x.*metric / y.*metric);
    }
    return ratios;
}

std::vector<double> metric_of(const std::vector<run_figures> &runs, double run_figures::*metric)
{
    std::vector<double> v;
    for (const auto &f : runs)
        if (f.ok)
            v.push_back(f.*metric);
    return v;
}

void write_side_by_side(const std::vector<comparison> &all)
{
    report << "## 1. Side by side: murvane, the storage floor, postgrey\n\n"
           << "Each configuration ran " << cfg.rounds << " round" << (cfg.rounds > 1 ? "s" : "")
           << " of " << number(cfg.round_seconds, 1)
           << " s per program, the programs taking turns (the order rotates each round). "
              "Figures are medians over the rounds; ratios are taken round by round "
              "(median, and min-max in brackets). *least* is the least stdin program, "
              "*floor* the same transactions in-process without the protocol (K "
              "processes at K connections), CPU is the serving processes' CPU time per "
              "answered request.\n\n"
           << "| connections | triplets | program | requests/s | p50 µs | p99 µs | CPU µs/request "
              "| daemon exits | answers (last round) |\n"
           << "|---|---|---|---|---|---|---|---|---|\n";
    for (const auto &c : all) {
        for (const std::string program : {"murvane", "least", "floor", "postgrey"}) {
            auto it = c.runs.find(program);
            if (it == c.runs.end())
                continue;
            const auto &runs = it->second;
            uint64_t exits = 0, deadlocks = 0;
            for (const auto &f : runs) {
                exits += f.exits;
                deadlocks += f.deadlocks;
            }
            std::string exit_text = program == "floor" ? fmt("(%llu refused)",
                static_cast<unsigned long long>(deadlocks)) : std::to_string(exits);
            report << "| " << c.connections << " | " << (c.fresh ? "new" : "known") << " | "
                   << program << " | " << number(median(metric_of(runs, &run_figures::rps)))
                   << " | " << number(median(metric_of(runs, &run_figures::p50)))
                   << " | " << number(median(metric_of(runs, &run_figures::p99)))
                   << " | " << number(median(metric_of(runs, &run_figures::cpu)), 1)
                   << " | " << exit_text << " | " << (runs.empty() ? "-" : runs.back().answers)
                   << " |\n";
        }
    }
    report << "\nRatios, round by round. *Disk flush* is the median time of a 512-byte write "
              "and fdatasync() in the same directory, taken before each round (median over "
              "the rounds): one commit waits at least that long, in every program.\n\n"
           << "| connections | triplets | disk flush µs | murvane/least (throughput) | "
              "murvane/floor (throughput) | murvane/postgrey (throughput) | least/postgrey "
              "(throughput) | murvane/least (CPU per request) | postgrey/murvane (CPU per "
              "request) |\n"
           << "|---|---|---|---|---|---|---|---|---|\n";
    for (const auto &c : all) {
        report << "| " << c.connections << " | " << (c.fresh ? "new" : "known") << " | "
               << number(median(c.flush_us)) << " | "
               << ratio_text(per_round(c, "murvane", "least", &run_figures::rps)) << " | "
               << ratio_text(per_round(c, "murvane", "floor", &run_figures::rps)) << " | "
               << ratio_text(per_round(c, "murvane", "postgrey", &run_figures::rps)) << " | "
               << ratio_text(per_round(c, "least", "postgrey", &run_figures::rps)) << " | "
               << ratio_text(per_round(c, "murvane", "least", &run_figures::cpu)) << " | "
               << ratio_text(per_round(c, "postgrey", "murvane", &run_figures::cpu)) << " |\n";
    }
    report << "\n";
    for (const auto &c : all) {
        std::string at = fmt("%d connection%s, %s triplets", c.connections,
                             c.connections == 1 ? "" : "s", c.fresh ? "new" : "known");
        add_target("throughput murvane/least >= 0.9, " + at,
                   per_round(c, "murvane", "least", &run_figures::rps), 0.9, true);
    }
    for (const auto &c : all) {
        std::string at = fmt("%d connection%s, %s triplets", c.connections,
                             c.connections == 1 ? "" : "s", c.fresh ? "new" : "known");
        double bound = c.connections == 1 ? 3.0 : 4.5;
        add_target(fmt("throughput murvane/postgrey >= %.1f, ", bound) + at,
                   per_round(c, "murvane", "postgrey", &run_figures::rps), bound, true);
    }
    for (const auto &c : all) {
        std::string at = fmt("%d connection%s, %s triplets", c.connections,
                             c.connections == 1 ? "" : "s", c.fresh ? "new" : "known");
        add_target("CPU per request murvane/least <= 1.10, " + at,
                   per_round(c, "murvane", "least", &run_figures::cpu), 1.10, false);
    }
}

}  // namespace

void side_by_side_section()
{
    write_side_by_side(compare_programs());
}
