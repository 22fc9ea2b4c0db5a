// SPDX-License-Identifier: BSD-2-Clause
// suite.h - what every part of the bench suite shares: its settings and
// paths, the report being written and its targets, the count of failed runs,
// and the helpers that turn figures into the report's text.
//
// The suite is one process run once: these are process-wide, set by main()
// in suite.cc before the first section runs, and read by every section file.
// A run that fails is reported through failed(), which makes the suite's exit
// status 1; figures are judged against the targets in the report, never by
// the status.
#ifndef MURVANE_BENCH_SUITE_H
#define MURVANE_BENCH_SUITE_H

#include <cstdint>
#include <map>
#include <sstream>
#include <string>
#include <vector>

// Sizes and durations of every section; make_smoke() shrinks them all.
struct bench_settings {
    bool smoke = false;
    bool peer = true;
    double round_seconds = 1.2;      // one measured run of the comparison
    int rounds = 15;                 // alternating rounds per configuration
    uint64_t compare_known = 2000;   // known triplets of the comparison
    int delay = 2;                   // greylist delay of both daemons
    std::vector<uint64_t> sizes = {10000, 100000, 1000000};
    std::vector<int> scale_connections = {1, 2, 4, 8};
    double scale_seconds = 1.5;
    int scale_repeats = 3;
    std::vector<uint64_t> expiry_sizes = {100000, 1000000, 5000000};
    std::vector<uint64_t> sweep_sizes = {1000000, 5000000};  // stops until swept
    std::vector<int> sweep_loads = {0, 2, 4};                // ... under these loads
    int before_stops = 5;                 // stops of the earlier daemon, at most
    uint64_t expiry_load_size = 1000000;  // requests during a pass
    uint64_t conversion_size = 1000000;   // the v0 conversion
    std::vector<std::string> only;        // --section: run just these sections
    std::vector<int> contention_connections = {1, 4, 8};
    double contention_seconds = 5;
    uint64_t hot_set = 64;           // the overlapping triplets
    uint64_t wide_set = 20000;       // spread triplets, for comparison
    uint64_t alloc_short = 1000, alloc_long = 6000;
    int startup_trials = 5;
    int log_rounds = 21;             // rounds of the decision log's cost
    uint64_t stats_size = 5000000;   // triplets --stats walks
    int stats_repeats = 3;
    int stats_connections = 2;       // daemons serving while it walks
    std::vector<int> server_connections = {1, 4, 16, 64};  // the resident server ...
    int server_rounds = 5;           // ... beside spawned daemons, rounds per configuration
    int server_idle = 1000;          // idle connections held open to the server

    void make_smoke();
};

struct bench_paths {
    std::string build, work, out;
    std::string murvane, least, floor, malloc_count, syslog_capture, syslog_datagram;
    std::string before;  // --before: an earlier daemon measured beside this one
};

extern bench_settings cfg;
extern bench_paths paths;

// ------------------------------------------------ the report (report.cc)

// One line of the report's Targets table.
struct target_line {
    std::string name, measured;
    bool met;
    bool judged;
};

extern std::ostringstream report;         // the Markdown report, section by section
extern std::vector<target_line> targets;  // filled by the sections as they measure
extern int failures;                      // runs that did not complete

// progress - a line on standard error, "bench: ..."
void progress(const char *format, ...) __attribute__((format(printf, 1, 2)));
// failed - a run that did not complete: reported, and counted for the exit status
void failed(const std::string &what, const std::string &why);

// add_target - a target judged on the median of per-round ratios or figures
void add_target(const std::string &name, const std::vector<double> &values, double bound,
                bool at_least);

// write_report - the sections written so far with the targets after the
// machine section, and the run's length; to standard output and OUT/report.md
void write_report(uint64_t start_ns);

std::string fmt(const char *format, ...) __attribute__((format(printf, 1, 2)));
double median(std::vector<double> v);
double min_of(const std::vector<double> &v);
double max_of(const std::vector<double> &v);
// number - x with that many decimals, "-" for a figure not measured (NaN)
std::string number(double x, int decimals = 0);
// ratio_text - "median (min-max)" of round-by-round ratios
std::string ratio_text(const std::vector<double> &ratios);
// answers_text - "DUNNO 120, DEFER_IF_PERMIT 3": answers by their action
std::string answers_text(const std::map<std::string, uint64_t> &answers);

#endif
