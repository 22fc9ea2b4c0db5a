// SPDX-License-Identifier: BSD-2-Clause
// concurrency_test.cc - several daemons deciding overlapping triplets on one
// environment at the same time.
//
// Each daemon gets its whole stream of requests at once and answers as fast as
// it can, so their transactions interleave on the one page that holds every
// triplet. A request reads its record for update (DB_RMW), so requests on one
// page queue for its write lock instead of deadlocking on the upgrade from a
// read lock: no daemon may be refused as a deadlock victim here, not even for
// a try it then ran again, and every daemon answers its whole stream and stops
// with status 0. Every answer was committed, so the stored counters must add
// up to the answers exactly.
#include <gtest/gtest.h>

#include <db.h>

#include <map>
#include <string>
#include <vector>

#include "fixture_db.h"
#include "run_daemon.h"

namespace {

constexpr int daemons = 3;
constexpr int requests_per_daemon = 120;
constexpr int triplets = 4;

std::string client_of(int triplet) { return "192.0.2." + std::to_string(10 + triplet); }

const std::string sender = "alice@example.org";
const std::string recipient = "bob@example.net";

// Daemon d asks for triplet (d + i) % triplets with its i-th request, so
// every triplet is asked for by every daemon, each at its own moments.
int triplet_of(int d, int i) { return (d + i) % triplets; }

const std::string info_page =
    ".  See https://www.murvane.org/greylisting/ for more information.";

// number_between - the decimal number that `line` holds between `head` and
// " second" or " seconds" and the info page, or -1 when it has another form.
long long number_between(const std::string &line, const std::string &head)
{
    if (line.rfind(head, 0) != 0)
        return -1;
    size_t digits = head.size();
    size_t end = digits;
    while (end < line.size() && line[end] >= '0' && line[end] <= '9')
        end++;
    if (end == digits || end - digits > 18)  // more could overflow stoll
        return -1;
    long long n = std::stoll(line.substr(digits, end - digits));
    std::string unit = n == 1 ? " second" : " seconds";
    return line.substr(end) == unit + info_page ? n : -1;
}

enum class kind { reject, first_pass, dunno, warn_get, illegal };

kind classify(const std::string &line, long long *n)
{
    if ((*n = number_between(line, "action=DEFER_IF_PERMIT Greylisted by murvane 0.4.0, "
                                   "try again in ")) >= 0)
        return kind::reject;
    if ((*n = number_between(line, "action=PREPEND X-Murvane: Greylisted by murvane "
                                   "0.4.0 for ")) >= 0)
        return kind::first_pass;
    if (line == "action=DUNNO")
        return kind::dunno;
    if (line == "action=WARN get failed")
        return kind::warn_get;
    return kind::illegal;
}

struct tally {
    uint64_t rejects = 0;
    uint64_t first_passes = 0;
    uint64_t dunnos = 0;
};

struct concurrency_case {
    const char *name;
    std::vector<std::string> args;
    bool zero_delay;
};

// Each case shows by its name in test listings, not as raw bytes.
void PrintTo(const concurrency_case &c, std::ostream *os) { *os << c.name; }

class Concurrency : public ::testing::TestWithParam<concurrency_case> {};

TEST_P(Concurrency, AnswersAreLegalAndCountersAddUp)
{
    const concurrency_case &c = GetParam();
    temp_dir home;
    std::vector<daemon_process> running;
    for (int d = 0; d < daemons; d++) {
        daemon_run run;
        // -v logs every try that the deadlock detector refused.
        run.args = {"-h", home.path, "-v"};
        run.args.insert(run.args.end(), c.args.begin(), c.args.end());
        running.push_back(start_daemon(run));
    }
    for (int d = 0; d < daemons; d++) {
        std::string input;
        for (int i = 0; i < requests_per_daemon; i++)
            input += rcpt_request(client_of(triplet_of(d, i)), sender, recipient);
        // A daemon that stopped early closes its end; that is an outcome too.
        write_input(running[d], input);
    }
    for (auto &p : running)
        close_input(p);

    // Every daemon is reaped before anything is judged.
    std::vector<daemon_result> results;
    for (auto &p : running)
        results.push_back(finish_daemon(p));

    std::map<int, tally> committed;
    for (int d = 0; d < daemons; d++) {
        SCOPED_TRACE("daemon " + std::to_string(d));
        const daemon_result &r = results[d];
        ASSERT_FALSE(r.timed_out);
        ASSERT_EQ(0, r.signal);

        // Finished answers end with an empty line; an unfinished one may follow.
        size_t pos = 0;
        int i = 0;
        std::string unfinished;
        while (pos < r.out.size()) {
            size_t nl = r.out.find('\n', pos);
            ASSERT_NE(std::string::npos, nl) << "answer without newline";
            std::string line = r.out.substr(pos, nl - pos);
            bool finished = r.out.compare(nl, 2, "\n\n") == 0;
            pos = nl + (finished ? 2 : 1);
            long long n = -1;
            kind k = classify(line, &n);
            ASSERT_NE(kind::illegal, k) << "answer " << i << ": " << line;
            if (!finished) {
                ASSERT_EQ(r.out.size(), pos) << "answers after an unfinished one";
                unfinished = line;
                break;
            }
            ASSERT_NE(kind::warn_get, k) << "a WARN answer must end the run";
            tally &t = committed[triplet_of(d, i)];
            if (k == kind::reject) {
                EXPECT_FALSE(c.zero_delay) << line;
                EXPECT_TRUE(n >= 1 && n <= 3480) << line;
                t.rejects++;
            } else if (k == kind::first_pass) {
                EXPECT_TRUE(c.zero_delay) << line;
                EXPECT_EQ(0, n) << line;
                t.first_passes++;
            } else {
                t.dunnos++;
            }
            i++;
        }

        // A deadlock victim would log its refused try and run the request
        // again, or stop with status 1 after "get failed" or "put" and the
        // deadlock's text when all its tries were refused.
        EXPECT_EQ(0, r.status) << "unfinished answer: " << unfinished;
        EXPECT_EQ(requests_per_daemon, i);
        EXPECT_TRUE(unfinished.empty());
        EXPECT_EQ(std::vector<std::string>{}, r.messages("err"));
        for (const auto &m : r.messages("info"))
            EXPECT_EQ(std::string::npos, m.find("trying the request again")) << m;
    }

    std::map<std::string, std::string> stored;
    for (const auto &[key, value] : read_records(home.path))
        stored[key] = value;
    size_t asked = 0;
    for (int t = 0; t < triplets; t++) {
        SCOPED_TRACE("triplet " + client_of(t));
        const tally &got = committed[t];
        auto found = stored.find(ipv4_key(client_of(t), sender, recipient));
        if (got.rejects + got.first_passes + got.dunnos == 0) {
            // every daemon that asked for it was stopped before it committed
            EXPECT_EQ(stored.end(), found);
            continue;
        }
        asked++;
        ASSERT_NE(stored.end(), found);
        record_fields f = decode_record(found->second);
        EXPECT_LE(f.create_time, f.access_time);
        EXPECT_EQ(got.rejects, f.block_count);
        EXPECT_EQ(got.first_passes + got.dunnos, f.pass_count);
        // Only the transaction that created the record found it unpassed.
        EXPECT_EQ(c.zero_delay ? 1u : 0u, got.first_passes);
    }
    EXPECT_EQ(asked, stored.size());
}

INSTANTIATE_TEST_SUITE_P(Settings, Concurrency,
                         ::testing::Values(concurrency_case{"default_delay", {}, false},
                                           concurrency_case{"zero_delay", {"-g", "0"}, true}),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
