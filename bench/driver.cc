// SPDX-License-Identifier: BSD-2-Clause
// driver.cc - the policy-protocol load driver: one run, from its first
// connection to its figures.
//
// A run opens its connections (driver_connections.cc), drives them through
// the warm-up and the measured phase (driver_loop.cc), takes CPU and memory
// while its daemons still live, lets them go, and computes its figures
// (driver_figures.cc). The state they share is driver_run.h.
#include "driver.h"

#include <unistd.h>

#include <algorithm>

#include "driver_run.h"
#include "workload.h"

namespace driver_run {

run_state::run_state(const target_spec &t, const stream_spec &s, const load_spec &l)
    : target(t), stream(s), load(l), conns(static_cast<size_t>(l.connections))
{
    // A given seed repeats the order of known triplets exactly, so that a
    // shorter run is the start of a longer one.
    seed = s.seed ? s.seed : mix64(now_ns() ^ static_cast<uint64_t>(getpid()));
    for (const auto &a : target.argv)
        argv_text.push_back(a.c_str());
    argv_text.push_back(nullptr);
    for (const auto &a : load.probe_argv)
        probe_argv_text.push_back(a.c_str());
    probe_argv_text.push_back(nullptr);
    for (const auto &e : target.env)
        env_text.push_back(e.c_str());
    env_text.push_back(nullptr);
}

run_result run_state::go()
{
    for (auto &c : conns) {
        c.warm_left = load.warmup;
        if (!open_connection(c)) {
            result.ok = false;
            for (auto &d : conns)
                stop_daemon(d, true);
            for (auto &d : conns)
                if (d.pid > 0)
                    reap(d.pid, target.exit_timeout_ms, nullptr);
            return result;
        }
    }
    samples.reserve(static_cast<size_t>(std::min<uint64_t>(load.requests, 4000000)));
    bool ok = event_loop();
    uint64_t end = now_ns();

    // The measured phase is over: take CPU and memory while the daemons
    // still live, then let them go.
    uint64_t cpu = take_usage();
    stop_all(ok);
    finish(ok, end, cpu);
    return result;
}

}  // namespace driver_run

std::vector<std::string> bare_environment()
{
    return {"LANG=C"};
}

run_result drive(const target_spec &target, const stream_spec &stream,
                 const load_spec &load)
{
    driver_run::run_state state(target, stream, load);
    return state.go();
}
