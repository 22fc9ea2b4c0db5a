// SPDX-License-Identifier: BSD-2-Clause
// run_daemon.h - running the built murvane binary the way a mail server does.
//
// The daemon gets its argv, bytes on standard input (at once or in timed
// pieces) and extra environment; the result holds its standard output and
// error, its exit status or terminating signal, and its syslog lines as the
// capture library wrote them. Every wait is bounded: a daemon that outlives
// its time limit is killed and the result says so.
#ifndef MURVANE_TESTS_RUN_DAEMON_H
#define MURVANE_TESTS_RUN_DAEMON_H

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

struct input_piece {
    int delay_ms;        // pause before the piece is written
    std::string bytes;
};

struct daemon_run {
    std::vector<std::string> args;       // arguments after the program name
    std::string input;                   // written at once, then stdin closes
    std::vector<input_piece> pieces;     // written after `input`, one by one
    std::vector<std::string> env;        // extra NAME=value entries
    std::string preload_first;           // libraries preloaded ahead of the syslog
                                         // capture (an LD_PRELOAD in env goes after it)
    std::string argv0;                   // program name; the binary's path if empty
    bool keep_stdin_open = false;        // do not close stdin after the input
    int listen_fd = -1;                  // handed over at fd 3 the systemd way
                                         // (LISTEN_FDS=1, LISTEN_PID the child's)
    int timeout_ms = 60000;
};

struct daemon_result {
    std::string out;
    std::string err;
    int status = -1;         // exit status; -1 when ended by a signal
    int signal = 0;          // terminating signal, 0 when it exited
    bool timed_out = false;  // killed by the harness after timeout_ms
    long long cpu_ms = 0;    // processor time it used, user and system, all threads
    std::vector<std::string> log;  // "level\tmessage" lines, openlog/closelog too

    // The messages logged at a level ("err", "notice", ...), in order.
    std::vector<std::string> messages(const std::string &level) const;
    // Every "level\tmessage" line except openlog and closelog.
    std::vector<std::string> log_messages() const;
    bool logged(const std::string &level, const std::string &message) const;
};

// Path of the built daemon and of the syslog capture library.
const char *murvane_binary();
const char *syslog_capture_library();

// run_daemon - start the daemon, feed it, wait for its end.
daemon_result run_daemon(const daemon_run &run);
daemon_result run_daemon(const std::vector<std::string> &args,
                         const std::string &input = "");

// A daemon under a test's direct control, for signals and interleaving.
struct daemon_process {
    pid_t pid = -1;
    int in_fd = -1;
    int out_fd = -1;
    int err_fd = -1;
    std::string log_path;
    std::string out;   // standard output read so far
    std::string err;   // standard error read so far
};

daemon_process start_daemon(const daemon_run &run);
// write_input - write all bytes to the daemon's stdin; false if it is gone.
bool write_input(daemon_process &daemon, const std::string &bytes);
void close_input(daemon_process &daemon);
// read_output_until - read stdout until it holds `text` (counted from
// `from`); false when the daemon closed stdout or the time ran out first.
bool read_output_until(daemon_process &daemon, const std::string &text,
                       int timeout_ms = 30000, size_t from = 0);
// wait_until_reading - wait until the daemon is blocked waiting for input on
// stdin (as /proc shows its current system call).
bool wait_until_reading(const daemon_process &daemon, int timeout_ms = 30000);
// wait_in_system_call - wait until the daemon's current system call (as
// /proc shows it) has the number given (x86-64 numbering).
bool wait_in_system_call(const daemon_process &daemon, long number, int timeout_ms = 30000);
// The same, until `also` holds too at a moment the daemon is in that call
// (a file it writes in between tells one such wait from another).
bool wait_in_system_call(const daemon_process &daemon, long number,
                         const std::function<bool()> &also, int timeout_ms = 30000);
// wait_until - poll `condition` every 2 ms until it holds, for at most
// timeout_ms of the monotonic clock; its last answer.
bool wait_until(const std::function<bool()> &condition, int timeout_ms);
// wait_for_log - wait until the daemon's log holds a line with `text`.
bool wait_for_log(const daemon_process &daemon, const std::string &text,
                  int timeout_ms = 30000);
// finish_daemon - wait for the daemon's end (killing it after timeout_ms)
// and collect the rest of its output and its log.
daemon_result finish_daemon(daemon_process &daemon, int timeout_ms = 60000);

// read_log_file - the capture lines of a log file.
std::vector<std::string> read_log_file(const std::string &path);

// signal_caught - the process still has a handler for `signal_number`, as
// /proc shows it. SA_RESETHAND takes the handler away once it has run, so a
// test can wait for a signal's delivery before it goes on.
bool signal_caught(pid_t pid, int signal_number);

// A fresh temporary directory, removed with everything in it at the end.
struct temp_dir {
    std::string path;
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir &) = delete;
    temp_dir &operator=(const temp_dir &) = delete;
    std::string file(const std::string &name) const { return path + "/" + name; }
};

#endif
