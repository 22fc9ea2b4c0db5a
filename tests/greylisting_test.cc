// SPDX-License-Identifier: BSD-2-Clause
// greylisting_test.cc - the greylisting decision, driven through the binary
// on a frozen fake clock.
//
// Every run starts the daemon with libfaketime preloaded and the clock frozen
// at an absolute second, so the seconds in the answers and the times in the
// stored record are exact. Records that the daemon finds were either stored
// by an earlier run at an earlier fake time, or written back-dated through
// the library before the run. After each run the stored record is read back.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "fixture_db.h"
#include "frozen_clock.h"
#include "run_daemon.h"

namespace {

// 2026-01-01 00:00:00 UTC, the first request of every scenario.
constexpr time_t T = 1767225600;

const std::string client = "192.0.2.1";
const std::string sender = "alice@example.org";
const std::string recipient = "bob@example.net";

std::string reject(const std::string &wait)
{
    return "action=DEFER_IF_PERMIT Greylisted by murvane 0.4.0, try again in " + wait +
           ".  See https://www.murvane.org/greylisting/ for more information.\n\n";
}

std::string greylisted(const std::string &waited)
{
    return "action=PREPEND X-Murvane: Greylisted by murvane 0.4.0 for " + waited +
           ".  See https://www.murvane.org/greylisting/ for more information.\n\n";
}

const std::string dunno = "action=DUNNO\n\n";

// run_at - one daemon run on `home` with the clock frozen at `now`.
daemon_result run_at(time_t now, const std::string &home,
                     const std::vector<std::string> &args = {})
{
    daemon_run run;
    run.args = {"-h", home};
    run.args.insert(run.args.end(), args.begin(), args.end());
    run.input = rcpt_request(client, sender, recipient);
    run.env = frozen_clock(now);
    return run_daemon(run);
}

// The one record of the triplet, as the daemon left it.
record_fields stored_record(const std::string &home)
{
    record_list records = read_records(home);
    if (records.size() != 1) {
        ADD_FAILURE() << "expected exactly one record, found " << records.size();
        return {};
    }
    EXPECT_EQ(hex(ipv4_key(client, sender, recipient)), hex(records[0].first));
    if (records[0].second.size() != 32) {
        ADD_FAILURE() << "stored value of " << records[0].second.size() << " bytes";
        return {};
    }
    return decode_record(records[0].second);
}

// A record as "create / access / blocks / passes", times relative to T.
std::string show(const record_fields &r)
{
    auto at = [](time_t t) {
        return t >= T ? "T+" + std::to_string(t - T) : "T" + std::to_string(t - T);
    };
    return at(r.create_time) + " / " + at(r.access_time) + " / " +
           std::to_string(r.block_count) + " / " + std::to_string(r.pass_count);
}

class Greylisting : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE("", faketime_library())
            << "libfaketime is missing: scripts/test.sh installs it";
    }
    temp_dir home;
};

struct step {
    time_t at;
    std::vector<std::string> args;
    std::string answer;
    record_fields record;
};

// Runs one daemon per step on the same home, checking answer and record.
void run_steps(const std::string &home, const std::vector<step> &steps)
{
    for (const auto &s : steps) {
        SCOPED_TRACE("request at T+" + std::to_string(s.at - T));
        daemon_result r = run_at(s.at, home, s.args);
        EXPECT_EQ(0, r.status);
        EXPECT_EQ(s.answer, r.out);
        EXPECT_TRUE(r.messages("err").empty()) << r.messages("err").front();
        record_fields got = stored_record(home);
        EXPECT_EQ(show(s.record), show(got));
    }
}

TEST_F(Greylisting, WorkedTimeline)
{
    run_steps(home.path, {
        {T, {}, reject("3480 seconds"), {T, T, 1, 0}},
        {T + 600, {}, reject("2880 seconds"), {T, T + 600, 2, 0}},
        {T + 3480, {}, greylisted("3480 seconds"), {T, T + 3480, 2, 1}},
        {T + 7200, {}, dunno, {T, T + 7200, 2, 2}},
        // idle 3110401 seconds since the last access: starts afresh
        {T + 3117601, {}, reject("3480 seconds"), {T + 3117601, T + 3117601, 1, 0}},
    });
}

