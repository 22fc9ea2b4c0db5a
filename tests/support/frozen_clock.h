// SPDX-License-Identifier: BSD-2-Clause
// frozen_clock.h - running the daemon at a fixed time of day.
//
// Idle limits and greylist delays are compared with strict inequalities, so a
// test of "exactly at the limit" needs the daemon's clock to stand still at a
// second the test chose. The preload library of Debian's libfaketime package
// (installed by scripts/test.sh) stops the wall clock for the daemon alone;
// monotonic clocks keep running, so nothing in the library waits forever.
#ifndef MURVANE_TESTS_FROZEN_CLOCK_H
#define MURVANE_TESTS_FROZEN_CLOCK_H

#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

// faketime_library - path of libfaketime.so.1, or "" when it is not installed.
inline std::string faketime_library()
{
    const char *candidates[] = {
        "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1",
        "/usr/lib/aarch64-linux-gnu/faketime/libfaketime.so.1",
        "/usr/lib/faketime/libfaketime.so.1",
        "/usr/local/lib/faketime/libfaketime.so.1",
    };
    for (const char *path : candidates)
        if (std::filesystem::exists(path))
            return path;
    return "";
}

// frozen_clock - the environment entries that stop the daemon's wall clock
// at `now` (seconds since the epoch). Add them to daemon_run::env.
inline std::vector<std::string> frozen_clock(time_t now)
{
    return {"LD_PRELOAD=" + faketime_library(), "FAKETIME_FMT=%s",
            "FAKETIME=" + std::to_string(static_cast<long long>(now)),
            "FAKETIME_DONT_FAKE_MONOTONIC=1"};
}

#endif
