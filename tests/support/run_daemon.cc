// SPDX-License-Identifier: BSD-2-Clause
// run_daemon.cc - the black-box harness around the murvane binary.
#include "run_daemon.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

extern char **environ;

#ifndef MURVANE_BINARY
#error MURVANE_BINARY must name the built daemon
#endif
#ifndef SYSLOG_CAPTURE_LIBRARY
#error SYSLOG_CAPTURE_LIBRARY must name the capture library
#endif

const char *murvane_binary() { return MURVANE_BINARY; }
const char *syslog_capture_library() { return SYSLOG_CAPTURE_LIBRARY; }

namespace {

long long now_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

void set_nonblocking(int fd)
{
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

// add_preload - LD_PRELOAD for a colon-separated list of libraries, and
// LD_LIBRARY_PATH (library_path, the one inherited, after). The loader splits
// LD_PRELOAD at spaces as well as colons, with no way to quote one: a library
// whose path has a space (a checkout in "my checkout") is preloaded by its
// file name instead, its directory put on LD_LIBRARY_PATH, which only colons
// split.
void add_preload(std::vector<std::string> &env, const std::string &list,
                 std::string library_path)
{
    std::string names;
    std::istringstream in(list);
    std::string library;
    while (std::getline(in, library, ':')) {
        if (library.empty())
            continue;
        size_t slash = library.rfind('/');
        if (library.find(' ') != std::string::npos && slash != std::string::npos) {
            library_path = library.substr(0, slash) + (library_path.empty() ? "" : ":") +
                           library_path;
            library = library.substr(slash + 1);
        }
        names += (names.empty() ? "" : ":") + library;
    }
    env.push_back("LD_PRELOAD=" + names);
    if (!library_path.empty())
        env.push_back("LD_LIBRARY_PATH=" + library_path);
}

// Read what is there without blocking; false once the pipe is closed.
bool drain(int fd, std::string &into)
{
    char buf[65536];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) {
            into.append(buf, n);
            continue;
        }
        if (n == 0)
            return false;
        return errno == EAGAIN || errno == EINTR;
    }
}

std::string temp_log_path()
{
    const char *tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/murvane-log-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    int fd = mkstemp(name.data());
    if (fd < 0) {
        perror("mkstemp");
        abort();
    }
    close(fd);
    return name.data();
}

// listen_fd_ready - in the child after the fork: put the listening socket on
// fd 3, open across the exec, and write the child's pid into LISTEN_PID's
// room. Only async-signal-safe calls: the test program may have threads.
int listen_fd_ready(int fd, char *pid_digits)
{
    if (fd < 0)
        return 0;
    if (fd == 3) {
        if (fcntl(3, F_SETFD, 0) != 0)
            return -1;
    } else if (dup2(fd, 3) != 3) {
        return -1;
    }
    char reversed[20];
    int n = 0;
    for (long pid = getpid(); pid > 0 && n < 20; pid /= 10)
        reversed[n++] = static_cast<char>('0' + pid % 10);
    for (int i = 0; i < n; i++)
        pid_digits[i] = reversed[n - 1 - i];
    pid_digits[n] = '\0';
    return 0;
}

}  // namespace

std::vector<std::string> read_log_file(const std::string &path)
{
    std::vector<std::string> lines;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

bool signal_caught(pid_t pid, int signal_number)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("SigCgt:", 0) == 0)
            return (std::stoull(line.substr(7), nullptr, 16) >> (signal_number - 1)) & 1;
    return false;
}

std::vector<std::string> daemon_result::log_messages() const
{
    std::vector<std::string> out;
    for (const auto &line : log)
        if (line.rfind("openlog\t", 0) != 0 && line != "closelog")
            out.push_back(line);
    return out;
}

std::vector<std::string> daemon_result::messages(const std::string &level) const
{
    std::vector<std::string> out;
    std::string prefix = level + "\t";
    for (const auto &line : log)
        if (line.rfind(prefix, 0) == 0)
            out.push_back(line.substr(prefix.size()));
    return out;
}

bool daemon_result::logged(const std::string &level, const std::string &message) const
{
    for (const auto &m : messages(level))
        if (m == message)
            return true;
    return false;
}

