// SPDX-License-Identifier: BSD-2-Clause
// learn_test.cc - the learning mode (--learn): every request is recorded as
// enforcing records it, and answered DUNNO.
//
// Each case is a series of runs of the daemon on a frozen clock; the same
// series runs once enforcing and once learning, each in a fresh home. The
// enforcing run's answers show that the case does what its name says; the
// learning run must answer DUNNO to every request, log what enforcing
// decided with mode=learn, and leave the very same records behind.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "fixture_db.h"
#include "frozen_clock.h"
#include "run_daemon.h"

namespace {

constexpr time_t T = 1700000000;
constexpr time_t delay = 3480;
const char client[] = "192.0.2.1";
const char sender[] = "alice@example.org";

std::string to(int i) { return "user" + std::to_string(i) + "@example.net"; }

struct step {
    time_t at;        // the run's clock
    int recipient;    // to(recipient)
    const char *enforced;  // the enforcing answer's first word
    const char *word;      // the decision logged
    bool from_user = false;  // to(recipient)'s own authenticated mail to the sender
};

struct learn_case {
    const char *name;
    std::vector<step> steps;
};

void PrintTo(const learn_case &c, std::ostream *out) { *out << c.name; }

const learn_case learn_cases[] = {
    {"new_triplet", {{T, 0, "action=DEFER_IF_PERMIT", "defer_new"}}},
    {"early_retry", {{T, 0, "action=DEFER_IF_PERMIT", "defer_new"},
                     {T + 300, 0, "action=DEFER_IF_PERMIT", "defer_early"}}},
    {"pass_after_the_delay", {{T, 0, "action=DEFER_IF_PERMIT", "defer_new"},
                              {T + delay + 1, 0, "action=PREPEND", "first_pass"},
                              {T + delay + 60, 0, "action=DUNNO", "known"}}},
    // Two triplets pass: the client is whitelisted, and its third new
    // triplet goes through at once.
    {"client_earns_the_auto_whitelist",
     {{T, 0, "action=DEFER_IF_PERMIT", "defer_new"},
      {T + 10, 1, "action=DEFER_IF_PERMIT", "defer_new"},
      {T + delay + 20, 0, "action=PREPEND", "first_pass"},
      {T + delay + 30, 1, "action=PREPEND", "first_pass"},
      {T + delay + 40, 2, "action=DUNNO", "whitelisted"}}},
    // A user writes to the sender; the sender's answer is a reply.
    {"reply_pair",
     {{T, 3, "action=DUNNO", "authenticated", true},
      {T + 60, 3, "action=DUNNO", "reply"},
      {T + 120, 4, "action=DEFER_IF_PERMIT", "defer_new"}}},
};

struct series_result {
    std::vector<std::string> answers;  // first word of each answer
    std::vector<std::string> lines;    // the decision lines
};

series_result run_series(const std::string &home, const learn_case &c, bool learn)
{
    series_result out;
    for (const step &s : c.steps) {
        daemon_run run;
        run.args = {"-h", home, "--auto-whitelist", "2", "--replies", "--log-decisions"};
        if (learn)
            run.args.push_back("--learn");
        if (s.from_user) {
            run.input = rcpt_request(client, to(s.recipient), sender);
            run.input.insert(run.input.size() - 1, "sasl_username=user\n");
        } else {
            run.input = rcpt_request(client, sender, to(s.recipient));
        }
        run.env = frozen_clock(s.at);
        daemon_result result = run_daemon(run);
        EXPECT_FALSE(result.timed_out);
        EXPECT_EQ(0, result.status) << result.err;
        out.answers.push_back(result.out.substr(0, result.out.find_first_of(" \n")));
        for (const std::string &m : result.messages("info"))
            if (m.rfind("decision=", 0) == 0)
                out.lines.push_back(m);
    }
    return out;
}

class Learning : public ::testing::TestWithParam<learn_case> {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(faketime_library().empty())
            << "libfaketime is missing: scripts/test.sh installs it";
    }
    temp_dir enforcing, learning;
};

TEST_P(Learning, AnswersDunnoAndRecordsWhatEnforcingRecords)
{
    const learn_case &c = GetParam();
    series_result enforced = run_series(enforcing.path, c, false);
    series_result learned = run_series(learning.path, c, true);
    ASSERT_EQ(c.steps.size(), enforced.answers.size());
    ASSERT_EQ(c.steps.size(), enforced.lines.size());
    ASSERT_EQ(c.steps.size(), learned.lines.size());
    for (size_t i = 0; i < c.steps.size(); i++) {
        const step &s = c.steps[i];
        EXPECT_EQ(s.enforced, enforced.answers[i]) << "step " << i;
        EXPECT_EQ("action=DUNNO", learned.answers[i]) << "step " << i;
        std::string word = std::string("decision=") + s.word + " ";
        EXPECT_EQ(0u, enforced.lines[i].rfind(word + "mode=enforce ", 0)) << enforced.lines[i];
        EXPECT_EQ(0u, learned.lines[i].rfind(word + "mode=learn ", 0)) << learned.lines[i];
    }
    record_list triplets = read_records(enforcing.path);
    EXPECT_FALSE(triplets.empty());
    EXPECT_EQ(triplets, read_records(learning.path));
    EXPECT_EQ(read_records(enforcing.path, "clients-1.db"),
              read_records(learning.path, "clients-1.db"));
    EXPECT_EQ(read_records(enforcing.path, "replies-1.db"),
              read_records(learning.path, "replies-1.db"));
}

INSTANTIATE_TEST_SUITE_P(Cases, Learning, ::testing::ValuesIn(learn_cases),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
