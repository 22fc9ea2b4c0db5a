// SPDX-License-Identifier: BSD-2-Clause
// replies_test.cc - --replies: authenticated users' mail teaches address
// pairs, and the replies to them pass at once; driven through the binary on
// a frozen fake clock.
//
// Each run freezes the daemon's clock at a second the test chose, so "idle
// past -p" is exactly one second past it. Pairs are read back from
// replies-1.db, or written back-dated before a run.
#include <signal.h>
#include <sys/stat.h>

#include <db.h>

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "fixture_db.h"
#include "frozen_clock.h"
#include "run_daemon.h"

#include "storage/stored_reply.h"

namespace {

// 2026-01-01 00:00:00 UTC.
constexpr time_t T = 1767225600;
constexpr time_t delay = 60;
constexpr time_t pass_idle = 100000;

const std::string user = "alice@site.example";
const std::string outside = "bob@outside.example";
const std::string client = "192.0.2.1";

const std::string dunno = "action=DUNNO";
const std::string defer = "action=DEFER_IF_PERMIT";
const std::string prepend = "action=PREPEND";

// One request: an authenticated user's (sasl_username given) or an inbound
// one (no such attribute).
struct message {
    std::string sender;
    std::string recipient;
    const char *sasl_username = nullptr;  // nullptr: no attribute at all
    std::string client_address = client;
};

message from_user(const std::string &sender, const std::string &recipient)
{
    return {sender, recipient, "alice"};
}

message inbound(const std::string &sender, const std::string &recipient)
{
    return {sender, recipient};
}

std::string request_of(const message &m)
{
    std::string r = rcpt_request(m.client_address, m.sender, m.recipient);
    if (m.sasl_username != nullptr)
        r.insert(r.size() - 1, "sasl_method=PLAIN\nsasl_username=" +
                                   std::string(m.sasl_username) + "\n");
    return r;
}

std::string pair_key(const std::string &outside_address, const std::string &local)
{
    return outside_address + std::string(1, '\0') + local;
}

std::string show_pair(const std::string &value)
{
    if (value.size() != sizeof(reply_data_t))
        return "value of " + std::to_string(value.size()) + " bytes";
    reply_data_t r;
    memcpy(&r, value.data(), sizeof r);
    return "first T+" + std::to_string(r.first_written - T) + ", last T+" +
           std::to_string(r.last_written - T) + ", replies " + std::to_string(r.reply_count);
}

std::vector<std::string> answers_of(const std::string &out)
{
    std::vector<std::string> answers;
    size_t at = 0, end;
    while ((end = out.find("\n\n", at)) != std::string::npos) {
        std::string line = out.substr(at, end - at);
        answers.push_back(line.substr(0, line.find(' ')));
        at = end + 2;
    }
    return answers;
}

// run_at - one daemon on the home with its clock frozen at `now`; the first
// word of each answer.
std::vector<std::string> run_at(time_t now, const std::string &home,
                                const std::vector<message> &messages,
                                std::vector<std::string> extra = {"--replies"})
{
    daemon_run run;
    run.args = {"-h", home, "-g", std::to_string(delay), "-p", std::to_string(pass_idle)};
    run.args.insert(run.args.end(), extra.begin(), extra.end());
    for (const message &m : messages)
        run.input += request_of(m);
    run.env = frozen_clock(now);
    daemon_result result = run_daemon(run);
    EXPECT_FALSE(result.timed_out);
    EXPECT_EQ(0, result.status) << result.err;
    EXPECT_EQ("", result.err);
    std::vector<std::string> answers = answers_of(result.out);
    EXPECT_EQ(messages.size(), answers.size()) << result.out;
    return answers;
}

std::map<std::string, std::string> records_of(const std::string &home, const char *file)
{
    std::map<std::string, std::string> map;
    for (const auto &[k, v] : read_records(home, file))
        map[k] = v;
    return map;
}

bool exists(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// A user writes at T (the answers `taught`, and `pairs` pairs stored), then
// an inbound message comes `after` seconds later and gets `answer`.
struct reply_case {
    const char *name;
    std::vector<message> taught;
    std::vector<std::string> taught_answers;
    size_t pairs;
    message later;
    time_t after;
    std::string answer;
};

std::ostream &operator<<(std::ostream &os, const reply_case &c) { return os << c.name; }

class Reply : public testing::TestWithParam<reply_case> {};

TEST_P(Reply, PassesAtOnceOnlyForALearnedPairTheOtherWayRound)
{
    const reply_case &c = GetParam();
    temp_dir home;
    EXPECT_EQ(c.taught_answers, run_at(T, home.path, c.taught));
    EXPECT_EQ(c.pairs, read_records(home.path, replies_db_name).size());
    EXPECT_EQ(std::vector<std::string>{c.answer}, run_at(T + c.after, home.path, {c.later}));
}

const std::vector<message> wrote_to_bob = {from_user(user, outside)};
const std::vector<std::string> one_dunno = {dunno};

const reply_case reply_cases[] = {
    {"ReplyPassesAtOnce", wrote_to_bob, one_dunno, 1, inbound(outside, user), 10, dunno},
    {"AnotherLocalUserWaits", wrote_to_bob, one_dunno, 1,
     inbound(outside, "carol@site.example"), 10, defer},
    {"AnotherOutsideAddressWaits", wrote_to_bob, one_dunno, 1,
     inbound("dave@outside.example", user), 10, defer},
    {"TheSameDirectionIsNoReply", wrote_to_bob, one_dunno, 1, inbound(user, outside), 10,
     defer},
    {"AtThePassIdleLimit", wrote_to_bob, one_dunno, 1, inbound(outside, user), pass_idle,
     dunno},
    {"IdlePastThePassIdleLimitWaits", wrote_to_bob, one_dunno, 1, inbound(outside, user),
     pass_idle + 1, defer},
    {"TheNullSenderIsNeverAReply", wrote_to_bob, one_dunno, 1, inbound("", user), 10, defer},
    {"TheNullSenderTeachesNothing", {from_user("", outside)}, one_dunno, 0,
     inbound(outside, ""), 10, defer},
    {"MailInTheSendersDomainTeachesNothing", {from_user(user, "carol@SITE.example")},
     one_dunno, 0, inbound("carol@SITE.example", user), 10, defer},
    {"AnAddressWithoutDomainTeachesNothing", {from_user(user, "postmaster")}, one_dunno, 0,
     inbound("postmaster", user), 10, defer},
    {"AnEmptySaslUsernameIsNoUser", {{user, outside, ""}}, {defer}, 0,
     inbound(outside, user), 10, defer},
    {"AReplyFromAnyClientPasses", wrote_to_bob, one_dunno, 1,
     {outside, user, nullptr, "2001:db8::7"}, 10, dunno},
    {"RepeatedMailKeepsOnePair", {from_user(user, outside), from_user(user, outside)},
     {dunno, dunno}, 1, inbound(outside, user), 10, dunno},
};

INSTANTIATE_TEST_SUITE_P(Table, Reply, testing::ValuesIn(reply_cases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(Replies, TheReplyIsStoredAsPassedAndCountedOnItsPair)
{
    temp_dir home;
    EXPECT_EQ(one_dunno, run_at(T, home.path, wrote_to_bob));
    // The user's own mail is not greylisted: no triplet.
    EXPECT_TRUE(read_records(home.path).empty());
    EXPECT_EQ((std::vector<std::string>{dunno, dunno}),
              run_at(T + 10, home.path, {inbound(outside, user), inbound(outside, user)}));
    auto triplets = records_of(home.path, "triplets-1.db");
    ASSERT_EQ(1u, triplets.size());
    EXPECT_EQ((record_fields{T + 10, T + 10, 0, 2}),
              decode_record(triplets.at(ipv4_key(client, outside, user))));
    auto pairs = records_of(home.path, replies_db_name);
    ASSERT_EQ(1u, pairs.size());
    // Counted once: the second message found its triplet passed.
    EXPECT_EQ(show_pair(reply_value(T, T, 1)), show_pair(pairs.at(pair_key(outside, user))));
}

TEST(Replies, ADeferredMessageRetriedAfterTheUserWroteBackPassesAtOnce)
{
    temp_dir home;
    EXPECT_EQ((std::vector<std::string>{defer}), run_at(T, home.path, {inbound(outside, user)}));
    EXPECT_EQ(one_dunno, run_at(T + 5, home.path, wrote_to_bob));
    EXPECT_EQ((std::vector<std::string>{dunno}),
              run_at(T + 20, home.path, {inbound(outside, user)}));
    EXPECT_EQ((record_fields{T, T + 20, 1, 1}),
              decode_record(records_of(home.path, "triplets-1.db")
                                .at(ipv4_key(client, outside, user))));
}

TEST(Replies, OffByDefaultGreylistsUsersAndCreatesNoPairDatabase)
{
    temp_dir home;
    EXPECT_EQ((std::vector<std::string>{defer, defer}),
              run_at(T, home.path, {from_user(user, outside), inbound(outside, user)}, {}));
    EXPECT_EQ((std::vector<std::string>{prepend}),
              run_at(T + delay + 1, home.path, {from_user(user, outside)}, {}));
    EXPECT_FALSE(exists(home.file(replies_db_name)));
}

// A user's later mail keeps its pair current to within an hour (-p / 8 is
// more here): the pair is written only when it was last written before the
// current hour. `now` is 2,800 seconds into its hour.
struct renewal_case {
    const char *name;
    time_t written;       // the pair's last write, seconds before now
    std::string stored;   // the pair after the user's message
};

std::ostream &operator<<(std::ostream &os, const renewal_case &c) { return os << c.name; }

class Renewal : public testing::TestWithParam<renewal_case> {};

constexpr time_t renewal_now = T + 10 * pass_idle;

TEST_P(Renewal, WritesThePairAtMostOnceAnHour)
{
    const renewal_case &c = GetParam();
    temp_dir home;
    ASSERT_EQ(2800, renewal_now % 3600);
    put_records(home.path, replies_db_name,
                {{pair_key(outside, user), reply_value(T, renewal_now - c.written, 4)}});
    EXPECT_EQ(one_dunno, run_at(renewal_now, home.path, wrote_to_bob));
    EXPECT_EQ(c.stored,
              show_pair(records_of(home.path, replies_db_name).at(pair_key(outside, user))));
}

const renewal_case renewal_cases[] = {
    {"WrittenThisHourIsKept", 2800, show_pair(reply_value(T, renewal_now - 2800, 4))},
    {"WrittenBeforeTheHourIsRenewed", 2801, show_pair(reply_value(T, renewal_now, 4))},
    {"AtThePassIdleLimitIsRenewed", pass_idle, show_pair(reply_value(T, renewal_now, 4))},
    {"IdleStartsAfresh", pass_idle + 1, show_pair(reply_value(renewal_now, renewal_now, 0))},
    {"WrittenInTheFutureIsRenewed", -100, show_pair(reply_value(T, renewal_now, 4))},
};

INSTANTIATE_TEST_SUITE_P(Table, Renewal, testing::ValuesIn(renewal_cases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(Replies, ADamagedPairCountsAsNoneAndIsRewritten)
{
    temp_dir home;
    put_records(home.path, replies_db_name, {{pair_key(outside, user), "short"}});
    EXPECT_EQ((std::vector<std::string>{defer}), run_at(T, home.path, {inbound(outside, user)}));
    EXPECT_EQ(one_dunno, run_at(T + 5, home.path, wrote_to_bob));
    EXPECT_EQ(show_pair(reply_value(T + 5, T + 5, 0)),
              show_pair(records_of(home.path, replies_db_name).at(pair_key(outside, user))));
}

// Bad input is answered by the rules that hold for any request: any
// non-empty sasl_username is a user's, whatever its bytes; addresses are
// taken byte for byte, and one holding a NUL makes no pair.
struct bad_input_case {
    const char *name;
    message m;
    std::vector<std::string> pairs;  // the outside addresses stored
};

std::ostream &operator<<(std::ostream &os, const bad_input_case &c) { return os << c.name; }

class BadInput : public testing::TestWithParam<bad_input_case> {};

TEST_P(BadInput, IsAnsweredDunnoAndLearnedOnlyAsAPair)
{
    const bad_input_case &c = GetParam();
    temp_dir home;
    EXPECT_EQ(one_dunno, run_at(T, home.path, {c.m}));
    std::vector<std::string> stored;
    for (const auto &[key, value] : read_records(home.path, replies_db_name))
        stored.push_back(key.substr(0, key.find('\0')));
    EXPECT_EQ(c.pairs, stored);
    EXPECT_TRUE(read_records(home.path).empty());
}

const std::string huge(1 << 20, 'x');
const std::string nul_name = std::string("al\0ice", 6);

const bad_input_case bad_input_cases[] = {
    {"HugeSaslUsername", {user, outside, huge.c_str()}, {outside}},
    {"SaslUsernameWithBytesAbove127", {user, outside, "\xc3\xa9t\xe9"}, {outside}},
    {"HugeRecipient", from_user(user, huge + "@outside.example"), {huge + "@outside.example"}},
    {"HugeSender", from_user(huge + "@site.example", outside), {outside}},
    {"NulInTheRecipient", from_user(user, "bob\0@outside.example"), {}},
    {"NulInTheSender", from_user(std::string("al\0ice@site.example", 19), outside), {}},
    {"TrailingAtSign", from_user(user, "bob@"), {}},
    {"CarriageReturn", from_user(user, "bob@outside.example\r"), {"bob@outside.example\r"}},
};

INSTANTIATE_TEST_SUITE_P(Table, BadInput, testing::ValuesIn(bad_input_cases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(Replies, ASaslUsernameHoldingANulIsAUsersToo)
{
    temp_dir home;
    daemon_run run;
    run.args = {"-h", home.path, "--replies"};
    message m = from_user(user, outside);
    m.sasl_username = "";
    run.input = request_of(m);
    run.input.insert(run.input.find("sasl_username=") + 14, nul_name);
    daemon_result r = run_daemon(run);
    EXPECT_EQ("action=DUNNO\n\n", r.out);
    EXPECT_EQ(1u, read_records(home.path, replies_db_name).size());
}

// Kills at varied points of a stream of users' messages and replies: every
// triplet let through must be counted on exactly one stored pair, the pair
// its reply answers, whatever the kill interrupted. With -g 3600 nothing
// passes by greylisting within the test.
TEST(Replies, KillsLeaveThePairsAndTheTripletsConsistent)
{
    temp_dir home;
    constexpr int rounds = 100;  // three requests each: answers fit a pipe
    constexpr int kills = 10;
    int next = 0;
    for (int k = 0; k < kills; k++) {
        daemon_run run;
        run.args = {"-h", home.path, "-g", "3600", "--replies"};
        for (int i = 0; i < rounds; i++, next++) {
            std::string local = "user" + std::to_string(next % 7) + "@site.example";
            std::string far = "peer" + std::to_string(next) + "@outside.example";
            run.input += request_of(from_user(local, far));
            run.input += request_of(inbound(far, local));
            run.input += request_of(inbound("stranger" + std::to_string(next) + "@x.example",
                                            local));
        }
        daemon_process daemon = start_daemon(run);
        ASSERT_TRUE(write_input(daemon, run.input));
        const size_t answers = 4 + static_cast<size_t>(k) * 29;
        size_t from = 0;
        for (size_t seen = 0; seen < answers; seen++) {
            ASSERT_TRUE(read_output_until(daemon, "\n\n", 30000, from))
                << "answer " << seen << ": " << daemon.err;
            from = daemon.out.find("\n\n", from) + 2;
        }
        ASSERT_EQ(0, kill(daemon.pid, SIGKILL));
        daemon_result killed = finish_daemon(daemon);
        ASSERT_EQ(SIGKILL, killed.signal) << killed.err;

        // Reading the databases runs recovery, as the next daemon would.
        auto pairs = records_of(home.path, replies_db_name);
        uint64_t counted = 0;
        for (const auto &[key, value] : pairs) {
            ASSERT_EQ(sizeof(reply_data_t), value.size());
            reply_data_t r;
            memcpy(&r, value.data(), sizeof r);
            EXPECT_LE(r.reply_count, 1u) << "kill " << k;
            counted += r.reply_count;
        }
        uint64_t passed = 0;
        for (const auto &[key, value] : read_records(home.path)) {
            record_fields f = decode_record(value);
            if (f.pass_count == 0)
                continue;
            passed++;
            // The reply's key: IPv4 tag, 4 address bytes, sender, NUL, recipient.
            std::string tail = key.substr(5);
            size_t nul = tail.find('\0');
            std::string sender = tail.substr(0, nul), recipient = tail.substr(nul + 1);
            ASSERT_TRUE(pairs.count(pair_key(sender, recipient))) << "kill " << k << " " << sender;
        }
        EXPECT_EQ(passed, counted) << "kill " << k;
    }
}

daemon_result dump_replies(const std::string &home)
{
    daemon_run run;
    run.args = {"-h", home, "--dump-replies"};
    run.env = {"TZ=UTC"};
    daemon_result result = run_daemon(run);
    EXPECT_FALSE(result.timed_out);
    EXPECT_EQ(0, result.status);
    return result;
}

TEST(DumpReplies, ListsEachPairWithItsTimesAndCount)
{
    temp_dir home;
    put_records(home.path, replies_db_name,
                {{pair_key(outside, user), reply_value(T, T + 60, 3)},
                 {pair_key("carol@far.example", "dan@site.example"),
                  reply_value(T + 3600, T + 7200, 0)},
                 {pair_key("eve@far.example", user), "damaged"},
                 // Keys that are no pair: no NUL, an empty local address.
                 {"no-separator", reply_value(T, T, 1)},
                 {pair_key("zed@far.example", ""), reply_value(T, T, 2)}});
    daemon_result result = dump_replies(home.path);
    EXPECT_EQ("", result.err);
    EXPECT_EQ("bob@outside.example\talice@site.example\tThu Jan  1 00:00:00 2026\t"
              "Thu Jan  1 00:01:00 2026\t3\n"
              "carol@far.example\tdan@site.example\tThu Jan  1 01:00:00 2026\t"
              "Thu Jan  1 02:00:00 2026\t0\n"
              "eve@far.example\talice@site.example\t-\t-\t-\n"
              "-\t-\tThu Jan  1 00:00:00 2026\tThu Jan  1 00:00:00 2026\t1\n"
              "-\t-\tThu Jan  1 00:00:00 2026\tThu Jan  1 00:00:00 2026\t2\n",
              result.out);
}

TEST(DumpReplies, AHomeWithoutPairsListsNothingAndCreatesNone)
{
    temp_dir home;
    run_at(T, home.path, {inbound(outside, user)}, {});
    daemon_result result = dump_replies(home.path);
    EXPECT_EQ("", result.out);
    EXPECT_EQ("", result.err);
    EXPECT_FALSE(exists(home.file(replies_db_name)));
}

// The stop's expiry pass deletes the pairs idle past -p and keeps the
// others; the daemon's clock is frozen, so the limit is exact.
TEST(ReplyExpiry, TheStopDeletesPairsIdlePastThePassIdleLimit)
{
    temp_dir home;
    const time_t now = T + 10 * pass_idle;
    put_records(home.path, replies_db_name,
                {{pair_key("a@far.example", user), reply_value(T, now - pass_idle - 1, 5)},
                 {pair_key("b@far.example", user), reply_value(T, now - pass_idle, 0)},
                 {pair_key("c@far.example", user), reply_value(T, now, 2)}});
    daemon_run run;
    run.args = {"-h", home.path, "-p", std::to_string(pass_idle), "--replies", "-v"};
    run.input = request_of(inbound("stranger@x.example", user));
    run.env = frozen_clock(now);
    daemon_result r = run_daemon(run);
    EXPECT_EQ(0, r.status);
    EXPECT_TRUE(r.logged("info", "Expiring a@far.example reply pair after 100001 seconds idle"));
    EXPECT_TRUE(r.logged("notice", "Expired 1 reply pairs"));
    auto pairs = records_of(home.path, replies_db_name);
    EXPECT_EQ(2u, pairs.size());
    EXPECT_TRUE(pairs.count(pair_key("b@far.example", user)));
    EXPECT_TRUE(pairs.count(pair_key("c@far.example", user)));
}

// A replies-1.db that cannot be opened fails the request as a triplet
// database that cannot be opened does: a warning answer, the failure exit,
// nothing stored; the user's mail and the inbound alike.
TEST(Replies, AnUnopenablePairDatabaseFailsTheRequest)
{
    for (const message &m : {from_user(user, outside), inbound(outside, user)}) {
        temp_dir home;
        ASSERT_EQ(0, mkdir(home.file(replies_db_name).c_str(), 0700));
        daemon_run run;
        run.args = {"-h", home.path, "--replies"};
        run.input = request_of(m);
        daemon_result result = run_daemon(run);
        EXPECT_FALSE(result.timed_out);
        EXPECT_EQ(1, result.status);
        EXPECT_EQ("action=WARN get_replies_db failed\n", result.out);
        EXPECT_TRUE(read_records(home.path).empty());
    }
}

// A refused call on replies-1.db undoes the whole try, which runs again from
// its start. The user's message: a look (get 1), a read for update (get 2),
// the write (put 1). The reply, with its pair stored first: the triplet's
// get (1), the pair's look (2) and read (3), the pair's put (1), the
// triplet's put (2). Refused on every try, the request fails unstored.
struct pair_refusal {
    const char *name;
    bool reply;            // the inbound reply, else the user's message
    std::string fail_calls;
    int status;
    const char *answer_start;
    uint64_t replies;      // counted on the pair afterwards; -1: no pair
    size_t triplets;       // stored afterwards
};

std::ostream &operator<<(std::ostream &os, const pair_refusal &c) { return os << c.name; }

class PairRefusal : public testing::TestWithParam<pair_refusal> {};

const std::string deadlock = std::to_string(DB_LOCK_DEADLOCK);

TEST_P(PairRefusal, IsTriedAgainFromTheStart)
{
    const pair_refusal &c = GetParam();
    temp_dir home;
    if (c.reply)
        put_records(home.path, replies_db_name, {{pair_key(outside, user), reply_value(T, T, 0)}});
    daemon_run run;
    run.args = {"-h", home.path, "-v", "--replies", "-p", std::to_string(pass_idle)};
    run.input = request_of(c.reply ? inbound(outside, user) : from_user(user, outside));
    run.env = frozen_clock(T + 10);
    run.env.push_back("MURVANE_FAIL_CALLS=" + c.fail_calls);
    run.preload_first = REFUSE_DB_CALLS_LIBRARY;
    daemon_result r = run_daemon(run);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(c.status, r.status) << r.err;
    EXPECT_EQ(0u, r.out.rfind(c.answer_start, 0)) << r.out;
    auto pairs = records_of(home.path, replies_db_name);
    if (c.replies == UINT64_MAX) {
        EXPECT_TRUE(pairs.empty());
        EXPECT_TRUE(read_records(home.path).empty());
        return;
    }
    ASSERT_EQ(1u, pairs.size());
    reply_data_t stored;
    ASSERT_EQ(sizeof stored, pairs.begin()->second.size());
    memcpy(&stored, pairs.begin()->second.data(), sizeof stored);
    EXPECT_EQ(c.replies, stored.reply_count);
    EXPECT_EQ(c.triplets, read_records(home.path).size());
}

const pair_refusal pair_refusals[] = {
    {"UsersLookRefusedOnce", false, "get:1:" + deadlock, 0, "action=DUNNO", 0, 0},
    {"UsersPutRefusedOnce", false, "put:1:" + deadlock, 0, "action=DUNNO", 0, 0},
    {"UsersPutRefusedOnEveryTry", false,
     "put:1:" + deadlock + ",put:2:" + deadlock + ",put:3:" + deadlock, 1,
     "action=WARN replies put failed", UINT64_MAX, 0},
    {"ReplysReadRefusedOnce", true, "get:3:" + deadlock, 0, "action=DUNNO", 1, 1},
    {"ReplysPutRefusedOnce", true, "put:1:" + deadlock, 0, "action=DUNNO", 1, 1},
    {"ReplysPutRefusedOnEveryTry", true,
     "put:1:" + deadlock + ",put:2:" + deadlock + ",put:3:" + deadlock, 1,
     "action=WARN replies put failed", 0, 0},
    {"ReplysLookRefusedOnEveryTry", true,
     "get:2:" + deadlock + ",get:4:" + deadlock + ",get:6:" + deadlock, 1,
     "action=WARN replies get failed", 0, 0},
};

INSTANTIATE_TEST_SUITE_P(Tries, PairRefusal, testing::ValuesIn(pair_refusals),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
