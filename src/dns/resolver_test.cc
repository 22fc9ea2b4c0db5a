// SPDX-License-Identifier: BSD-2-Clause
// resolver_test.cc - the bounded DNS path in process, through the real
// resolver and a DNS server of the test's own (tests/support/dns_world.h):
// where a job runs, what the layer keeps, the void lookup limit, and the one
// deadline of a request against a server that never answers.
#include "dns/resolver.h"

#include <gtest/gtest.h>

// The library's headers use these types without including their headers.
#include <arpa/nameser.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

extern "C" {
#include <spf2/spf.h>
#include <spf2/spf_dns.h>
}

#include "dns_world.h"

namespace {

::testing::Environment *const environment =
    ::testing::AddGlobalTestEnvironment(new dns_environment({
        "--host-record=a.dns.test,192.0.2.1",
        "--host-record=b.dns.test,192.0.2.2",
        "--host-record=c.dns.test,192.0.2.3",
        "--host-record=d.dns.test,192.0.2.4",
        "--host-record=e.dns.test,192.0.2.5",
    }));

constexpr int max_names = 4;
constexpr int not_looked_up = -2;

// A job that looks up the A records of up to four names, in order.
struct lookup_job {
    char names[max_names][64];
    int count;
    int void_limit;              // below 0: none set
    pthread_t caller;
    bool in_caller;              // the work ran in the calling thread
    int herrno[max_names];       // not_looked_up until it is
    int records[max_names];
    dns_lookups seen;
};

void look_up(SPF_dns_server_struct *layer, void *data)
{
    auto *job = static_cast<lookup_job *>(data);
    job->in_caller = pthread_equal(pthread_self(), job->caller) != 0;
    if (job->void_limit >= 0)
        dns_limit_void_lookups(job->void_limit);
    for (int i = 0; i < job->count; i++) {
        SPF_dns_rr_t *rr = SPF_dns_lookup(layer, job->names[i], ns_t_a, 0);
        job->herrno[i] = rr != nullptr ? rr->herrno : -1;
        job->records[i] = rr != nullptr ? rr->num_rr : -1;
        if (rr != nullptr)
            SPF_dns_rr_free(rr);
    }
    job->seen = dns_seen();
}

class Resolver : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!world.ready)
            GTEST_SKIP() << "no DNS namespace for the DNS path's tests: " << world.why_not;
        // No case starts behind a job a case before it abandoned.
        ASSERT_TRUE(dns_idle_within(30));
    }

    static lookup_job make_job(const std::vector<std::string> &names, int void_limit = -1)
    {
        lookup_job job{};
        for (const std::string &name : names)
            snprintf(job.names[job.count++], sizeof job.names[0], "%s", name.c_str());
        job.void_limit = void_limit;
        job.caller = pthread_self();
        for (int i = 0; i < max_names; i++)
            job.herrno[i] = job.records[i] = not_looked_up;
        return job;
    }

    // run - the job as the first DNS work of a new request (`new_request`)
    // or as more work of the current one; the queries dnsmasq saw meanwhile
    // are left in `queries`.
    dns_status run(lookup_job &job, bool new_request = true)
    {
        drain_dns_log();
        size_t before = world.log.size();
        if (new_request)
            dns_start_request();
        auto start = std::chrono::steady_clock::now();
        dns_status status = dns_run(look_up, &job, sizeof job);
        seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        drain_dns_log();
        queries = world.log.substr(before);
        return status;
    }

    size_t asked(const std::string &name) { return count_in(queries, "query[A] " + name + " "); }

    std::string queries;
    double seconds = 0;
};

// A job runs in the worker the first time and hands its outcome back; the
// same lookups a moment later are answered from the kept answers in the
// calling thread, and DNS is not asked again.
TEST_F(Resolver, TheWorkerAsksThenTheKeptAnswersServe)
{
    lookup_job first = make_job({"a.dns.test", "nothing.dns.test"});
    ASSERT_EQ(dns_status::done, run(first));
    EXPECT_FALSE(first.in_caller);
    EXPECT_EQ(NETDB_SUCCESS, first.herrno[0]);
    EXPECT_EQ(1, first.records[0]);
    EXPECT_EQ(HOST_NOT_FOUND, first.herrno[1]);
    EXPECT_EQ(1, first.seen.void_lookups);
    EXPECT_FALSE(first.seen.failed);
    EXPECT_EQ(1u, asked("a.dns.test"));
    EXPECT_EQ(1u, asked("nothing.dns.test"));

    lookup_job again = make_job({"a.dns.test", "nothing.dns.test"});
    ASSERT_EQ(dns_status::done, run(again));
    EXPECT_TRUE(again.in_caller);
    EXPECT_EQ(NETDB_SUCCESS, again.herrno[0]);
    EXPECT_EQ(1, again.records[0]);
    EXPECT_EQ(HOST_NOT_FOUND, again.herrno[1]);
    EXPECT_EQ(1, again.seen.void_lookups);  // a kept void answer still counts
    EXPECT_EQ("", queries);
}

