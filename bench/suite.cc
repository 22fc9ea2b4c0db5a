// SPDX-License-Identifier: BSD-2-Clause
// suite.cc - the whole bench in one run: every figure of docs/performance.md.
//
//   bench_suite --build DIR --work DIR --out DIR [--smoke] [--no-peer]
//               [--section NAME]... [--before MURVANE]
//
// Sections, each in a file of its own (sections.h): the machine; 1. the
// daemon side by side with the least stdin program, the in-process storage
// floor and the peer daemon, in alternating rounds; 2. allocations per
// request; 3. request cost and memory against database size; 4. the expiry
// pass with the default lock table and with a DB_CONFIG; 5. daemons
// contending for the same triplets; 6. what the decision log and --stats
// cost; 7. the resident server beside spawned daemons. Progress goes to
// standard error, the report (Markdown, report.cc) to standard output and to
// OUT/report.md, the plot's data to OUT/throughput.dat.
//
// Every process it starts is waited for with a bound and, past it, killed by
// its PID. Servers listen on 127.0.0.1 only, or on a Unix socket in the
// work directory. A run that fails makes the
// suite's exit status 1, so a smoke run catches a broken bench or daemon;
// figures are judged against the targets in the report, never by the status.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "processes.h"
#include "sections.h"
#include "suite.h"
#include "workload.h"

namespace fs = std::filesystem;

bench_settings cfg;
bench_paths paths;

// make_smoke - every phase at tiny sizes: a check that the bench and the
// daemon work, in a minute or two; no figure means anything then.
void bench_settings::make_smoke()
{
    smoke = true;
    round_seconds = 0.4;
    rounds = 1;
    compare_known = 100;
    sizes = {2000, 6000};
    scale_connections = {1, 2};
    scale_seconds = 0.4;
    scale_repeats = 1;
    expiry_sizes = {6000};
    sweep_sizes = {6000};
    sweep_loads = {0, 2};
    before_stops = 2;
    expiry_load_size = 6000;
    conversion_size = 6000;
    contention_connections = {4};
    contention_seconds = 0.5;
    hot_set = 16;
    wide_set = 2000;
    alloc_short = 500;
    alloc_long = 1000;
    startup_trials = 1;
    log_rounds = 1;
    stats_size = 6000;
    stats_repeats = 1;
    server_connections = {1, 4};
    server_rounds = 1;
    server_idle = 20;
}

namespace {

[[noreturn]] void usage()
{
    fputs("usage: bench_suite --build DIR --work DIR --out DIR [--smoke] [--no-peer]\n"
          "                   [--section side_by_side|allocations|scale|expiry|contention|observe|\n"
          "                              server]...\n"
          "                   [--before MURVANE]\n",
          stderr);
    exit(2);
}

}  // namespace

int main(int argc, char **argv)
{
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--build" && i + 1 < argc)
            paths.build = argv[++i];
        else if (a == "--work" && i + 1 < argc)
            paths.work = argv[++i];
        else if (a == "--out" && i + 1 < argc)
            paths.out = argv[++i];
        else if (a == "--smoke")
            cfg.make_smoke();
        else if (a == "--no-peer")
            cfg.peer = false;
        else if (a == "--before" && i + 1 < argc)
            paths.before = fs::absolute(argv[++i]).string();
        else if (a == "--section" && i + 1 < argc)
            cfg.only.push_back(argv[++i]);
        else
            usage();
    }
    if (paths.build.empty() || paths.work.empty() || paths.out.empty())
        usage();
    paths.build = fs::absolute(paths.build).string();
    paths.work = fs::absolute(paths.work).string();
    paths.out = fs::absolute(paths.out).string();
    paths.murvane = paths.build + "/murvane";
    paths.least = paths.build + "/bench/bench_least";
    paths.floor = paths.build + "/bench/bench_floor";
    paths.malloc_count = paths.build + "/bench/malloc_count.so";
    paths.syslog_capture = paths.build + "/bench/bench_syslog_capture.so";
    paths.syslog_datagram = paths.build + "/bench/bench_syslog_datagram.so";
    for (const auto &p : {paths.murvane, paths.least, paths.floor, paths.malloc_count,
                          paths.syslog_capture, paths.syslog_datagram})
        if (access(p.c_str(), R_OK) != 0) {
            fprintf(stderr, "bench_suite: %s is missing\n", p.c_str());
            return 2;
        }
    if (cfg.peer && access("/usr/sbin/postgrey", X_OK) != 0) {
        fprintf(stderr, "bench_suite: /usr/sbin/postgrey is missing (install it, or --no-peer)\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    fresh_dir(paths.work);
    fs::create_directories(paths.out);
    uint64_t start = now_ns();

    report << "# murvane bench report\n\n";
    // The machine always; the others all, or those named with --section.
    auto wanted = [](const char *name) {
        return cfg.only.empty() ||
               std::find(cfg.only.begin(), cfg.only.end(), name) != cfg.only.end();
    };
    machine_section();
    if (wanted("side_by_side"))
        side_by_side_section();
    if (wanted("allocations"))
        allocations_section();
    if (wanted("scale"))
        scale_section();
    if (wanted("expiry"))
        expiry_section();
    if (wanted("contention"))
        contention_section();
    if (wanted("observe"))
        observe_section();
    if (wanted("server"))
        server_section();
    write_report(start);
    if (failures > 0) {
        fprintf(stderr, "bench: %d run%s failed\n", failures, failures == 1 ? "" : "s");
        return 1;
    }
    return 0;
}
