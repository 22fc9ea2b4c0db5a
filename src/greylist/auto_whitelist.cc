// SPDX-License-Identifier: BSD-2-Clause
// auto_whitelist.cc - the proven clients of clients-1.db.
//
// The record's key points into the request's own triplet key (dbkey): a
// client's key is a prefix of each of its triplets' keys, and nothing is
// copied. The record is read into a buffer of the module's own; a stored value
// of another size (a damaged record) counts as no record, and the next pass
// of the client writes a whole record in its place.
#include "greylist/auto_whitelist.h"

#include "common/log.h"
#include "common/settings.h"
#include "greylist/triplet_key.h"
#include "storage/environment.h"
#include "storage/stored_client.h"

namespace {

thread_local client_data_t client_data;

// What read_client() found.
enum client_state { client_missing, client_idle, client_current };

// client_key - the DBT of the request's client, inside dbkey.
DBT client_key()
{
    DBT key{};
    key.data = dbkey.data;
    key.size = static_cast<u_int32_t>(client_key_length(dbkey.data, dbkey.size));
    return key;
}

DBT client_value()
{
    DBT value{};
    value.data = &client_data;
    value.ulen = sizeof client_data;
    value.flags = DB_DBT_USERMEM;
    return value;
}

// read_client - the client's record into client_data, and whether it has
// been idle too long at `now` (strictly more than pass_max_idle since it was
// last seen). `flags` is DB_RMW to read for update, or DB_READ_COMMITTED to
// look only: clients-1.db is small, a page holds many clients, and a lock
// kept on it to the commit would queue the requests of all of them behind
// one another's disk flush. Returns 0 or the library's code.
int read_client(DB_TXN *txn, time_t now, client_state *state, u_int32_t flags)
{
    DBT key = client_key();
    DBT value = client_value();
    *state = client_missing;
    int ret = clients_db->get(clients_db, txn, &key, &value, flags);
    if (ret == DB_NOTFOUND || ret == DB_BUFFER_SMALL)
        return 0;  // missing, or a value larger than a record: damaged
    if (ret != 0)
        return ret;
    if (value.size != sizeof client_data)
        return 0;
    double idle = difftime(now, client_data.last_seen);
    *state = idle > static_cast<double>(settings.pass_max_idle) ? client_idle
                                                               : client_current;
    return 0;
}

int write_client(DB_TXN *txn)
{
    DBT key = client_key();
    DBT value = client_value();
    value.size = sizeof client_data;
    return clients_db->put(clients_db, txn, &key, &value, 0);
}

}  // namespace

// proven - client_data, as read, is of a whitelisted client.
bool proven(client_state state)
{
    return state == client_current && client_data.proven_count >= settings.auto_whitelist;
}

int whitelisted_client(DB_TXN *txn, time_t now, bool *listed)
{
    client_state state;
    int ret;
    *listed = false;
    if (client_key_length(dbkey.data, dbkey.size) == 0)
        return 0;
    // Most new triplets are of clients not whitelisted: a look, no lock kept.
    // A whitelisted one is read again for update, as it may have changed.
    if ((ret = read_client(txn, now, &state, DB_READ_COMMITTED)) != 0)
        return ret;
    if (!proven(state))
        return 0;
    if ((ret = read_client(txn, now, &state, DB_RMW)) != 0)
        return ret;
    if (!proven(state))
        return 0;
    client_data.last_seen = now;
    client_data.listed_count++;
    if ((ret = write_client(txn)) != 0)
        return ret;
    *listed = true;
    if (settings.debug)
        log_msg(LOG_DEBUG, "client %s is whitelisted: new triplet let through",
                triplet_ip_text(dbkey.data));
    return 0;
}

time_t refresh_interval()
{
    uint64_t interval = settings.pass_max_idle / 8;
    if (interval < 1)
        return 1;
    return interval > 3600 ? 3600 : static_cast<time_t>(interval);
}

int client_passed(DB_TXN *txn, time_t now, bool first_pass, time_t previous)
{
    client_state state;
    int ret;
    if (client_key_length(dbkey.data, dbkey.size) == 0)
        return 0;
    time_t interval = refresh_interval();
    time_t interval_start = now - now % interval;
    // The first pass of a triplet in an interval brings its client's last
    // seen time into the interval, so any later pass of it in the same
    // interval finds it there: no read needed. Each pass thus leaves the
    // client seen at most one interval before it.
    if (!first_pass && previous >= interval_start && previous <= now)
        return 0;
    if (!first_pass) {
        if ((ret = read_client(txn, now, &state, DB_READ_COMMITTED)) != 0)
            return ret;
        if (state != client_current || client_data.last_seen >= interval_start)
            return 0;
        if ((ret = read_client(txn, now, &state, DB_RMW)) != 0)
            return ret;
        if (state != client_current || client_data.last_seen >= interval_start)
            return 0;
        client_data.last_seen = now;
        return write_client(txn);
    }
    if ((ret = read_client(txn, now, &state, DB_RMW)) != 0)
        return ret;
    if (state != client_current) {
        client_data.first_seen = now;
        client_data.proven_count = 0;
        client_data.listed_count = 0;
    }
    client_data.last_seen = now;
    client_data.proven_count++;
    if ((ret = write_client(txn)) != 0)
        return ret;
    if (client_data.proven_count == settings.auto_whitelist &&
        (settings.verbose || settings.debug))
        log_msg(LOG_INFO, "client %s whitelisted after %lu passed triplets",
                triplet_ip_text(dbkey.data),
                static_cast<unsigned long>(client_data.proven_count));
    return 0;
}
