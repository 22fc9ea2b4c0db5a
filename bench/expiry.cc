// expiry.cc - section 4: the expiry pass and the lock table it needs.
//
// A daemon given end of input runs its pass over the whole database in one
// transaction that write-locks every leaf page it reads, so the library's
// default lock table runs out on a large database. The section times the
// pass over copies of the databases section 3 loaded, with the default table
// and with a DB_CONFIG sized by lock_table_size(); measures the latency that
// other daemons see while a pass runs; and starts daemons together on regions
// just rebuilt, where one that opens the environment while the first is
// creating them may fail. What the daemons logged is summarized from their
// syslog capture files.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "processes.h"
#include "sections.h"
#include "suite.h"
#include "workload.h"

namespace fs = std::filesystem;

namespace {

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

// pass_table - the pass over each size, with the default lock table and
// with a DB_CONFIG.
void pass_table()
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
}

// latency_during_pass - the latency other daemons see while one runs its pass
// over the largest database, with the lock table sized so that the pass can
// finish.
void latency_during_pass(uint64_t size, const std::string &master)
{
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
}

// starting_together - daemons that start together on regions just rebuilt:
// the first one creates them, and one that opens the environment meanwhile
// may fail.
void starting_together(uint64_t size, const std::string &master)
{
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

}  // namespace

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
    pass_table();
    if (cfg.expiry_sizes.empty())
        return;
    uint64_t size = cfg.expiry_sizes.back();
    std::string master = scale_home(size);
    if (!fs::exists(master + "/triplets-1.db"))
        return;
    latency_during_pass(size, master);
    starting_together(size, master);
}