daemon_process start_daemon(const daemon_run &run)
{
    daemon_process daemon;
    daemon.log_path = temp_log_path();

    std::vector<std::string> env_strings;
    std::string preload = syslog_capture_library();
    if (!run.preload_first.empty())
        preload = run.preload_first + ":" + preload;
    std::string library_path;
    for (char **e = environ; *e; e++) {
        if (strncmp(*e, "LD_LIBRARY_PATH=", 16) == 0) {
            library_path = *e + 16;
            continue;
        }
        if (strncmp(*e, "LD_PRELOAD=", 11) == 0 ||
            strncmp(*e, "MURVANE_SYSLOG_FILE=", 20) == 0)
            continue;
        env_strings.push_back(*e);
    }
    for (const auto &e : run.env) {
        if (e.rfind("LD_PRELOAD=", 0) == 0)
            preload += ":" + e.substr(11);
        else
            env_strings.push_back(e);
    }
    add_preload(env_strings, preload, library_path);
    env_strings.push_back("MURVANE_SYSLOG_FILE=" + daemon.log_path);
    // A preloaded library ahead of the sanitizer runtime is expected here.
    env_strings.push_back("ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=1");

    std::vector<std::string> arg_strings;
    arg_strings.push_back(run.argv0.empty() ? murvane_binary() : run.argv0);
    for (const auto &a : run.args)
        arg_strings.push_back(a);

    // Socket activation: LISTEN_PID must name the child itself, so its digits
    // are written after the fork, into room made for them here.
    if (run.listen_fd >= 0) {
        env_strings.push_back("LISTEN_FDS=1");
        env_strings.push_back("LISTEN_PID=" + std::string(20, '\0'));
    }

    std::vector<char *> argv, envp;
    for (auto &a : arg_strings)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto &e : env_strings)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    char *listen_pid = run.listen_fd >= 0 ? envp[envp.size() - 2] + 11 : nullptr;

    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC)) {
        perror("pipe2");
        abort();
    }
    pid_t pid = fork();
    if (pid < 0) {
        perror("fork");
        abort();
    }
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        if (listen_fd_ready(run.listen_fd, listen_pid) != 0)
            _exit(127);
        // Start from the default dispositions and an empty mask, as a fresh
        // process from the mail server would.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        for (int s = 1; s < NSIG; s++)
            signal(s, SIG_DFL);
        execve(murvane_binary(), argv.data(), envp.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    daemon.pid = pid;
    daemon.in_fd = in[1];
    daemon.out_fd = out[0];
    daemon.err_fd = err[0];
    set_nonblocking(daemon.out_fd);
    set_nonblocking(daemon.err_fd);
    return daemon;
}

bool write_input(daemon_process &daemon, const std::string &bytes)
{
    // A daemon that has gone away must fail the write, not kill the test.
    signal(SIGPIPE, SIG_IGN);
    size_t done = 0;
    long long deadline = now_ms() + 60000;
    while (done < bytes.size()) {
        struct pollfd fds[3] = {{daemon.in_fd, POLLOUT, 0},
                                {daemon.out_fd, POLLIN, 0},
                                {daemon.err_fd, POLLIN, 0}};
        int wait = static_cast<int>(deadline - now_ms());
        if (wait <= 0 || poll(fds, 3, wait) < 0)
            return false;
        // Keep reading while writing, so a daemon that answers a long stream
        // never blocks on a full stdout pipe.
        if (fds[1].revents)
            drain(daemon.out_fd, daemon.out);
        if (fds[2].revents)
            drain(daemon.err_fd, daemon.err);
        if (fds[0].revents & (POLLERR | POLLHUP))
            return false;
        if (fds[0].revents & POLLOUT) {
            ssize_t n = write(daemon.in_fd, bytes.data() + done,
                              std::min<size_t>(bytes.size() - done, 65536));
            if (n < 0 && errno != EINTR && errno != EAGAIN)
                return false;
            if (n > 0)
                done += n;
        }
    }
    return true;
}

void close_input(daemon_process &daemon)
{
    if (daemon.in_fd >= 0) {
        close(daemon.in_fd);
        daemon.in_fd = -1;
    }
}

bool read_output_until(daemon_process &daemon, const std::string &text,
                       int timeout_ms, size_t from)
{
    long long deadline = now_ms() + timeout_ms;
    for (;;) {
        if (daemon.out.find(text, from) != std::string::npos)
            return true;
        int wait = static_cast<int>(deadline - now_ms());
        if (wait <= 0)
            return false;
        struct pollfd fds[2] = {{daemon.out_fd, POLLIN, 0}, {daemon.err_fd, POLLIN, 0}};
        if (poll(fds, 2, wait) < 0 && errno != EINTR)
            return false;
        if (fds[1].revents)
            drain(daemon.err_fd, daemon.err);
        if (fds[0].revents && !drain(daemon.out_fd, daemon.out))
            return daemon.out.find(text, from) != std::string::npos;
    }
}

