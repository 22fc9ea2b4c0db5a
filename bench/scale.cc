// SPDX-License-Identifier: BSD-2-Clause
// scale.cc - section 3: request cost and memory against database size, and
// the plot's data (requests per second against connections, per size).
//
// Each size is loaded once through the storage floor (90% passed triplets,
// 10% idle past their limit) and kept for section 4, which measures the
// expiry pass over it; new triplets go to a copy, so that the database
// section 4 reads is still the size it was loaded with.
#include <algorithm>
#include <cmath>
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

// One configuration of the scale runs, measured once per repeat; the
// repeats of all sizes take turns, so that a spell of slow disk falls on
// one repeat of each rather than on every run of one size.
struct scale_row {
    uint64_t size;
    int connections;
    bool fresh;
    std::string program;
    std::vector<run_result> runs;
    std::vector<double> flush_us;  // disk flush latency taken just before each run
};

void scale_run(std::vector<scale_row> &rows, uint64_t size, int connections, bool fresh,
               const std::string &program, const target_spec &t, const stream_spec &s)
{
    scale_row *row = nullptr;
    for (auto &r : rows)
        if (r.size == size && r.connections == connections && r.fresh == fresh &&
            r.program == program)
            row = &r;
    if (row == nullptr) {
        rows.push_back({size, connections, fresh, program, {}, {}});
        row = &rows.back();
    }
    progress("  %llu triplets, %s, %d connection%s, %s triplets",
             static_cast<unsigned long long>(size), program.c_str(), connections,
             connections == 1 ? "" : "s", fresh ? "new" : "known");
    row->flush_us.push_back(flush_latency_us(20));
    load_spec l;
    l.connections = connections;
    l.seconds = cfg.scale_seconds;
    row->runs.push_back(drive_checked("scale run, " + program, t, s, l));
}

std::vector<scale_row> scale_runs()
{
    std::vector<scale_row> rows;
    std::vector<uint64_t> loaded;
    for (uint64_t size : cfg.sizes) {
        std::string home = scale_home(size);
        fresh_dir(home);
        progress("scale: loading %llu triplets", static_cast<unsigned long long>(size));
        uint64_t t0 = now_ns();
        if (!load_database(home, "k", size - size / 10, size / 10))
            continue;
        progress("  loaded in %.1f s", static_cast<double>(now_ns() - t0) / 1e9);
        // New triplets go to a copy: the expiry pass of section 4 measures
        // the database at the size it was loaded with.
        copy_env(home, home + "-new");
        loaded.push_back(size);
    }
    for (int repeat = 0; repeat < cfg.scale_repeats; repeat++) {
        progress("scale: repeat %d of %d", repeat + 1, cfg.scale_repeats);
        for (uint64_t size : loaded) {
            std::string home = scale_home(size);
            stream_spec known;
            known.fresh = false;
            known.space = "k";
            known.known = size - size / 10;
            for (int k : cfg.scale_connections)
                scale_run(rows, size, k, false, "murvane", daemon_target(home), known);
            stream_spec fresh;
            fresh.space = fresh_space();
            scale_run(rows, size, 1, true, "murvane", daemon_target(home + "-new"), fresh);
            scale_run(rows, size, 1, false, "least", least_target(home), known);
        }
    }
    for (uint64_t size : loaded)
        fs::remove_all(scale_home(size) + "-new");
    return rows;
}

double median_of(const std::vector<run_result> &runs, double run_result::*metric)
{
    std::vector<double> v;
    for (const auto &r : runs)
        if (r.ok)
            v.push_back(r.*metric);
    return median(v);
}

double median_latency(const std::vector<run_result> &runs, double latency_figures::*metric)
{
    std::vector<double> v;
    for (const auto &r : runs)
        if (r.ok)
            v.push_back(r.latency.*metric);
    return median(v);
}

void write_scale(const std::vector<scale_row> &rows)
{
    report << "## 3. Request cost and memory against database size\n\n"
           << "Databases loaded through the library (bench_floor load: 90% passed triplets, "
              "10% idle past their limit; inserted in hashed order, so pages split as under "
              "real traffic and end up about 70% full). Known triplets are drawn at random "
              "from the whole passed set, so at a million the library's default cache of "
              "256 KiB holds almost none of the pages asked for. Each row is measured "
           << cfg.scale_repeats << (cfg.scale_repeats == 1 ? " time" : " times") << " for "
           << number(cfg.scale_seconds, 1)
           << " s, the repeats of all rows taking turns; rates, latencies, CPU and disk "
              "flush are medians over the repeats. Peak RSS is the largest VmHWM of a "
              "serving daemon at the end of a run, before its exit (the exit's expiry pass "
              "is in section 4); *private* is the resident anonymous memory (heap, stack) "
              "of that daemon, the rest being pages of the shared libraries and of the "
              "environment's region files, which every daemon maps.\n\n"
           << "| triplets stored | program | triplets asked | connections | requests/s | p50 µs "
              "| p99 µs | CPU µs/request | peak RSS KiB | of it private KiB | daemon exits | "
              "disk flush µs |\n"
           << "|---|---|---|---|---|---|---|---|---|---|---|---|\n";
    long hwm_at_largest = 0;
    uint64_t largest = cfg.sizes.empty() ? 0 : cfg.sizes.back();
    for (const auto &row : rows) {
        long hwm = 0, anon = 0;
        uint64_t exits = 0;
        for (const auto &r : row.runs) {
            exits += r.exits;
            if (r.vm_hwm_kb > hwm) {
                hwm = r.vm_hwm_kb;
                anon = r.rss_anon_kb;
            }
        }
        report << "| " << row.size << " | " << row.program << " | "
               << (row.fresh ? "new" : "known") << " | " << row.connections << " | "
               << number(median_of(row.runs, &run_result::rps)) << " | "
               << number(median_latency(row.runs, &latency_figures::p50_us)) << " | "
               << number(median_latency(row.runs, &latency_figures::p99_us)) << " | "
               << number(median_of(row.runs, &run_result::cpu_us), 1) << " | " << hwm << " | "
               << anon << " | " << exits << " | " << number(median(row.flush_us)) << " |\n";
        if (row.size == largest && row.program == "murvane")
            hwm_at_largest = std::max(hwm_at_largest, hwm);
    }
    report << "\n";
    if (largest > 0) {
        targets.push_back({fmt("peak RSS of a serving daemon < 4096 KiB at %llu triplets",
                               static_cast<unsigned long long>(largest)),
                           std::to_string(hwm_at_largest) + " KiB",
                           hwm_at_largest > 0 && hwm_at_largest < 4096, hwm_at_largest > 0});
    }

    // The plot's data: requests per second against connections, a column per size.
    std::ofstream data(paths.out + "/throughput.dat");
    data << "# connections";
    for (uint64_t size : cfg.sizes)
        data << " " << size;
    data << "\n";
    for (int k : cfg.scale_connections) {
        data << k;
        for (uint64_t size : cfg.sizes) {
            double rps = NAN;
            for (const auto &row : rows)
                if (row.size == size && row.connections == k && !row.fresh &&
                    row.program == "murvane")
                    rps = median_of(row.runs, &run_result::rps);
            data << " " << (std::isnan(rps) ? std::string("?") : number(rps));
        }
        data << "\n";
    }
}

}  // namespace

std::string scale_home(uint64_t size)
{
    return paths.work + "/scale/" + std::to_string(size);
}

void scale_section()
{
    write_scale(scale_runs());
}
