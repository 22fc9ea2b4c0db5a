// SPDX-License-Identifier: BSD-2-Clause
// decision.cc - greylisting one triplet: defer, tag the first pass, let through.
//
// One transaction per request: read the record for update, update it, store
// it, commit, answer. The answer is decided inside the transaction but written
// only once the transaction is resolved, because a try may still be undone:
// the deadlock detector may refuse the get or the put (a page split can
// deadlock even with the record read for update), and a refused try is
// aborted and run again from txn_begin, at most max_tries times, after a short
// random pause. Only a refusal on the last try takes the failure path below,
// and ends the daemon.
// A failure before the answer unwinds by longjmp() to the failure path of
// process_smtp_rcpt(), which answers "action=WARN <text>" and aborts the
// transaction. Frames skipped by that jump hold only trivially destructible
// locals; the transaction handle is volatile because the failure path reads it.
#include "greylist/decision.h"

#include <unistd.h>

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "common/log.h"
#include "common/settings.h"
#include "common/stop.h"
#include "greylist/auto_whitelist.h"
#include "greylist/decision_log.h"
#include "greylist/outcome.h"
#include "greylist/replies.h"
#include "greylist/tries.h"
#include "greylist/triplet_key.h"
#include "policy/action.h"
#include "storage/environment.h"

thread_local triplet_data_t triplet_data;
thread_local DBT dbdata;

namespace {

thread_local const char *failure_text;   // set by abort_request, written by the failure path
thread_local jmp_buf failure_point;      // marked afresh by every process_smtp_rcpt call

// The answer decided for a request, kept until its transaction is resolved.
struct answer_t {
    const char *template_text;  // reject_action or greylisted_action; null for DUNNO
    uint64_t n;                 // the template's "%d": seconds left, or waited
    outcome decided;            // what the log calls it
};

// start_afresh - a new or restarted triplet: counters 0, created now.
void start_afresh()
{
    triplet_data.create_time = triplet_data.access_time;
    triplet_data.block_count = 0;
    triplet_data.pass_count = 0;
}

// decide - update triplet_data by the greylisting rules; returns the answer.
// `fresh`: the triplet is new or restarted by this request.
answer_t decide(bool fresh)
{
    double elapsed = difftime(triplet_data.access_time, triplet_data.create_time);
    double delay = static_cast<double>(settings.greylist_delay);

    // A triplet let through at once (a proven client's, a reply) has passed
    // before its delay ran out: its later messages pass as any passed
    // triplet's do, instead of being deferred until the delay is over.
    bool passed_early = triplet_data.pass_count != 0 &&
                        (settings.auto_whitelist != 0 || settings.replies != 0);
    if (elapsed < delay && !passed_early) {
        triplet_data.block_count++;
        return {settings.reject_action, seconds_from_double(delay - elapsed),
                fresh ? outcome::defer_new : outcome::defer_early};
    }
    if (triplet_data.pass_count++ == 0)
        return {settings.greylisted_action, seconds_from_double(elapsed),
                outcome::first_pass};
    return {nullptr, 0, outcome::known};
}

// let_through_listed - the new triplet of a whitelisted client: stored as
// passed, answered DUNNO without the greylisted action's header, as no delay
// was imposed.
answer_t let_through_listed()
{
    triplet_data.pass_count = 1;
    return {nullptr, 0, outcome::whitelisted};
}

// let_through_reply - a reply to a pair a user wrote to, let through as a
// whitelisted client's new triplet is.
answer_t let_through_reply()
{
    triplet_data.pass_count = 1;
    return {nullptr, 0, outcome::reply};
}

// write_answer - the answer line, with its newline, and the decision's log
// line. Learning records every request as enforcing would and only answers
// DUNNO; the log still names what enforcing would have decided.
void write_answer(const answer_t &answer)
{
    log_decision(answer.decided, &dbkey, answer.n);
    if (answer.template_text == nullptr || settings.learn) {
        fputs("action=DUNNO\n", answer_stream());
        return;
    }
    fputs("action=", answer_stream());
    print_action(answer.template_text, answer.n);
    fputc('\n', answer_stream());
}

}  // namespace

idle_rule_t idle_rule(const triplet_data_t &record)
{
    if (record.pass_count != 0)
        return {record.access_time, static_cast<double>(settings.pass_max_idle)};
    return {record.create_time, static_cast<double>(settings.bloc_max_idle)};
}

uint64_t seconds_from_double(double seconds)
{
    // 2^64 is the first double past the range; converting it is undefined.
    if (seconds >= 18446744073709551616.0)
        return UINT64_MAX;
    if (seconds <= 0)
        return 0;
    return static_cast<uint64_t>(seconds);
}

void bind_record_buffer()
{
    dbdata = DBT{};
    dbdata.data = &triplet_data;
    dbdata.size = sizeof triplet_data;
    dbdata.ulen = sizeof triplet_data;
    dbdata.flags = DB_DBT_USERMEM;
}

void abort_request(const char *text)
{
    failure_text = text;
    longjmp(failure_point, 1);
}

void stamp_access_time()
{
    time_t now = time(nullptr);
    if (now == static_cast<time_t>(-1))
        abort_request("time failed");
    triplet_data.access_time = now;
}

