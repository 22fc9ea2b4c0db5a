// SPDX-License-Identifier: BSD-2-Clause
// driver.h - the policy-protocol load driver.
//
// It talks to its targets the way the mail server's policy client does: one
// request in flight per connection, the next one written only once the answer
// to the last has arrived in full. A connection is either a daemon process of
// its own on a pair of pipes (started the way the mail server's spawn starts
// one: bare environment, umask 077, its own standard input and output), or a
// connection to a server: TCP on 127.0.0.1, or a Unix socket. A daemon that
// exits during a run is counted and replaced; a server that closes a
// connection is reconnected.
//
// Every wait is bounded: a target that stops answering ends the run with an
// error, and daemons that do not exit in time are killed by their PID.
#ifndef MURVANE_BENCH_DRIVER_H
#define MURVANE_BENCH_DRIVER_H

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct target_spec {
    std::vector<std::string> argv;   // a daemon per connection: its command line
    std::vector<std::string> env;    // ... and its whole environment
    int port = 0;                    // otherwise 127.0.0.1:port ...
    std::string unix_path;           // ... or a server's Unix socket
    std::vector<pid_t> server_pids;  // a server: the processes whose CPU and memory count
    bool stop_with_signal = false;   // end daemons with SIGTERM, not end of input
                                     // (the daemon then runs no expiry pass)
    int exit_timeout_ms = 180000;    // how long a daemon may take to exit
};

struct stream_spec {
    bool fresh = true;      // every request a new triplet ...
    std::string space;      // ... of this space, or a triplet of this known set
    uint64_t known = 0;     // size of the known set (indexes 0 .. known-1)
    uint64_t first = 0;     // first index of a fresh stream
    uint64_t seed = 0;      // order of the known triplets asked; 0: a new one per run
    uint64_t clients = 0;   // clients of the triplets: 0 spread, N the first N of a shared set
    bool from_user = false; // each request the local user's mail to the triplet's
                            // sender, authenticated (reverse_triplet, sasl_username)
    bool suspicious = false;  // clients named as home connections (make_suspicious)
};

struct load_spec {
    int connections = 1;
    uint64_t requests = 1000000;  // bound on measured requests
    double seconds = 3;           // bound on the measured time
    int warmup = 20;              // unmeasured requests per connection first
    // When >= 0: this many seconds into the run, one more daemon is started,
    // asked one request and then given end of input, so that it runs its
    // expiry pass while the load goes on. The run ends half a second after
    // that daemon has exited (or at `seconds`).
    double probe_after = -1;
    // When not empty: the probe runs this command instead (a reader such
    // as murvane --stats), is asked nothing, and its work starts at once;
    // its output is read and dropped until it exits.
    std::vector<std::string> probe_argv;
};

struct latency_figures {
    uint64_t count = 0;
    double p50_us = 0, p99_us = 0, max_us = 0;
};

struct run_result {
    bool ok = false;
    std::string error;
    uint64_t requests = 0;         // measured requests answered
    uint64_t unanswered = 0;       // requests lost with a daemon that exited
    double seconds = 0;
    double rps = 0;
    latency_figures latency;
    double cpu_us = -1;            // target CPU time per answered request
    std::map<std::string, uint64_t> answers;  // by the action's first word
    uint64_t exits = 0;            // daemons that exited (connections closed) mid-run
    std::map<int, uint64_t> exit_statuses;    // of those, by status (-signal)
    uint64_t final_failures = 0;   // daemons whose exit at the end was not clean
    long vm_hwm_kb = 0;            // largest VmHWM among the targets at the end
    long rss_anon_kb = 0;          // ... that process's private (anonymous) resident memory
    long max_rss_kb = 0;           // largest lifetime peak (wait4) among daemons
    // The expiry probe.
    double probe_exit_s = -1;      // from its end of input to its exit
    int probe_status = -1;
    latency_figures before_probe;  // requests answered before the probe's input ended
    latency_figures during_probe;  // requests that overlapped the probe's pass
};

// drive - one run. Signals: SIGPIPE must be ignored by the caller.
run_result drive(const target_spec &target, const stream_spec &stream,
                 const load_spec &load);

// process_cpu_ns - CPU time a live process has used, all its threads
// (those that ended included); 0 when unknown.
uint64_t process_cpu_ns(pid_t pid);
// process_status_kb - a "Name: N kB" field of /proc/PID/status (0 when unknown).
long process_status_kb(pid_t pid, const char *name);
// bare_environment - the environment the mail server's spawn gives a daemon.
std::vector<std::string> bare_environment();

#endif
