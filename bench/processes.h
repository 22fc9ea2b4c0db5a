// SPDX-License-Identifier: BSD-2-Clause
// processes.h - what the sections start and read: child programs run within
// a bound, the daemons and the least program as load targets, databases
// loaded through the storage floor, and the files they leave behind.
//
// Every child is waited for with a bound and, past it, killed by its PID; a
// run that does not complete is reported through failed() (suite.h).
#ifndef MURVANE_BENCH_PROCESSES_H
#define MURVANE_BENCH_PROCESSES_H

#include <sys/resource.h>
#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "driver.h"

// wait_bounded - wait for a child started here; kill it by its PID past the
// bound. Returns its status (exit code, or minus the signal).
int wait_bounded(pid_t pid, int timeout_s, struct rusage *usage = nullptr);
// read_until - append what fd gives to text until its end, until `until`
// (now_ns() time) has passed, or, with a stop string, until text holds it.
void read_until(int fd, std::string &text, uint64_t until, const char *stop = nullptr);
// run_program - run a command, its standard output captured, within a bound.
std::string run_program(const std::vector<std::string> &argv, int timeout_s, int *status);

// fields - the name=value words of a line; field - one of them as a number (NaN if absent)
std::map<std::string, std::string> fields(const std::string &line);
double field(const std::map<std::string, std::string> &f, const std::string &name);

// fresh_dir - an empty directory at path; copy_env - a copy of a whole home
void fresh_dir(const std::string &path);
void copy_env(const std::string &from, const std::string &to);
std::vector<std::string> read_lines(const std::string &path);
// log_summary - the daemon's own messages in a capture file, counted.
std::string log_summary(const std::string &path, const std::vector<std::string> &skip = {});
size_t count_in_file(const std::string &path, const std::string &needle);

// fresh_space - a triplet space of its own for one run
std::string fresh_space();
// daemon_target, least_target - a murvane or a least program per connection
target_spec daemon_target(const std::string &home, const std::vector<std::string> &extra_env = {},
                          bool signal_stop = true);
target_spec least_target(const std::string &home, const std::vector<std::string> &extra_env = {});
// preload_env - the environment that preloads a library into a daemon
std::vector<std::string> preload_env(const std::string &library);
// capture_env - the environment that sends a daemon's syslog lines to a file
std::vector<std::string> capture_env(const std::string &log);
// drive_checked - one driver run; a failed or empty run counts as failed
run_result drive_checked(const std::string &what, const target_spec &t, const stream_spec &s,
                         const load_spec &l);
// load_database - N passed triplets of space `space`, and E idle ones.
bool load_database(const std::string &home, const std::string &space, uint64_t count,
                   uint64_t expired);
// flush_latency_us - median time of a 512-byte write and fdatasync() in the
// work directory: what every commit waits for, whatever the program.
double flush_latency_us(int count = 50);

#endif
