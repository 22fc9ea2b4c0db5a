// SPDX-License-Identifier: BSD-2-Clause
// allocations.cc - section 2: heap allocations per request, by the loaded
// object that asked for them, for murvane and for the least stdin program.
//
// A counting allocator (malloc_count.c) is preloaded into one daemon on one
// connection. Two runs that ask the same stream from its start and differ
// only in their number of requests give, by their difference, what the extra
// requests cost: start-up, the first growth of the buffers and the exit are
// the same in both and cancel out. A run whose count file is missing or
// incomplete is a failed run, not a zero.
#include <filesystem>
#include <map>
#include <string>
#include <system_error>

#include "processes.h"
#include "sections.h"
#include "suite.h"

namespace fs = std::filesystem;

namespace {

std::map<std::string, double> allocation_counts(const std::string &file)
{
    // One daemon's report: "pid N", then "object calls" lines, then "end".
    std::map<std::string, double> counts;
    for (const auto &line : read_lines(file)) {
        size_t tab = line.find('\t');
        if (tab == std::string::npos || line.rfind("pid\t", 0) == 0)
            continue;
        counts[line.substr(0, tab)] += atof(line.c_str() + tab + 1);
    }
    return counts;
}

}  // namespace

void allocations_section()
{
    progress("allocations per request");
    std::string home = paths.work + "/alloc";
    fresh_dir(home);
    load_database(home, "k", 100, 0);
    report << "## 2. Allocations per request\n\n"
           << "A counting allocator (bench/malloc_count.c, preloaded) counts every malloc, "
              "calloc, realloc and aligned allocation under the loaded object that called "
              "it. Two runs on one connection that differ only in their number of requests ("
           << cfg.alloc_short << " and " << cfg.alloc_long
           << ") give the allocations that the extra requests cost: start-up, the first "
              "growth of the buffers and the exit are the same in both and cancel out. "
              "Both runs ask for the same triplets in the same order, the shorter run being the "
              "start of the longer one. Known triplets: 100 stored ones, each asked for many "
              "times in the shorter run already; new triplets: a fresh environment for each run. "
              "The daemon's own heap blocks are its request buffer and its key buffer, which "
              "grow to fit the longest request and key seen so far: new triplets keep bringing "
              "the odd key longer than all before it (their senders grow with the stream), "
              "known ones stop doing so once each has been seen.\n\n"
           << "| program | triplets | object | allocations per 1,000 requests |\n"
           << "|---|---|---|---|\n";
    for (const std::string program : {"murvane", "least"}) {
        for (bool fresh : {false, true}) {
            std::map<std::string, double> counts[2];
            std::string space = fresh ? fresh_space() : "k";
            bool ok = true;
            for (int i = 0; i < 2; i++) {
                uint64_t n = i == 0 ? cfg.alloc_short : cfg.alloc_long;
                // The same stream from its start in both runs, so that the
                // shorter run is exactly the start of the longer one; new
                // triplets in a fresh environment each time.
                std::string run_home = home;
                if (fresh) {
                    run_home = home + fmt("/new-%s-%d", program.c_str(), i);
                    fresh_dir(run_home);
                }
                std::string file = home + fmt("/malloc-%s-%d-%d.txt", program.c_str(), fresh, i);
                std::error_code ec;
                fs::remove(file, ec);
                std::vector<std::string> env = preload_env(paths.malloc_count);
                env.push_back("MALLOC_COUNT_FILE=" + file);
                target_spec t = program == "murvane" ? daemon_target(run_home, env, false)
                                                     : least_target(run_home, env);
                t.stop_with_signal = false;
                stream_spec s;
                s.fresh = fresh;
                s.space = space;
                s.known = 100;
                s.seed = 12345;
                load_spec l;
                l.warmup = 20;
                l.requests = n;
                l.seconds = 600;
                run_result r = drive_checked(program + " with the counting allocator", t, s, l);
                counts[i] = allocation_counts(file);
                if (!r.ok || r.requests != n || counts[i].empty()) {
                    failed("allocation count of " + program, "no complete report in " + file);
                    ok = false;
                }
            }
            if (!ok)
                continue;
            std::map<std::string, double> all = counts[1];
            for (const auto &[object, n] : counts[0])
                all[object] += 0;  // objects seen only in the short run
            double extra = static_cast<double>(cfg.alloc_long - cfg.alloc_short);
            for (const auto &[object, n] : all) {
                if (object == "(unplaced)" && counts[1][object] == 0)
                    continue;
                double per = (counts[1][object] - counts[0][object]) * 1000.0 / extra;
                report << "| " << (program == "least" ? "least stdin program" : program) << " | "
                       << (fresh ? "new" : "known") << " | "
                       << (object == program || object == "bench_least" ? object + " (its own code)" : object)
                       << " | " << number(per, 2) << " |\n";
                if (program == "murvane" && object == "murvane" && !fresh)
                    targets.push_back({"no allocation by murvane's own code per request, known "
                                       "triplets (per 1,000 requests)",
                                       number(per, 2), per == 0, true});
            }
        }
    }
    report << "\n";
}
