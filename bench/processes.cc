// SPDX-License-Identifier: BSD-2-Clause
// processes.cc - running the bench's child programs, and reading what they
// leave behind.
//
// The suite starts every process it measures or asks; each is waited for
// with a bound and killed by its PID past it, so that a hung daemon or tool
// ends its run as a failure instead of hanging the suite.
#include "processes.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "suite.h"
#include "workload.h"

namespace fs = std::filesystem;

namespace {

uint64_t space_counter = 0;

}  // namespace

std::string fresh_space()
{
    // Distinct per run and per suite invocation, so that "new" triplets are
    // new in every environment, however often the bench has run there.
    char text[32];
    snprintf(text, sizeof text, "n%llx%llu", static_cast<unsigned long long>(time(nullptr)),
             static_cast<unsigned long long>(space_counter++));
    return text;
}

int wait_bounded(pid_t pid, int timeout_s, struct rusage *usage)
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

void read_until(int fd, std::string &text, uint64_t until, const char *stop)
{
    char buf[4096];
    while (stop == nullptr || text.find(stop) == std::string::npos) {
        struct pollfd p = {fd, POLLIN, 0};
        int64_t left_ms = (static_cast<int64_t>(until) - static_cast<int64_t>(now_ns())) / 1000000;
        if (left_ms <= 0)
            break;
        if (poll(&p, 1, static_cast<int>(std::min<int64_t>(left_ms, 1000))) <= 0)
            continue;
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            break;
        text.append(buf, static_cast<size_t>(n));
    }
}

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
    read_until(out[0], text, now_ns() + static_cast<uint64_t>(timeout_s) * 1000000000ULL);
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

std::string log_summary(const std::string &path, const std::vector<std::string> &skip)
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

target_spec daemon_target(const std::string &home, const std::vector<std::string> &extra_env,
                          bool signal_stop)
{
    target_spec t;
    t.argv = {paths.murvane, "-h", home, "-g", std::to_string(cfg.delay)};
    t.env = bare_environment();
    for (const auto &e : extra_env)
        t.env.push_back(e);
    t.stop_with_signal = signal_stop;
    return t;
}

target_spec least_target(const std::string &home, const std::vector<std::string> &extra_env)
{
    target_spec t;
    t.argv = {paths.least, "-h", home};
    t.env = bare_environment();
    for (const auto &e : extra_env)
        t.env.push_back(e);
    t.stop_with_signal = true;
    return t;
}

std::vector<std::string> preload_env(const std::string &library)
{
    // The loader splits LD_PRELOAD at spaces as well as colons, with no way
    // to quote one: from a build under "my checkout" the library goes by its
    // file name, found on LD_LIBRARY_PATH, which only colons split.
    size_t slash = library.rfind('/');
    if (library.find(' ') == std::string::npos || slash == std::string::npos)
        return {"LD_PRELOAD=" + library};
    return {"LD_PRELOAD=" + library.substr(slash + 1),
            "LD_LIBRARY_PATH=" + library.substr(0, slash)};
}

std::vector<std::string> capture_env(const std::string &log)
{
    std::vector<std::string> env = preload_env(paths.syslog_capture);
    env.push_back("MURVANE_SYSLOG_FILE=" + log);
    return env;
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

double flush_latency_us(int count)
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
