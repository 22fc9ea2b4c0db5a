// SPDX-License-Identifier: BSD-2-Clause
#include <gtest/gtest.h>

#include "run_daemon.h"

TEST(Smoke, VersionLine)
{
    daemon_result r = run_daemon({"-V"}, "");
    EXPECT_EQ("murvane 0.4.0\n", r.out);
}