// A job that needs an answer not kept starts afresh in the worker, from the
// caller's data: what the attempt from the kept answers wrote is gone.
TEST_F(Resolver, AJobThatNeedsMoreGoesToTheWorker)
{
    lookup_job first = make_job({"b.dns.test"});
    ASSERT_EQ(dns_status::done, run(first));
    lookup_job more = make_job({"b.dns.test", "c.dns.test"});
    ASSERT_EQ(dns_status::done, run(more));
    EXPECT_FALSE(more.in_caller);
    EXPECT_EQ(NETDB_SUCCESS, more.herrno[0]);
    EXPECT_EQ(NETDB_SUCCESS, more.herrno[1]);
    EXPECT_EQ(0u, asked("b.dns.test"));
    EXPECT_EQ(1u, asked("c.dns.test"));
    EXPECT_FALSE(more.seen.failed);
}

// A failed lookup is not kept: the next job asks again, in the worker.
TEST_F(Resolver, AFailedLookupIsAskedAgain)
{
    for (int round = 0; round < 2; round++) {
        lookup_job job = make_job({"x.servfail.test"});
        ASSERT_EQ(dns_status::done, run(job)) << round;
        EXPECT_FALSE(job.in_caller) << round;
        EXPECT_TRUE(job.herrno[0] == TRY_AGAIN || job.herrno[0] == NO_RECOVERY)
            << round << ": " << job.herrno[0];
        EXPECT_TRUE(job.seen.failed) << round;
        EXPECT_LE(1u, asked("x.servfail.test")) << round;
    }
}

// Past the job's limit of lookups that answer nothing, the next lookup is
// refused without asking; a job without a limit asks them all.
TEST_F(Resolver, TheVoidLookupLimit)
{
    lookup_job limited = make_job({"gone1.dns.test", "gone2.dns.test", "gone3.dns.test",
                                   "d.dns.test"}, 1);
    ASSERT_EQ(dns_status::done, run(limited));
    EXPECT_EQ(HOST_NOT_FOUND, limited.herrno[0]);
    EXPECT_EQ(HOST_NOT_FOUND, limited.herrno[1]);
    EXPECT_EQ(TRY_AGAIN, limited.herrno[2]);
    EXPECT_EQ(TRY_AGAIN, limited.herrno[3]);
    EXPECT_TRUE(limited.seen.void_exceeded);
    EXPECT_EQ(0u, asked("gone3.dns.test"));
    EXPECT_EQ(0u, asked("d.dns.test"));

    lookup_job open = make_job({"gone4.dns.test", "gone5.dns.test", "gone6.dns.test",
                                "d.dns.test"});
    ASSERT_EQ(dns_status::done, run(open));
    EXPECT_EQ(HOST_NOT_FOUND, open.herrno[2]);
    EXPECT_EQ(NETDB_SUCCESS, open.herrno[3]);
    EXPECT_EQ(3, open.seen.void_lookups);
    EXPECT_FALSE(open.seen.void_exceeded);
}

// A server that never answers: the request waits dns_time_limit seconds and
// gets no outcome, its data back as it was. Once the abandoned job ended,
// more work of the same request finds the deadline passed and asks nothing;
// the next request has a deadline of its own.
TEST_F(Resolver, OneDeadlinePerRequest)
{
    alarm(90);  // the test's own bound, should the deadline not hold
    drain_dns_log();
    size_t mark = world.log.size();
    lookup_job silent = make_job({"x.silent.test", "e.dns.test"});
    EXPECT_EQ(dns_status::timeout, run(silent));
    EXPECT_GE(seconds, dns_time_limit - 0.5);
    EXPECT_LT(seconds, dns_time_limit + 3.0);
    EXPECT_EQ(not_looked_up, silent.herrno[0]);  // not written back

    ASSERT_TRUE(dns_idle_within(30));
    lookup_job more = make_job({"e.dns.test"});
    EXPECT_EQ(dns_status::timeout, run(more, false));
    EXPECT_LT(seconds, 1.0);
    EXPECT_EQ(not_looked_up, more.herrno[0]);
    // Nothing asked for e.dns.test so far: the abandoned job's lookup of it,
    // past its deadline, was refused too.
    drain_dns_log();
    EXPECT_EQ(0u, count_in(world.log.substr(mark), "query[A] e.dns.test "));

    lookup_job next = make_job({"e.dns.test"});
    EXPECT_EQ(dns_status::done, run(next));
    EXPECT_EQ(NETDB_SUCCESS, next.herrno[0]);
    EXPECT_EQ(1u, asked("e.dns.test"));
    alarm(0);
}

// While an abandoned job still runs, the next request's job is not started
// and does not wait: no request waits twice for one server.
TEST_F(Resolver, NoJobStartsBehindAnAbandonedOne)
{
    alarm(90);
    lookup_job silent = make_job({"y.silent.test"});
    EXPECT_EQ(dns_status::timeout, run(silent));
    lookup_job behind = make_job({"a.dns.test"});
    EXPECT_EQ(dns_status::busy, run(behind));
    EXPECT_LT(seconds, 1.0);
    EXPECT_EQ(not_looked_up, behind.herrno[0]);
    EXPECT_EQ(0u, asked("a.dns.test"));
    ASSERT_TRUE(dns_idle_within(30));
    EXPECT_EQ(dns_status::done, run(behind));
    EXPECT_EQ(NETDB_SUCCESS, behind.herrno[0]);
    alarm(0);
}

}  // namespace
