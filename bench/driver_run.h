// SPDX-License-Identifier: BSD-2-Clause
// driver_run.h - the state of one driver run, shared by the driver's parts:
// its connections (driver_connections.cc), its event loop (driver_loop.cc)
// and its figures (driver_figures.cc); driver.cc runs them in order.
//
// Only the driver includes this; its users see driver.h. The names live in
// a namespace of their own so that no program linking the driver can clash
// with them.
#ifndef MURVANE_BENCH_DRIVER_RUN_H
#define MURVANE_BENCH_DRIVER_RUN_H

#include <sys/resource.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "driver.h"

namespace driver_run {

constexpr int answer_timeout_ms = 60000;  // a target that stays silent this long has hung

// One connection: a daemon on a pair of pipes, or a socket to a server.
struct connection {
    pid_t pid = -1;          // the daemon, or -1 for a server's socket
    int in_fd = -1;          // where requests go
    int out_fd = -1;         // where answers come from (the same socket for a server)
    char buf[16384];
    size_t len = 0;
    bool busy = false;       // a request is in flight
    bool measured = false;   // ... and it counts
    uint64_t sent_at = 0;
    uint64_t cpu_base = 0;   // CPU the daemon had used when the measurement began
    int warm_left = 0;
};

// One measured request: when it was written, and how long its answer took.
struct sample {
    uint64_t start, latency;
};

class run_state {
public:
    run_state(const target_spec &t, const stream_spec &s, const load_spec &l);

    run_result go();

private:
    const target_spec &target;
    const stream_spec &stream;
    const load_spec &load;
    std::vector<connection> conns;
    connection probe;
    std::vector<const char *> argv_text, env_text, probe_argv_text;
    uint64_t seed;
    uint64_t counter = 0;           // requests issued, warm-up included
    uint64_t issued = 0;            // measured requests issued
    bool measuring = false, stopping = false;
    uint64_t measure_start = 0, deadline = 0;
    uint64_t probe_start_at = 0, probe_closed = 0, probe_exited = 0;
    bool probe_started = false;
    uint64_t cpu_total = 0;         // CPU of daemons that exited mid-run
    std::vector<uint64_t> server_cpu_base;
    std::vector<sample> samples;
    run_result result;

    // driver_connections.cc
    bool spawn(connection &c);
    bool connect_server(connection &c);
    bool open_connection(connection &c) { return target.argv.empty() ? connect_server(c) : spawn(c); }
    bool send_request(connection &c, bool probe_request = false);
    bool connection_lost(connection &c, uint64_t t);
    int reap(pid_t pid, int timeout_ms, struct rusage *usage);
    void stop_daemon(connection &c, bool signal_stop);
    void stop_all(bool ok);

    // driver_loop.cc
    bool event_loop();
    void start_measuring();
    void start_probe();
    void answer_arrived(connection &c, uint64_t t);
    void probe_output(uint64_t now, ssize_t n);

    // driver_figures.cc
    void take_cpu_base();
    uint64_t take_usage();
    void finish(bool ok, uint64_t end, uint64_t cpu);

    bool fail(const std::string &why)
    {
        if (result.error.empty())
            result.error = why;
        return false;
    }
};

// rusage_ns - user and system time of a reaped daemon
uint64_t rusage_ns(const struct rusage &u);

}  // namespace driver_run

#endif
