// SPDX-License-Identifier: BSD-2-Clause
// driver_figures.cc - the driver's figures: latency percentiles, requests
// per second, CPU time per answered request and memory.
//
// Latency runs from the write of a request to the arrival of the answer's
// last byte. CPU time is read from each process's CPU clock (all its threads,
// those that ended included: a server's connection threads come and go) at
// the start and at the end of the measured phase (so start-up and the exit's
// expiry pass are left out), and
// from wait4() for a daemon that exited mid-run, whose whole life then
// counts: its replacement's start-up is part of the price of the exit. A
// figure that cannot be read (a process already gone) counts as 0, never as
// a guess.
#include "driver_run.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace {

// read_proc_file - a /proc file, read in one go into text (NUL-terminated);
// false when the process is gone.
bool read_proc_file(const char *path, char *text, size_t size)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    ssize_t n = read(fd, text, size - 1);
    close(fd);
    if (n <= 0)
        return false;
    text[n] = '\0';
    return true;
}

latency_figures figures(std::vector<uint64_t> ns)
{
    latency_figures f;
    f.count = ns.size();
    if (ns.empty())
        return f;
    std::sort(ns.begin(), ns.end());
    f.p50_us = static_cast<double>(ns[ns.size() / 2]) / 1e3;
    f.p99_us = static_cast<double>(ns[std::min(ns.size() - 1, ns.size() * 99 / 100)]) / 1e3;
    f.max_us = static_cast<double>(ns.back()) / 1e3;
    return f;
}

}  // namespace

namespace driver_run {

uint64_t rusage_ns(const struct rusage &u)
{
    return (static_cast<uint64_t>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000000 +
            static_cast<uint64_t>(u.ru_utime.tv_usec + u.ru_stime.tv_usec)) * 1000;
}

// take_cpu_base - the CPU each target has used when the measured phase
// begins, so that start-up is left out of its figures.
void run_state::take_cpu_base()
{
    for (auto &c : conns)
        c.cpu_base = c.pid > 0 ? process_cpu_ns(c.pid) : 0;
    for (pid_t p : target.server_pids)
        server_cpu_base.push_back(process_cpu_ns(p));
}

// take_usage - the targets' CPU during the measured phase, and the largest
// memory among them, read while they still live (a daemon's exit and its
// expiry pass are left out); daemons that exited mid-run are in cpu_total.
uint64_t run_state::take_usage()
{
    uint64_t cpu = cpu_total;
    for (auto &c : conns)
        if (c.pid > 0) {
            uint64_t used = process_cpu_ns(c.pid);
            cpu += used > c.cpu_base ? used - c.cpu_base : 0;
            long hwm = process_status_kb(c.pid, "VmHWM:");
            if (hwm > result.vm_hwm_kb) {
                result.vm_hwm_kb = hwm;
                result.rss_anon_kb = process_status_kb(c.pid, "RssAnon:");
            }
        }
    for (size_t i = 0; i < target.server_pids.size(); i++) {
        pid_t p = target.server_pids[i];
        uint64_t used = process_cpu_ns(p);
        uint64_t base = i < server_cpu_base.size() ? server_cpu_base[i] : used;
        cpu += used > base ? used - base : 0;
        long hwm = process_status_kb(p, "VmHWM:");
        if (hwm > result.vm_hwm_kb) {
            result.vm_hwm_kb = hwm;
            result.rss_anon_kb = process_status_kb(p, "RssAnon:");
        }
    }
    return cpu;
}

// finish - the run's figures from its samples: rate, latency, CPU per
// request, and the latency before and during the expiry probe's pass.
void run_state::finish(bool ok, uint64_t end, uint64_t cpu)
{
    result.ok = ok && measure_start != 0;
    if (!result.ok && result.error.empty())
        result.error = "the run did not start";
    result.seconds = static_cast<double>(end - measure_start) / 1e9;
    result.requests = samples.size();
    result.rps = result.seconds > 0 ? static_cast<double>(result.requests) / result.seconds : 0;
    if (result.requests > 0)
        result.cpu_us = static_cast<double>(cpu) / 1e3 / static_cast<double>(result.requests);
    std::vector<uint64_t> all, before, during;
    all.reserve(samples.size());
    for (const auto &s : samples) {
        all.push_back(s.latency);
        if (probe_closed) {
            uint64_t done = s.start + s.latency;
            if (done <= probe_closed)
                before.push_back(s.latency);
            else if (s.start < (probe_exited ? probe_exited : end))
                during.push_back(s.latency);
        }
    }
    result.latency = figures(std::move(all));
    if (probe_closed) {
        result.before_probe = figures(std::move(before));
        result.during_probe = figures(std::move(during));
        if (probe_exited)
            result.probe_exit_s = static_cast<double>(probe_exited - probe_closed) / 1e9;
    }
}

}  // namespace driver_run

uint64_t process_cpu_ns(pid_t pid)
{
    // The process's CPU clock sums every thread, those that ended included;
    // /proc/PID/schedstat, the fallback, has the main thread's alone.
    clockid_t clock;
    struct timespec ts;
    if (clock_getcpuclockid(pid, &clock) == 0 && clock_gettime(clock, &ts) == 0)
        return static_cast<uint64_t>(ts.tv_sec) * 1000000000ULL +
               static_cast<uint64_t>(ts.tv_nsec);
    char path[64], text[128];
    snprintf(path, sizeof path, "/proc/%d/schedstat", static_cast<int>(pid));
    return read_proc_file(path, text, sizeof text) ? strtoull(text, nullptr, 10) : 0;
}

long process_status_kb(pid_t pid, const char *name)
{
    char path[64], text[4096];
    snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(pid));
    if (!read_proc_file(path, text, sizeof text))
        return 0;
    const char *line = strstr(text, name);
    return line ? strtol(line + strlen(name), nullptr, 10) : 0;
}
