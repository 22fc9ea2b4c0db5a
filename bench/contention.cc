// SPDX-License-Identifier: BSD-2-Clause
// contention.cc - section 5: K daemons over one environment, asking for the
// same few triplets (which share a few pages) or for triplets spread over
// many pages.
//
// The deadlock detector refuses one of two daemons that lock the same pages
// in opposite orders; the refused daemon answers its request and exits, and
// the driver starts a new one in its place. Refusals are counted from the
// daemons' own log lines, exits by the driver; both per 1,000 requests.
#include <cmath>
#include <filesystem>
#include <string>
#include <system_error>

#include "processes.h"
#include "sections.h"
#include "suite.h"

namespace fs = std::filesystem;

void contention_section()
{
    report << "## 5. Contention\n\n"
           << "K daemons over one environment. *Overlapping*: every daemon draws from the same "
           << cfg.hot_set << " stored triplets, which share a few pages; *spread*: "
           << cfg.wide_set
           << " stored triplets. A refusal is a request whose get or put the deadlock detector "
              "refused (counted from the daemons' logs): the daemon answers it (WARN, or the "
              "decided action when the put was refused) and exits, and a new daemon takes its "
              "place.\n\n"
           << "| daemons | triplets | requests/s | p50 µs | p99 µs | CPU µs/request | refusals "
              "per 1,000 requests | daemon exits per 1,000 | answers |\n"
           << "|---|---|---|---|---|---|---|---|---|\n";
    std::string home = paths.work + "/contention";
    fresh_dir(home);
    load_database(home, "h", cfg.hot_set, 0);
    load_database(home, "w", cfg.wide_set, 0);
    for (int k : cfg.contention_connections) {
        for (bool hot : {true, false}) {
            progress("contention: %d daemons, %s triplets", k, hot ? "overlapping" : "spread");
            std::string log = home + fmt("/daemons-%d-%d.log", k, hot);
            std::error_code ec;
            fs::remove(log, ec);
            stream_spec s;
            s.fresh = false;
            s.space = hot ? "h" : "w";
            s.known = hot ? cfg.hot_set : cfg.wide_set;
            load_spec l;
            l.connections = k;
            l.seconds = cfg.contention_seconds;
            run_result r = drive_checked("contention run", daemon_target(home, capture_env(log)), s, l);
            double refusals = static_cast<double>(count_in_file(log, "DB_LOCK_DEADLOCK"));
            double per = r.requests ? 1000.0 / static_cast<double>(r.requests) : NAN;
            report << "| " << k << " | " << (hot ? "overlapping" : "spread") << " | "
                   << number(r.rps) << " | " << number(r.latency.p50_us) << " | "
                   << number(r.latency.p99_us) << " | " << number(r.cpu_us, 1) << " | "
                   << number(refusals * per, 1) << " | "
                   << number(static_cast<double>(r.exits) * per, 1) << " | "
                   << answers_text(r.answers) << " |\n";
        }
    }
    report << "\n";
}
