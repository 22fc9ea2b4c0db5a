// SPDX-License-Identifier: BSD-2-Clause
// sweep_position.cc - where the shared expiry sweep stands, kept in the home.
//
// Failed library calls are logged once, here, through report_db_error(); a
// failure of the lock file is logged and the sweep goes on without it, as
// the position's transactional updates keep the database sound either way.
#include "storage/sweep_position.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/log.h"
#include "common/settings.h"
#include "common/xrealloc.h"
#include "storage/environment.h"

namespace {

constexpr char sweep_magic[4] = {'M', 'S', 'W', 'P'};
constexpr uint32_t sweep_version = 1;

DBT key_dbt(const char *name)
{
    DBT key{};
    key.data = const_cast<char *>(name);
    key.size = static_cast<u_int32_t>(strlen(name));
    return key;
}

// valid_value - the value has the stored shape: header, then its key.
bool valid_value(const DBT &value, sweep_header *header)
{
    if (value.size < sizeof *header)
        return false;
    memcpy(header, value.data, sizeof *header);
    return memcmp(header->magic, sweep_magic, sizeof sweep_magic) == 0 &&
           header->version == sweep_version &&
           header->key_size == value.size - sizeof *header;
}

}  // namespace

sweep_lock_result lock_sweep(int *fd)
{
    const char *home = settings.db_home ? settings.db_home : ".";
    *fd = -1;
    int dir = open(home, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) {
        log_msg(LOG_WARNING, "cannot open %s, sweeping without %s: %s", home,
                sweep_lock_name, strerror(errno));
        return sweep_lock_missing;
    }
    int lock = openat(dir, sweep_lock_name, O_RDONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0660);
    int saved = errno;
    close(dir);
    if (lock < 0) {
        log_msg(LOG_WARNING, "cannot open %s/%s, sweeping without it: %s", home,
                sweep_lock_name, strerror(saved));
        return sweep_lock_missing;
    }
    // Never wait: the daemon holding it sweeps the next slice, and a
    // second walk of it would only repeat that work.
    while (flock(lock, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR)
            continue;
        saved = errno;
        close(lock);
        if (saved == EWOULDBLOCK)
            return sweep_lock_busy;
        log_msg(LOG_WARNING, "cannot lock %s/%s, sweeping without it: %s", home,
                sweep_lock_name, strerror(saved));
        return sweep_lock_missing;
    }
    *fd = lock;
    return sweep_lock_held;
}

int open_sweep_db(DB_ENV *env, DB **handle)
{
    DB *sweep;
    int ret;
    *handle = nullptr;
    if ((ret = db_create(&sweep, env, 0)) != 0) {
        report_db_error("db_create", ret);
        return ret;
    }
    if ((ret = sweep->open(sweep, nullptr, sweep_db_name, nullptr, DB_BTREE,
                           DB_AUTO_COMMIT | DB_CREATE, 0644)) != 0) {
        report_db_error("db->open expiry-sweep.db", ret);
        sweep->close(sweep, 0);
        return ret;
    }
    *handle = sweep;
    return 0;
}

int load_position(DB *sweep, DB_TXN *txn, resume_point *resume, position_state *state,
                  const char *name)
{
    DBT key = key_dbt(name);
    DBT value{};
    value.flags = DB_DBT_MALLOC;
    *state = position_none;
    // DB_RMW: a damaged record is deleted under the same lock.
    int ret = sweep->get(sweep, txn, &key, &value, DB_RMW);
    if (ret == DB_NOTFOUND)
        return 0;
    if (ret != 0) {
        report_db_error("DB->get expiry-sweep.db", ret);
        return ret;
    }
    sweep_header header;
    if (!valid_value(value, &header)) {
        free(value.data);
        *state = position_damaged;
        if ((ret = sweep->del(sweep, txn, &key, 0)) != 0) {
            report_db_error("DB->del expiry-sweep.db", ret);
            return ret;
        }
        return 0;
    }
    DBT last{};
    last.data = static_cast<char *>(value.data) + sizeof header;
    last.size = header.key_size;
    remember(resume, last);
    free(value.data);
    *state = position_found;
    return 0;
}

int peek_position(DB *sweep, resume_point *resume, bool *found, const char *name)
{
    DBT key = key_dbt(name);
    DBT value{};
    value.flags = DB_DBT_MALLOC;
    *found = false;
    int ret = sweep->get(sweep, nullptr, &key, &value, 0);
    if (ret == DB_NOTFOUND)
        return 0;
    if (ret != 0) {
        report_db_error("DB->get expiry-sweep.db", ret);
        return ret;
    }
    sweep_header header;
    if (valid_value(value, &header)) {
        DBT last{};
        last.data = static_cast<char *>(value.data) + sizeof header;
        last.size = header.key_size;
        remember(resume, last);
        *found = true;
    }
    free(value.data);
    return 0;
}

int store_position(DB *sweep, DB_TXN *txn, const resume_point &resume, const char *name)
{
    // One allocation per batch of up to a thousand records: negligible.
    size_t size = sizeof(sweep_header) + resume.size;
    void *buffer = xrealloc(nullptr, size);
    sweep_header header;
    memcpy(header.magic, sweep_magic, sizeof header.magic);
    header.version = sweep_version;
    header.key_size = resume.size;
    memcpy(buffer, &header, sizeof header);
    if (resume.size)
        memcpy(static_cast<char *>(buffer) + sizeof header, resume.data, resume.size);
    DBT key = key_dbt(name);
    DBT value{};
    value.data = buffer;
    value.size = static_cast<u_int32_t>(size);
    int ret = sweep->put(sweep, txn, &key, &value, 0);
    free(buffer);
    if (ret != 0)
        report_db_error("DB->put expiry-sweep.db", ret);
    return ret;
}

int clear_position(DB *sweep, DB_TXN *txn, const char *name)
{
    DBT key = key_dbt(name);
    int ret = sweep->del(sweep, txn, &key, 0);
    if (ret == DB_NOTFOUND)
        return 0;
    if (ret != 0)
        report_db_error("DB->del expiry-sweep.db", ret);
    return ret;
}
