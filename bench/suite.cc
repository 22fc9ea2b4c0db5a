// suite.cc - the whole bench in one run: every figure of docs/performance.md.
//
//   bench_suite --build DIR --work DIR --out DIR [--smoke] [--no-peer]
//
// Phases: the daemon side by side with the least stdin program, the
// in-process storage floor and the peer daemon, in alternating rounds;
// allocations per request; request cost and memory against database size;
// the expiry pass with the default lock table and with a DB_CONFIG; daemons
// contending for the same triplets. Progress goes to standard error, the
// report (Markdown) to standard output and to OUT/report.md, the plot's data
// to OUT/throughput.dat.
//
// Every process it starts is waited for with a bound and, past it, killed by
// its PID. Servers listen on 127.0.0.1 only. A run that fails makes the
// suite's exit status 1, so a smoke run catches a broken bench or daemon;
// figures are judged against the targets in the report, never by the status.
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "driver.h"
#include "workload.h"

namespace fs = std::filesystem;

namespace {

// ---------------------------------------------------------------- settings

struct bench_settings {
    bool smoke = false;
    bool peer = true;
    double round_seconds = 1.2;      // one measured run of the comparison
    int rounds = 15;                 // alternating rounds per configuration
    uint64_t compare_known = 2000;   // known triplets of the comparison
    int delay = 2;                   // greylist delay of both daemons
    std::vector<uint64_t> sizes = {10000, 100000, 1000000};
    std::vector<int> scale_connections = {1, 2, 4, 8};
    double scale_seconds = 1.5;
    int scale_repeats = 3;
    std::vector<uint64_t> expiry_sizes = {100000, 1000000};
    std::vector<int> contention_connections = {4, 8};
    double contention_seconds = 5;
    uint64_t hot_set = 64;           // the overlapping triplets
    uint64_t wide_set = 20000;       // spread triplets, for comparison
    uint64_t alloc_short = 1000, alloc_long = 6000;
    int startup_trials = 5;

