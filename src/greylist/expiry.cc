// expiry.cc - removing the triplets that no request asks for again.
//
// Requests restart idle records lazily; this pass deletes the ones that are
// never asked for again. It gives way to every other process: the transaction
// is begun with DB_TXN_NOWAIT and a priority below the default, so a lock
// held elsewhere fails the pass at once instead of stalling a request. While
// it runs, in_expiry turns storage failures into notices: they are expected.
#include "greylist/expiry.h"

#include <cstdint>
#include <ctime>

#include "common/log.h"
#include "common/settings.h"
#include "common/stop.h"
#include "greylist/decision.h"
#include "storage/environment.h"
#include "storage/stored_triplet.h"

namespace {

// printable_address - the address of a key for the verbose message; "-"
// for a key of a damaged database too short for its address part.
const char *printable_address(const DBT &key)
{
    return triplet_address_length(key.data, key.size) ? triplet_ip_text(key.data)
                                                       : "-";
}

// walk - delete the idle records under the cursor. Returns 0 when the walk
// ended (end of the database or a stop request), non-zero when the pass must
// be rolled back.
int walk(DBC *dbcp, time_t now, uint32_t *count)
{
    DBT expiry_key{};
    int ret;
    for (;;) {
        dbdata.size = sizeof triplet_data;
        ret = dbcp->c_get(dbcp, &expiry_key, &dbdata, DB_NEXT | DB_RMW);
        if (ret == DB_NOTFOUND)
            return 0;
        if (ret == DB_LOCK_DEADLOCK) {
            log_msg(LOG_NOTICE, "Aborting concurrent expiry due to deadlock");
            return ret;
        }
        if (ret != 0) {
            report_db_error("dbcp->c_get failed", ret);
            return ret;
        }
        // A value shorter than a record is left alone: its age is unknown,
        // and the next request for it starts it afresh.
        if (dbdata.size == sizeof triplet_data) {
            idle_rule_t rule = idle_rule(triplet_data);
            double idle = difftime(now, rule.reference);
            if (idle > rule.limit) {
                if (settings.verbose > 0)
                    log_msg(LOG_INFO, "Expiring %s %s after %.0f seconds idle",
                            printable_address(expiry_key),
                            triplet_data.pass_count ? "pass" : "block", idle);
                if ((ret = dbcp->c_del(dbcp, 0)) != 0) {
                    report_db_error("dbcp->c_del failed", ret);
                    return ret;
                }
                ++*count;
            }
        }
        if (stop_requested())
            return 0;
    }
}

}  // namespace

void run_expiry()
{
    DB_ENV *env;
    DB_TXN *txn;
    DBC *dbcp;
    uint32_t count = 0;
    int ret;

    time_t now = time(nullptr);
    if (now == static_cast<time_t>(-1)) {
        log_msg(LOG_ERR, "time failed during run_expiry");
        return;
    }
    int rc = get_dbenv(&env);
    fatal_assert(! rc && dbenv);

    in_expiry++;
    if ((ret = env->txn_begin(env, nullptr, &txn, DB_TXN_NOWAIT)) != 0) {
        if (ret == DB_LOCK_DEADLOCK)
            log_msg(LOG_DEBUG, "skipping concurrent expiry avoids deadlocks and "
                    "unnecessary work");
        else
            report_db_error("txn_begin failed during run_expiry", ret);
        in_expiry--;
        return;
    }
    // Below the default of 100: the detector refuses the pass first.
    if ((ret = txn->set_priority(txn, 50)) != 0)
        report_db_error("TXN->set_priority", ret);

    if ((ret = db->cursor(db, txn, &dbcp, 0)) != 0) {
        report_db_error("db->cursor failed during expiry run", ret);
    } else if (walk(dbcp, now, &count) != 0) {
        if ((ret = dbcp->c_close(dbcp)) != 0)
            report_db_error("dbcp->c_close failed", ret);
    } else if ((ret = dbcp->c_close(dbcp)) != 0) {
        report_db_error("dbcp->c_close failed", ret);
    } else {
        if ((ret = txn->commit(txn, 0)) != 0)
            report_db_error("commit failed in run_expiry", ret);
        if (count > 0)
            log_msg(LOG_NOTICE, "Expired %u triplets", count);
        in_expiry--;
        return;
    }
    if ((ret = txn->abort(txn)) != 0)
        report_db_error("failed to abort", ret);
    in_expiry--;
}
