// driver.cc - the policy-protocol load driver: connections, the event loop,
// the figures.
//
// One thread drives all connections with poll(). Each connection holds at
// most one request in flight and its own answer buffer; an answer is
// complete at its empty line. Latency runs from the write of a request to the
// arrival of the answer's last byte. CPU time is read from /proc at the start
// and at the end of the measured phase (so start-up and the exit's expiry
// pass are left out), and from wait4() for a daemon that exited mid-run,
// whose whole life then counts: its replacement's start-up is part of the
// price of the exit.
#include "driver.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "workload.h"

namespace {

constexpr int answer_timeout_ms = 60000;  // a target that stays silent this long has hung

struct connection {
    pid_t pid = -1;          // the daemon, or -1 for TCP
    int in_fd = -1;          // where requests go
    int out_fd = -1;         // where answers come from (the same socket for TCP)
    char buf[16384];
    size_t len = 0;
    bool busy = false;       // a request is in flight
    bool measured = false;   // ... and it counts
    uint64_t sent_at = 0;
    uint64_t cpu_base = 0;   // CPU the daemon had used when the measurement began
    int warm_left = 0;
};

struct sample {
    uint64_t start, latency;
};

uint64_t read_number_file(const char *path)
{
    char text[128];
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    if (n <= 0)
        return 0;
    text[n] = '\0';
    return strtoull(text, nullptr, 10);
}

uint64_t rusage_ns(const struct rusage &u)
{
    return (static_cast<uint64_t>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000000 +
            static_cast<uint64_t>(u.ru_utime.tv_usec + u.ru_stime.tv_usec)) * 1000;
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

class run_state {
public:
    run_state(const target_spec &t, const stream_spec &s, const load_spec &l)
        : target(t), stream(s), load(l), conns(static_cast<size_t>(l.connections))
    {
        // A given seed repeats the order of known triplets exactly, so that a
        // shorter run is the start of a longer one.
        seed = s.seed ? s.seed : mix64(now_ns() ^ static_cast<uint64_t>(getpid()));
        for (const auto &a : target.argv)
            argv_text.push_back(a.c_str());
        argv_text.push_back(nullptr);
        for (const auto &e : target.env)
            env_text.push_back(e.c_str());
        env_text.push_back(nullptr);
    }

    run_result go();

private:
    const target_spec &target;
    const stream_spec &stream;
    const load_spec &load;
    std::vector<connection> conns;
    connection probe;
    std::vector<const char *> argv_text, env_text;
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

    bool spawn(connection &c);
    bool connect_tcp(connection &c);
    bool open_connection(connection &c) { return target.argv.empty() ? connect_tcp(c) : spawn(c); }
    bool send_request(connection &c, bool probe_request = false);
    void answer_arrived(connection &c, uint64_t t);
    bool connection_lost(connection &c, uint64_t t);
    int reap(pid_t pid, int timeout_ms, struct rusage *usage);
    void stop_daemon(connection &c, bool signal_stop);
    bool event_loop();
    void start_probe();
    bool fail(const std::string &why)
    {
        if (result.error.empty())
            result.error = why;
        return false;
    }
};

bool run_state::spawn(connection &c)
{
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0)
        return fail("pipe failed");
    if (pipe2(out, O_CLOEXEC) != 0) {
        close(in[0]);
        close(in[1]);
        return fail("pipe failed");
    }
    pid_t pid = fork();
    if (pid < 0) {
        close(in[0]); close(in[1]); close(out[0]); close(out[1]);
        return fail("fork failed");
    }
    if (pid == 0) {
        // The mail server's spawn: a bare environment, umask 077, stdin and
        // stdout on the connection, stderr out of the way.
        signal(SIGPIPE, SIG_DFL);
        dup2(in[0], 0);
        dup2(out[1], 1);
        int null_fd = open("/dev/null", O_WRONLY);
        if (null_fd >= 0)
            dup2(null_fd, 2);
        umask(077);
        execve(argv_text[0], const_cast<char *const *>(argv_text.data()),
               const_cast<char *const *>(env_text.data()));
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    fcntl(out[0], F_SETFL, O_NONBLOCK);
    c.pid = pid;
    c.in_fd = in[1];
    c.out_fd = out[0];
    c.len = 0;
    c.busy = false;
    c.cpu_base = 0;
    return true;
}

bool run_state::connect_tcp(connection &c)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return fail("socket failed");
    struct sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(target.port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<struct sockaddr *>(&address), sizeof address) != 0) {
        close(fd);
        return fail("connect to 127.0.0.1:" + std::to_string(target.port) + " failed: " +
                    strerror(errno));
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    fcntl(fd, F_SETFL, O_NONBLOCK);
    c.pid = -1;
    c.in_fd = c.out_fd = fd;
    c.len = 0;
    c.busy = false;
    return true;
}

bool run_state::send_request(connection &c, bool probe_request)
{
    bench_triplet t;
    uint64_t n = counter++;
    if (stream.fresh && !probe_request)
        make_triplet(stream.space, stream.first + n, &t);
    else
        make_triplet(stream.space, mix64(seed + n) % std::max<uint64_t>(stream.known, 1), &t);
    char request[4096];
    size_t length = format_request(request, sizeof request, t, n);
    c.sent_at = now_ns();
    c.busy = true;
    size_t done = 0;
    while (done < length) {
        // The request is far smaller than a pipe's or a socket's buffer and
        // nothing else is in flight, so this never waits for long.
        ssize_t w = write(c.in_fd, request + done, length - done);
        if (w < 0 && errno == EAGAIN) {
            struct pollfd p = {c.in_fd, POLLOUT, 0};
            poll(&p, 1, 1000);
            continue;
        }
        if (w <= 0)
            return false;  // the reader is gone; the read side will show it
        done += static_cast<size_t>(w);
    }
    return true;
}

int run_state::reap(pid_t pid, int timeout_ms, struct rusage *usage)
{
    int status = 0;
    uint64_t until = now_ns() + static_cast<uint64_t>(timeout_ms) * 1000000;
    for (;;) {
        pid_t r = wait4(pid, &status, WNOHANG, usage);
        if (r == pid)
            break;
        if (r < 0)
            return -1000;
        if (now_ns() >= until) {
            kill(pid, SIGKILL);  // only ever a daemon this driver started
            wait4(pid, &status, 0, usage);
            return -1001;
        }
        usleep(2000);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
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

// connection_lost - the daemon exited, or the server closed the connection:
// count it, account the daemon's CPU, open a replacement.
bool run_state::connection_lost(connection &c, uint64_t t)
{
    if (c.busy) {
        // An answer line written just before an exit still counts as an
        // answer (a failed put writes its answer, then the daemon ends);
        // nothing at all is an unanswered request.
        if (c.len > 0 && memchr(c.buf, '\n', c.len))
            answer_arrived(c, t);
        else if (c.measured)
            result.unanswered++;
        c.busy = false;
    }
    if (c.pid > 0) {
        close(c.in_fd);
        close(c.out_fd);
        struct rusage usage{};
        int status = reap(c.pid, target.exit_timeout_ms, &usage);
        if (measuring) {
            uint64_t used = rusage_ns(usage);
            cpu_total += used > c.cpu_base ? used - c.cpu_base : 0;
            result.max_rss_kb = std::max(result.max_rss_kb, usage.ru_maxrss);
        }
        result.exits++;
        result.exit_statuses[status]++;
    } else {
        close(c.in_fd);
        result.exits++;
        result.exit_statuses[0]++;
    }
    c.pid = -1;
    c.in_fd = c.out_fd = -1;
    return open_connection(c);
}

void run_state::start_probe()
{
    probe_started = true;
    if (!spawn(probe)) {
        probe.pid = -1;
        return;
    }
    probe.measured = false;
    send_request(probe, true);
}

void run_state::stop_daemon(connection &c, bool signal_stop)
{
    if (c.pid <= 0) {
        if (c.in_fd >= 0)
            close(c.in_fd);
        c.in_fd = c.out_fd = -1;
        return;
    }
    if (signal_stop)
        kill(c.pid, SIGTERM);  // a daemon this driver started, by its PID
    close(c.in_fd);
    c.in_fd = -1;
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
            if (warm) {
                // Every daemon is up and has opened storage: measure now.
                measuring = true;
                measure_start = now_ns();
                deadline = measure_start + static_cast<uint64_t>(load.seconds * 1e9);
                if (load.probe_after >= 0)
                    probe_start_at = measure_start + static_cast<uint64_t>(load.probe_after * 1e9);
                for (auto &c : conns)
                    c.cpu_base = c.pid > 0 ? process_cpu_ns(c.pid) : 0;
                for (pid_t p : target.server_pids)
                    server_cpu_base.push_back(process_cpu_ns(p));
            }
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
                if (n > 0) {
                    c.len += static_cast<size_t>(n);
                    if (c.busy && c.len >= 2 && memmem(c.buf, c.len, "\n\n", 2)) {
                        c.busy = false;
                        c.len = 0;
                        close(c.in_fd);  // end of input: the probe's expiry pass begins
                        c.in_fd = -1;
                        probe_closed = now;
                    }
                    continue;
                }
                probe_exited = now;
                if (!probe_closed)
                    probe_closed = now;
                close(c.out_fd);
                c.out_fd = -1;
                struct rusage usage{};
                result.probe_status = reap(c.pid, target.exit_timeout_ms, &usage);
                c.pid = -1;
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
    for (auto &c : conns)
        stop_daemon(c, !ok || target.stop_with_signal);
    if (probe.pid > 0) {
        // The probe never answered or never exited in time.
        if (probe.in_fd >= 0)
            close(probe.in_fd);
        kill(probe.pid, SIGTERM);
        result.probe_status = reap(probe.pid, 10000, nullptr);
        probe.pid = -1;
    }
    if (probe.out_fd >= 0)
        close(probe.out_fd);
    for (auto &c : conns) {
        if (c.pid <= 0)
            continue;
        struct rusage usage{};
        int status = reap(c.pid, target.exit_timeout_ms, &usage);
        int expected = target.stop_with_signal || !ok ? 1 : 0;
        if (status != expected)
            result.final_failures++;
        result.max_rss_kb = std::max(result.max_rss_kb, usage.ru_maxrss);
        close(c.out_fd);
        c.pid = -1;
    }

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
    return result;
}

}  // namespace

uint64_t process_cpu_ns(pid_t pid)
{
    // schedstat's first field: nanoseconds on a CPU, user and system time.
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/schedstat", static_cast<int>(pid));
    return read_number_file(path);
}

long process_status_kb(pid_t pid, const char *name)
{
    char path[64], text[4096];
    snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(pid));
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    if (n <= 0)
        return 0;
    text[n] = '\0';
    const char *line = strstr(text, name);
    return line ? strtol(line + strlen(name), nullptr, 10) : 0;
}

std::vector<std::string> bare_environment()
{
    return {"LANG=C"};
}

run_result drive(const target_spec &target, const stream_spec &stream,
                 const load_spec &load)
{
    run_state state(target, stream, load);
    return state.go();
}
