// SPDX-License-Identifier: BSD-2-Clause
// driver_loop.cc - the driver's event loop: one thread drives every
// connection with poll().
//
// Each connection holds at most one request in flight and its own answer
// buffer; an answer is complete at its empty line. Connections first answer
// their warm-up requests unmeasured; the measured phase starts when all have
// (so every daemon is up and has opened storage) and ends at its deadline or
// its request bound, or half a second after the expiry probe has exited.
// Every wait is bounded: a target silent for a minute ends the run with an
// error, and so do daemons that keep exiting.
#include "driver_run.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "workload.h"

namespace driver_run {

// start_measuring - the warm-up is over: the measured phase begins now, and
// so does its deadline and the probe's start.
void run_state::start_measuring()
{
    measuring = true;
    measure_start = now_ns();
    deadline = measure_start + static_cast<uint64_t>(load.seconds * 1e9);
    if (load.probe_after >= 0)
        probe_start_at = measure_start + static_cast<uint64_t>(load.probe_after * 1e9);
    take_cpu_base();
}

void run_state::start_probe()
{
    probe_started = true;
    if (!spawn(probe)) {
        probe.pid = -1;
        return;
    }
    probe.measured = false;
    if (!load.probe_argv.empty()) {
        // A reader: nothing to ask, its walk begins now.
        close(probe.in_fd);
        probe.in_fd = -1;
        probe_closed = now_ns();
        return;
    }
    send_request(probe, true);
}

void run_state::answer_arrived(connection &c, uint64_t t)
{
    c.busy = false;
    if (!c.measured)
        return;
    const char *first = c.buf;
    std::string kind = "(none)";
    if (c.len > 7 && memcmp(first, "action=", 7) == 0) {
        size_t end = 7;
        while (end < c.len && c.buf[end] != ' ' && c.buf[end] != '\n')
            end++;
        kind.assign(c.buf + 7, end - 7);
    }
    result.answers[kind]++;
    samples.push_back({c.sent_at, t - c.sent_at});
}

// probe_output - what the expiry probe wrote (n > 0), or its end: after its
// one answer its input is closed, which starts its pass; the end of its
// output is its exit.
void run_state::probe_output(uint64_t now, ssize_t n)
{
    connection &c = probe;
    if (n > 0 && !load.probe_argv.empty())
        return;  // a reader's output: dropped, the buffer reused
    if (n > 0) {
        c.len += static_cast<size_t>(n);
        if (c.busy && c.len >= 2 && memmem(c.buf, c.len, "\n\n", 2)) {
            c.busy = false;
            c.len = 0;
            close(c.in_fd);  // end of input: the probe's expiry pass begins
            c.in_fd = -1;
            probe_closed = now;
        }
        return;
    }
    probe_exited = now;
    if (!probe_closed)
        probe_closed = now;
    close(c.out_fd);
    c.out_fd = -1;
    struct rusage usage{};
    result.probe_status = reap(c.pid, target.exit_timeout_ms, &usage);
    c.pid = -1;
}

bool run_state::event_loop()
{
    std::vector<struct pollfd> fds;
    std::vector<connection *> owners;
    uint64_t last_progress = now_ns();
    for (;;) {
        uint64_t now = now_ns();
        if (!measuring) {
            bool warm = true;
            for (auto &c : conns)
                if (c.busy || c.warm_left > 0)
                    warm = false;
            if (warm)
                start_measuring();  // every daemon is up and has opened storage
        }
        if (measuring && !stopping) {
            if (now >= deadline || issued >= load.requests ||
                (probe_exited && now >= probe_exited + 500000000ULL))
                stopping = true;
            if (probe_start_at && !probe_started && now >= probe_start_at)
                start_probe();
        }
        for (auto &c : conns) {
            if (c.busy)
                continue;
            if (!measuring && c.warm_left > 0) {
                c.warm_left--;
                c.measured = false;
                send_request(c);
            } else if (measuring && !stopping) {
                c.measured = true;
                issued++;
                send_request(c);
            }
        }
        bool any_busy = false;
        for (auto &c : conns)
            any_busy = any_busy || c.busy;
        bool probe_running = probe_started && probe.pid > 0 && !probe_exited;
        if (!any_busy && measuring && stopping && !probe_running)
            return true;

        fds.clear();
        owners.clear();
        for (auto &c : conns)
            if (c.busy) {
                fds.push_back({c.out_fd, POLLIN, 0});
                owners.push_back(&c);
            }
        if (probe_running) {
            fds.push_back({probe.out_fd, POLLIN, 0});
            owners.push_back(&probe);
        }
        int wait_ms = 100;
        int ready = poll(fds.data(), fds.size(), wait_ms);
        if (ready < 0 && errno != EINTR)
            return fail("poll failed");
        now = now_ns();
        if (probe_running && probe_closed &&
            now - probe_closed > static_cast<uint64_t>(target.exit_timeout_ms) * 1000000)
            return fail("the expiry probe did not exit in time");
        if (ready <= 0) {
            if (now - last_progress > static_cast<uint64_t>(answer_timeout_ms) * 1000000 &&
                !probe_running)
                return fail("no answer for " + std::to_string(answer_timeout_ms / 1000) + " s");
            continue;
        }
        last_progress = now;
        for (size_t i = 0; i < fds.size(); i++) {
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            connection &c = *owners[i];
            ssize_t n = read(c.out_fd, c.buf + c.len, sizeof c.buf - c.len);
            if (n < 0 && (errno == EAGAIN || errno == EINTR))
                continue;
            if (&c == &probe) {
                probe_output(now, n);
                continue;
            }
            if (n <= 0) {
                // Bounded: daemons that cannot even start would be replaced forever.
                if (result.exits > 50 + issued)
                    return fail("daemons keep exiting (" + std::to_string(result.exits) +
                                " exits)");
                if (!connection_lost(c, now))
                    return false;
                continue;
            }
            c.len += static_cast<size_t>(n);
            if (c.len >= 2 && memmem(c.buf, c.len, "\n\n", 2)) {
                answer_arrived(c, now);
                c.len = 0;
            } else if (c.len == sizeof c.buf) {
                return fail("an answer longer than " + std::to_string(sizeof c.buf) + " bytes");
            }
        }
    }
}

}  // namespace driver_run