    void make_smoke()
    {
        smoke = true;
        round_seconds = 0.4;
        rounds = 1;
        compare_known = 100;
        sizes = {2000, 6000};
        scale_connections = {1, 2};
        scale_seconds = 0.4;
        scale_repeats = 1;
        expiry_sizes = {6000};
        contention_connections = {4};
        contention_seconds = 0.5;
        hot_set = 16;
        wide_set = 2000;
        alloc_short = 500;
        alloc_long = 1000;
        startup_trials = 1;
    }
};

struct bench_paths {
    std::string build, work, out;
    std::string murvane, least, floor, malloc_count, syslog_capture;
};

bench_settings cfg;
bench_paths paths;
int failures = 0;             // runs that did not complete
std::ostringstream report;    // the Markdown report
uint64_t space_counter = 0;

void progress(const char *format, ...) __attribute__((format(printf, 1, 2)));
void progress(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    fputs("bench: ", stderr);
    vfprintf(stderr, format, ap);
    fputc('\n', stderr);
    va_end(ap);
}

void failed(const std::string &what, const std::string &why)
{
    failures++;
    progress("FAILED: %s: %s", what.c_str(), why.c_str());
}

std::string fresh_space()
{
    // Distinct per run and per suite invocation, so that "new" triplets are
    // new in every environment, however often the bench has run there.
    char text[32];
    snprintf(text, sizeof text, "n%llx%llu", static_cast<unsigned long long>(time(nullptr)),
             static_cast<unsigned long long>(space_counter++));
    return text;
}

// ----------------------------------------------------------------- helpers

std::string fmt(const char *format, ...) __attribute__((format(printf, 1, 2)));
std::string fmt(const char *format, ...)
{
    char text[1024];
    va_list ap;
    va_start(ap, format);
    vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    return text;
}

double median(std::vector<double> v)
{
    if (v.empty())
        return NAN;
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double min_of(const std::vector<double> &v)
{
    return v.empty() ? NAN : *std::min_element(v.begin(), v.end());
}

double max_of(const std::vector<double> &v)
{
    return v.empty() ? NAN : *std::max_element(v.begin(), v.end());
}

std::string number(double x, int decimals = 0)
{
    if (std::isnan(x))
        return "-";
    return fmt("%.*f", decimals, x);
}

std::string ratio_text(const std::vector<double> &ratios)
{
    if (ratios.empty())
        return "-";
    if (ratios.size() == 1)
        return number(median(ratios), 2);
    return number(median(ratios), 2) + " (" + number(min_of(ratios), 2) + "-" +
           number(max_of(ratios), 2) + ")";
}

std::string answers_text(const std::map<std::string, uint64_t> &answers)
{
    std::string text;
    for (const auto &[kind, n] : answers)
        text += (text.empty() ? "" : ", ") + kind + " " + std::to_string(n);
    return text.empty() ? "-" : text;
}

// wait_bounded - wait for a child started here; kill it by its PID past the
// bound. Returns its status (exit code, or minus the signal).
int wait_bounded(pid_t pid, int timeout_s, struct rusage *usage = nullptr)
{
    int status = 0;
    uint64_t until = now_ns() + static_cast<uint64_t>(timeout_s) * 1000000000ULL;
    struct rusage scratch;
    for (;;) {
        pid_t r = wait4(pid, &status, WNOHANG, usage ? usage : &scratch);
        if (r == pid)
            break;
        if (r < 0)
            return -1000;
        if (now_ns() >= until) {
            kill(pid, SIGKILL);
            wait4(pid, &status, 0, usage ? usage : &scratch);
            return -1001;
        }
        usleep(5000);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

// run_program - run a command, its standard output captured, within a bound.
std::string run_program(const std::vector<std::string> &argv, int timeout_s, int *status)
{
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        *status = -1;
        return "";
    }
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        int null_fd = open("/dev/null", O_RDWR);
        if (null_fd >= 0)
            dup2(null_fd, 0);
        std::vector<char *> args;
        for (const auto &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(out[1]);
    std::string text;
    uint64_t until = now_ns() + static_cast<uint64_t>(timeout_s) * 1000000000ULL;
    char buf[4096];
    for (;;) {
        struct pollfd p = {out[0], POLLIN, 0};
        int64_t left_ms = (static_cast<int64_t>(until) - static_cast<int64_t>(now_ns())) / 1000000;
        if (left_ms <= 0)
            break;
        if (poll(&p, 1, static_cast<int>(std::min<int64_t>(left_ms, 1000))) <= 0)
            continue;
        ssize_t n = read(out[0], buf, sizeof buf);
        if (n <= 0)
            break;
        text.append(buf, static_cast<size_t>(n));
    }
    close(out[0]);
    *status = pid > 0 ? wait_bounded(pid, 5) : -1;
    return text;
}

std::map<std::string, std::string> fields(const std::string &line)
{
    std::map<std::string, std::string> f;
    std::istringstream in(line);
    std::string word;
    while (in >> word) {
        size_t eq = word.find('=');
        if (eq != std::string::npos)
            f[word.substr(0, eq)] = word.substr(eq + 1);
    }
    return f;
}

double field(const std::map<std::string, std::string> &f, const std::string &name)
{
    auto it = f.find(name);
    return it == f.end() ? NAN : atof(it->second.c_str());
}

void fresh_dir(const std::string &path)
{
    std::error_code ec;
    fs::remove_all(path, ec);
    fs::create_directories(path);
}

void copy_env(const std::string &from, const std::string &to)
{
    fresh_dir(to);
    fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::overwrite_existing);
}

std::vector<std::string> read_lines(const std::string &path)
{
    std::vector<std::string> lines;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

// log_summary - the daemon's own messages in a capture file, counted.
std::string log_summary(const std::string &path, const std::vector<std::string> &skip = {})
{
    std::map<std::string, int> seen;
    std::vector<std::string> order;
    for (const auto &line : read_lines(path)) {
        if (line.rfind("openlog", 0) == 0 || line == "closelog")
            continue;
        size_t tab = line.find('\t');
        std::string message = tab == std::string::npos ? line : line.substr(tab + 1);
        bool skipped = false;
        for (const auto &s : skip)
            skipped = skipped || message.find(s) != std::string::npos;
        if (skipped)
            continue;
        if (seen[message]++ == 0)
            order.push_back(message);
    }
    std::string text;
    for (const auto &m : order) {
        text += (text.empty() ? "" : "; ") + std::string("\"") + m + "\"";
        if (seen[m] > 1)
            text += fmt(" x%d", seen[m]);
    }
    return text.empty() ? "(nothing logged)" : text;
}

size_t count_in_file(const std::string &path, const std::string &needle)
{
    size_t n = 0;
    for (const auto &line : read_lines(path))
        if (line.find(needle) != std::string::npos)
            n++;
    return n;
}

target_spec daemon_target(const std::string &home, const std::vector<std::string> &extra_env = {},
                          bool signal_stop = true)
{
    target_spec t;
    t.argv = {paths.murvane, "-h", home, "-g", std::to_string(cfg.delay)};
    t.env = bare_environment();
    for (const auto &e : extra_env)
        t.env.push_back(e);
    t.stop_with_signal = signal_stop;
    return t;
}

target_spec least_target(const std::string &home, const std::vector<std::string> &extra_env = {})
{
    target_spec t;
    t.argv = {paths.least, "-h", home};
    t.env = bare_environment();
    for (const auto &e : extra_env)
        t.env.push_back(e);
    t.stop_with_signal = true;
    return t;
}

std::vector<std::string> capture_env(const std::string &log)
{
    return {"LD_PRELOAD=" + paths.syslog_capture, "MURVANE_SYSLOG_FILE=" + log};
}

run_result drive_checked(const std::string &what, const target_spec &t, const stream_spec &s,
                         const load_spec &l)
{
    run_result r = drive(t, s, l);
    if (!r.ok)
        failed(what, r.error);
    else if (r.requests == 0)
        failed(what, "no request answered");
    return r;
}

// load_database - N passed triplets of space `space`, and E idle ones.
bool load_database(const std::string &home, const std::string &space, uint64_t count,
                   uint64_t expired)
{
    int status;
    std::string out = run_program({paths.floor, "load", "-h", home, "--space", space, "--count",
                                   std::to_string(count), "--expired-space", "x",
                                   "--expired-count", std::to_string(expired)},
                                  900, &status);
    if (status != 0) {
        failed("loading " + home, "status " + std::to_string(status));
        return false;
    }
    return true;
}

// flush_latency_us - median time of a 512-byte write and fdatasync() in the
// work directory: what every commit waits for, whatever the program.
double flush_latency_us(int count = 50)
{
    std::string path = paths.work + "/flush-probe";
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return NAN;
    char block[512] = {};
    std::vector<double> times;
    for (int i = 0; i < count; i++) {
        uint64_t t0 = now_ns();
        if (pwrite(fd, block, sizeof block, static_cast<off_t>(i) * 512) != 512 ||
            fdatasync(fd) != 0)
            break;
        times.push_back(static_cast<double>(now_ns() - t0) / 1e3);
    }
    close(fd);
    unlink(path.c_str());
    return median(times);
}

// ------------------------------------------------------------------- peer

struct peer_process {
    pid_t pid = -1;
    int port = 0;
    std::string version;
};

int free_port()
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    socklen_t len = sizeof a;
    int port = 0;
    if (fd >= 0 && bind(fd, reinterpret_cast<struct sockaddr *>(&a), sizeof a) == 0 &&
        getsockname(fd, reinterpret_cast<struct sockaddr *>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    if (fd >= 0)
        close(fd);
    return port;
}

bool port_answers(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    bool ok = fd >= 0 && connect(fd, reinterpret_cast<struct sockaddr *>(&a), sizeof a) == 0;
    if (fd >= 0)
        close(fd);
    return ok;
}

// start_peer - the peer on 127.0.0.1, in the foreground (so its PID is the
// one forked here), with a fresh database directory, the same delay, one
// address per client as the daemon's default, and nothing that would let it
// skip the triplet lookup (no whitelists, no client auto-whitelisting).
peer_process start_peer(const std::string &dir)
{
    peer_process p;
    fresh_dir(dir + "/db");
    std::string empty = dir + "/empty";
    { std::ofstream touch(empty); }
    std::string user, group;
    if (geteuid() == 0) {
        struct passwd *pw = getpwnam("postgrey");
        struct group *gr = getgrnam("postgrey");
        if (pw == nullptr || gr == nullptr) {
            failed("peer", "no user postgrey");
            return p;
        }
        user = "postgrey";
        group = "postgrey";
        if (chown((dir + "/db").c_str(), pw->pw_uid, gr->gr_gid) != 0) {
            failed("peer", "cannot hand its database directory over");
            return p;
        }
    } else {
        struct passwd *pw = getpwuid(geteuid());
        struct group *gr = getgrgid(getegid());
        user = pw ? pw->pw_name : std::to_string(geteuid());
        group = gr ? gr->gr_name : std::to_string(getegid());
    }
    p.port = free_port();
    std::vector<std::string> argv = {
        "/usr/sbin/postgrey", "--inet=127.0.0.1:" + std::to_string(p.port),
        "--dbdir=" + dir + "/db", "--delay=" + std::to_string(cfg.delay), "--lookup-by-host",
        "--auto-whitelist-clients=0", "--whitelist-clients=" + empty,
        "--whitelist-recipients=" + empty, "--user=" + user, "--group=" + group,
        "--hostname=bench.invalid"};
    std::string log = dir + "/peer.log";
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
        }
        int null_fd = open("/dev/null", O_RDONLY);
        if (null_fd >= 0)
            dup2(null_fd, 0);
        signal(SIGPIPE, SIG_DFL);
        std::vector<char *> args;
        for (const auto &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    if (pid < 0) {
        failed("peer", "fork failed");
        return p;
    }
    p.pid = pid;
    for (int i = 0; i < 300; i++) {  // up to 30 s for perl to come up
        if (port_answers(p.port))
            break;
        int status;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            failed("peer", "it exited at start; see " + log);
            p.pid = -1;
            return p;
        }
        usleep(100000);
    }
    if (!port_answers(p.port)) {
        failed("peer", "it does not listen on 127.0.0.1:" + std::to_string(p.port));
        kill(pid, SIGKILL);
        wait_bounded(pid, 5);
        p.pid = -1;
    }
    return p;
}

void stop_peer(peer_process &p)
{
    if (p.pid <= 0)
        return;
    kill(p.pid, SIGTERM);  // the peer this suite started, by its PID
    wait_bounded(p.pid, 15);
    p.pid = -1;
}

target_spec peer_target(const peer_process &p)
{
    target_spec t;
    t.port = p.port;
    t.server_pids = {p.pid};
    return t;
}

// ---------------------------------------------------------------- machine

std::string first_line_with(const std::string &path, const std::string &prefix)
{
    for (const auto &line : read_lines(path))
        if (line.rfind(prefix, 0) == 0)
            return line;
    return "";
}

std::string trimmed_value(const std::string &line)
{
    size_t colon = line.find(':');
    if (colon == std::string::npos)
        return line;
    size_t start = line.find_first_not_of(" \t", colon + 1);
    return start == std::string::npos ? "" : line.substr(start);
}

std::string package_version(const std::string &name)
{
    int status;
    std::string v = run_program({"dpkg-query", "-W", "-f=${Version}", name}, 10, &status);
    return status == 0 && !v.empty() ? v : "(not installed)";
}

std::string filesystem_of(const std::string &path)
{
    std::string best, type;
    std::string real = fs::weakly_canonical(path).string();
    for (const auto &line : read_lines("/proc/mounts")) {
        std::istringstream in(line);
        std::string device, mount, kind;
        in >> device >> mount >> kind;
        if (real.rfind(mount, 0) == 0 && mount.size() >= best.size()) {
            best = mount;
            type = kind + " on " + device;
        }
    }
    return type.empty() ? "?" : type;
}

std::string load_average()
{
    auto lines = read_lines("/proc/loadavg");
    if (lines.empty())
        return "?";
    std::istringstream in(lines[0]);
    std::string a, b, c;
    in >> a >> b >> c;
    return a + " " + b + " " + c;
}

// syscall_cost_us - what one trivial system call costs here: on a virtual
// machine it can be ten times what it is on bare metal, and every call a
// program makes per request is paid at that rate.
double syscall_cost_us()
{
    constexpr int count = 200000;
    uint64_t t0 = now_ns();
    for (int i = 0; i < count; i++)
        syscall(SYS_getppid);
    return static_cast<double>(now_ns() - t0) / 1e3 / count;
}

void machine_section()
{
    struct utsname u;
    uname(&u);
    char date[64];
    time_t now = time(nullptr);
    strftime(date, sizeof date, "%Y-%m-%d %H:%M UTC", gmtime(&now));
    std::string mem = trimmed_value(first_line_with("/proc/meminfo", "MemTotal"));
    report << "## Machine\n\n"
           << "| | |\n|---|---|\n"
           << "| date | " << date << " |\n"
           << "| processor | " << trimmed_value(first_line_with("/proc/cpuinfo", "model name"))
           << ", " << sysconf(_SC_NPROCESSORS_ONLN) << " cores |\n"
           << "| memory | " << mem << " |\n"
           << "| kernel | " << u.sysname << " " << u.release << " " << u.machine << " |\n"
           << "| databases on | " << filesystem_of(paths.work) << " |\n"
           << "| murvane | " << MURVANE_VERSION << ", build type " << MURVANE_BUILD_TYPE
           << " |\n"
           << "| Berkeley DB | libdb5.3 " << package_version("libdb5.3") << " |\n"
           << "| peer | postgrey " << package_version("postgrey") << " |\n"
           << "| one system call (getppid) | " << number(syscall_cost_us(), 2) << " µs |\n"
           << "| disk flush (512-byte write and fdatasync, median of 200) | "
           << number(flush_latency_us(200)) << " µs |\n"
           << "| load average at start | " << load_average() << " |\n"
           << "| mode | " << (cfg.smoke ? "smoke (tiny sizes, figures not judged)" : "full")
           << " |\n\n";
}

// ------------------------------------------------------ 1. side by side

struct run_figures {
    bool ok = false;
    double rps = NAN, p50 = NAN, p99 = NAN, cpu = NAN;
    uint64_t requests = 0, exits = 0, deadlocks = 0;
    std::string answers;
};

run_figures figures_of(const run_result &r)
{
    run_figures f;
    f.ok = r.ok && r.requests > 0;
    f.rps = r.rps;
    f.p50 = r.latency.p50_us;
    f.p99 = r.latency.p99_us;
    f.cpu = r.cpu_us;
    f.requests = r.requests;
    f.exits = r.exits;
    f.answers = answers_text(r.answers);
    return f;
}

run_figures floor_run(const std::string &home, bool fresh, int connections, double seconds)
{
    std::vector<std::string> argv = {paths.floor, "run", "-h", home, "--seconds",
                                     fmt("%.2f", seconds), "--processes",
                                     std::to_string(connections)};
    if (fresh) {
        argv.insert(argv.end(), {"--new", "--space", fresh_space()});
    } else {
        argv.insert(argv.end(), {"--space", "k", "--known", std::to_string(cfg.compare_known)});
    }
    int status;
    std::string out = run_program(argv, static_cast<int>(seconds) + 120, &status);
    run_figures f;
    if (status != 0) {
        failed("storage floor run", "status " + std::to_string(status));
        return f;
    }
    auto v = fields(out);
    f.ok = true;
    f.rps = field(v, "rps");
    f.p50 = field(v, "p50_us");
    f.p99 = field(v, "p99_us");
    f.cpu = field(v, "cpu_us");
    f.requests = static_cast<uint64_t>(field(v, "requests"));
    f.deadlocks = static_cast<uint64_t>(field(v, "deadlocks"));
    f.answers = "-";
    return f;
}

// warm_known - make the known set of the comparison known and passed in
// each target: ask for each triplet once, wait out the delay, ask again.
void warm_known(const std::vector<std::pair<std::string, target_spec>> &targets)
{
    for (int pass = 0; pass < 2; pass++) {
        for (const auto &[what, t] : targets) {
            stream_spec s;
            s.fresh = true;
            s.space = "k";
            load_spec l;
            l.connections = 1;  // several would deadlock now and then, losing triplets
            l.warmup = 0;
            l.requests = cfg.compare_known;
            l.seconds = 600;
            run_result r = drive(t, s, l);
            if (!r.ok || r.requests != cfg.compare_known)
                failed("warming the known set of " + what, r.ok ? "short" : r.error);
        }
        if (pass == 0)
            sleep(static_cast<unsigned>(cfg.delay + 1));
    }
}

struct comparison {
    int connections;
    bool fresh;
    std::map<std::string, std::vector<run_figures>> runs;  // by program
    std::vector<double> flush_us;                          // before each round
};

std::vector<comparison> side_by_side(peer_process &peer)
{
    progress("side by side: murvane, least stdin program, storage floor%s",
             cfg.peer ? ", postgrey" : "");
    std::string dir = paths.work + "/compare";
    std::string murvane_home = dir + "/murvane", least_home = dir + "/least",
                floor_home = dir + "/floor";
    fresh_dir(murvane_home);
    fresh_dir(least_home);
    fresh_dir(floor_home);
    if (cfg.peer)
        peer = start_peer(dir + "/peer");
    bool have_peer = cfg.peer && peer.pid > 0;

    std::vector<std::pair<std::string, target_spec>> warm = {
        {"murvane", daemon_target(murvane_home)}, {"the least program", least_target(least_home)}};
    if (have_peer)
        warm.emplace_back("postgrey", peer_target(peer));
    warm_known(warm);
    load_database(floor_home, "k", cfg.compare_known, 0);

    std::vector<comparison> all;
    for (int k : {1, 4}) {
        for (bool fresh : {true, false}) {
            comparison c{k, fresh, {}, {}};
            std::vector<std::string> order = {"murvane", "least", "floor"};
            if (have_peer)
                order.push_back("postgrey");
            for (int round = 0; round < cfg.rounds; round++) {
                progress("  %d connection%s, %s triplets, round %d of %d", k, k == 1 ? "" : "s",
                         fresh ? "new" : "known", round + 1, cfg.rounds);
                c.flush_us.push_back(flush_latency_us());
                for (const auto &program : order) {
                    stream_spec s;
                    s.fresh = fresh;
                    s.space = fresh ? fresh_space() : "k";
                    s.known = cfg.compare_known;
                    load_spec l;
                    l.connections = k;
                    l.seconds = cfg.round_seconds;
                    std::string what = program + fmt(" at %d, %s", k, fresh ? "new" : "known");
                    if (program == "murvane")
                        c.runs[program].push_back(figures_of(
                            drive_checked(what, daemon_target(murvane_home), s, l)));
                    else if (program == "least")
                        c.runs[program].push_back(figures_of(
                            drive_checked(what, least_target(least_home), s, l)));
                    else if (program == "postgrey")
                        c.runs[program].push_back(
                            figures_of(drive_checked(what, peer_target(peer), s, l)));
                    else
                        c.runs[program].push_back(floor_run(floor_home, fresh, k, cfg.round_seconds));
                }
                // Alternate: the next round starts with the next program.
                std::rotate(order.begin(), order.begin() + 1, order.end());
            }
            // The answers must be what the stream asks for: new triplets
            // deferred, known ones let through.
            for (const auto &f : c.runs["murvane"]) {
                std::string want = fresh ? "DEFER_IF_PERMIT " : "DUNNO ";
                if (f.ok && f.answers.find(want) == std::string::npos)
                    failed("murvane's answers", f.answers);
            }
            all.push_back(c);
        }
    }
    stop_peer(peer);
    return all;
}

std::vector<double> per_round(const comparison &c, const std::string &a, const std::string &b,
                              double run_figures::*metric)
{
    std::vector<double> ratios;
    auto ia = c.runs.find(a), ib = c.runs.find(b);
    if (ia == c.runs.end() || ib == c.runs.end())
        return ratios;
    for (size_t i = 0; i < std::min(ia->second.size(), ib->second.size()); i++) {
        const run_figures &x = ia->second[i], &y = ib->second[i];
        if (x.ok && y.ok && y.*metric > 0 && !std::isnan(x.*metric) && !std::isnan(y.*metric))
            ratios.push_back(x.*metric / y.*metric);
    }
    return ratios;
}

std::vector<double> metric_of(const std::vector<run_figures> &runs, double run_figures::*metric)
{
    std::vector<double> v;
    for (const auto &f : runs)
        if (f.ok)
            v.push_back(f.*metric);
    return v;
}

struct target_line {
    std::string name, measured;
    bool met;
    bool judged;
};
std::vector<target_line> targets;

void add_target(const std::string &name, const std::vector<double> &values, double bound,
                bool at_least)
{
    double m = median(values);
    bool met = !std::isnan(m) && (at_least ? m >= bound : m <= bound);
    targets.push_back({name, ratio_text(values), met, !values.empty()});
}

void side_by_side_section(const std::vector<comparison> &all)
{
    report << "## 1. Side by side: murvane, the storage floor, postgrey\n\n"
           << "Each configuration ran " << cfg.rounds << " round" << (cfg.rounds > 1 ? "s" : "")
           << " of " << number(cfg.round_seconds, 1)
           << " s per program, the programs taking turns (the order rotates each round). "
              "Figures are medians over the rounds; ratios are taken round by round "
              "(median, and min-max in brackets). *least* is the least stdin program, "
              "*floor* the same transactions in-process without the protocol (K "
              "processes at K connections), CPU is the serving processes' CPU time per "
              "answered request.\n\n"
           << "| connections | triplets | program | requests/s | p50 µs | p99 µs | CPU µs/request "
              "| daemon exits | answers (last round) |\n"
           << "|---|---|---|---|---|---|---|---|---|\n";
    for (const auto &c : all) {
        for (const std::string program : {"murvane", "least", "floor", "postgrey"}) {
            auto it = c.runs.find(program);
            if (it == c.runs.end())
                continue;
            const auto &runs = it->second;
            uint64_t exits = 0, deadlocks = 0;
            for (const auto &f : runs) {
                exits += f.exits;
                deadlocks += f.deadlocks;
            }
            std::string exit_text = program == "floor" ? fmt("(%llu refused)",
                static_cast<unsigned long long>(deadlocks)) : std::to_string(exits);
            report << "| " << c.connections << " | " << (c.fresh ? "new" : "known") << " | "
                   << program << " | " << number(median(metric_of(runs, &run_figures::rps)))
                   << " | " << number(median(metric_of(runs, &run_figures::p50)))
                   << " | " << number(median(metric_of(runs, &run_figures::p99)))
                   << " | " << number(median(metric_of(runs, &run_figures::cpu)), 1)
                   << " | " << exit_text << " | " << (runs.empty() ? "-" : runs.back().answers)
                   << " |\n";
        }
    }
    report << "\nRatios, round by round. *Disk flush* is the median time of a 512-byte write "
              "and fdatasync() in the same directory, taken before each round (median over "
              "the rounds): one commit waits at least that long, in every program.\n\n"
           << "| connections | triplets | disk flush µs | murvane/least (throughput) | "
              "murvane/floor (throughput) | murvane/postgrey (throughput) | least/postgrey "
              "(throughput) | murvane/least (CPU per request) | postgrey/murvane (CPU per "
              "request) |\n"
           << "|---|---|---|---|---|---|---|---|---|\n";
    for (const auto &c : all) {
        report << "| " << c.connections << " | " << (c.fresh ? "new" : "known") << " | "
               << number(median(c.flush_us)) << " | "
               << ratio_text(per_round(c, "murvane", "least", &run_figures::rps)) << " | "
               << ratio_text(per_round(c, "murvane", "floor", &run_figures::rps)) << " | "
               << ratio_text(per_round(c, "murvane", "postgrey", &run_figures::rps)) << " | "
               << ratio_text(per_round(c, "least", "postgrey", &run_figures::rps)) << " | "
               << ratio_text(per_round(c, "murvane", "least", &run_figures::cpu)) << " | "
               << ratio_text(per_round(c, "postgrey", "murvane", &run_figures::cpu)) << " |\n";
    }
    report << "\n";
    for (const auto &c : all) {
        std::string at = fmt("%d connection%s, %s triplets", c.connections,
                             c.connections == 1 ? "" : "s", c.fresh ? "new" : "known");
        add_target("throughput murvane/least >= 0.9, " + at,
                   per_round(c, "murvane", "least", &run_figures::rps), 0.9, true);
    }
    for (const auto &c : all) {
        std::string at = fmt("%d connection%s, %s triplets", c.connections,
                             c.connections == 1 ? "" : "s", c.fresh ? "new" : "known");
        double bound = c.connections == 1 ? 3.0 : 4.5;
        add_target(fmt("throughput murvane/postgrey >= %.1f, ", bound) + at,
                   per_round(c, "murvane", "postgrey", &run_figures::rps), bound, true);
    }
    for (const auto &c : all) {
        std::string at = fmt("%d connection%s, %s triplets", c.connections,
                             c.connections == 1 ? "" : "s", c.fresh ? "new" : "known");
        add_target("CPU per request murvane/least <= 1.10, " + at,
                   per_round(c, "murvane", "least", &run_figures::cpu), 1.10, false);
    }
}

// ------------------------------------------------------- 2. allocations

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
                std::vector<std::string> env = {"LD_PRELOAD=" + paths.malloc_count,
                                                "MALLOC_COUNT_FILE=" + file};
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

// ------------------------------------------------------------- 3. scale

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

std::string scale_home(uint64_t size) { return paths.work + "/scale/" + std::to_string(size); }

bool rebuild_regions(const std::string &home);
uint64_t lock_table_size(uint64_t records);
void write_db_config(const std::string &home, uint64_t records);

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
    // The largest database also with the lock table its expiry pass needs
    // (section 4): the same requests, in larger regions.
    uint64_t largest = loaded.empty() ? 0 : loaded.back();
    std::string sized = largest ? scale_home(largest) + "-sized" : "";
    bool have_sized = false;
    if (largest) {
        copy_env(scale_home(largest), sized);
        write_db_config(sized, largest);
        have_sized = rebuild_regions(sized);
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
            if (size == largest && have_sized)
                for (int k : {1, 4})
                    scale_run(rows, size, k, false, "murvane, DB_CONFIG", daemon_target(sized),
                              known);
        }
    }
    if (!sized.empty())
        fs::remove_all(sized);
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

void scale_section(const std::vector<scale_row> &rows)
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
              "environment's region files, which every daemon maps. *DB_CONFIG*: a copy "
              "of the largest database with the lock table that section 4 finds its expiry "
              "pass needs.\n\n"
           << "| triplets stored | program | triplets asked | connections | requests/s | p50 µs "
              "| p99 µs | CPU µs/request | peak RSS KiB | of it private KiB | daemon exits | "
              "disk flush µs |\n"
           << "|---|---|---|---|---|---|---|---|---|---|---|---|\n";
    long hwm_at_largest = 0, hwm_sized = 0;
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
        if (row.size == largest && row.program == "murvane, DB_CONFIG")
            hwm_sized = std::max(hwm_sized, hwm);
    }
    report << "\n";
    if (largest > 0) {
        targets.push_back({fmt("peak RSS of a serving daemon < 4096 KiB at %llu triplets",
                               static_cast<unsigned long long>(largest)),
                           std::to_string(hwm_at_largest) + " KiB",
                           hwm_at_largest > 0 && hwm_at_largest < 4096, hwm_at_largest > 0});
        targets.push_back({fmt("peak RSS of a serving daemon < 4096 KiB at %llu triplets, with "
                               "the DB_CONFIG its expiry pass needs",
                               static_cast<unsigned long long>(largest)),
                           std::to_string(hwm_sized) + " KiB", hwm_sized > 0 && hwm_sized < 4096,
                           hwm_sized > 0});
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

// ------------------------------------------------------------ 4. expiry

struct pass_figures {
    bool ok = false;
    double seconds = NAN;   // from end of input to exit
    int status = -1;
    long max_rss_kb = 0;
    std::string answer;     // the answer to the one request before the pass
    std::string log;
};

// one_daemon - a daemon asked one known triplet, then given end of input, so
// that it runs its expiry pass; timed from end of input to its exit.
pass_figures one_daemon(const std::string &home, const std::string &log)
{
    pass_figures f;
    std::error_code ec;
    fs::remove(log, ec);
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
        return f;
    std::vector<std::string> env = bare_environment();
    for (const auto &e : capture_env(log))
        env.push_back(e);
    std::vector<std::string> argv = {paths.murvane, "-h", home};
    pid_t pid = fork();
    if (pid == 0) {
        signal(SIGPIPE, SIG_DFL);
        dup2(in[0], 0);
        dup2(out[1], 1);
        umask(077);
        std::vector<char *> a, e;
        for (const auto &s : argv)
            a.push_back(const_cast<char *>(s.c_str()));
        a.push_back(nullptr);
        for (const auto &s : env)
            e.push_back(const_cast<char *>(s.c_str()));
        e.push_back(nullptr);
        execve(a[0], a.data(), e.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    bench_triplet t;
    make_triplet("k", 1, &t);
    char request[4096];
    size_t length = format_request(request, sizeof request, t, 1);
    bool written = write(in[1], request, length) == static_cast<ssize_t>(length);
    // Read the answer (bounded), then end the input and time the exit.
    std::string answer;
    uint64_t until = now_ns() + 60000000000ULL;
    char buf[4096];
    while (written && answer.find("\n\n") == std::string::npos && now_ns() < until) {
        struct pollfd p = {out[0], POLLIN, 0};
        if (poll(&p, 1, 1000) <= 0)
            continue;
        ssize_t n = read(out[0], buf, sizeof buf);
        if (n <= 0)
            break;
        answer.append(buf, static_cast<size_t>(n));
    }
    close(in[1]);
    uint64_t closed = now_ns();
    // Its exit shows as the end of its standard output.
    until = closed + 600000000000ULL;
    while (now_ns() < until) {
        struct pollfd p = {out[0], POLLIN, 0};
        if (poll(&p, 1, 1000) <= 0)
            continue;
        ssize_t n = read(out[0], buf, sizeof buf);
        if (n <= 0)
            break;
        answer.append(buf, static_cast<size_t>(n));
    }
    uint64_t ended = now_ns();
    close(out[0]);
    struct rusage usage{};
    f.status = wait_bounded(pid, 10, &usage);
    f.seconds = static_cast<double>(ended - closed) / 1e9;
    f.max_rss_kb = usage.ru_maxrss;
    size_t newline = answer.find('\n');
    f.answer = newline == std::string::npos ? answer : answer.substr(0, newline);
    if (f.answer.size() > 40)
        f.answer = f.answer.substr(0, 40) + "...";
    f.log = log_summary(log);
    f.ok = true;
    return f;
}

long stat_number(const std::string &text, const std::string &label)
{
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        if (line.find(label) != std::string::npos)
            return atol(line.c_str());
    return -1;
}

long leaf_pages(const std::string &home)
{
    int status;
    std::string text = run_program({"db5.3_stat", "-h", home, "-d", "triplets-1.db"}, 120, &status);
    return status == 0 ? stat_number(text, "Number of tree leaf pages") : -1;
}

long most_locks(const std::string &home)
{
    int status;
    std::string text = run_program({"db5.3_stat", "-h", home, "-c"}, 60, &status);
    return status == 0 ? stat_number(text, "Maximum number of locks at any one time") : -1;
}

// rebuild_regions - what an admin does after writing DB_CONFIG, with no
// daemon running: recovery removes the regions, and the next open makes
// them anew from DB_CONFIG.
bool rebuild_regions(const std::string &home)
{
    int status;
    run_program({"db5.3_recover", "-h", home}, 600, &status);
    if (status != 0)
        failed("db5.3_recover -h " + home, "status " + std::to_string(status));
    return status == 0;
}

uint64_t lock_table_size(uint64_t records)
{
    // One lock and one lock object per leaf page the pass write-locks: a
    // 4 KiB page holds about 28 of these triplets at 70% fill. One per 20
    // records leaves room, rounded up to ten thousand.
    uint64_t n = (records / 20 + 9999) / 10000 * 10000;
    return std::max<uint64_t>(n, 10000);
}

void write_db_config(const std::string &home, uint64_t records)
{
    uint64_t locks = lock_table_size(records);
    std::ofstream config(home + "/DB_CONFIG");
    config << "set_lk_max_locks " << locks << "\nset_lk_max_objects " << locks << "\n";
}

void expiry_section()
{
    report << "## 4. The expiry pass\n\n"
           << "A daemon asked one request and then given end of input runs the pass over the "
              "whole database in one transaction that write-locks every leaf page it reads. "
              "Each database is a copy of the one section 3 measured (10% of its triplets "
              "idle past their limit), its regions rebuilt by `db5.3_recover` first. "
              "*Next daemon* is another daemon started after the pass, asked one known "
              "triplet.\n\n"
           << "| triplets | leaf pages | lock table | pass s | pass outcome | peak RSS KiB | "
              "next daemon answers |\n"
           << "|---|---|---|---|---|---|---|\n";
    std::vector<std::string> notes;
    for (uint64_t size : cfg.expiry_sizes) {
        std::string master = scale_home(size);
        if (!fs::exists(master + "/triplets-1.db"))
            continue;
        long pages = leaf_pages(master);
        uint64_t locks = lock_table_size(size);
        for (bool sized : {false, true}) {
            progress("expiry pass over %llu triplets, %s", static_cast<unsigned long long>(size),
                     sized ? "DB_CONFIG" : "default lock table");
            std::string home = paths.work + fmt("/expiry/%llu-%s",
                                                static_cast<unsigned long long>(size),
                                                sized ? "sized" : "default");
            copy_env(master, home);
            if (sized)
                write_db_config(home, size);
            if (!rebuild_regions(home))
                continue;
            pass_figures pass = one_daemon(home, home + "/pass.log");
            long peak_locks = most_locks(home);
            pass_figures next = one_daemon(home, home + "/next.log");
            report << "| " << size << " | " << pages << " | "
                   << (sized ? fmt("DB_CONFIG: %llu locks and objects",
                                   static_cast<unsigned long long>(locks))
                             : std::string("library default"))
                   << " | " << number(pass.seconds, 2) << " | " << pass.log << " (exit "
                   << pass.status << ") | " << pass.max_rss_kb << " | `" << next.answer
                   << "`" << (next.status != 0 ? fmt(" (exit %d) ", next.status) + next.log : "")
                   << " |\n";
            if (!sized && peak_locks > 0)
                notes.push_back(fmt("Default lock table, %llu triplets: at most %ld locks were "
                                    "held at once (the table's limit when the pass failed, "
                                    "its need when it did not).",
                                    static_cast<unsigned long long>(size), peak_locks));
            if (!pass.ok)
                failed("expiry pass", home);
        }
    }
    report << "\n";
    for (const auto &n : notes)
        report << "- " << n << "\n";
    report << "\n";

    // The latency other daemons see while one runs its pass over the largest
    // database, with the lock table sized so that the pass can finish.
    if (cfg.expiry_sizes.empty())
        return;
    uint64_t size = cfg.expiry_sizes.back();
    std::string master = scale_home(size);
    if (!fs::exists(master + "/triplets-1.db"))
        return;
    report << "Requests of other daemons while one daemon runs its pass over " << size
           << " triplets (DB_CONFIG as above; the load: known triplets from the whole "
              "set; the pass starts 1 s into the run):\n\n"
           << "| load connections | pass s | pass outcome | requests before: p50 µs / p99 µs | "
              "requests during the pass | p50 µs | p99 µs | max µs | daemons that failed "
              "to open the environment |\n"
           << "|---|---|---|---|---|---|---|---|---|\n";
    for (int k : {1, 2}) {
        progress("latency during a pass over %llu triplets, %d load connection%s",
                 static_cast<unsigned long long>(size), k, k == 1 ? "" : "s");
        std::string home = paths.work + fmt("/expiry/%llu-under-load", static_cast<unsigned long long>(size));
        copy_env(master, home);
        write_db_config(home, size);
        if (!rebuild_regions(home))
            continue;
        std::string log = home + "/daemons.log";
        target_spec t = daemon_target(home, capture_env(log));
        stream_spec s;
        s.fresh = false;
        s.space = "k";
        s.known = size - size / 10;
        load_spec l;
        l.connections = k;
        l.seconds = 300;
        l.probe_after = 1;
        run_result r = drive_checked("load during an expiry pass", t, s, l);
        report << "| " << k << " | " << number(r.probe_exit_s, 2) << " | "
               << log_summary(log, {"Received signal", "Interrupted system call", "dbenv->open",
                                    "BDB0126", "error: "})
               << " | " << number(r.before_probe.p50_us) << " / "
               << number(r.before_probe.p99_us) << " | " << r.during_probe.count << " | "
               << number(r.during_probe.p50_us) << " | " << number(r.during_probe.p99_us)
               << " | " << number(r.during_probe.max_us) << " | "
               << count_in_file(log, "dbenv->open") << " |\n";
    }
    report << "\n";

    // Daemons that start together on regions just rebuilt: the first one
    // creates them, and one that opens the environment meanwhile may fail.
    report << "Four daemons started at the same moment on an environment whose regions "
              "were just rebuilt (a copy of the " << size << "-triplet database; each "
              "asks one known triplet; "
           << cfg.startup_trials << (cfg.startup_trials == 1 ? " trial" : " trials") << " per row):\n\n"
           << "| regions | daemons started (replacements included) | failed environment opens | "
              "what they logged |\n"
           << "|---|---|---|---|\n";
    for (bool sized : {false, true}) {
        progress("daemons starting together on rebuilt regions, %s",
                 sized ? "DB_CONFIG" : "defaults");
        std::string home = paths.work + fmt("/expiry/startup-%d", sized);
        copy_env(master, home);
        if (sized)
            write_db_config(home, size);
        std::string log = home + "/daemons.log";
        size_t failed_opens = 0;
        uint64_t started = 0;
        for (int trial = 0; trial < cfg.startup_trials; trial++) {
            if (!rebuild_regions(home))
                break;
            target_spec t = daemon_target(home, capture_env(log));
            stream_spec s;
            s.fresh = false;
            s.space = "k";
            s.known = size - size / 10;
            load_spec l;
            l.connections = 4;
            l.warmup = 1;
            l.seconds = 0.1;
            run_result r = drive_checked("daemons starting together", t, s, l);
            started += 4 + r.exits;
        }
        failed_opens = count_in_file(log, "dbenv->open");
        report << "| " << (sized ? "DB_CONFIG as above" : "library defaults") << " | "
               << started << " | " << failed_opens << " | "
               << log_summary(log, {"Received signal", "Interrupted system call", "error: "})
               << " |\n";
    }
    report << "\n";
}

// -------------------------------------------------------- 5. contention

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

// ---------------------------------------------------------------- report

void targets_section()
{
    report << "## Targets\n\n"
           << "Each a ratio or a figure from this run (median over rounds, min-max in "
              "brackets)."
           << (cfg.smoke ? " Smoke run: nothing is judged." : "") << "\n\n"
           << "| target | measured | met |\n|---|---|---|\n";
    for (const auto &t : targets)
        report << "| " << t.name << " | " << t.measured << " | "
               << (cfg.smoke ? "(smoke)" : !t.judged ? "not measured" : t.met ? "yes" : "**no**")
               << " |\n";
    report << "\n";
}

[[noreturn]] void usage()
{
    fputs("usage: bench_suite --build DIR --work DIR --out DIR [--smoke] [--no-peer]\n", stderr);
    exit(2);
}

}  // namespace

int main(int argc, char **argv)
{
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--build" && i + 1 < argc)
            paths.build = argv[++i];
        else if (a == "--work" && i + 1 < argc)
            paths.work = argv[++i];
        else if (a == "--out" && i + 1 < argc)
            paths.out = argv[++i];
        else if (a == "--smoke")
            cfg.make_smoke();
        else if (a == "--no-peer")
            cfg.peer = false;
        else
            usage();
    }
    if (paths.build.empty() || paths.work.empty() || paths.out.empty())
        usage();
    paths.build = fs::absolute(paths.build).string();
    paths.work = fs::absolute(paths.work).string();
    paths.out = fs::absolute(paths.out).string();
    paths.murvane = paths.build + "/murvane";
    paths.least = paths.build + "/bench/bench_least";
    paths.floor = paths.build + "/bench/bench_floor";
    paths.malloc_count = paths.build + "/bench/malloc_count.so";
    paths.syslog_capture = paths.build + "/bench/bench_syslog_capture.so";
    for (const auto &p : {paths.murvane, paths.least, paths.floor, paths.malloc_count,
                          paths.syslog_capture})
        if (access(p.c_str(), R_OK) != 0) {
            fprintf(stderr, "bench_suite: %s is missing\n", p.c_str());
            return 2;
        }
    if (cfg.peer && access("/usr/sbin/postgrey", X_OK) != 0) {
        fprintf(stderr, "bench_suite: /usr/sbin/postgrey is missing (install it, or --no-peer)\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    fresh_dir(paths.work);
    fs::create_directories(paths.out);
    uint64_t start = now_ns();

    report << "# murvane bench report\n\n";
    machine_section();
    peer_process peer;
    std::vector<comparison> compared = side_by_side(peer);
    side_by_side_section(compared);
    allocations_section();
    scale_section(scale_runs());
    expiry_section();
    contention_section();

    std::string sections = report.str();
    report.str("");
    targets_section();
    std::string target_text = report.str();
    // The targets come first, after the machine.
    size_t first_section = sections.find("## 1.");
    std::string text = first_section == std::string::npos
                           ? sections + target_text
                           : sections.substr(0, first_section) + target_text +
                                 sections.substr(first_section);
    text += fmt("Whole run: %.0f s; load average at the end: %s.\n",
                static_cast<double>(now_ns() - start) / 1e9, load_average().c_str());
    fputs(text.c_str(), stdout);
    std::ofstream(paths.out + "/report.md") << text;
    if (failures > 0) {
        fprintf(stderr, "bench: %d run%s failed\n", failures, failures == 1 ? "" : "s");
        return 1;
    }
    return 0;
}
