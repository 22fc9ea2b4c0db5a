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
//
// The passes of all the daemons of an environment make one sweep: a pass
// goes on from the key where the previous one ended (storage/sweep_position),
// walks at most a slice of records and ends; the pass that reaches the last
// key finishes the sweep, and the next starts again at the first. So a stop
// costs the same at any database size, and a database smaller than a slice
// is walked whole, from its first key, by every stop. One daemon sweeps at a
// time; another that stops meanwhile makes no pass.
//
// With auto-whitelisting on, the same stop then walks a slice of
// clients-1.db the same way, from a position of its own, deleting the
// clients not let through for longer than pass_max_idle; with --replies, a
// slice of replies-1.db, deleting the pairs whose user has not written for
// longer than pass_max_idle.
#include "greylist/expiry.h"

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "common/log.h"
#include "common/settings.h"
#include "common/stop.h"
#include "common/watchdog.h"
#include "greylist/decision.h"
#include "storage/environment.h"
#include "storage/resume_point.h"
#include "storage/stored_client.h"
#include "storage/stored_reply.h"
#include "storage/stored_triplet.h"
#include "storage/sweep_position.h"
#include "storage/sweep_totals.h"

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

// What ended a batch: its bounds (the pass goes on), the pass's slice, the
// end of the database, a stop request, or a failure that rolled it back.
enum batch_end { batch_full, slice_done, walk_ended, walk_stopped, walk_failed };

// One pass: the part of the shared sweep that this stop walks.
struct pass_state {
    time_t now;
    DB *database;           // triplets-1.db, clients-1.db or replies-1.db
    bool clients;           // the database is clients-1.db
    bool replies;           // the database is replies-1.db
    DBT *value;             // the buffer the walk reads values into
    const char *position;   // the key of the walk's position record
    DB *sweep;              // expiry-sweep.db; null when no position is kept
    unsigned long slice;    // records this pass may walk; 0 for no bound
    unsigned long walked;   // records read so far, deleted ones included
    bool from_position;     // the pass's first read starts past a stored key
    resume_point resume;    // the last key read
    uint32_t batch_passed;  // triplets of the current batch deleted after passing
};

// printable_address - the address of a key for the verbose message; "-"
// for a key of a damaged database too short for its address part.
const char *printable_address(const DBT &key)
{
    return triplet_address_length(key.data, key.size) ? triplet_ip_text(key.data)
                                                       : "-";
}

// printable_pair - the outside address of a reply pair's key for the
// verbose message, cut to a line's worth (in a static buffer, valid until
// the next call); "-" for a key with no address before its NUL.
const char *printable_pair(const DBT &key)
{
    thread_local char text[321];
    const char *bytes = static_cast<const char *>(key.data);
    size_t n = 0;
    while (n < key.size && n + 1 < sizeof text && bytes[n] != '\0')
        n++;
    if (n == 0)
        return "-";
    memcpy(text, bytes, n);
    text[n] = '\0';
    return text;
}

long elapsed_ms(const timespec &since)
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (t.tv_sec - since.tv_sec) * 1000 + (t.tv_nsec - since.tv_nsec) / 1000000;
}

// first_read - the batch's first record. A stored position at or past the
// last key (the previous slice ended on it, or the keys after it are gone)
// wraps the sweep to the first key.
int first_read(DBC *dbcp, DBT *key, pass_state *pass)
{
    int ret = next_record(dbcp, key, pass->value, DB_RMW, true, pass->resume);
    if (ret == DB_NOTFOUND && pass->from_position) {
        *key = DBT{};
        ret = dbcp->c_get(dbcp, key, pass->value, DB_FIRST | DB_RMW);
    }
    pass->from_position = false;
    return ret;
}

thread_local client_data_t client_data;  // the buffer of the walk over clients-1.db
thread_local reply_data_t reply_data;    // the buffer of the walk over replies-1.db

// walked_triplet - the triplet record the walk just read, in its buffer
// (the thread's record buffer, through dbdata).
const triplet_data_t &walked_triplet(const pass_state &pass)
{
    return *static_cast<const triplet_data_t *>(pass.value->data);
}

// idle_record - the record just read is idle too long at the pass's time:
// *idle is how long, *what names its kind for the verbose message. A value
// of another size than a record is left alone: its age is unknown, and the
// next request for it starts it afresh.
bool idle_record(const pass_state &pass, double *idle, const char **what)
{
    if (pass.replies) {
        if (pass.value->size != sizeof reply_data)
            return false;
        *what = "reply pair";
        *idle = difftime(pass.now, reply_data.last_written);
        return *idle > static_cast<double>(settings.pass_max_idle);
    }
    if (pass.clients) {
        if (pass.value->size != sizeof client_data)
            return false;
        *what = "client";
        *idle = difftime(pass.now, client_data.last_seen);
        return *idle > static_cast<double>(settings.pass_max_idle);
    }
    if (pass.value->size != sizeof triplet_data)
        return false;
    const triplet_data_t &record = walked_triplet(pass);
    idle_rule_t rule = idle_rule(record);
    *what = record.pass_count ? "pass" : "block";
    *idle = difftime(pass.now, rule.reference);
    return *idle > rule.limit;
}

