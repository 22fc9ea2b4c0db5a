// SPDX-License-Identifier: BSD-2-Clause
// replies.cc - the learned reply pairs of replies-1.db.
//
// A pair's key is built from the request's own attribute values into a block
// of its own, freed before the call returns: nothing here outlives a request.
// A stored value of another size than a record (a damaged one) counts as no
// pair; the next message of its user writes a whole record in its place.
#include "greylist/replies.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/log.h"
#include "common/settings.h"
#include "common/xrealloc.h"
#include "greylist/auto_whitelist.h"
#include "greylist/decision_log.h"
#include "greylist/tries.h"
#include "policy/action.h"
#include "policy/request.h"
#include "storage/environment.h"
#include "storage/stored_reply.h"


namespace {

thread_local reply_data_t reply_data;

// What read_pair() found.
enum pair_state { pair_missing, pair_idle, pair_current };

// value_length - bytes of an attribute value before its newline, NULs
// included: the value is no C string.
size_t value_length(const char *value)
{
    size_t n = 0;
    while (value[n] != '\n')
        n++;
    return n;
}

// address_domain - the domain of an address of `length` bytes: what follows
// its last '@', or nullptr when it has none or an empty one.
const char *address_domain(const char *address, size_t length, size_t *domain_length)
{
    const char *at = address + length;
    while (at != address && at[-1] != '@')
        at--;
    if (at == address || at == address + length)
        return nullptr;
    at--;
    *domain_length = static_cast<size_t>(address + length - at - 1);
    return at + 1;
}

// same_domain - two domains equal but for ASCII case, as DNS compares names.
bool same_domain(const char *a, size_t a_length, const char *b, size_t b_length)
{
    if (a_length != b_length)
        return false;
    for (size_t i = 0; i < a_length; i++) {
        unsigned char x = static_cast<unsigned char>(a[i]);
        unsigned char y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z')
            x = static_cast<unsigned char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<unsigned char>(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
}

// pair_key - the key of the pair (outside, local), two attribute values
// ended by their newline, in a new block that the caller frees; nullptr
// when they make no pair: an empty address (the null sender), an address
// holding a NUL, or a key too long for the database's 32-bit sizes.
unsigned char *pair_key(const char *outside, const char *local, DBT *key)
{
    size_t o = value_length(outside), l = value_length(local);
    if (o == 0 || l == 0 || memchr(outside, '\0', o) || memchr(local, '\0', l))
        return nullptr;
    // Each length is at most the request buffer's: the sum cannot wrap.
    if (o + l + 1 > UINT32_MAX)
        return nullptr;
    unsigned char *data = static_cast<unsigned char *>(xrealloc(nullptr, o + l + 1));
    memcpy(data, outside, o);
    data[o] = '\0';
    memcpy(data + o + 1, local, l);
    *key = DBT{};
    key->data = data;
    key->size = static_cast<u_int32_t>(o + l + 1);
    return data;
}

// learnable_pair - the key of what a user's mail from sender to recipient
// teaches, or nullptr (and *why) when it teaches nothing: besides what
// pair_key refuses, mail to the sender's own domain, and addresses without
// a domain, which only local delivery qualifies.
unsigned char *learnable_pair(const char *sender, const char *recipient, DBT *key,
                              const char **why)
{
    size_t s = value_length(sender), r = value_length(recipient);
    size_t sd = 0, rd = 0;
    const char *sender_domain = address_domain(sender, s, &sd);
    const char *recipient_domain = address_domain(recipient, r, &rd);
    if (s == 0) {
        *why = "null sender";
        return nullptr;
    }
    if (sender_domain == nullptr || recipient_domain == nullptr) {
        *why = "address without a domain";
        return nullptr;
    }
    if (same_domain(sender_domain, sd, recipient_domain, rd)) {
        *why = "recipient in the sender's domain";
        return nullptr;
    }
    unsigned char *data = pair_key(recipient, sender, key);
    if (data == nullptr)
        *why = "no address pair";
    return data;
}

DBT pair_value()
{
    DBT value{};
    value.data = &reply_data;
    value.ulen = sizeof reply_data;
    value.flags = DB_DBT_USERMEM;
    return value;
}

// read_pair - the pair's record into reply_data, and whether it is idle at
// `now` (strictly more than pass_max_idle since its user last wrote).
// `flags` is DB_RMW to read for update, or DB_READ_COMMITTED to look without
// keeping a lock to the commit. Returns 0 or the library's code.
int read_pair(DB_TXN *txn, DBT *key, time_t now, pair_state *state, u_int32_t flags)
{
    DBT value = pair_value();
    *state = pair_missing;
    int ret = replies_db->get(replies_db, txn, key, &value, flags);
    if (ret == DB_NOTFOUND || ret == DB_BUFFER_SMALL)
        return 0;  // missing, or a value larger than a record: damaged
    if (ret != 0)
        return ret;
    if (value.size != sizeof reply_data)
        return 0;
    double idle = difftime(now, reply_data.last_written);
    *state = idle > static_cast<double>(settings.pass_max_idle) ? pair_idle : pair_current;
    return 0;
}

int write_pair(DB_TXN *txn, DBT *key)
{
    DBT value = pair_value();
    value.size = sizeof reply_data;
    return replies_db->put(replies_db, txn, key, &value, 0);
}

// renewed_lately - reply_data, as read, was written within the current
// refresh interval: the user's mail leaves it alone.
bool renewed_lately(pair_state state, time_t now)
{
    time_t interval = refresh_interval();
    time_t interval_start = now - now % interval;
    return state == pair_current && reply_data.last_written >= interval_start &&
           reply_data.last_written <= now;
}

// learn_pair - record the pair in `key` as written to at `now`, or renew it
// when it was last written before the current refresh interval. Most mail of
// a busy user finds its pair renewed lately: a look, no lock kept, nothing
// written. *call names the call that failed. Returns 0 or the library's code.
int learn_pair(DB_TXN *txn, DBT *key, time_t now, const char **call)
{
    pair_state state;
    int ret;
    *call = "replies get";
    if ((ret = read_pair(txn, key, now, &state, DB_READ_COMMITTED)) != 0)
        return ret;
    if (renewed_lately(state, now))
        return 0;
    if ((ret = read_pair(txn, key, now, &state, DB_RMW)) != 0)
        return ret;
    if (renewed_lately(state, now))
        return 0;
    if (state != pair_current) {
        reply_data.first_written = now;
        reply_data.reply_count = 0;
    }
    reply_data.last_written = now;
    *call = "replies put";
    if ((ret = write_pair(txn, key)) != 0)
        return ret;
    if (settings.debug)
        log_msg(LOG_DEBUG, "reply pair %s", state == pair_current ? "renewed" : "learned");
    return 0;
}

// learn - learn_pair() in a transaction of its own, tried again after a
// refused call. Returns 0, or 1 with *failure the warning's text.
int learn(DBT *key, const char **failure)
{
    DB_ENV *env;
    DB *pairs;
    int ret;
    if (get_dbenv(&env) != 0) {
        *failure = "get_dbenv failed";
        return 1;
    }
    if (get_replies_db(&pairs) != 0) {
        *failure = "get_replies_db failed";
        return 1;
    }
    time_t now = time(nullptr);
    if (now == static_cast<time_t>(-1)) {
        *failure = "time failed";
        return 1;
    }
    // The request's whole time bound (watchdog.h) covers every try.
    for (int tries = 1;; tries++) {
        DB_TXN *txn;
        if ((ret = env->txn_begin(env, nullptr, &txn, 0)) != 0) {
            report_db_error("txn_begin failed in answer_user_mail", ret);
            *failure = "txn_begin failed";
            return 1;
        }
        const char *call;
        if ((ret = learn_pair(txn, key, now, &call)) == 0) {
            if ((ret = txn->commit(txn, 0)) != 0)
                report_db_error("commit failed", ret);
            return 0;
        }
        if (refused(ret) && tries < max_tries) {
            give_way(&txn, call, ret, tries + 1);
            continue;
        }
        char context[32];
        snprintf(context, sizeof context, "%s failed", call);
        report_db_error(context, ret);
        int aborted = txn->abort(txn);
        if (aborted != 0)
            report_db_error("abort failed", aborted);
        *failure = strcmp(call, "replies get") == 0 ? "replies get failed"
                                                    : "replies put failed";
        return 1;
    }
}

}  // namespace

bool answer_user_mail(const char *sender, const char *recipient, int *result)
{
    const char *user = policy_attribute("sasl_username");
    if (user == nullptr || *user == '\n')
        return false;
    *result = 0;
    DBT key;
    const char *why = nullptr;
    const char *failure = nullptr;
    unsigned char *block = learnable_pair(sender, recipient, &key, &why);
    if (block != nullptr) {
        *result = learn(&key, &failure);
        free(block);
    } else if (settings.debug) {
        log_msg(LOG_DEBUG, "authenticated request: nothing learned (%s)", why);
    }
    if (*result == 0) {
        log_decision(outcome::authenticated, nullptr, 0);
        fputs("action=DUNNO\n", answer_stream());
    }
    else
        fprintf(answer_stream(), "action=WARN %s\n", failure);
    return true;
}

int reply_to_user(DB_TXN *txn, time_t now, spf_result spf, bool *reply, const char **call)
{
    *reply = false;
    *call = "replies get";
    // The screening has found both attributes before any decision.
    const char *sender = policy_attribute("sender");
    const char *recipient = policy_attribute("recipient");
    DBT key;
    unsigned char *block = pair_key(sender, recipient, &key);
    if (block == nullptr)
        return 0;
    pair_state state;
    // Most new triplets are no replies: a look, no lock kept. A reply is
    // read again for update, as it may have changed.
    int ret = read_pair(txn, &key, now, &state, DB_READ_COMMITTED);
    if (ret == 0 && state == pair_current && spf == spf_result::fail) {
        if (settings.debug)
            log_msg(LOG_DEBUG, "reply to a learned pair fails SPF: greylisted");
        state = pair_missing;
    }
    if (ret == 0 && state == pair_current)
        ret = read_pair(txn, &key, now, &state, DB_RMW);
    if (ret == 0 && state == pair_current) {
        reply_data.reply_count++;
        *call = "replies put";
        ret = write_pair(txn, &key);
        *reply = ret == 0;
    }
    free(block);
    if (*reply && settings.debug)
        log_msg(LOG_DEBUG, "reply to a learned pair: new triplet let through");
    return ret;
}