TEST_F(Greylisting, NeverPassedTripletRestartsAfterBlocIdle)
{
    run_steps(home.path, {
        {T, {}, reject("3480 seconds"), {T, T, 1, 0}},
        {T + 18001, {}, reject("3480 seconds"), {T + 18001, T + 18001, 1, 0}},
    });
}

TEST_F(Greylisting, ZeroDelayPassesAtOnceThenDunno)
{
    run_steps(home.path, {
        {T, {"-g", "0"}, greylisted("0 seconds"), {T, T, 0, 1}},
        {T + 5, {"-g", "0"}, dunno, {T, T + 5, 0, 2}},
    });
}

// The clock reads -1, time()'s failure value, once the request's transaction
// has begun: the answer is the WARN line, the transaction is undone and the
// run ends. The fake time is given as local wall-clock text, since -1 cannot
// be written as a number without reading as an offset.
TEST_F(Greylisting, TimeFailureWarnsAndChangesNothing)
{
    struct time_case {
        const char *name;
        std::optional<record_fields> found;
    };
    const time_case cases[] = {{"new triplet", std::nullopt},
                               {"stored triplet", record_fields{T, T, 1, 0}}};
    time_t minus_one = -1;
    struct tm local;
    ASSERT_NE(nullptr, localtime_r(&minus_one, &local));
    char text[64];
    ASSERT_NE(0u, strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local));

    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        temp_dir home;
        std::string key = ipv4_key(client, sender, recipient);
        std::string value;
        if (c.found) {
            value = record_value(c.found->create_time, c.found->access_time,
                                 c.found->block_count, c.found->pass_count);
            put_records(home.path, "triplets-1.db", {{key, value}});
        }
        daemon_run run;
        run.args = {"-h", home.path};
        // the second request must not be read
        run.input = rcpt_request(client, sender, recipient) +
                    rcpt_request("192.0.2.2", sender, recipient);
        run.env = frozen_clock(std::string(text));
        daemon_result r = run_daemon(run);
        EXPECT_EQ(1, r.status);
        EXPECT_EQ("action=WARN time failed\n", r.out);
        EXPECT_EQ((std::vector<std::string>{"error: cleaning up",
                                            "error: exiting after cleanup"}),
                  r.messages("err"));
        record_list records = read_records(home.path);
        if (c.found) {
            ASSERT_EQ(1u, records.size());
            EXPECT_EQ(hex(value), hex(records[0].second));
        } else {
            EXPECT_TRUE(records.empty());
        }
    }
}

// Templates given on the command line frame the same way; a bad directive in
// either template is logged under reject_action's name.
TEST_F(Greylisting, CustomTemplates)
{
    struct template_case {
        std::vector<std::string> args;
        std::string answer;
        std::vector<std::string> warnings;
    };
    const template_case cases[] = {
        {{"-r", ""}, "action=\n\n", {}},
        {{"-r", "DEFER %d%%%s%p"}, "action=DEFER 3480% s\n\n", {}},
        {{"-g", "0", "-G", "PREPEND X-Seen: %d%x"}, "action=PREPEND X-Seen: 0\n\n",
         {"Invalid reject_action sequence %x"}},
    };
    for (const auto &c : cases) {
        temp_dir fresh;
        daemon_result r = run_at(T, fresh.path, c.args);
        EXPECT_EQ(0, r.status) << c.args.back();
        EXPECT_EQ(c.answer, r.out) << c.args.back();
        EXPECT_EQ(c.warnings, r.messages("warning")) << c.args.back();
    }
}

// A record found by a request at T, written back-dated before the run.
struct decision_case {
    const char *name;
    std::vector<std::string> args;
    std::optional<record_fields> found;  // none: a new triplet
    std::string answer;
    record_fields stored;
};

