// SPDX-License-Identifier: BSD-2-Clause
// refused_request_test.cc - a request whose get or put the deadlock detector
// refuses is tried again, and answered, without ending the daemon.
//
// The refusals are injected: a preloaded library (support/refuse_db_calls.c)
// makes chosen get, put and txn_begin calls return a chosen code without
// reaching the library, as a refused call does nothing (a chosen commit is
// made, and then reports the code). The daemon undoes the try and runs the
// request again from txn_begin, at most three tries; only a refusal on the
// last try, or a failure that is no refusal, takes the failure path and ends
// the daemon as before. The last test makes a real deadlock between the
// daemon and this process, and the detector refuses the daemon.
#include <gtest/gtest.h>

#include <db.h>

#include <time.h>

#include <cerrno>
#include <string>
#include <vector>

#include "fixture_db.h"
#include "record_lock.h"
#include "run_daemon.h"

#ifndef REFUSE_DB_CALLS_LIBRARY
#error REFUSE_DB_CALLS_LIBRARY must name the library that fails chosen calls
#endif

namespace {

const std::string client = "192.0.2.1";
const std::string sender = "alice@example.org";
const std::string recipient = "bob@example.net";

// A new triplet is deferred for the whole delay: a number that no clock moves.
const std::string deferral = "action=DEFER_IF_PERMIT wait 3480\n";

// fail - one item of MURVANE_FAIL_CALLS: call number `which` ("*" for all).
std::string fail(const std::string &call, const std::string &which, int code)
{
    return call + ":" + which + ":" + std::to_string(code);
}

std::string retry_line(const std::string &call, int next, int code)
{
    return call + " refused, trying the request again (try " + std::to_string(next) +
           " of 3): " + db_strerror(code);
}

std::string text_of(int code) { return db_strerror(code); }

const std::vector<std::string> failure_exit = {"error: cleaning up",
                                               "error: exiting after cleanup"};

std::vector<std::string> with_failure_exit(std::vector<std::string> first)
{
    first.insert(first.end(), failure_exit.begin(), failure_exit.end());
    return first;
}

struct refusal_case {
    std::string name;
    std::vector<std::string> fail_calls;  // items of MURVANE_FAIL_CALLS
    bool verbose;
    std::string out;                      // the whole standard output
    int status;
    std::vector<std::string> info;        // the retries logged
    std::vector<std::string> err;
    bool stored;                          // the new triplet's record was committed
};

void PrintTo(const refusal_case &c, std::ostream *os) { *os << c.name; }

std::vector<refusal_case> refusal_cases()
{
    const int deadlock = DB_LOCK_DEADLOCK;
    const int not_granted = DB_LOCK_NOTGRANTED;
    return {
        {"put_refused_once", {fail("put", "1", deadlock)}, true, deferral + "\n", 0,
         {retry_line("put", 2, deadlock)}, {}, true},
        {"get_refused_once", {fail("get", "1", deadlock)}, true, deferral + "\n", 0,
         {retry_line("get", 2, deadlock)}, {}, true},
        {"get_not_granted_once", {fail("get", "1", not_granted)}, true, deferral + "\n", 0,
         {retry_line("get", 2, not_granted)}, {}, true},
        {"get_then_put_refused_third_try_answers",
         {fail("get", "1", deadlock), fail("put", "1", deadlock)}, true, deferral + "\n", 0,
         {retry_line("get", 2, deadlock), retry_line("put", 3, deadlock)}, {}, true},
        {"refused_once_is_not_logged_without_verbose", {fail("put", "1", deadlock)}, false,
         deferral + "\n", 0, {}, {}, true},
        // The handle of the refused try was freed by its abort: the failure
        // path of the next try must not abort it again.
        {"txn_begin_fails_after_a_refusal",
         {fail("get", "1", deadlock), fail("txn_begin", "2", ENOMEM)}, true,
         "action=WARN txn_begin failed\n", 1, {retry_line("get", 2, deadlock)},
         with_failure_exit({"txn_begin failed in process_smtp_rcpt: " + text_of(ENOMEM)}),
         false},
        {"get_refused_on_every_try", {fail("get", "*", deadlock)}, true,
         "action=WARN get failed\n", 1,
         {retry_line("get", 2, deadlock), retry_line("get", 3, deadlock)},
         with_failure_exit({"get failed: " + text_of(deadlock)}), false},
        // The decided answer still goes out, unstored, and the daemon ends
        // without the empty line, as for any failed put.
        {"put_refused_on_every_try", {fail("put", "*", deadlock)}, true, deferral, 1,
         {retry_line("put", 2, deadlock), retry_line("put", 3, deadlock)},
         with_failure_exit({"put: " + text_of(deadlock)}), false},
        {"get_error_is_not_retried", {fail("get", "1", EIO)}, true,
         "action=WARN get failed\n", 1, {},
         with_failure_exit({"get failed: " + text_of(EIO)}), false},
        {"put_error_is_not_retried", {fail("put", "1", ENOSPC)}, true, deferral, 1, {},
         with_failure_exit({"put: " + text_of(ENOSPC)}), false},
        // The library ended the transaction either way: the answer stands,
        // and a commit is never tried again.
        {"commit_failure_keeps_the_answer", {fail("commit", "1", EIO)}, true,
         deferral + "\n", 0, {}, {"commit failed: " + text_of(EIO)}, true},
        {"commit_refusal_is_not_retried", {fail("commit", "1", deadlock)}, true,
         deferral + "\n", 0, {}, {"commit failed: " + text_of(deadlock)}, true},
    };
}

class RefusedRequest : public testing::TestWithParam<refusal_case> {};

TEST_P(RefusedRequest, AnswersOrFailsAsBefore)
{
    const refusal_case &c = GetParam();
    temp_dir home;
    std::string list;
    for (const auto &item : c.fail_calls)
        list += (list.empty() ? "" : ",") + item;

    daemon_run run;
    run.args = {"-h", home.path, "-r", "DEFER_IF_PERMIT wait %d"};
    if (c.verbose)
        run.args.push_back("-v");
    // After a failure exit the second request is never read.
    run.input = rcpt_request(client, sender, recipient) +
                (c.status == 0 ? std::string() : rcpt_request("192.0.2.2", sender, recipient));
    run.env = {"LD_PRELOAD=" + std::string(REFUSE_DB_CALLS_LIBRARY),
               "MURVANE_FAIL_CALLS=" + list};
    daemon_result r = run_daemon(run);

    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(c.status, r.status);
    EXPECT_EQ(c.out, r.out);
    EXPECT_EQ(c.info, r.messages("info"));
    EXPECT_EQ(c.err, r.messages("err"));

    record_list records = read_records(home.path);
    if (!c.stored) {
        EXPECT_TRUE(records.empty()) << records.size() << " records";
        return;
    }
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ(hex(ipv4_key(client, sender, recipient)), hex(records[0].first));
    ASSERT_EQ(32u, records[0].second.size());
    record_fields stored = decode_record(records[0].second);
    EXPECT_EQ(stored.create_time, stored.access_time);
    EXPECT_EQ(1u, stored.block_count);  // one deferral, however many tries
    EXPECT_EQ(0u, stored.pass_count);
}

INSTANTIATE_TEST_SUITE_P(Tries, RefusedRequest, testing::ValuesIn(refusal_cases()),
                         [](const testing::TestParamInfo<refusal_case> &info) {
                             return info.param.name;
                         });

// A stop signal that comes while a try is refused: the request is still tried
// again and answered in full, and only then does the daemon stop, with the
// status of a stop by signal and without reading the request after it.
TEST(RefusedRequestStop, AnswersThenStops)
{
    temp_dir home;
    daemon_run run;
    run.args = {"-h", home.path, "-v", "-r", "DEFER_IF_PERMIT wait %d"};
    run.input = rcpt_request(client, sender, recipient) +
                rcpt_request("192.0.2.2", sender, recipient);
    run.env = {"LD_PRELOAD=" + std::string(REFUSE_DB_CALLS_LIBRARY),
               "MURVANE_FAIL_CALLS=" + fail("put", "1", DB_LOCK_DEADLOCK),
               "MURVANE_FAIL_RAISE=" + std::to_string(SIGTERM)};
    daemon_result r = run_daemon(run);

    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(1, r.status);
    EXPECT_EQ(deferral + "\n", r.out);
    EXPECT_TRUE(r.logged("notice", "Received signal " + std::to_string(SIGTERM)));
    EXPECT_EQ(std::vector<std::string>{retry_line("put", 2, DB_LOCK_DEADLOCK)},
              r.messages("info"));
    EXPECT_TRUE(r.messages("err").empty());
    EXPECT_EQ(1u, read_records(home.path).size());
}

// A real deadlock. A key too long for a leaf page goes to an overflow page,
// and allocating one takes the write lock of the database's first page (its
// page count) until the transaction ends. This process stores such a key
// first, on one leaf. The daemon, asked for a new triplet of that size on
// another leaf, write-locks its leaf with the read and then waits for the
// first page to store its key. This process then writes a record to the
// daemon's leaf: each waits for the other, and the detector refuses the
// younger transaction, the daemon's. The daemon tries again, queues behind
// this process until its commit, and answers; nothing ends.
TEST(RefusedRequestDeadlock, DetectorRefusesTheDaemonWhichTriesAgain)
{
    temp_dir home;
    time_t now = time(nullptr);
    // Several leaves: 600 records of about 70 bytes each.
    put_generated(home.path, "triplets-1.db", 600, [&](size_t i) {
        std::string address = "10.0." + std::to_string(i / 200) + "." + std::to_string(i % 200);
        return std::make_pair(ipv4_key(address, sender, recipient), record_value(now, now, 1, 0));
    });
    // The daemon opens the database (which reads its first page) with a
    // first request, before this process locks anything.
    daemon_run run;
    run.args = {"-h", home.path, "-v", "-r", "DEFER_IF_PERMIT wait %d"};
    daemon_process daemon = start_daemon(run);
    ASSERT_TRUE(write_input(daemon, rcpt_request("10.0.1.50", sender, "carol@example.net")));
    ASSERT_TRUE(read_output_until(daemon, deferral + "\n"));

    const std::string long_recipient = std::string(3000, 'x') + "@example.net";
    record_lock lock(home.path, "triplets-1.db", ipv4_key("10.0.0.5", sender, recipient));
    ASSERT_EQ(0, lock.error()) << db_strerror(lock.error());
    int ret = lock.put(ipv4_key("10.0.0.5", sender, long_recipient), record_value(now, now, 1, 0));
    ASSERT_EQ(0, ret) << db_strerror(ret);
    unsigned long long waits = lock.waiting_lockers();
    ASSERT_TRUE(write_input(daemon, rcpt_request("10.0.2.150", sender, long_recipient)));
    ASSERT_TRUE(wait_until([&] { return lock.waiting_lockers() > waits; }, 30000))
        << "the daemon never waited for this process's lock";

    // This put waits for the daemon's leaf until the detector refuses the daemon.
    ret = lock.put(ipv4_key("10.0.2.150", sender, recipient + ".next"), record_value(now, now, 1, 0));
    EXPECT_EQ(0, ret) << db_strerror(ret);
    EXPECT_TRUE(wait_for_log(daemon, "trying the request again", 30000));
    EXPECT_EQ(0, lock.commit());
    EXPECT_TRUE(read_output_until(daemon, deferral + "\n" + deferral + "\n"));
    lock.release();
    close_input(daemon);
    daemon_result r = finish_daemon(daemon);

    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(deferral + "\n" + deferral + "\n", r.out);
    EXPECT_EQ(std::vector<std::string>{retry_line("put", 2, DB_LOCK_DEADLOCK)},
              r.messages("info"));
    EXPECT_TRUE(r.messages("err").empty());
    EXPECT_EQ(604u, read_records(home.path).size());
}

}  // namespace
