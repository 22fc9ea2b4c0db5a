// SPDX-License-Identifier: BSD-2-Clause
// contention.cc - section 5: K daemons over one environment, asking for the
// same few triplets (which share a few pages), for triplets spread over many
// pages, or for new triplets in an empty environment (whose inserts split
// pages all the time).
//
// The deadlock detector refuses one of two daemons that lock the same pages
// in opposite orders (with records read for update, that is left at page
// splits); the refused daemon undoes its try and runs the request again, and
// only a request refused on every try ends its daemon, which the driver then
// replaces. Retries and refused requests are counted from the daemons' own
// log lines (they run with -v, which logs each retry), exits by the driver.
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
           << " stored triplets; *new*: every request a new triplet, into an environment that "
              "starts empty for each run (a new site's first hours, when the tree grows and its "
              "pages split most often). A "
              "retry is a try whose get or put the deadlock detector refused, undone and run "
              "again (counted from the daemons' logs, -v); a refused request is one refused on "
              "every try: its daemon answers it (WARN, or the decided action when the put was "
              "refused) and exits, and a new daemon takes its place. Retries, refused requests "
              "and exits are counts over the whole run.\n\n"
           << "| daemons | triplets | requests | requests/s | p50 µs | p99 µs | CPU µs/request | "
              "retries | refused requests | daemon exits | answers |\n"
           << "|---|---|---|---|---|---|---|---|---|---|---|\n";
    std::string home = paths.work + "/contention";
    fresh_dir(home);
    load_database(home, "h", cfg.hot_set, 0);
    load_database(home, "w", cfg.wide_set, 0);
    const char *const sets[] = {"overlapping", "spread", "new"};
    for (int k : cfg.contention_connections) {
        for (int set = 0; set < 3; set++) {
            progress("contention: %d daemons, %s triplets", k, sets[set]);
            std::string log = home + fmt("/daemons-%d-%d.log", k, set);
            std::error_code ec;
            fs::remove(log, ec);
            stream_spec s;
            s.fresh = set == 2;
            s.space = set == 0 ? "h" : set == 1 ? "w" : fresh_space();
            s.known = set == 0 ? cfg.hot_set : set == 1 ? cfg.wide_set : 0;
            load_spec l;
            l.connections = k;
            l.seconds = cfg.contention_seconds;
            std::string run_home = home;
            if (set == 2) {
                run_home = home + fmt("/new-%d", k);
                fresh_dir(run_home);
            }
            target_spec t = daemon_target(run_home, capture_env(log));
            t.argv.push_back("-v");
            run_result r = drive_checked("contention run", t, s, l);
            size_t retries = count_in_file(log, "trying the request again");
            size_t refused = count_in_file(log, "DB_LOCK_DEADLOCK") +
                             count_in_file(log, "DB_LOCK_NOTGRANTED") - retries;
            report << "| " << k << " | " << sets[set] << " | " << r.requests << " | "
                   << number(r.rps) << " | " << number(r.latency.p50_us) << " | "
                   << number(r.latency.p99_us) << " | " << number(r.cpu_us, 1) << " | "
                   << retries << " | " << refused << " | " << r.exits << " | "
                   << answers_text(r.answers) << " |\n";
        }
    }
    report << "\n";
}