int process_smtp_rcpt(spf_result spf)
{
    DB_TXN *volatile txn = nullptr;

    if (setjmp(failure_point) != 0) {
        fprintf(answer_stream(), "action=WARN %s\n", failure_text);
        failure_text = nullptr;
        if (txn != nullptr) {
            int ret = txn->abort(txn);
            if (ret != 0)
                report_db_error("Failed to abort transaction", ret);
        }
        return 1;
    }

    DB_ENV *env;
    DB *database;
    if (get_dbenv(&env) != 0)
        abort_request("get_dbenv failed");
    if (get_db(&database) != 0)
        abort_request("get_db failed");
    DB *clients;
    if (settings.auto_whitelist != 0 && get_clients_db(&clients) != 0)
        abort_request("get_clients_db failed");
    DB *pairs;
    if (settings.replies != 0 && get_replies_db(&pairs) != 0)
        abort_request("get_replies_db failed");

    // The request's whole time bound (watchdog.h) covers every try.
    for (int tries = 1;; tries++) {
        DB_TXN *begun;
        int ret;
        if ((ret = env->txn_begin(env, nullptr, &begun, 0)) != 0) {
            report_db_error("txn_begin failed in process_smtp_rcpt", ret);
            abort_request("txn_begin failed");
        }
        txn = begun;

        // DB_RMW takes the page's write lock with the read. With a read lock
        // the put would have to upgrade it, and two requests on one page would
        // each hold the read lock the other's upgrade waits for: a deadlock on
        // every busy page. With the write lock at once they queue for the page.
        dbdata.size = sizeof triplet_data;
        bool fresh = true;    // the triplet is new or restarted by this request
        time_t previous = 0;  // the stored record's latest request
        ret = database->get(database, txn, &dbkey, &dbdata, DB_RMW);
        if (ret == DB_NOTFOUND) {
            stamp_access_time();
            start_afresh();
        } else if (ret != 0) {
            if (refused(ret) && tries < max_tries) {
                give_way(&txn, "get", ret, tries + 1);
                continue;
            }
            report_db_error("get failed", ret);
            abort_request("get failed");
        } else if (dbdata.size != sizeof triplet_data) {
            // A value shorter than a record (a damaged or foreign one) would
            // leave bytes of an earlier record in the buffer: decide it as new
            // instead, and the put below stores a whole record in its place.
            log_msg(LOG_WARNING, "stored value of %u bytes for triplet %s is no "
                    "triplet record, starting afresh", dbdata.size,
                    triplet_ip_text(dbkey.data));
            dbdata.size = sizeof triplet_data;
            stamp_access_time();
            start_afresh();
        } else {
            idle_rule_t rule = idle_rule(triplet_data);
            previous = triplet_data.access_time;
            stamp_access_time();
            fresh = difftime(triplet_data.access_time, rule.reference) > rule.limit;
            if (fresh)
                start_afresh();
        }

        // Auto-whitelisting, when on: a whitelisted client's new triplet
        // passes at once; a pass by the rules counts for its client. A
        // refused call on clients-1.db is tried again like the triplet's.
        bool listed = false;
        if (fresh && settings.auto_whitelist != 0 &&
            (ret = whitelisted_client(txn, triplet_data.access_time, &listed)) != 0) {
            if (refused(ret) && tries < max_tries) {
                give_way(&txn, "clients get", ret, tries + 1);
                continue;
            }
            report_db_error("clients get failed", ret);
            abort_request("clients get failed");
        }
        // Replies, when on: a triplet not yet passed whose sender and
        // recipient are a learned pair the other way round passes at once.
        // replies-1.db is locked after the other two, as by every request.
        bool reply = false;
        const char *call;
        if (!listed && triplet_data.pass_count == 0 && settings.replies != 0 &&
            (ret = reply_to_user(txn, triplet_data.access_time, spf, &reply, &call)) != 0) {
            if (refused(ret) && tries < max_tries) {
                give_way(&txn, call, ret, tries + 1);
                continue;
            }
            const char *failed = strcmp(call, "replies put") == 0 ? "replies put failed"
                                                                  : "replies get failed";
            report_db_error(failed, ret);
            abort_request(failed);
        }
        uint64_t passes = triplet_data.pass_count;
        answer_t answer = listed ? let_through_listed()
                          : reply ? let_through_reply()
                                  : decide(fresh);
        if (settings.auto_whitelist != 0 && !listed && !reply && triplet_data.pass_count > passes &&
            (ret = client_passed(txn, triplet_data.access_time, passes == 0, previous)) != 0) {
            if (refused(ret) && tries < max_tries) {
                give_way(&txn, "clients put", ret, tries + 1);
                continue;
            }
            report_db_error("clients put failed", ret);
            abort_request("clients put failed");
        }

        if ((ret = database->put(database, txn, &dbkey, &dbdata, 0)) != 0) {
            if (refused(ret) && tries < max_tries) {
                give_way(&txn, "put", ret, tries + 1);
                continue;
            }
            // The decided answer still goes out, unrecorded: a deferral costs
            // the client nothing more, and a pass was earned.
            report_db_error("put", ret);
            int aborted = txn->abort(txn);
            if (aborted != 0)
                report_db_error("abort failed", aborted);
            write_answer(answer);
            return ret;
        }
        if ((ret = txn->commit(txn, 0)) != 0)
            report_db_error("commit failed", ret);
        write_answer(answer);
        return 0;
    }
}