// Each case shows by its name in test listings, not as raw bytes.
void PrintTo(const decision_case &c, std::ostream *os) { *os << c.name; }

class Decision : public ::testing::TestWithParam<decision_case> {};

TEST_P(Decision, AnswersAndStores)
{
    const decision_case &c = GetParam();
    ASSERT_NE("", faketime_library())
        << "libfaketime is missing: scripts/test.sh installs it";
    temp_dir home;
    if (c.found)
        put_records(home.path, "triplets-1.db",
                    {{ipv4_key(client, sender, recipient),
                      record_value(c.found->create_time, c.found->access_time,
                                   c.found->block_count, c.found->pass_count)}});
    daemon_result r = run_at(T, home.path, c.args);
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(c.answer, r.out);
    EXPECT_TRUE(r.messages("err").empty()) << r.messages("err").front();
    EXPECT_EQ(show(c.stored), show(stored_record(home.path)));
}

const char *const u64_max = "18446744073709551615";

INSTANTIATE_TEST_SUITE_P(
    Boundaries, Decision,
    ::testing::Values(
        decision_case{"delay_exactly_passed", {}, record_fields{T - 3480, T - 600, 2, 0},
                      greylisted("3480 seconds"), {T - 3480, T, 2, 1}},
        decision_case{"one_second_before_delay", {}, record_fields{T - 3479, T - 600, 2, 0},
                      reject("1 second"), {T - 3479, T, 3, 0}},
        // a waiting record is measured from create_time, however recent its access
        decision_case{"waiting_idle_at_limit_kept", {}, record_fields{T - 18000, T - 17000, 4, 0},
                      greylisted("18000 seconds"), {T - 18000, T, 4, 1}},
        decision_case{"waiting_idle_past_limit_restarts", {},
                      record_fields{T - 18001, T - 10, 4, 0},
                      reject("3480 seconds"), {T, T, 1, 0}},
        // a passed record is measured from access_time, however old its creation
        decision_case{"passed_idle_at_limit_kept", {},
                      record_fields{T - 5000000, T - 3110400, 2, 6},
                      dunno, {T - 5000000, T, 2, 7}},
        decision_case{"passed_idle_past_limit_restarts", {},
                      record_fields{T - 5000000, T - 3110401, 2, 6},
                      reject("3480 seconds"), {T, T, 1, 0}},
        // the clock was set back: elapsed and idle times are negative
        decision_case{"create_time_in_future", {}, record_fields{T + 100, T + 100, 1, 0},
                      reject("3580 seconds"), {T + 100, T, 2, 0}},
        decision_case{"passed_with_create_time_in_future", {}, record_fields{T + 100, T - 10, 2, 3},
                      reject("3580 seconds"), {T + 100, T, 3, 3}},
        decision_case{"delay_above_bloc_idle_never_passes", {"-g", "20000"},
                      record_fields{T - 18001, T - 1000, 9, 0},
                      reject("20000 seconds"), {T, T, 1, 0}},
        decision_case{"zero_delay_restart_keeps_no_block", {"-g", "0"},
                      record_fields{T - 18001, T - 18001, 3, 0},
                      greylisted("0 seconds"), {T, T, 0, 1}},
        // settings of 2^63 and above are unsigned, not negative
        decision_case{"delay_of_2_to_the_63", {"-g", "9223372036854775808"}, std::nullopt,
                      reject("9223372036854775808 seconds"), {T, T, 1, 0}},
        decision_case{"largest_delay", {"-g", u64_max}, std::nullopt,
                      reject(std::string(u64_max) + " seconds"), {T, T, 1, 0}},
        decision_case{"largest_pass_idle_keeps", {"-p", u64_max}, record_fields{1, 1, 1, 1},
                      dunno, {1, T, 1, 2}},
        decision_case{"largest_bloc_idle_keeps", {"-b", u64_max}, record_fields{1, 1, 1, 0},
                      greylisted(std::to_string(T - 1) + " seconds"), {1, T, 1, 1}}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
