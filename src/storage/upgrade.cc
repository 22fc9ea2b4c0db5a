// upgrade.cc - the one place that knows format v0.
//
// Either triplets-1.db exists with every converted record and triplets.db is
// gone, or the transaction is aborted and both files are as they were; every
// later process then meets the v0 database and tries again. triplets-1.db is
// created with DB_EXCL inside the transaction, so two processes converting at
// once cannot both succeed.
#include "storage/upgrade.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "common/log.h"
#include "common/xrealloc.h"
#include "storage/environment.h"
#include "storage/stored_triplet.h"

namespace {

void grow(void **block, size_t *capacity, size_t needed)
{
    if (*capacity >= needed)
        return;
    *block = xrealloc(*block, needed);
    *capacity = needed;
}

}  // namespace

int convert_v0_key(const void *key, size_t size, v0_buffers *buffers, DBT *converted)
{
    // Every v0 key holds at least its two NULs. An empty one may come from
    // the library with no data at all, which no memchr() may be given.
    if (size < 2)
        return EINVAL;
    const char *text = static_cast<const char *>(key);
    const char *text_end = static_cast<const char *>(memchr(text, '\0', size));
    if (text_end == nullptr)
        return EINVAL;
    size_t t = text_end - text;
    const char *sender = text_end + 1;
    const char *sender_end =
        static_cast<const char *>(memchr(sender, '\0', size - t - 1));
    if (sender_end == nullptr)
        return EINVAL;
    size_t s = sender_end - sender;
    size_t r = size - t - s - 2;
    const char *recipient = sender_end + 1;

    size_t room = 1 + (t + 1 > 16 ? t + 1 : 16) + s + 1 + r;
    grow(reinterpret_cast<void **>(&buffers->key), &buffers->key_cap, room);
    unsigned char *out = buffers->key;

    size_t a;
    size_t dots = 0;
    for (size_t i = 0; i < t; i++)
        dots += text[i] == '.';
    if (dots > 0) {
        // v0 stored short dotted forms (192.0.2, 10.1); pad them to four parts.
        size_t pad = dots < 3 ? 2 * (3 - dots) : 0;
        grow(reinterpret_cast<void **>(&buffers->address), &buffers->address_cap,
             t + 1 + pad);
        memcpy(buffers->address, text, t + 1);
        for (size_t d = dots; d < 3; d++)
            strcat(buffers->address, ".0");
        out[0] = tag_ipv4;
        int parsed = inet_pton(AF_INET, buffers->address, out + 1);
        if (parsed == 0)
            return EINVAL;
        if (parsed < 0)
            return errno;
        a = 4;
    } else if (inet_pton(AF_INET6, text, out + 1) == 1) {
        out[0] = tag_ipv6;
        a = 16;
    } else {
        out[0] = tag_text;
        memcpy(out + 1, text, t + 1);
        a = t + 1;
    }

    size_t length = 1 + a + s + 1 + r;
    if (length > UINT32_MAX)
        return EOVERFLOW;
    memcpy(out + 1 + a, sender, s);
    out[1 + a + s] = '\0';
    memcpy(out + 2 + a + s, recipient, r);
    converted->data = out;
    converted->size = static_cast<u_int32_t>(length);
    return 0;
}

void free_v0_buffers(v0_buffers *buffers)
{
    free(buffers->address);
    free(buffers->key);
    *buffers = v0_buffers{};
}

int upgrade_from_v0(DB_ENV *env)
{
    DB_TXN *tid = nullptr;
    DB *db0 = nullptr, *db1 = nullptr;
    DBC *cursor = nullptr;
    int ret, closed;

    if ((ret = env->txn_begin(env, nullptr, &tid, 0)) != 0) {
        report_db_error("upgrade_from_v0 dbenv->txn_begin", ret);
        return ret;
    }
    if ((ret = db_create(&db0, env, 0)) != 0) {
        report_db_error("upgrade_from_v0 db_create 0", ret);
        db0 = nullptr;
        goto close;
    }
    ret = db0->open(db0, tid, "triplets.db", nullptr, DB_UNKNOWN, 0, 0644);
    if (ret == ENOENT) {
        // Nothing to convert: the usual case in a new environment.
        if ((closed = db0->close(db0, 0)) != 0)
            report_db_error("upgrade_from_v0 db0->close 0", closed);
        if ((closed = tid->commit(tid, 0)) != 0)
            report_db_error("upgrade_from_v0 tid->commit 0", closed);
        return 0;
    }
    if (ret != 0)
        goto close;

    log_msg(LOG_WARNING, "Upgrading from database format v0");
    if ((ret = db_create(&db1, env, 0)) != 0) {
        report_db_error("upgrade_from_v0 db_create 1", ret);
        db1 = nullptr;
        goto close;
    }
    if ((ret = db1->open(db1, tid, "triplets-1.db", nullptr, DB_BTREE,
                         DB_CREATE | DB_EXCL, 0644)) != 0) {
        report_db_error("upgrade_from_v0 db1->open", ret);
        goto close;
    }
    if ((ret = db0->cursor(db0, tid, &cursor, 0)) != 0) {
        report_db_error("upgrade_from_v0 db0->cursor", ret);
        cursor = nullptr;
        goto close;
    }

    {
        v0_buffers buffers{};
        DBT key{}, value{}, converted{};
        for (;;) {
            ret = cursor->get(cursor, &key, &value, DB_NEXT);
            if (ret == DB_NOTFOUND) {
                ret = 0;
                break;
            }
            if (ret != 0) {
                report_db_error("upgrade_from_v0 cursor->get", ret);
                break;
            }
            if ((ret = convert_v0_key(key.data, key.size, &buffers, &converted)) != 0)
                break;
            if ((ret = db1->put(db1, tid, &converted, &value, DB_NOOVERWRITE)) != 0) {
                report_db_error("upgrade_from_v0 db1->put", ret);
                break;
            }
        }
        free_v0_buffers(&buffers);
    }

close:
    if (cursor != nullptr && (closed = cursor->close(cursor)) != 0)
        report_db_error("upgrade_from_v0 cursor->close", closed);
    if (db1 != nullptr && (closed = db1->close(db1, 0)) != 0)
        report_db_error("upgrade_from_v0 db1->close", closed);
    if (db0 != nullptr && (closed = db0->close(db0, 0)) != 0)
        report_db_error("upgrade_from_v0 db0->close", closed);

    if (ret == 0) {
        if ((ret = env->dbremove(env, tid, "triplets.db", nullptr, 0)) != 0) {
            report_db_error("upgrade_from_v0 dbenv->dbremove", ret);
        } else {
            if ((closed = tid->commit(tid, 0)) != 0)
                report_db_error("upgrade_from_v0 tid->commit", closed);
            return 0;
        }
    }
    if ((closed = tid->abort(tid)) != 0)
        report_db_error("upgrade_from_v0 tid->abort", closed);
    return ret;
}
