// SPDX-License-Identifier: BSD-2-Clause
// action_test.cc - expansion of the answer templates, in process.
//
// print_action writes to standard output and logs its warnings through
// syslog; the test points file descriptor 1 at a temporary file for the call
// and reads the warnings from the in-process syslog capture.
#include "policy/action.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/settings.h"
#include "run_daemon.h"

namespace {

struct template_case {
    const char *name;
    const char *template_text;
    uint64_t n;
    std::string output;
    std::vector<std::string> warnings;  // as captured: message text only
};

// Each case shows by its name in test listings, not as raw bytes.
void PrintTo(const template_case &c, std::ostream *os) { *os << c.name; }

class PrintAction : public ::testing::TestWithParam<template_case> {
protected:
    void SetUp() override
    {
        log_path = dir.file("syslog");
        setenv("MURVANE_SYSLOG_FILE", log_path.c_str(), 1);
    }
    void TearDown() override { unsetenv("MURVANE_SYSLOG_FILE"); }

    // expand - print_action's output for one call, captured from fd 1.
    std::string expand(const char *template_text, uint64_t n)
    {
        std::string path = dir.file("stdout");
        fflush(stdout);
        int saved = dup(1);
        int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
        EXPECT_GE(saved, 0);
        EXPECT_GE(fd, 0);
        dup2(fd, 1);
        print_action(template_text, n);
        fflush(stdout);
        dup2(saved, 1);
        close(saved);
        std::string out;
        char buf[4096];
        ssize_t got;
        lseek(fd, 0, SEEK_SET);
        while ((got = read(fd, buf, sizeof buf)) > 0)
            out.append(buf, got);
        close(fd);
        return out;
    }

    std::vector<std::string> warnings()
    {
        std::vector<std::string> out;
        for (const auto &line : read_log_file(log_path)) {
            if (line.rfind("warning\t", 0) == 0)
                out.push_back(line.substr(8));
            else
                ADD_FAILURE() << "unexpected log line: " << line;
        }
        return out;
    }

    temp_dir dir;
    std::string log_path;
};

TEST_P(PrintAction, Expands)
{
    const template_case &c = GetParam();
    EXPECT_EQ(c.output, expand(c.template_text, c.n));
    EXPECT_EQ(c.warnings, warnings());
}

const std::string bad = "Invalid reject_action sequence %";

INSTANTIATE_TEST_SUITE_P(
    Templates, PrintAction,
    ::testing::Values(
        template_case{"plural_for_0", "%d second%p", 0, "0 seconds", {}},
        template_case{"singular_for_1", "%d second%p", 1, "1 second", {}},
        template_case{"plural_for_3480", "%d second%p", 3480, "3480 seconds", {}},
        template_case{"number_2_to_the_32", "%d", 4294967296u, "4294967296", {}},
        template_case{"largest_number", "%d%p", UINT64_MAX, "18446744073709551615s", {}},
        // a "%" written by "%%" starts no directive of its own
        template_case{"doubled_percent_then_d", "%%d", 7, "%d", {}},
        template_case{"percent_run", "100%%%% sure", 2, "100%% sure", {}},
        template_case{"each_s_is_one_blank", "a%s%sb%s", 2, "a  b ", {}},
        template_case{"bad_directive_in_middle", "left%xright", 3, "leftright", {bad + "x"}},
        template_case{"bad_directives_all_logged", "%q%d%Z", 9, "9", {bad + "q", bad + "Z"}},
        template_case{"capital_d_is_bad", "%D seconds", 5, " seconds", {bad + "D"}},
        template_case{"trailing_percent_stops", "wait %d%", 12, "wait 12", {bad}},
        template_case{"percent_pair_then_trailing", "%%%", 1, "%", {bad}},
        template_case{"lone_percent", "%", 1, "", {bad}},
        template_case{"empty_template", "", 3480, "", {}},
        template_case{"no_directive", "DUNNO", 1, "DUNNO", {}},
        template_case{"default_reject_action", default_reject_action, 3480,
                      "DEFER_IF_PERMIT Greylisted by murvane 0.4.0, try again in 3480 "
                      "seconds.  See https://www.murvane.org/greylisting/ for more "
                      "information.",
                      {}},
        template_case{"default_greylisted_action", default_greylisted_action, 1,
                      "PREPEND X-Murvane: Greylisted by murvane 0.4.0 for 1 second.  See "
                      "https://www.murvane.org/greylisting/ for more information.",
                      {}}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