// walk_batch - delete the idle records of one batch under the cursor, adding
// them to *deleted. Ends at the batch's bounds (batch_full), at the pass's
// slice, at the end of the database, at a stop request, or on a failure
// that must roll the batch back (walk_failed, logged here).
batch_end walk_batch(DBC *dbcp, pass_state *pass, uint32_t *deleted)
{
    DBT expiry_key{};
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    size_t bytes = 0;
    int ret;
    for (unsigned records = 0;; records++) {
        if (records == 0)
            ret = first_read(dbcp, &expiry_key, pass);
        else
            ret = next_record(dbcp, &expiry_key, pass->value, DB_RMW, false, pass->resume);
        if (ret == DB_NOTFOUND)
            return walk_ended;
        if (ret == DB_LOCK_DEADLOCK) {
            log_msg(LOG_NOTICE, "Aborting concurrent expiry due to deadlock");
            return walk_failed;
        }
        if (ret != 0) {
            report_db_error("dbcp->c_get failed", ret);
            return walk_failed;
        }
        remember(&pass->resume, expiry_key);
        pass->walked++;
        bytes += expiry_key.size + pass->value->size;
        double idle;
        const char *what;
        if (idle_record(*pass, &idle, &what)) {
            if (settings.verbose > 0)
                log_msg(LOG_INFO, "Expiring %s %s after %.0f seconds idle",
                        pass->replies ? printable_pair(expiry_key)
                                                     : printable_address(expiry_key),
                        what, idle);
            if ((ret = dbcp->c_del(dbcp, 0)) != 0) {
                report_db_error("dbcp->c_del failed", ret);
                return walk_failed;
            }
            ++*deleted;
            if (!pass->clients && !pass->replies && walked_triplet(*pass).pass_count != 0)
                pass->batch_passed++;
        }
        if (stop_requested())
            return walk_stopped;
        if (pass->slice != 0 && pass->walked >= pass->slice)
            return slice_done;
        if (records + 1 >= batch_records || bytes >= batch_bytes ||
            elapsed_ms(start) >= batch_ms)
            return batch_full;
    }
}

// save_position - where the next batch or the next stop goes on from,
// written in the batch's own transaction. At the end of the database the
// sweep is finished, and the next stop starts at the first key.
int save_position(const pass_state &pass, DB_TXN *txn, batch_end end)
{
    if (pass.sweep == nullptr)
        return 0;
    if (end == walk_ended || !pass.resume.set)
        return clear_position(pass.sweep, txn, pass.position);
    return store_position(pass.sweep, txn, pass.resume, pass.position);
}

// save_totals - the batch's deletions added to the sweep's totals, in the
// batch's own transaction; a batch that reached the last triplet finishes
// the sweep at the pass's time. Nothing is written for a batch that changed
// nothing.
int save_totals(const pass_state &pass, DB_TXN *txn, batch_end end, uint32_t deleted)
{
    // The totals count triplets and clients; reply pairs have none.
    if (pass.sweep == nullptr || pass.replies)
        return 0;
    totals_change change{};
    if (pass.clients) {
        change.clients = deleted;
    } else {
        change.passed = pass.batch_passed;
        change.blocked = deleted - pass.batch_passed;
        if (end == walk_ended)
            change.finished_at = pass.now;
    }
    if (change.blocked == 0 && change.passed == 0 && change.clients == 0 &&
        change.finished_at == 0)
        return 0;
    return add_to_totals(pass.sweep, txn, change);
}

// begin_step - a transaction that never waits for a lock, below the
// default priority of 100 so that the detector refuses the pass first.
// Returns 0 or the library's code (logged).
int begin_step(DB_ENV *env, DB_TXN **txn)
{
    int ret;
    if ((ret = env->txn_begin(env, nullptr, txn, DB_TXN_NOWAIT)) != 0) {
        if (ret == DB_LOCK_DEADLOCK)
            log_msg(LOG_DEBUG, "skipping concurrent expiry avoids deadlocks and "
                    "unnecessary work");
        else
            report_db_error("txn_begin failed during run_expiry", ret);
        return ret;
    }
    if ((ret = (*txn)->set_priority(*txn, 50)) != 0)
        report_db_error("TXN->set_priority", ret);
    return 0;
}

