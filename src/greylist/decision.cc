// SPDX-License-Identifier: BSD-2-Clause
// decision.cc - greylisting one triplet: defer, tag the first pass, let through.
//
// One transaction per request: read the record for update, update it, answer,
// store it.
// A failure before the answer unwinds by longjmp() to the failure path of
// process_smtp_rcpt(), which answers "action=WARN <text>" and aborts the
// transaction. Frames skipped by that jump hold only trivially destructible
// locals; the transaction handle is volatile because the failure path reads it.
#include "greylist/decision.h"

#include <csetjmp>
#include <cstdio>

#include "common/log.h"
#include "common/settings.h"
#include "greylist/auto_whitelist.h"
#include "greylist/triplet_key.h"
#include "policy/action.h"
#include "storage/environment.h"

triplet_data_t triplet_data;
DBT dbdata;

namespace {

const char *failure_text;   // set by abort_request, written by the failure path
jmp_buf failure_point;      // marked afresh by every process_smtp_rcpt call

// start_afresh - a new or restarted triplet: counters 0, created now.
void start_afresh()
{
    triplet_data.create_time = triplet_data.access_time;
    triplet_data.block_count = 0;
    triplet_data.pass_count = 0;
}

// decide - update triplet_data by the greylisting rules and write the answer.
void decide()
{
    double elapsed = difftime(triplet_data.access_time, triplet_data.create_time);
    double delay = static_cast<double>(settings.greylist_delay);

    if (elapsed < delay) {
        triplet_data.block_count++;
        fputs("action=", stdout);
        print_action(settings.reject_action, seconds_from_double(delay - elapsed));
        putchar('\n');
    } else if (triplet_data.pass_count++ == 0) {
        fputs("action=", stdout);
        print_action(settings.greylisted_action, seconds_from_double(elapsed));
        putchar('\n');
    } else {
        fputs("action=DUNNO\n", stdout);
    }
}

// let_through_listed - the new triplet of a whitelisted client: stored as
// passed, without the greylisted action's header, as no delay was imposed.
void let_through_listed()
{
    triplet_data.pass_count = 1;
    fputs("action=DUNNO\n", stdout);
}

// check_client - a failed call on clients-1.db fails the request like a
// failed call on the triplet.
void check_client(int ret, const char *text)
{
    if (ret != 0) {
        report_db_error(text, ret);
        abort_request(text);
    }
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

int process_smtp_rcpt()
{
    DB_TXN *volatile txn = nullptr;

    if (setjmp(failure_point) != 0) {
        printf("action=WARN %s\n", failure_text);
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
    DB_TXN *begun;
    int ret;
    if (get_dbenv(&env) != 0)
        abort_request("get_dbenv failed");
    if (get_db(&database) != 0)
        abort_request("get_db failed");
    DB *clients;
    if (settings.auto_whitelist != 0 && get_clients_db(&clients) != 0)
        abort_request("get_clients_db failed");
    if ((ret = env->txn_begin(env, nullptr, &begun, 0)) != 0) {
        report_db_error("txn_begin failed in process_smtp_rcpt", ret);
        abort_request("txn_begin failed");
    }
    txn = begun;

    // DB_RMW takes the page's write lock with the read. With a read lock the
    // put would have to upgrade it, and two requests on one page would each
    // hold the read lock the other's upgrade waits for: a deadlock that ends
    // one daemon. With the write lock at once they queue for the page.
    dbdata.size = sizeof triplet_data;
    bool fresh = true;  // the triplet is new or restarted by this request
    time_t previous = 0;  // the stored record's latest request
    ret = database->get(database, txn, &dbkey, &dbdata, DB_RMW);
    if (ret == DB_NOTFOUND) {
        stamp_access_time();
        start_afresh();
    } else if (ret != 0) {
        report_db_error("get failed", ret);
        abort_request("get failed");
    } else if (dbdata.size != sizeof triplet_data) {
        // A value shorter than a record (a damaged or foreign one) would leave
        // bytes of an earlier record in the buffer: decide it as new instead,
        // and the put below stores a whole record in its place.
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

    bool listed = false;
    if (fresh && settings.auto_whitelist != 0)
        check_client(whitelisted_client(txn, triplet_data.access_time, &listed),
                     "clients get failed");
    uint64_t passes = triplet_data.pass_count;
    if (listed)
        let_through_listed();
    else
        decide();
    if (settings.auto_whitelist != 0 && !listed && triplet_data.pass_count > passes)
        check_client(client_passed(txn, triplet_data.access_time, passes == 0, previous),
                     "clients put failed");

    if ((ret = database->put(database, txn, &dbkey, &dbdata, 0)) != 0) {
        report_db_error("put", ret);
        int aborted = txn->abort(txn);
        if (aborted != 0)
            report_db_error("abort failed", aborted);
        return ret;
    }
    if ((ret = txn->commit(txn, 0)) != 0)
        report_db_error("commit failed", ret);
    return 0;
}
