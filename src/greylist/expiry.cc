// SPDX-License-Identifier: BSD-2-Clause
// expiry.cc - removing the triplets that no request asks for again.
//
// Requests restart idle records lazily; this pass deletes the ones that are
// never asked for again. It walks the database in key order in bounded
// batches, each its own transaction, so that no transaction needs a number of
// locks that grows with the database: a batch write-locks every leaf page it
// reads (DB_RMW) and holds those locks to its commit. Each batch gives way to
// every other process: it is begun with DB_TXN_NOWAIT and a priority below
// the default, so a lock held elsewhere fails it at once instead of stalling
// a request. A batch that fails is rolled back and ends the pass; the batches
// committed before it stand. While the pass runs, in_expiry turns storage
// failures into notices: they are expected.
#include "greylist/expiry.h"

#include <cstdint>
#include <cstdlib>
#include <ctime>

#include "common/log.h"
#include "common/settings.h"
#include "common/stop.h"
#include "common/watchdog.h"
#include "greylist/decision.h"
#include "storage/environment.h"
#include "storage/resume_point.h"
#include "storage/stored_triplet.h"

namespace {

// Bounds of one batch. A batch takes one lock per leaf page it reads, and a
// 4 KiB page holds about 30 short triplets but only one or two of 1,000
// bytes, so records alone cannot bound the locks: the bytes of keys and
// values read bound them at any key length. With these bounds a pass held at
// most 145 locks at once, for keys of 40 to 3,000 bytes and databases of up
// to five million triplets, a small part of the some 4,500 that the
// library's default lock region holds (measured, docs/performance.md); the
// time bound keeps the wait of a request that needs one of those pages to a
// few milliseconds on a slow disk.
constexpr unsigned batch_records = 1000;
constexpr size_t batch_bytes = 64 * 1024;
constexpr long batch_ms = 5;

enum batch_end { batch_full, walk_done, walk_failed };

// printable_address - the address of a key for the verbose message; "-"
// for a key of a damaged database too short for its address part.
const char *printable_address(const DBT &key)
{
    return triplet_address_length(key.data, key.size) ? triplet_ip_text(key.data)
                                                       : "-";
}

long elapsed_ms(const timespec &since)
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (t.tv_sec - since.tv_sec) * 1000 + (t.tv_nsec - since.tv_nsec) / 1000000;
}

// walk_batch - delete the idle records of one batch under the cursor, adding
// them to *deleted. Ends at the batch's bounds (batch_full), at the end of
// the database or a stop request (walk_done), or on a failure that must
// roll the batch back (walk_failed, logged here).
batch_end walk_batch(DBC *dbcp, time_t now, resume_point *resume, uint32_t *deleted)
{
    DBT expiry_key{};
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    size_t bytes = 0;
    int ret;
    for (unsigned records = 0;; records++) {
        ret = next_record(dbcp, &expiry_key, &dbdata, DB_RMW, records == 0, *resume);
        if (ret == DB_NOTFOUND)
            return walk_done;
        if (ret == DB_LOCK_DEADLOCK) {
            log_msg(LOG_NOTICE, "Aborting concurrent expiry due to deadlock");
            return walk_failed;
        }
        if (ret != 0) {
            report_db_error("dbcp->c_get failed", ret);
            return walk_failed;
        }
        remember(resume, expiry_key);
        bytes += expiry_key.size + dbdata.size;
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
                    return walk_failed;
                }
                ++*deleted;
            }
        }
        if (stop_requested())
            return walk_done;
        if (records + 1 >= batch_records || bytes >= batch_bytes ||
            elapsed_ms(start) >= batch_ms)
            return batch_full;
    }
}

// run_batch - one batch in its own transaction. Returns walk_done or
// batch_full once the batch is committed, with its deletions added to
// *total; walk_failed when it was skipped or rolled back (logged).
batch_end run_batch(DB_ENV *env, time_t now, resume_point *resume, uint32_t *total)
{
    DB_TXN *txn;
    DBC *dbcp;
    uint32_t deleted = 0;
    int ret;

    if ((ret = env->txn_begin(env, nullptr, &txn, DB_TXN_NOWAIT)) != 0) {
        if (ret == DB_LOCK_DEADLOCK)
            log_msg(LOG_DEBUG, "skipping concurrent expiry avoids deadlocks and "
                    "unnecessary work");
        else
            report_db_error("txn_begin failed during run_expiry", ret);
        return walk_failed;
    }
    // Below the default of 100: the detector refuses the pass first.
    if ((ret = txn->set_priority(txn, 50)) != 0)
        report_db_error("TXN->set_priority", ret);

    batch_end end = walk_failed;
    if ((ret = db->cursor(db, txn, &dbcp, 0)) != 0) {
        report_db_error("db->cursor failed during expiry run", ret);
    } else {
        end = walk_batch(dbcp, now, resume, &deleted);
        if ((ret = dbcp->c_close(dbcp)) != 0) {
            report_db_error("dbcp->c_close failed", ret);
            end = walk_failed;
        }
    }
    if (end == walk_failed) {
        if ((ret = txn->abort(txn)) != 0)
            report_db_error("failed to abort", ret);
        return walk_failed;
    }
    // A failed commit undoes the batch: its deletions are not counted.
    if ((ret = txn->commit(txn, 0)) != 0) {
        report_db_error("commit failed in run_expiry", ret);
        return walk_failed;
    }
    *total += deleted;
    return end;
}

}  // namespace

void run_expiry()
{
    DB_ENV *env;
    uint32_t count = 0;

    time_t now = time(nullptr);
    if (now == static_cast<time_t>(-1)) {
        log_msg(LOG_ERR, "time failed during run_expiry");
        return;
    }
    int rc = get_dbenv(&env);
    fatal_assert(! rc && dbenv);

    in_expiry++;
    resume_point resume{};
    // The stop sequence that runs this pass is bounded by the watchdog; each
    // committed batch is progress, and only a batch stuck for the whole bound
    // (on a page latch of a killed daemon, say) ends the process.
    while (run_batch(env, now, &resume, &count) == batch_full)
        watchdog_progress();
    free(resume.data);
    if (count > 0)
        log_msg(LOG_NOTICE, "Expired %u triplets", count);
    in_expiry--;
}
