// SPDX-License-Identifier: BSD-2-Clause
// sweep_totals.cc - the expiry sweep's totals record.
//
// Failed library calls are logged once, here, through report_db_error().
#include "storage/sweep_totals.h"

#include <cstring>

#include "common/log.h"
#include "storage/environment.h"
#include "storage/sweep_position.h"

namespace {

constexpr char totals_magic[4] = {'M', 'S', 'W', 'T'};
constexpr uint32_t totals_version = 1;

DBT totals_key()
{
    DBT key{};
    key.data = const_cast<char *>(totals_record);
    key.size = sizeof totals_record - 1;
    return key;
}

void zero_totals(sweep_totals *totals)
{
    memset(totals, 0, sizeof *totals);
    memcpy(totals->magic, totals_magic, sizeof totals_magic);
    totals->version = totals_version;
}

// get_totals - the stored record into *totals; false when it is damaged.
int get_totals(DB *sweep, DB_TXN *txn, u_int32_t flags, sweep_totals *totals,
               bool *damaged)
{
    DBT key = totals_key();
    DBT value{};
    value.data = totals;
    value.ulen = sizeof *totals;
    value.flags = DB_DBT_USERMEM;
    *damaged = false;
    int ret = sweep->get(sweep, txn, &key, &value, flags);
    if (ret == DB_NOTFOUND) {
        zero_totals(totals);
        return 0;
    }
    if (ret == DB_BUFFER_SMALL) {
        zero_totals(totals);
        *damaged = true;
        return 0;
    }
    if (ret != 0) {
        report_db_error("DB->get expiry-sweep.db totals", ret);
        return ret;
    }
    if (value.size != sizeof *totals ||
        memcmp(totals->magic, totals_magic, sizeof totals_magic) != 0 ||
        totals->version != totals_version) {
        zero_totals(totals);
        *damaged = true;
    }
    return 0;
}

}  // namespace

int add_to_totals(DB *sweep, DB_TXN *txn, const totals_change &change)
{
    sweep_totals totals;
    bool damaged;
    int ret = get_totals(sweep, txn, DB_RMW, &totals, &damaged);
    if (ret != 0)
        return ret;
    if (damaged)
        log_msg(LOG_WARNING, "damaged totals record in %s: the sweep's totals are "
                "counted again from 0", sweep_db_name);
    totals.expired_blocked += change.blocked;
    totals.expired_passed += change.passed;
    totals.expired_clients += change.clients;
    if (change.finished_at != 0) {
        totals.last_finished = change.finished_at;
        totals.sweeps_finished++;
    }
    DBT key = totals_key();
    DBT value{};
    value.data = &totals;
    value.size = sizeof totals;
    if ((ret = sweep->put(sweep, txn, &key, &value, 0)) != 0)
        report_db_error("DB->put expiry-sweep.db totals", ret);
    return ret;
}

int read_totals(DB *sweep, sweep_totals *totals)
{
    bool damaged;
    return get_totals(sweep, nullptr, 0, totals, &damaged);
}