namespace {

// Poll a condition every few milliseconds until it holds or time runs out.
template <typename F>
bool wait_for(F condition, int timeout_ms)
{
    long long deadline = now_ms() + timeout_ms;
    for (;;) {
        if (condition())
            return true;
        if (now_ms() >= deadline)
            return false;
        struct timespec pause = {0, 2 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
}

}  // namespace

namespace {

// current_system_call - the process's current system call and its first
// argument, as /proc shows them. The file reads "running" while the process
// runs: that parse fails (and would otherwise store 0, the number of read),
// so it returns false.
bool current_system_call(pid_t pid, long *number, std::string *first_argument)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/syscall");
    return static_cast<bool>(in >> *number >> *first_argument);
}

}  // namespace

bool wait_until(const std::function<bool()> &condition, int timeout_ms)
{
    timespec start, now;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        if (condition())
            return true;
        clock_gettime(CLOCK_MONOTONIC, &now);
        long long waited = (now.tv_sec - start.tv_sec) * 1000LL +
                           (now.tv_nsec - start.tv_nsec) / 1000000;
        if (waited >= timeout_ms)
            return condition();
        struct timespec pause = {0, 2 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
}

bool wait_until_reading(const daemon_process &daemon, int timeout_ms)
{
    return wait_for([&] {
        long number;
        std::string fd;
        if (!current_system_call(daemon.pid, &number, &fd))
            return false;
        // read(0) on standard input, poll(7) or ppoll(271) on x86-64: waiting
        // for the mail server. A read on another descriptor (the loader
        // reading a library at start-up) is no such wait.
        return (number == 0 && fd == "0x0") || number == 7 || number == 271;
    }, timeout_ms);
}

bool wait_in_system_call(const daemon_process &daemon, long number, int timeout_ms)
{
    return wait_for([&] {
        long current;
        std::string first;
        return current_system_call(daemon.pid, &current, &first) && current == number;
    }, timeout_ms);
}

bool wait_in_system_call(const daemon_process &daemon, long number,
                         const std::function<bool()> &also, int timeout_ms)
{
    return wait_for([&] {
        long current;
        std::string first;
        return current_system_call(daemon.pid, &current, &first) && current == number &&
               also();
    }, timeout_ms);
}

bool wait_for_log(const daemon_process &daemon, const std::string &text, int timeout_ms)
{
    return wait_for([&] {
        for (const auto &line : read_log_file(daemon.log_path))
            if (line.find(text) != std::string::npos)
                return true;
        return false;
    }, timeout_ms);
}

daemon_result finish_daemon(daemon_process &daemon, int timeout_ms)
{
    daemon_result result;
    long long deadline = now_ms() + timeout_ms;
    bool out_open = true, err_open = true;
    int status = 0;
    struct rusage usage {};
    bool reaped = false;

    while (!reaped || out_open || err_open) {
        if (!reaped) {
            pid_t done = wait4(daemon.pid, &status, WNOHANG, &usage);
            if (done == daemon.pid)
                reaped = true;
        }
        int wait = static_cast<int>(deadline - now_ms());
        if (wait <= 0 && !result.timed_out && !reaped) {
            result.timed_out = true;
            kill(daemon.pid, SIGKILL);
            deadline = now_ms() + 10000;
            continue;
        }
        if (wait <= 0 && reaped)
            break;  // output held open by a stray child; stop reading
        struct pollfd fds[2] = {{out_open ? daemon.out_fd : -1, POLLIN, 0},
                                {err_open ? daemon.err_fd : -1, POLLIN, 0}};
        poll(fds, 2, std::max(1, std::min(wait, 20)));
        if (out_open && fds[0].revents)
            out_open = drain(daemon.out_fd, daemon.out);
        if (err_open && fds[1].revents)
            err_open = drain(daemon.err_fd, daemon.err);
    }
    close_input(daemon);
    close(daemon.out_fd);
    close(daemon.err_fd);
    daemon.out_fd = daemon.err_fd = -1;

    result.out = daemon.out;
    result.err = daemon.err;
    if (WIFEXITED(status)) {
        result.status = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    }
    result.cpu_ms = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000LL +
                    (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000;
    result.log = read_log_file(daemon.log_path);
    unlink(daemon.log_path.c_str());
    return result;
}

daemon_result run_daemon(const daemon_run &run)
{
    daemon_process daemon = start_daemon(run);
    bool open = write_input(daemon, run.input);
    for (const auto &piece : run.pieces) {
        if (!open)
            break;
        struct timespec pause = {piece.delay_ms / 1000, (piece.delay_ms % 1000) * 1000000L};
        nanosleep(&pause, nullptr);
        open = write_input(daemon, piece.bytes);
    }
    if (!run.keep_stdin_open)
        close_input(daemon);
    return finish_daemon(daemon, run.timeout_ms);
}

daemon_result run_daemon(const std::vector<std::string> &args, const std::string &input)
{
    daemon_run run;
    run.args = args;
    run.input = input;
    return run_daemon(run);
}

temp_dir::temp_dir()
{
    const char *tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/murvane-test-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (mkdtemp(name.data()) == nullptr) {
        perror("mkdtemp");
        abort();
    }
    path = name.data();
}

temp_dir::~temp_dir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}
