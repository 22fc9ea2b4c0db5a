// SPDX-License-Identifier: BSD-2-Clause
// upgrade.cc - the one place that knows format v0.
//
// At every moment either triplets-1.db holds every converted record and
// triplets.db is gone, or triplets.db is as it was and there is no
// triplets-1.db. The records are converted into a database of a temporary
// name in transactions of a bounded size, since one transaction over a large
// v0 database runs out of lock entries; one short transaction then renames
// it to triplets-1.db and removes triplets.db. A conversion that fails or is
// killed leaves at most the temporary database, which the next one removes
// before it starts over.
//
// Only one process converts at a time: the converter holds flock() on the
// environment's home directory, which the kernel releases when the process
// dies, however it dies. A daemon that finds it held, whether it would
// convert or finds no triplets.db (the converter's last transaction may yet
// be undone), fails its get_db like any storage failure (the mail server
// retries).
#include "storage/upgrade.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

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

namespace {

// The converted records are built here, and renamed when all are in.
constexpr char building_name[] = "triplets-1.db.converting";

// Bounds of one transaction of the conversion. The records come in v0 order,
// which groups them by address as the new order does, so a batch writes a
// few leaf pages; the bytes bound keeps long keys from writing many.
constexpr unsigned batch_records = 500;
constexpr size_t batch_bytes = 64 * 1024;

// lock_home - take the lock on the home directory without waiting: LOCK_EX
// to convert, LOCK_SH to see that no conversion is under way. Returns its
// descriptor, or -1 with the failure logged and its code in *code.
int lock_home(DB_ENV *env, int operation, int *code)
{
    const char *home = nullptr;
    if ((*code = env->get_home(env, &home)) != 0) {
        report_db_error("upgrade_from_v0 dbenv->get_home", *code);
        return -1;
    }
    int fd = open(home ? home : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        *code = errno;
        report_db_error("upgrade_from_v0 open home", *code);
        return -1;
    }
    if (flock(fd, operation | LOCK_NB) != 0) {
        // EWOULDBLOCK: another process is converting right now.
        *code = errno;
        report_db_error("upgrade_from_v0 flock", *code);
        close(fd);
        return -1;
    }
    return fd;
}

// database_exists - whether the environment holds the database `file`: 1 or
// 0, or -1 with the failure's code in *code (logged).
int database_exists(DB_ENV *env, const char *file, int *code)
{
    DB *probe;
    if ((*code = db_create(&probe, env, 0)) != 0) {
        report_db_error("upgrade_from_v0 db_create", *code);
        return -1;
    }
    *code = probe->open(probe, nullptr, file, nullptr, DB_UNKNOWN, DB_RDONLY, 0);
    probe->close(probe, 0);
    if (*code == ENOENT) {
        *code = 0;
        return 0;
    }
    if (*code != 0) {
        report_db_error("upgrade_from_v0 db->open", *code);
        return -1;
    }
    return 1;
}

// remove_building - remove the temporary database of an earlier attempt
// (`leftover`) or of this one. Its absence is no failure.
int remove_building(DB_ENV *env, bool leftover)
{
    int ret = env->dbremove(env, nullptr, building_name, nullptr, DB_AUTO_COMMIT);
    if (ret == ENOENT)
        return 0;
    if (ret != 0) {
        report_db_error("upgrade_from_v0 dbenv->dbremove triplets-1.db.converting", ret);
        return ret;
    }
    if (leftover)
        log_msg(LOG_WARNING, "Removed the unfinished conversion of an earlier attempt");
    return 0;
}

// copy_records - convert every record under `cursor` into db1, in
// transactions of a bounded size. Their commits need not reach the disk at
// once: after a crash the unfinished database is removed and rebuilt, and
// the final rename's commit flushes them all. Returns 0 or the failed step's
// code, with that step logged and its transaction aborted.
int copy_records(DB_ENV *env, DBC *cursor, DB *db1)
{
    v0_buffers buffers{};
    DBT key{}, value{}, converted{};
    DB_TXN *tid = nullptr;
    unsigned records = 0;
    size_t bytes = 0;
    int ret, closed;
    for (;;) {
        if (tid == nullptr) {
            if ((ret = env->txn_begin(env, nullptr, &tid, 0)) != 0) {
                report_db_error("upgrade_from_v0 dbenv->txn_begin", ret);
                tid = nullptr;
                break;
            }
            records = 0;
            bytes = 0;
        }
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
        bytes += converted.size + value.size;
        if (++records >= batch_records || bytes >= batch_bytes) {
            ret = tid->commit(tid, DB_TXN_NOSYNC);
            tid = nullptr;
            if (ret != 0) {
                report_db_error("upgrade_from_v0 tid->commit", ret);
                break;
            }
        }
    }
    free_v0_buffers(&buffers);
    if (tid == nullptr)
        return ret;
    if (ret == 0) {
        if ((ret = tid->commit(tid, DB_TXN_NOSYNC)) != 0)
            report_db_error("upgrade_from_v0 tid->commit", ret);
    } else if ((closed = tid->abort(tid)) != 0) {
        report_db_error("upgrade_from_v0 tid->abort", closed);
    }
    return ret;
}

// build_converted - convert triplets.db (open as db0) into the temporary
// database. Returns 0 or the code of the step that failed.
int build_converted(DB_ENV *env, DB *db0)
{
    DB *db1 = nullptr;
    DBC *cursor = nullptr;
    int ret, closed;

    if ((ret = db_create(&db1, env, 0)) != 0) {
        report_db_error("upgrade_from_v0 db_create 1", ret);
        return ret;
    }
    if ((ret = db1->open(db1, nullptr, building_name, nullptr, DB_BTREE,
                         DB_CREATE | DB_EXCL | DB_AUTO_COMMIT, 0644)) != 0) {
        report_db_error("upgrade_from_v0 db1->open", ret);
    } else if ((ret = db0->cursor(db0, nullptr, &cursor, 0)) != 0) {
        // No transaction: nothing else writes triplets.db while the lock is
        // held, and the cursor holds one page lock at a time.
        report_db_error("upgrade_from_v0 db0->cursor", ret);
        cursor = nullptr;
    } else {
        ret = copy_records(env, cursor, db1);
    }
    if (cursor != nullptr && (closed = cursor->close(cursor)) != 0)
        report_db_error("upgrade_from_v0 cursor->close", closed);
    if ((closed = db1->close(db1, 0)) != 0)
        report_db_error("upgrade_from_v0 db1->close", closed);
    return ret;
}

// replace_v0 - in one short transaction, give the converted database its
// name and remove triplets.db. Returns 0 once committed, or the code.
int replace_v0(DB_ENV *env)
{
    DB_TXN *tid;
    int ret, closed;
    if ((ret = env->txn_begin(env, nullptr, &tid, 0)) != 0) {
        report_db_error("upgrade_from_v0 dbenv->txn_begin", ret);
        return ret;
    }
    if ((ret = env->dbrename(env, tid, building_name, nullptr, "triplets-1.db", 0)) != 0) {
        report_db_error("upgrade_from_v0 dbenv->dbrename", ret);
    } else if ((ret = env->dbremove(env, tid, "triplets.db", nullptr, 0)) != 0) {
        report_db_error("upgrade_from_v0 dbenv->dbremove", ret);
    } else {
        // A failed commit leaves both names as they were: no success.
        if ((ret = tid->commit(tid, 0)) != 0)
            report_db_error("upgrade_from_v0 tid->commit", ret);
        return ret;
    }
    if ((closed = tid->abort(tid)) != 0)
        report_db_error("upgrade_from_v0 tid->abort", closed);
    return ret;
}

// convert_held - with the lock held, convert db0 unless triplets-1.db is
// already there; db0 is closed before triplets.db is removed.
int convert_held(DB_ENV *env, DB *db0)
{
    int ret, closed;
    bool started = false;
    // Another process may have converted it between get_db's first open and
    // the lock: then there is nothing left to do.
    int found = database_exists(env, "triplets-1.db", &ret);
    if (found == 0 && (ret = remove_building(env, true)) == 0) {
        started = true;
        log_msg(LOG_WARNING, "Upgrading from database format v0");
        ret = build_converted(env, db0);
    }
    if ((closed = db0->close(db0, 0)) != 0)
        report_db_error("upgrade_from_v0 db0->close", closed);
    if (ret == 0 && started)
        ret = replace_v0(env);
    if (ret != 0 && started)
        remove_building(env, false);
    return ret;
}

// open_v0 - open triplets.db as *db0. Returns 0, or the open's code with
// the handle closed: ENOENT when there is no v0 database.
int open_v0(DB_ENV *env, DB **db0)
{
    int ret, closed;
    if ((ret = db_create(db0, env, 0)) != 0) {
        report_db_error("upgrade_from_v0 db_create 0", ret);
        return ret;
    }
    ret = (*db0)->open(*db0, nullptr, "triplets.db", nullptr, DB_UNKNOWN, 0, 0644);
    if (ret != 0 && (closed = (*db0)->close(*db0, 0)) != 0)
        report_db_error(ret == ENOENT ? "upgrade_from_v0 db0->close 0"
                                      : "upgrade_from_v0 db0->close", closed);
    return ret;
}

}  // namespace

int upgrade_from_v0(DB_ENV *env)
{
    DB *db0;
    int ret, closed;

    if ((ret = open_v0(env, &db0)) == ENOENT) {
        // Nothing to convert, the usual case in a new environment; unless a
        // conversion is ending right now: its last transaction takes the name
        // triplets.db away before it commits, and may yet be undone. Under
        // the shared lock no conversion runs, so the answer is final.
        int lock_fd = lock_home(env, LOCK_SH, &ret);
        if (lock_fd < 0)
            return ret;
        ret = open_v0(env, &db0);
        close(lock_fd);
        if (ret == ENOENT)
            return 0;
    }
    // A failed open of triplets.db has no message of its own: get_db's
    // "upgrade_from_v0" line shows it.
    if (ret != 0)
        return ret;
    int lock_fd = lock_home(env, LOCK_EX, &ret);
    if (lock_fd < 0) {
        if ((closed = db0->close(db0, 0)) != 0)
            report_db_error("upgrade_from_v0 db0->close", closed);
        return ret;
    }
    ret = convert_held(env, db0);
    close(lock_fd);  // releases the lock
    return ret;
}
