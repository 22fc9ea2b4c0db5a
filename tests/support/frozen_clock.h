// SPDX-License-Identifier: BSD-2-Clause
// frozen_clock.h - running the daemon at a fixed time of day.
//
// Idle limits and greylist delays are compared with strict inequalities, so a
// test of "exactly at the limit" needs the daemon's clock to stand still at a
// second the test chose. The preload library of Debian's libfaketime package
// (installed by scripts/test.sh) stops the wall clock for the daemon alone.
//
// The daemon has two threads that read the clock, the main flow and the
// request bound's watchdog, so the preload is the package's thread-safe
// build, libfaketimeMT: the other one keeps its fake time in unguarded
// state, and under a frozen clock a few of the daemon's readings came back
// with the real time (13 of 1,465 in a replay through one daemon; none of
// 13,849 with libfaketimeMT). Monotonic clocks are left alone
// (FAKETIME_DONT_FAKE_MONOTONIC), so nothing in the library waits forever
// and the watchdog's deadline, taken on CLOCK_MONOTONIC, runs on real time:
// a faked one would stand still too, and the bound would never fire.
#ifndef MURVANE_TESTS_FROZEN_CLOCK_H
#define MURVANE_TESTS_FROZEN_CLOCK_H

#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

// faketime_library - path of libfaketimeMT.so.1, or "" when it is not installed.
inline std::string faketime_library()
{
    const char *candidates[] = {
        "/usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1",
        "/usr/lib/aarch64-linux-gnu/faketime/libfaketimeMT.so.1",
        "/usr/lib/faketime/libfaketimeMT.so.1",
        "/usr/local/lib/faketime/libfaketimeMT.so.1",
    };
    for (const char *path : candidates)
        if (std::filesystem::exists(path))
            return path;
    return "";
}

// frozen_clock - the environment entries that stop the daemon's wall clock
// at `now` (seconds since the epoch), or at a local date and time written
// "YYYY-MM-DD hh:mm:ss". Add them to daemon_run::env.
//
// Monotonic clocks are left alone, and with them the watchdog's deadline;
// but the library's pthread_cond_timedwait() converts a deadline on
// CLOCK_MONOTONIC as if that clock were faked too, and with its "forced
// monotonic fix" (on by default under glibc 2.30 and later) hands the real
// wait a deadline the frozen clock has moved into the past: the watchdog's
// thread returned from its wait at once, over and over, a whole processor
// for as long as a request ran. Without the fix the deadline goes through
// unchanged, which is right when the monotonic clock is real.
inline std::vector<std::string> frozen_clock(const std::string &date)
{
    return {"LD_PRELOAD=" + faketime_library(), "FAKETIME=" + date,
            "FAKETIME_DONT_FAKE_MONOTONIC=1", "FAKETIME_FORCE_MONOTONIC_FIX=0"};
}

inline std::vector<std::string> frozen_clock(time_t now)
{
    std::vector<std::string> env = frozen_clock(std::to_string(static_cast<long long>(now)));
    env.push_back("FAKETIME_FMT=%s");
    return env;
}

#endif