// run_batch - one batch in its own transaction. Returns how the walk ended
// once the batch is committed, with its deletions added to *total;
// walk_failed when it was skipped or rolled back (logged).
batch_end run_batch(DB_ENV *env, pass_state *pass, uint32_t *total)
{
    DB_TXN *txn;
    DBC *dbcp;
    uint32_t deleted = 0;
    int ret;

    if (begin_step(env, &txn) != 0)
        return walk_failed;
    pass->batch_passed = 0;
    batch_end end = walk_failed;
    if ((ret = pass->database->cursor(pass->database, txn, &dbcp, 0)) != 0) {
        report_db_error("db->cursor failed during expiry run", ret);
    } else {
        end = walk_batch(dbcp, pass, &deleted);
        if ((ret = dbcp->c_close(dbcp)) != 0) {
            report_db_error("dbcp->c_close failed", ret);
            end = walk_failed;
        }
    }
    if (end != walk_failed && save_position(*pass, txn, end) != 0)
        end = walk_failed;
    if (end != walk_failed && save_totals(*pass, txn, end, deleted) != 0)
        end = walk_failed;
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

// find_start - read where the sweep stands, in a transaction of its own, so
// that a damaged position is removed (and warned of) once, whatever the
// batches after it do. Returns false when the pass cannot run (logged).
bool find_start(DB_ENV *env, pass_state *pass)
{
    DB_TXN *txn;
    position_state state;
    int ret;
    if (begin_step(env, &txn) != 0)
        return false;
    if (load_position(pass->sweep, txn, &pass->resume, &state, pass->position) != 0) {
        if ((ret = txn->abort(txn)) != 0)
            report_db_error("failed to abort", ret);
        return false;
    }
    if ((ret = txn->commit(txn, 0)) != 0) {
        report_db_error("commit failed in run_expiry", ret);
        return false;
    }
    if (state == position_damaged)
        log_msg(LOG_WARNING, "damaged record in %s removed: the expiry sweep starts "
                "again at the first key", sweep_db_name);
    pass->from_position = state == position_found;
    return true;
}

// walk_slice - one walk of the pass over `database` from its position
// `position`, adding its deletions to *count. Returns how it ended.
batch_end walk_slice(DB_ENV *env, DB *sweep, unsigned long slice, time_t now,
                     DB *database, DBT *value, const char *position, uint32_t *count)
{
    pass_state pass{};
    pass.now = now;
    pass.database = database;
    pass.clients = strcmp(position, clients_position) == 0;
    pass.replies = strcmp(position, replies_position) == 0;
    pass.value = value;
    pass.position = position;
    pass.sweep = sweep;
    pass.slice = slice;
    bool run = sweep == nullptr || find_start(env, &pass);
    batch_end end = walk_failed;
    // The stop sequence that runs this pass is bounded by the watchdog; each
    // committed batch is progress, and only a batch stuck for the whole bound
    // (on a page latch of a killed daemon, say) ends the process.
    if (run)
        while ((end = run_batch(env, &pass, count)) == batch_full)
            watchdog_progress();
    free(pass.resume.data);
    return end;
}

}  // namespace

void run_expiry()
{
    run_sweep(expiry_slice);
}

void run_sweep(unsigned long slice)
{
    run_sweep_over(slice, sweep_handles{});
}

void run_sweep_over(unsigned long slice, const sweep_handles &handles)
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
    int lock_fd;
    if (lock_sweep(&lock_fd) == sweep_lock_busy) {
        if (settings.debug)
            log_msg(LOG_DEBUG, "another daemon is sweeping: no expiry pass");
        in_expiry--;
        return;
    }
    // Without its position a bounded pass would walk the same first slice
    // at every stop: the whole database is walked instead, as before.
    DB *sweep;
    if (open_sweep_db(env, &sweep) != 0)
        slice = 0;
    batch_end end = walk_slice(env, sweep, slice, now,
                               handles.triplets != nullptr ? handles.triplets : db,
                               &dbdata, triplets_position,
                               &count);
    if (count > 0)
        log_msg(LOG_NOTICE, "Expired %u triplets", count);

    DB *clients;
    if (settings.auto_whitelist != 0 && end != walk_stopped && !stop_requested() &&
        ((clients = handles.clients) != nullptr || get_clients_db(&clients) == 0)) {
        DBT value{};
        value.data = &client_data;
        value.size = value.ulen = sizeof client_data;
        value.flags = DB_DBT_USERMEM;
        count = 0;
        end = walk_slice(env, sweep, slice, now, clients, &value, clients_position, &count);
        if (count > 0)
            log_msg(LOG_NOTICE, "Expired %u clients", count);
    }
    DB *pairs;
    if (settings.replies != 0 && end != walk_stopped && !stop_requested() &&
        ((pairs = handles.replies) != nullptr || get_replies_db(&pairs) == 0)) {
        DBT value{};
        value.data = &reply_data;
        value.size = value.ulen = sizeof reply_data;
        value.flags = DB_DBT_USERMEM;
        count = 0;
        walk_slice(env, sweep, slice, now, pairs, &value, replies_position, &count);
        if (count > 0)
            log_msg(LOG_NOTICE, "Expired %u reply pairs", count);
    }
    if (sweep != nullptr && (rc = sweep->close(sweep, 0)) != 0)
        report_db_error("DB close expiry-sweep.db", rc);
    if (lock_fd >= 0)
        close(lock_fd);
    in_expiry--;
}
